// CHttpClientT: one object per HTTP exchange. Collects parameters and headers,
// sends GET requests in one call, and writes form POSTs step by step after
// announcing their exact length. Responses take over the WinInet handles.
#pragma once
#include <cstdlib>
#include <cstring>
#include <new>

#include "httpclient/clientmap.h"
#include "httpclient/errors.h"
#include "httpclient/poststat.h"
#include "httpclient/response.h"
#include "httpclient/safeint.h"
#include "httpclient/urlanalyzer.h"
#include "platform/win.h"

namespace Corvu {

template <class HttpTool, class HttpEncoder>
class CHttpClientT {
 public:
  typedef typename HttpTool::PSZ PSZ;
  typedef typename HttpTool::PCSZ PCSZ;
  typedef CHttpClientMapT<HttpTool> CHttpClientMap;
  typedef CHttpResponseT<HttpTool> CHttpResponse;
  typedef CHttpPostStatT<HttpTool> CHttpPostStat;
  typedef CHttpUrlAnalyzerT<HttpTool> CHttpUrlAnalyzer;

  // Bytes of a value written by one POST step, and the upload read buffer.
  enum : DWORD { POST_PIECE_BYTES = 1024, READ_BUFFER_BYTES = 57344 };
  // Sends of one form POST after its first, each when HttpEndRequest asks for
  // the request again (ERROR_INTERNET_FORCE_RETRY): WinInet answers a login
  // challenge (401 or 407 with NTLM or Negotiate) to a request sent with
  // HttpSendRequestEx that way instead of sending it again itself, and NTLM's
  // handshake takes two rounds.
  enum : DWORD { POST_RESENDS = 2 };

  CHttpClientT()
      : m_szBoundary(nullptr),
        m_szUploadContType(nullptr),
        m_bUseUtf8(FALSE),
        m_nCodePage(CP_ACP),
        m_szUserAgent(nullptr),
        m_dwAccessType(INTERNET_OPEN_TYPE_PRECONFIG),
        m_szProxyName(nullptr),
        m_szProxyBypass(nullptr),
        m_dwOpenFlags(0),
        m_szProxyUserName(nullptr),
        m_szProxyPassword(nullptr),
        m_phFiles(nullptr),
        m_pszFileContTypes(nullptr),
        m_pbyCurrValue(nullptr),
        m_bOwnCurrValue(FALSE),
        m_hInternet(nullptr),
        m_bBorrowedInternet(FALSE),
        m_hConnection(nullptr),
        m_bBorrowedConnection(FALSE),
        m_hRequest(nullptr),
        m_bFormContext(TRUE),
        m_pbyReadBuffer(nullptr),
        m_nPostResends(0) {
    m_szBoundary = HttpTool::GenerateBoundary();
    if (m_szBoundary != nullptr) {
      static const char kPrefix[] = "multipart/form-data; boundary=";
      size_t cb = std::strlen(m_szBoundary) + sizeof(kPrefix);  // length + 31
      m_szUploadContType = static_cast<PSZ>(std::malloc(cb));
      if (m_szUploadContType == nullptr) {
        std::free(m_szBoundary);
        m_szBoundary = nullptr;
      } else {
        std::memcpy(m_szUploadContType, kPrefix, sizeof(kPrefix) - 1);
        std::memcpy(m_szUploadContType + sizeof(kPrefix) - 1, m_szBoundary,
                    std::strlen(m_szBoundary) + 1);
      }
    }
  }

  CHttpClientT(const CHttpClientT&) = delete;
  CHttpClientT& operator=(const CHttpClientT&) = delete;

  virtual ~CHttpClientT() {
    CancelPost();
    std::free(m_szBoundary);
    std::free(m_szUploadContType);
    std::free(m_szUserAgent);
    std::free(m_szProxyName);
    std::free(m_szProxyBypass);
    std::free(m_szProxyUserName);
    std::free(m_szProxyPassword);
  }

  // ---- settings ------------------------------------------------------------

  void SetInternetSettings(PCSZ szUserAgent, DWORD dwAccessType, PCSZ szProxyName,
                           PCSZ szProxyBypass, DWORD dwFlags) {
    PSZ szNewAgent = nullptr, szNewProxy = nullptr, szNewBypass = nullptr;
    if (!_DupOrNull(szUserAgent, szNewAgent) || !_DupOrNull(szProxyName, szNewProxy) ||
        !_DupOrNull(szProxyBypass, szNewBypass)) {
      std::free(szNewAgent);
      std::free(szNewProxy);
      std::free(szNewBypass);
      RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    }
    std::free(m_szUserAgent);
    std::free(m_szProxyName);
    std::free(m_szProxyBypass);
    m_szUserAgent = szNewAgent;
    m_szProxyName = szNewProxy;
    m_szProxyBypass = szNewBypass;
    m_dwAccessType = dwAccessType;
    m_dwOpenFlags = dwFlags;
  }

