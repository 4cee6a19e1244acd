// CHttpUrlAnalyzerT: single-pass URL splitter. Reports byte offsets and
// lengths of scheme, host, port, path, query and fragment; double-byte
// characters of the given code page are stepped over whole.
#pragma once
#include <cstring>

#include "httpclient/errors.h"
#include "platform/win.h"

namespace Corvu {

template <class HttpTool>
class CHttpUrlAnalyzerT {
 public:
  typedef typename HttpTool::PCSZ PCSZ;

  CHttpUrlAnalyzerT() { Clear(); }

  void Analyze(PCSZ szUrl, UINT CodePage) {
    if (CodePage == CP_UTF8 || CodePage == CP_UTF7)
      RaiseErrorMessage(
          "CHttpUrlAnalyzerT::Analyze: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
          "parameter.",
          0);
    Clear();
    if (szUrl == nullptr || szUrl[0] == '\0') return;

    // Scheme: the text before the first "://" anywhere in the string.
    DWORD i = 0, nAuthority = 0;
    while (szUrl[i] != '\0') {
      if (szUrl[i] == ':' && szUrl[i + 1] == '/' && szUrl[i + 2] == '/') {
        m_nSchemeLen = i;
        nAuthority = i + 3;
        break;
      }
      i += _CharLen(szUrl + i, CodePage);
    }
    m_nHostIdx = nAuthority;

    // Authority: host, then port after the first colon.
    i = nAuthority;
    if (szUrl[i] == '/') {
      m_nPortIdx = i;
    } else {
      bool bColon = false;
      while (szUrl[i] != '\0' && szUrl[i] != '/' && szUrl[i] != '?' && szUrl[i] != '#') {
        if (!bColon && szUrl[i] == ':') {
          bColon = true;
          ++i;
          m_nPortIdx = i;
          continue;
        }
        DWORD n = _CharLen(szUrl + i, CodePage);
        if (bColon)
          m_nPortLen += n;
        else
          m_nHostLen += n;
        i += n;
      }
      if (!bColon) m_nPortIdx = i;
    }
    m_nPathIdx = i;

    // Path, then the query from the first "?".
    if (szUrl[i] == '#') {
      m_nQueryIdx = i;
    } else {
      bool bQuery = false;
      while (szUrl[i] != '\0' && szUrl[i] != '#') {
        DWORD n = _CharLen(szUrl + i, CodePage);
        if (!bQuery && szUrl[i] == '?') {
          bQuery = true;
          m_nQueryIdx = i;
        }
        if (bQuery)
          m_nQueryLen += n;
        else
          m_nPathLen += n;
        i += n;
      }
      if (!bQuery) m_nQueryIdx = i;
    }

    m_nFragmentIdx = i;
    m_nFragmentLen = static_cast<DWORD>(std::strlen(szUrl + i));
  }

  // The scheme is "https" in any letter case.
  static bool IsSecureScheme(PCSZ szUrl, const CHttpUrlAnalyzerT& objAnalyzer) {
    return szUrl != nullptr && objAnalyzer.m_nSchemeLen == 5 &&
           HttpTool::StringNICmp(szUrl, "HTTPS://", 5) == 0;
  }

  DWORD SchemeIdx() const { return m_nSchemeIdx; }
  DWORD SchemeLen() const { return m_nSchemeLen; }
  DWORD HostIdx() const { return m_nHostIdx; }
  DWORD HostLen() const { return m_nHostLen; }
  DWORD PortIdx() const { return m_nPortIdx; }
  DWORD PortLen() const { return m_nPortLen; }
  DWORD PathIdx() const { return m_nPathIdx; }
  DWORD PathLen() const { return m_nPathLen; }
  DWORD QueryIdx() const { return m_nQueryIdx; }
  DWORD QueryLen() const { return m_nQueryLen; }
  DWORD FragmentIdx() const { return m_nFragmentIdx; }
  DWORD FragmentLen() const { return m_nFragmentLen; }

 private:
  void Clear() {
    m_nSchemeIdx = m_nSchemeLen = m_nHostIdx = m_nHostLen = m_nPortIdx = m_nPortLen = 0;
    m_nPathIdx = m_nPathLen = m_nQueryIdx = m_nQueryLen = m_nFragmentIdx = m_nFragmentLen = 0;
  }
  // 2 for a lead byte followed by a non-terminator, else 1.
  static DWORD _CharLen(PCSZ p, UINT CodePage) {
    return (HttpTool::IsDBCSLeadByte(CodePage, static_cast<BYTE>(p[0])) && p[1] != '\0') ? 2 : 1;
  }

  DWORD m_nSchemeIdx;
  DWORD m_nSchemeLen;
  DWORD m_nHostIdx;
  DWORD m_nHostLen;
  DWORD m_nPortIdx;
  DWORD m_nPortLen;
  DWORD m_nPathIdx;
  DWORD m_nPathLen;
  DWORD m_nQueryIdx;
  DWORD m_nQueryLen;
  DWORD m_nFragmentIdx;
  DWORD m_nFragmentLen;
};

}  // namespace Corvu
