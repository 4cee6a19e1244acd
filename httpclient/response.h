// CHttpResponseT: the answer of a GET or POST. Owns the WinInet handles it is
// given and closes them (request, connection, Internet) when deleted.
#pragma once
#include <algorithm>
#include <string>
#include <vector>

#include "httpclient/errors.h"
#include "platform/win.h"

namespace Corvu {

template <class HttpTool>
class CHttpResponseT {
 public:
  // A null handle is allowed (a borrowed Internet handle is passed as null).
  CHttpResponseT(HINTERNET hInternet, HINTERNET hConnection, HINTERNET hRequest)
      : m_hInternet(hInternet), m_hConnection(hConnection), m_hRequest(hRequest), m_nStatus(0) {}
  CHttpResponseT(const CHttpResponseT&) = delete;
  CHttpResponseT& operator=(const CHttpResponseT&) = delete;

  virtual ~CHttpResponseT() {
    HttpTool::CloseInternetHandle(m_hRequest);
    HttpTool::CloseInternetHandle(m_hConnection);
    HttpTool::CloseInternetHandle(m_hInternet);
  }

  // The status code, queried once and cached.
  DWORD GetStatus() {
    if (m_hRequest == nullptr)
      RaiseErrorMessage("CHttpResponseT::GetStatus: m_hRequest can not be NULL.", 0);
    if (m_nStatus != 0) return m_nStatus;
    DWORD nStatus = 0, cbLen = sizeof(nStatus);
    if (!::HttpQueryInfoA(m_hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &nStatus,
                          &cbLen, nullptr))
      RaiseSystemError(HTTPCLIENT_ERR_HTTPQUERYINFO_FAILED, ::GetLastError());
    m_nStatus = nStatus;
    return m_nStatus;
  }

  // True and the length when the server sent Content-Length; false with
  // cbContLen untouched when it did not.
  BOOL GetContentLength(DWORD& cbContLen) {
    if (m_hRequest == nullptr)
      RaiseErrorMessage("CHttpResponseT::GetContentLength: m_hRequest can not be NULL.", 0);
    DWORD nLength = 0, cbLen = sizeof(nLength);
    if (!::HttpQueryInfoA(m_hRequest, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &nLength,
                          &cbLen, nullptr)) {
      DWORD dwError = ::GetLastError();
      if (dwError == ERROR_HTTP_HEADER_NOT_FOUND) return FALSE;
      RaiseSystemError(HTTPCLIENT_ERR_HTTPQUERYINFO_FAILED, dwError);
    }
    cbContLen = nLength;
    return TRUE;
  }

  // True and the value of the first response header named szName (compared
  // without regard to case); false with strValue untouched when the reply
  // has no such header. A value longer than the first buffer is asked for
  // again with the length the platform reports.
  BOOL GetHeader(const char* szName, std::string& strValue) {
    if (m_hRequest == nullptr)
      RaiseErrorMessage("CHttpResponseT::GetHeader: m_hRequest can not be NULL.", 0);
    if (szName == nullptr || *szName == '\0')
      RaiseErrorMessage("CHttpResponseT::GetHeader: szName can not be NULL or empty.", 0);
    const std::string strName(szName);
    std::vector<char> buf(strName.size() + 256);
    for (int nTry = 0; nTry < 2; ++nTry) {
      // HTTP_QUERY_CUSTOM reads the header name from the buffer it fills.
      std::fill(buf.begin(), buf.end(), '\0');
      std::copy(strName.begin(), strName.end(), buf.begin());
      DWORD cbLen = static_cast<DWORD>(buf.size());
      if (::HttpQueryInfoA(m_hRequest, HTTP_QUERY_CUSTOM, buf.data(), &cbLen, nullptr)) {
        strValue.assign(buf.data(), cbLen < buf.size() ? cbLen : buf.size());
        return TRUE;
      }
      DWORD dwError = ::GetLastError();
      if (dwError == ERROR_HTTP_HEADER_NOT_FOUND) return FALSE;
      if (dwError != ERROR_INSUFFICIENT_BUFFER || nTry == 1 || cbLen < buf.size())
        RaiseSystemError(HTTPCLIENT_ERR_HTTPQUERYINFO_FAILED, dwError);
      buf.resize(static_cast<size_t>(cbLen) + strName.size() + 1);
    }
    return FALSE;
  }

  // Bytes read, 0 at the end of the body; may be fewer than asked.
  DWORD ReadContent(BYTE* pbyBuff, DWORD cbBuff) {
    if (m_hRequest == nullptr)
      RaiseErrorMessage("CHttpResponseT::ReadContent: m_hRequest can not be NULL.", 0);
    if (pbyBuff == nullptr)
      RaiseErrorMessage("CHttpResponseT::ReadContent: pbyBuff can not be NULL.", 0);
    if (cbBuff == 0) RaiseErrorMessage("CHttpResponseT::ReadContent: cbBuff can not be zero.", 0);
    DWORD cbRead = 0;
    if (!::InternetReadFile(m_hRequest, pbyBuff, cbBuff, &cbRead))
      RaiseSystemError(HTTPCLIENT_ERR_INTERNETREADFILE_FAILED, ::GetLastError());
    return cbRead;
  }

  HINTERNET InternetHandle() const { return m_hInternet; }
  HINTERNET ConnectionHandle() const { return m_hConnection; }
  HINTERNET RequestHandle() const { return m_hRequest; }

 private:
  HINTERNET m_hInternet;
  HINTERNET m_hConnection;
  HINTERNET m_hRequest;
  DWORD m_nStatus;
};

}  // namespace Corvu