  // Proxy account applied to every connection; no caller of this system sets it.
  void SetProxyAccount(PCSZ szUserName, PCSZ szPassword) {
    PSZ szNewUser = nullptr, szNewPass = nullptr;
    if (!_DupOrNull(szUserName, szNewUser) || !_DupOrNull(szPassword, szNewPass)) {
      std::free(szNewUser);
      std::free(szNewPass);
      RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    }
    std::free(m_szProxyUserName);
    std::free(m_szProxyPassword);
    m_szProxyUserName = szNewUser;
    m_szProxyPassword = szNewPass;
  }

  void SetUseUtf8(BOOL bUseUtf8) { m_bUseUtf8 = bUseUtf8; }
  BOOL GetUseUtf8() const { return m_bUseUtf8; }
  void SetAnsiCodePage(UINT nCodePage) { m_nCodePage = nCodePage; }
  UINT GetAnsiCodePage() const { return m_nCodePage; }
  PCSZ GetBoundary() const { return m_szBoundary; }
  PCSZ GetUploadContType() const { return m_szUploadContType; }

  // ---- parameters and headers ---------------------------------------------

  void AddParam(PCSZ szName, PCSZ szValue) {
    if (m_objPostStat.IsActive())
      RaiseErrorMessage(
          "CHttpClientT::AddParam: It is not allowed to call this method if the POST context is "
          "active.",
          0);
    m_mapParam.Add(szName, szValue);
  }
  void AddHeader(PCSZ szName, PCSZ szValue) { m_mapHeader.Add(szName, szValue); }
  DWORD ParamCount() const { return m_mapParam.Count(); }
  DWORD HeaderCount() const { return m_mapHeader.Count(); }

  // ---- GET -----------------------------------------------------------------

  // A new response owned by the caller.
  CHttpResponse* SendGetRequest(PCSZ szUrl, DWORD dwFlags) {
    CancelPost();
    HINTERNET hInternet = nullptr, hConnection = nullptr, hRequest = nullptr;
    PSZ szGetUrl = nullptr;
    try {
      hInternet = _OpenInternet();
      hConnection = OpenConnection(hInternet, szUrl);
      PCSZ szRequestUrl = szUrl;
      if (!m_mapParam.Empty()) {
        DWORD cbUrl = SafeDword::Add(MakeGetUrlLen(szUrl), 1);
        szGetUrl = static_cast<PSZ>(std::malloc(cbUrl));
        if (szGetUrl == nullptr) RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
        MakeGetUrl(szGetUrl, szUrl);
        szRequestUrl = szGetUrl;
      }
      hRequest = OpenRequest(hConnection, "GET", szRequestUrl, dwFlags);
      AddRequestHeader(hRequest);
      std::free(szGetUrl);
      szGetUrl = nullptr;
      HttpTool::SendRequest(hRequest);
    } catch (const httpclientexceptionA&) {
      _CloseAll(hInternet, hConnection, hRequest, szGetUrl);
      throw;
    } catch (const SafeIntException& e) {
      _CloseAll(hInternet, hConnection, hRequest, szGetUrl);
      RaiseArithmeticError(e);
    } catch (...) {
      _CloseAll(hInternet, hConnection, hRequest, szGetUrl);
      RaiseError(HTTPCLIENT_ERR_UNEXPECTED_ERROR);
    }
    CHttpResponse* pResponse = new (std::nothrow) CHttpResponse(hInternet, hConnection, hRequest);
    if (pResponse == nullptr) {
      _CloseAll(hInternet, hConnection, hRequest, szGetUrl);
      RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    }
    return pResponse;
  }

  // Length of the URL with the parameters put in as a query, terminator not
  // counted. A null URL gives the parameter part alone.
  DWORD MakeGetUrlLen(PCSZ szUrl) {
    try {
      if (m_mapParam.Empty()) return szUrl == nullptr ? 0 : SafeDword::From(std::strlen(szUrl));
      SafeDword cbParams = 0;
      for (auto it = m_mapParam.Begin(); it != m_mapParam.End(); ++it)
        cbParams += SafeDword(_EncodedNameLen(it)) + SafeDword(_EncodedValueLen(it)) + SafeDword(2);
      if (szUrl == nullptr) return (cbParams - SafeDword(1)).Value();
      CHttpUrlAnalyzer objUrl;
      objUrl.Analyze(szUrl, m_nCodePage);
      SafeDword cbTotal = SafeDword(SafeDword::From(std::strlen(szUrl))) + cbParams;
      if (objUrl.PathLen() == 0) cbTotal += SafeDword(1);
      return cbTotal.Value();
    } catch (const SafeIntException& e) {
      RaiseArithmeticError(e);
    }
  }

  // Writes the URL of MakeGetUrlLen into szBuff (MakeGetUrlLen + 1 bytes).
  PSZ MakeGetUrl(PSZ szBuff, PCSZ szUrl) {
    if (szBuff == nullptr)
      RaiseErrorMessage("CHttpClientT::MakeGetUrl: szBuff can not be NULL.", 0);
    if (m_mapParam.Empty()) {
      if (szUrl == nullptr)
        szBuff[0] = '\0';
      else
        std::memcpy(szBuff, szUrl, std::strlen(szUrl) + 1);
      return szBuff;
    }
    PSZ p = szBuff;
    CHttpUrlAnalyzer objUrl;
    if (szUrl != nullptr) {
      objUrl.Analyze(szUrl, m_nCodePage);
      p = _Append(p, szUrl, objUrl.PathIdx());
      if (objUrl.PathLen() == 0) *p++ = '/';
      p = _Append(p, szUrl + objUrl.PathIdx(), objUrl.FragmentIdx() - objUrl.PathIdx());
      *p++ = objUrl.QueryLen() != 0 ? '&' : '?';
    }
    bool bFirst = true;
    for (auto it = m_mapParam.Begin(); it != m_mapParam.End(); ++it) {
      if (!bFirst) *p++ = '&';
      bFirst = false;
      p = _AppendEncoded(p, it->first, (it->second.dwFlags & CHttpClientMapFlagRawName) != 0);
      *p++ = '=';
      p = _AppendEncoded(p, it->second.szValue,
                         (it->second.dwFlags & CHttpClientMapFlagRawValue) != 0);
    }
    if (szUrl != nullptr) p = _Append(p, szUrl + objUrl.FragmentIdx(), objUrl.FragmentLen());
    *p = '\0';
    return szBuff;
  }

  // ---- form POST -------------------------------------------------------------

  // Opens the request and announces the body length. hInternet null: the
  // context opens (and later closes) its own Internet handle.
  void BeginFormPost(HINTERNET hInternet, PCSZ szUrl, DWORD dwFlags) {
    CancelPost();
    BOOL bBorrowed = hInternet != nullptr;
    HINTERNET hConnection = nullptr, hRequest = nullptr;
    HINTERNET hOwnInternet = nullptr;
    try {
      SafeDword cbBody = 0, cbValues = 0;
      for (auto it = m_mapParam.Begin(); it != m_mapParam.End(); ++it) {
        DWORD cbValue = _EncodedValueLen(it);
        cbBody += SafeDword(1) + SafeDword(_EncodedNameLen(it)) + SafeDword(1) + SafeDword(cbValue);
        cbValues += SafeDword(cbValue);
      }
      if (cbBody.Value() != 0) cbBody -= SafeDword(1);

      if (!bBorrowed) hInternet = hOwnInternet = _OpenInternet();
      hConnection = OpenConnection(hInternet, szUrl);
      hRequest = OpenRequest(hConnection, "POST", szUrl, dwFlags);
      AddRequestHeader(hRequest);
      HttpTool::AddHeader(hRequest, "Content-Type", "application/x-www-form-urlencoded");
      HttpTool::SendRequestEx(hRequest, cbBody.Value());

      m_objPostStat.Activate(cbBody.Value(), cbValues.Value(), m_mapParam.Count(), 0);
      m_nPostResends = 0;
    } catch (const httpclientexceptionA&) {
      _CloseAll(hOwnInternet, hConnection, hRequest, nullptr);
      throw;
    } catch (const SafeIntException& e) {
      _CloseAll(hOwnInternet, hConnection, hRequest, nullptr);
      RaiseArithmeticError(e);
    } catch (...) {
      _CloseAll(hOwnInternet, hConnection, hRequest, nullptr);
      throw;
    }
    m_hInternet = hInternet;
    m_bBorrowedInternet = bBorrowed;
    m_hConnection = hConnection;
    m_bBorrowedConnection = FALSE;
    m_hRequest = hRequest;
    m_bFormContext = TRUE;
  }

  // One step of the body; null until it is complete, then the response.
  CHttpResponse* ProceedPost() {
    return m_bFormContext ? _ProceedPostContext() : _ProceedUploadContext();
  }

  // Drops an active context and closes its handles (request, connection, own
  // Internet handle). False when no context was active.
  BOOL CancelPost() {
    if (!m_objPostStat.IsActive()) return FALSE;
    HINTERNET hInternet = nullptr, hConnection = nullptr, hRequest = nullptr;
    _DetachPostHandles(hInternet, hConnection, hRequest);
    HttpTool::CloseInternetHandle(hRequest);
    HttpTool::CloseInternetHandle(hConnection);
    HttpTool::CloseInternetHandle(hInternet);
    return TRUE;
  }

  const CHttpPostStat& PostStat() const { return m_objPostStat; }
  // Times the last form POST was sent again (0 to POST_RESENDS).
  DWORD PostResendCount() const { return m_nPostResends; }
  BOOL IsPostContextActive() const { return m_objPostStat.IsActive(); }

  // ---- connection and request --------------------------------------------------

  HINTERNET OpenConnection(HINTERNET hInternet, PCSZ szUrl) {
    if (hInternet == nullptr)
      RaiseErrorMessage("CHttpClientT::OpenConnection: hInternet can not be NULL.", 0);
    CHttpUrlAnalyzer objUrl;
    objUrl.Analyze(szUrl, m_nCodePage);

    INTERNET_PORT nPort = CHttpUrlAnalyzer::IsSecureScheme(szUrl, objUrl)
                              ? INTERNET_DEFAULT_HTTPS_PORT
                              : INTERNET_DEFAULT_HTTP_PORT;
    if (objUrl.PortLen() != 0) {
      if (objUrl.PortLen() > 5) RaiseError(HTTPCLIENT_ERR_INVALID_PORT);
      char szPort[6];
      std::memcpy(szPort, szUrl + objUrl.PortIdx(), objUrl.PortLen());
      szPort[objUrl.PortLen()] = '\0';
      char* pEnd = nullptr;
      unsigned long nValue = std::strtoul(szPort, &pEnd, 10);
      if (*pEnd != '\0' || nValue > 65535) RaiseError(HTTPCLIENT_ERR_INVALID_PORT);
      nPort = static_cast<INTERNET_PORT>(nValue);
    }
    if (objUrl.HostLen() == 0) RaiseError(HTTPCLIENT_ERR_INVALID_URL);

    PSZ szHost = nullptr;
    try {
      szHost = static_cast<PSZ>(std::malloc(SafeDword::Add(objUrl.HostLen(), 1)));
    } catch (const SafeIntException& e) {
      RaiseArithmeticError(e);
    }
    if (szHost == nullptr) RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    std::memcpy(szHost, szUrl + objUrl.HostIdx(), objUrl.HostLen());
    szHost[objUrl.HostLen()] = '\0';

    HINTERNET hConnection = nullptr;
    try {
      hConnection = HttpTool::OpenConnection(hInternet, szHost, nPort);
      ApplyProxyAccount(hConnection);
    } catch (...) {
      HttpTool::CloseInternetHandle(hConnection);
      std::free(szHost);
      throw;
    }
    std::free(szHost);
    return hConnection;
  }

  void ApplyProxyAccount(HINTERNET hConnection) {
    if (hConnection == nullptr)
      RaiseErrorMessage("CHttpClientT::ApplyProxyAccount: hConnection can not be NULL.", 0);
    if (m_szProxyUserName == nullptr || m_szProxyUserName[0] == '\0' ||
        m_szProxyPassword == nullptr || m_szProxyPassword[0] == '\0')
      return;
    HttpTool::SetOption(hConnection, INTERNET_OPTION_PROXY_USERNAME, m_szProxyUserName,
                        HttpTool::SafeStrLen(m_szProxyUserName));
    HttpTool::SetOption(hConnection, INTERNET_OPTION_PROXY_PASSWORD, m_szProxyPassword,
                        HttpTool::SafeStrLen(m_szProxyPassword));
  }

  HINTERNET OpenRequest(HINTERNET hConnection, PCSZ szVerb, PCSZ szUrl, DWORD dwFlags) {
    if (hConnection == nullptr)
      RaiseErrorMessage("CHttpClientT::OpenRequest: hConnection can not be NULL.", 0);
    CHttpUrlAnalyzer objUrl;
    objUrl.Analyze(szUrl, m_nCodePage);
    if (CHttpUrlAnalyzer::IsSecureScheme(szUrl, objUrl)) dwFlags |= INTERNET_FLAG_SECURE;

    PCSZ szObjectName = "/";
    PSZ szAllocated = nullptr;
    if (objUrl.PathLen() != 0) {
      szObjectName = szUrl + objUrl.PathIdx();
    } else if (szUrl != nullptr && szUrl[objUrl.PathIdx()] != '\0') {
      PCSZ szRest = szUrl + objUrl.PathIdx();
      try {
        szAllocated =
            static_cast<PSZ>(std::malloc(SafeDword::Add(SafeDword::From(std::strlen(szRest)), 2)));
      } catch (const SafeIntException& e) {
        RaiseArithmeticError(e);
      }
      if (szAllocated == nullptr) RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
      szAllocated[0] = '/';
      std::memcpy(szAllocated + 1, szRest, std::strlen(szRest) + 1);
      szObjectName = szAllocated;
    }

    HINTERNET hRequest = nullptr;
    try {
      hRequest = HttpTool::OpenRequest(hConnection, szVerb, szObjectName, dwFlags);
      if (dwFlags & INTERNET_FLAG_PRAGMA_NOCACHE)
        HttpTool::AddHeader(hRequest, "Cache-Control", "no-cache");
    } catch (...) {
      HttpTool::CloseInternetHandle(hRequest);
      std::free(szAllocated);
      throw;
    }
    std::free(szAllocated);
    return hRequest;
  }

  void AddRequestHeader(HINTERNET hRequest) {
    if (hRequest == nullptr)
      RaiseErrorMessage("CHttpClientT::AddRequestHeader: hRequest can not be NULL.", 0);
    for (auto it = m_mapHeader.Begin(); it != m_mapHeader.End(); ++it)
      HttpTool::AddHeader(hRequest, it->first, it->second.szValue);
  }

 protected:
  // ---- POST context internals ---------------------------------------------

  void _WritePost(const BYTE* pbyBuff, DWORD cbBuff, BOOL bIsValueData) {
    if (m_hRequest == nullptr)
      RaiseErrorMessage("CHttpClientT::_WritePost: m_hRequest can not be NULL.", 0);
    if (pbyBuff == nullptr || cbBuff == 0) return;
    if (bIsValueData)
      m_objPostStat._TestAddPostedBytes(cbBuff);
    else
      m_objPostStat._TestAddActualPostedBytes(cbBuff);
    HttpTool::InternetWriteFile(m_hRequest, pbyBuff, cbBuff);
    m_objPostStat._AddPostedBytes(cbBuff, bIsValueData);
  }
  // A text written as non-value data; null writes nothing.
  void _WritePost(PCSZ szText) {
    if (szText == nullptr) {
      if (m_hRequest == nullptr)
        RaiseErrorMessage("CHttpClientT::_WritePost: m_hRequest can not be NULL.", 0);
      return;
    }
    _WritePost(reinterpret_cast<const BYTE*>(szText), HttpTool::SafeStrLen(szText), FALSE);
  }

  CHttpResponse* _ProceedPostContext() {
    try {
      if (!m_objPostStat.IsActive()) RaiseError(HTTPCLIENT_ERR_POST_NOT_STARTED);
      if (m_hInternet == nullptr)
        RaiseErrorMessage("CHttpClientT::_ProceedPostContext: m_hInternet can not be NULL.", 0);
      if (m_hConnection == nullptr)
        RaiseErrorMessage("CHttpClientT::_ProceedPostContext: m_hConnection can not be NULL.", 0);
      if (m_hRequest == nullptr)
        RaiseErrorMessage("CHttpClientT::_ProceedPostContext: m_hRequest can not be NULL.", 0);

      if (m_objPostStat.CurrParamIsComplete()) {
        if (m_objPostStat.PostedCount() == m_objPostStat.TotalCount()) {
          if (!_EndFormRequest()) return nullptr;
          return _ReleasePostResponse();
        }
        auto it = m_mapParam.At(m_objPostStat.PostedCount());
        if (m_objPostStat.PostedCount() > 0) _WritePost("&");

        if (it->second.dwFlags & CHttpClientMapFlagRawName) {
          _WritePost(it->first);
        } else {
          PSZ szName = _NewUrlEncoded(it->first);
          try {
            _WritePost(szName);
          } catch (...) {
            std::free(szName);
            throw;
          }
          std::free(szName);
        }
        _WritePost("=");

        _ReleaseCurrValue();
        if (it->second.dwFlags & CHttpClientMapFlagRawValue) {
          m_pbyCurrValue = reinterpret_cast<BYTE*>(it->second.szValue);
          m_bOwnCurrValue = FALSE;
        } else if (it->second.szValue != nullptr) {
          m_pbyCurrValue = reinterpret_cast<BYTE*>(_NewUrlEncoded(it->second.szValue));
          m_bOwnCurrValue = TRUE;
        }
        DWORD cbValue = HttpTool::SafeStrLen(reinterpret_cast<PCSZ>(m_pbyCurrValue));
        m_objPostStat._StartNewEntry(it->first, cbValue, FALSE, nullptr);
        return nullptr;
      }

      DWORD cbPiece = m_objPostStat.CurrParamRemainByte();
      if (cbPiece > POST_PIECE_BYTES) cbPiece = POST_PIECE_BYTES;
      _WritePost(m_pbyCurrValue + m_objPostStat.CurrParamPostedByte(), cbPiece, TRUE);
      return nullptr;
    } catch (const httpclientexceptionA&) {
      CancelPost();
      throw;
    } catch (const SafeIntException& e) {
      CancelPost();
      RaiseArithmeticError(e);
    }
  }

  // Ends the form request. When WinInet asks for it again, up to POST_RESENDS
  // times, it is sent again on the same handle (where the login's state
  // lives) with the same announced length, and the body starts anew: false.
  // Any other failure, or one more request for it, raises 409.
  BOOL _EndFormRequest() {
    try {
      HttpTool::EndRequest(m_hRequest);
      return TRUE;
    } catch (const httpclientexceptionA& e) {
      if (e.SystemError() != ERROR_INTERNET_FORCE_RETRY || m_nPostResends >= POST_RESENDS) throw;
    }
    ++m_nPostResends;
    const DWORD cbTotal = m_objPostStat.ActualTotalByte();
    const DWORD cbValues = m_objPostStat.TotalValueByte();
    const DWORD nCount = m_objPostStat.TotalCount();
    HttpTool::SendRequestEx(m_hRequest, cbTotal);
    _ReleaseCurrValue();
    m_objPostStat.Activate(cbTotal, cbValues, nCount, 0);
    return FALSE;
  }

  CHttpResponse* _ProceedUploadContext() {
    try {
      if (!m_objPostStat.IsActive()) RaiseError(HTTPCLIENT_ERR_POST_NOT_STARTED);
      if (m_hInternet == nullptr)
        RaiseErrorMessage("CHttpClientT::_ProceedUploadContext: m_hInternet can not be NULL.", 0);
      if (m_hConnection == nullptr)
        RaiseErrorMessage("CHttpClientT::_ProceedUploadContext: m_hConnection can not be NULL.", 0);
      if (m_hRequest == nullptr)
        RaiseErrorMessage("CHttpClientT::_ProceedUploadContext: m_hRequest can not be NULL.", 0);

      if (m_objPostStat.ActualPostedByte() == m_objPostStat.ActualTotalByte()) {
        HttpTool::EndRequest(m_hRequest);
        return _ReleasePostResponse();
      }
      PCSZ szBoundary =
          m_szBoundary != nullptr ? m_szBoundary : "----CORVU-FB3B405B7EAE495aB0C0295C54D4E096-";

      if (m_objPostStat.TotalCount() == 0) {
        _WritePost("\r\n--");
        _WritePost(szBoundary);
        _WritePost("--\r\n");
        return nullptr;
      }

      if (m_objPostStat.CurrParamIsComplete()) {
        if (m_objPostStat.PostedCount() == m_objPostStat.TotalCount()) {
          _WritePost("--");
          _WritePost(szBoundary);
          _WritePost("--\r\n");
          return nullptr;
        }
        auto it = m_mapParam.At(m_objPostStat.PostedCount());
        BOOL bFile = (it->second.dwFlags & CHttpClientMapFlagFile) != 0;
        DWORD cbSize = 0;
        _ReleaseCurrValue();
        if (!bFile) {
          if (m_bUseUtf8) {
            m_pbyCurrValue =
                reinterpret_cast<BYTE*>(HttpEncoder::Utf8EncodeA(it->second.szValue, m_nCodePage));
            m_bOwnCurrValue = TRUE;
          } else {
            m_pbyCurrValue = reinterpret_cast<BYTE*>(it->second.szValue);
            m_bOwnCurrValue = FALSE;
          }
          cbSize = HttpTool::SafeStrLen(reinterpret_cast<PCSZ>(m_pbyCurrValue));
        } else {
          DWORD nFile = m_objPostStat.PostedFileCount();
          if (m_phFiles == nullptr || nFile >= m_objPostStat.FileCount())
            RaiseError(HTTPCLIENT_ERR_OUT_OF_RANGE);
          HANDLE hFile = m_phFiles[nFile];
          cbSize =
              hFile == INVALID_HANDLE_VALUE ? 0 : HttpTool::GetFileSize(hFile, it->second.szValue);
        }

        _WritePost("--");
        _WritePost(szBoundary);
        _WritePost("\r\nContent-Disposition: form-data; name=\"");
        _WritePostText(it->first);
        if (bFile) {
          _WritePost("\"; filename=\"");
          _WritePostText(it->second.szValue);
          _WritePost("\"\r\nContent-Type: ");
          _WritePost(m_pszFileContTypes != nullptr
                         ? m_pszFileContTypes[m_objPostStat.PostedFileCount()]
                         : nullptr);
          _WritePost("\r\n\r\n");
        } else {
          _WritePost("\"\r\n\r\n");
        }
        m_objPostStat._StartNewEntry(it->first, cbSize, bFile,
                                     bFile ? it->second.szValue : nullptr);
        if (cbSize == 0) _WritePost("\r\n");
        return nullptr;
      }

      DWORD cbPiece = m_objPostStat.CurrParamRemainByte();
      if (cbPiece > POST_PIECE_BYTES) cbPiece = POST_PIECE_BYTES;
      if (m_objPostStat.CurrParamIsFile()) {
        if (m_pbyReadBuffer == nullptr) {
          m_pbyReadBuffer = static_cast<BYTE*>(std::malloc(READ_BUFFER_BYTES));
          if (m_pbyReadBuffer == nullptr) RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
        }
        HANDLE hFile = m_phFiles[m_objPostStat.PostedFileCount() - 1];
        DWORD cbRead = 0;
        if (!::ReadFile(hFile, m_pbyReadBuffer, cbPiece, &cbRead, nullptr))
          RaiseSystemError(HTTPCLIENT_ERR_READFILE_FAILED, ::GetLastError());
        if (cbRead != cbPiece) RaiseError(HTTPCLIENT_ERR_READ_UNEXPECTED_SIZE);
        _WritePost(m_pbyReadBuffer, cbRead, TRUE);
      } else {
        _WritePost(m_pbyCurrValue + m_objPostStat.CurrParamPostedByte(), cbPiece, TRUE);
      }
      if (m_objPostStat.CurrParamIsComplete()) _WritePost("\r\n");
      return nullptr;
    } catch (const httpclientexceptionA&) {
      CancelPost();
      throw;
    } catch (const SafeIntException& e) {
      CancelPost();
      RaiseArithmeticError(e);
    }
  }

  CHttpResponse* _ReleasePostResponse() {
    if (!m_objPostStat.IsActive())
      RaiseErrorMessage("CHttpClientT::_ReleasePostResponse: The post context is not active.", 0);
    HINTERNET hInternet = nullptr, hConnection = nullptr, hRequest = nullptr;
    _DetachPostHandles(hInternet, hConnection, hRequest);
    CHttpResponse* pResponse = new (std::nothrow) CHttpResponse(hInternet, hConnection, hRequest);
    if (pResponse == nullptr) {
      HttpTool::CloseInternetHandle(hRequest);
      HttpTool::CloseInternetHandle(hConnection);
      HttpTool::CloseInternetHandle(hInternet);
      RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    }
    return pResponse;
  }

  // Hands the context's handles out (borrowed ones as null) and returns the
  // context to inactive, releasing everything else it held.
  void _DetachPostHandles(HINTERNET& hInternet, HINTERNET& hConnection, HINTERNET& hRequest) {
    if (!m_objPostStat.IsActive())
      RaiseErrorMessage("CHttpClientT::_DetachPostHandles: The post context is not active.", 0);
    hInternet = m_bBorrowedInternet ? nullptr : m_hInternet;
    hConnection = m_bBorrowedConnection ? nullptr : m_hConnection;
    hRequest = m_hRequest;
    m_hInternet = m_hConnection = m_hRequest = nullptr;
    m_bBorrowedInternet = m_bBorrowedConnection = FALSE;

    DWORD nFileCount = m_objPostStat.FileCount();
    if (m_phFiles != nullptr) {
      for (DWORD i = 0; i < nFileCount; ++i)
        if (m_phFiles[i] != INVALID_HANDLE_VALUE && m_phFiles[i] != nullptr)
          ::CloseHandle(m_phFiles[i]);
      std::free(m_phFiles);
      m_phFiles = nullptr;
    }
    if (m_pszFileContTypes != nullptr) {
      for (DWORD i = 0; i < nFileCount; ++i) std::free(m_pszFileContTypes[i]);
      std::free(m_pszFileContTypes);
      m_pszFileContTypes = nullptr;
    }
    _ReleaseCurrValue();
    std::free(m_pbyReadBuffer);
    m_pbyReadBuffer = nullptr;
    m_objPostStat.Reset();
  }

  // ---- members ----------------------------------------------------------------

  PSZ m_szBoundary;
  PSZ m_szUploadContType;
  BOOL m_bUseUtf8;
  UINT m_nCodePage;
  CHttpClientMap m_mapHeader;
  CHttpClientMap m_mapParam;
  PSZ m_szUserAgent;
  DWORD m_dwAccessType;
  PSZ m_szProxyName;
  PSZ m_szProxyBypass;
  DWORD m_dwOpenFlags;
  PSZ m_szProxyUserName;
  PSZ m_szProxyPassword;
  CHttpPostStat m_objPostStat;
  // Upload context: one handle and one malloc'ed content type per file
  // parameter (FileCount entries); both tables malloc'ed, owned by the context.
  HANDLE* m_phFiles;
  PSZ* m_pszFileContTypes;
  BYTE* m_pbyCurrValue;
  BOOL m_bOwnCurrValue;
  HINTERNET m_hInternet;
  BOOL m_bBorrowedInternet;
  HINTERNET m_hConnection;
  BOOL m_bBorrowedConnection;
  HINTERNET m_hRequest;
  BOOL m_bFormContext;
  BYTE* m_pbyReadBuffer;
  DWORD m_nPostResends;

 private:
  HINTERNET _OpenInternet() {
    HINTERNET h =
        ::InternetOpenA(m_szUserAgent != nullptr ? m_szUserAgent : HttpTool::DefaultUserAgent(),
                        m_dwAccessType, m_szProxyName, m_szProxyBypass, m_dwOpenFlags);
    if (h == nullptr) RaiseSystemError(HTTPCLIENT_ERR_INTERNETOPEN_FAILED, ::GetLastError());
    return h;
  }

  static void _CloseAll(HINTERNET& hInternet, HINTERNET& hConnection, HINTERNET& hRequest,
                        PSZ szUrl) {
    HttpTool::CloseInternetHandle(hRequest);
    HttpTool::CloseInternetHandle(hConnection);
    HttpTool::CloseInternetHandle(hInternet);
    std::free(szUrl);
  }

  static bool _DupOrNull(PCSZ sz, PSZ& szOut) {
    szOut = nullptr;
    if (sz == nullptr) return true;
    size_t n = std::strlen(sz) + 1;
    szOut = static_cast<PSZ>(std::malloc(n));
    if (szOut == nullptr) return false;
    std::memcpy(szOut, sz, n);
    return true;
  }

  DWORD _EncodedNameLen(typename CHttpClientMap::ConstIter it) const {
    if (it->second.dwFlags & CHttpClientMapFlagRawName) return HttpTool::SafeStrLen(it->first);
    return HttpEncoder::UrlEncodeLenA(it->first, m_bUseUtf8, m_nCodePage);
  }
  DWORD _EncodedValueLen(typename CHttpClientMap::ConstIter it) const {
    if (it->second.dwFlags & CHttpClientMapFlagRawValue)
      return HttpTool::SafeStrLen(it->second.szValue);
    return HttpEncoder::UrlEncodeLenA(it->second.szValue, m_bUseUtf8, m_nCodePage);
  }

  // New malloc'ed URL encoding of szStr (an empty string for null or empty).
  PSZ _NewUrlEncoded(PCSZ szStr) const {
    DWORD cb = 0;
    try {
      cb = SafeDword::Add(HttpEncoder::UrlEncodeLenA(szStr, m_bUseUtf8, m_nCodePage), 1);
    } catch (const SafeIntException& e) {
      RaiseArithmeticError(e);
    }
    PSZ p = static_cast<PSZ>(std::malloc(cb));
    if (p == nullptr) RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    try {
      HttpEncoder::UrlEncodeA(p, szStr, m_bUseUtf8, m_nCodePage);
    } catch (...) {
      std::free(p);
      throw;
    }
    return p;
  }

  // Name, path or content type of a multipart header: UTF-8 when asked.
  void _WritePostText(PCSZ szText) {
    if (!m_bUseUtf8) {
      _WritePost(szText);
      return;
    }
    PSZ szUtf8 = HttpEncoder::Utf8EncodeA(szText, m_nCodePage);
    try {
      _WritePost(szUtf8);
    } catch (...) {
      std::free(szUtf8);
      throw;
    }
    std::free(szUtf8);
  }

  void _ReleaseCurrValue() {
    if (m_bOwnCurrValue) std::free(m_pbyCurrValue);
    m_pbyCurrValue = nullptr;
    m_bOwnCurrValue = FALSE;
  }

  static PSZ _Append(PSZ p, PCSZ sz, DWORD cb) {
    std::memcpy(p, sz, cb);
    return p + cb;
  }
  PSZ _AppendEncoded(PSZ p, PCSZ sz, bool bRaw) const {
    if (sz == nullptr) return p;
    if (bRaw) return _Append(p, sz, HttpTool::SafeStrLen(sz));
    HttpEncoder::UrlEncodeA(p, sz, m_bUseUtf8, m_nCodePage);
    return p + std::strlen(p);
  }
};

}  // namespace Corvu
