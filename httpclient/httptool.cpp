// CHttpToolA: one WinInet call per wrapper, with argument checks and the
// library's failure codes.
#include "httpclient/httptool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifndef _WIN32
#include <strings.h>
#endif

#include "httpclient/safeint.h"

namespace Corvu {

CHttpToolA::PCSZ CHttpToolA::DefaultUserAgent() { return "Corvu HTTP Client Class"; }

HINTERNET CHttpToolA::OpenConnection(HINTERNET hInternet, PCSZ szServerAddr, INTERNET_PORT nPort) {
  if (hInternet == nullptr)
    RaiseErrorMessage("CHttpToolA::OpenConnection: hInternet can not be NULL.", 0);
  if (szServerAddr == nullptr)
    RaiseErrorMessage("CHttpToolA::OpenConnection: szServerAddr can not be NULL.", 0);
  if (szServerAddr[0] == '\0')
    RaiseErrorMessage("CHttpToolA::OpenConnection: szServerAddr can not be an empty string.", 0);
  HINTERNET hConnection = ::InternetConnectA(hInternet, szServerAddr, nPort, nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, 0);
  if (hConnection == nullptr)
    RaiseSystemError(HTTPCLIENT_ERR_INTERNETCONNECT_FAILED, ::GetLastError());
  return hConnection;
}

HINTERNET CHttpToolA::OpenRequest(HINTERNET hConnection, PCSZ szVerb, PCSZ szObjectName,
                                  DWORD dwFlags) {
  if (hConnection == nullptr)
    RaiseErrorMessage("CHttpToolA::OpenRequest: hConnection can not be NULL.", 0);
  if (szObjectName == nullptr)
    RaiseErrorMessage("CHttpToolA::OpenRequest: szObjectName can not be NULL.", 0);
  if (szObjectName[0] == '\0')
    RaiseErrorMessage("CHttpToolA::OpenRequest: szObjectName can not be an empty string.", 0);
  LPCSTR szAcceptTypes[] = {"*/*", nullptr};
  HINTERNET hRequest = ::HttpOpenRequestA(hConnection, szVerb, szObjectName, "HTTP/1.1", nullptr,
                                          szAcceptTypes, dwFlags, 0);
  if (hRequest == nullptr)
    RaiseSystemError(HTTPCLIENT_ERR_HTTPOPENREQUEST_FAILED, ::GetLastError());
  return hRequest;
}

void CHttpToolA::AddHeader(HINTERNET hRequest, PCSZ szName, PCSZ szValue) {
  if (hRequest == nullptr) RaiseErrorMessage("CHttpToolA::AddHeader: hRequest can not be NULL.", 0);
  if (szName == nullptr) RaiseErrorMessage("CHttpToolA::AddHeader: szName can not be NULL.", 0);
  DWORD cchName = SafeStrLen(szName), cchValue = SafeStrLen(szValue);
  DWORD cchLine = 0;
  try {
    cchLine = SafeDword::Add(SafeDword::Add(cchName, cchValue), 4);
    SafeDword::Add(cchLine, 1);
  } catch (const SafeIntException& e) {
    RaiseArithmeticError(e);
  }
  LPSTR szLine = static_cast<LPSTR>(std::malloc(cchLine + 1));
  if (szLine == nullptr) RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
  std::memcpy(szLine, szName, cchName);
  std::memcpy(szLine + cchName, ": ", 2);
  if (cchValue != 0) std::memcpy(szLine + cchName + 2, szValue, cchValue);
  std::memcpy(szLine + cchName + 2 + cchValue, "\r\n", 3);
  BOOL bOk = ::HttpAddRequestHeadersA(hRequest, szLine, cchLine, HTTP_ADDREQ_FLAG_ADD);
  DWORD dwError = bOk ? 0 : ::GetLastError();
  std::free(szLine);
  if (!bOk) RaiseSystemError(HTTPCLIENT_ERR_HTTPADDREQUESTHEADERS_FAILED, dwError);
}

void CHttpToolA::SendRequest(HINTERNET hRequest) {
  if (hRequest == nullptr)
    RaiseErrorMessage("CHttpToolA::SendRequest: hRequest can not be NULL.", 0);
  if (!::HttpSendRequestA(hRequest, nullptr, 0, nullptr, 0))
    RaiseSystemError(HTTPCLIENT_ERR_HTTPSENDREQUEST_FAILED, ::GetLastError());
}

static_assert(sizeof(void*) != 4 || sizeof(INTERNET_BUFFERSA) == 40,
              "the 32-bit buffers record is 40 bytes");

void CHttpToolA::SendRequestEx(HINTERNET hRequest, DWORD dwTotalBytes) {
  if (hRequest == nullptr)
    RaiseErrorMessage("CHttpToolA::SendRequestEx: hRequest can not be NULL.", 0);
  INTERNET_BUFFERSA objBuffers;
  std::memset(&objBuffers, 0, sizeof(objBuffers));
  objBuffers.dwStructSize = sizeof(INTERNET_BUFFERSA);
  objBuffers.dwBufferTotal = dwTotalBytes;
  if (!::HttpSendRequestExA(hRequest, &objBuffers, nullptr, 0, 0))
    RaiseSystemError(HTTPCLIENT_ERR_HTTPSENDREQUESTEX_FAILED, ::GetLastError());
}

void CHttpToolA::InternetWriteFile(HINTERNET hRequest, const BYTE* pbyBuff, DWORD cbBuff) {
  if (hRequest == nullptr)
    RaiseErrorMessage("CHttpToolA::InternetWriteFile: hRequest can not be NULL.", 0);
  DWORD cbDone = 0;
  while (cbDone < cbBuff) {
    DWORD cbWritten = 0;
    if (!::InternetWriteFile(hRequest, pbyBuff + cbDone, cbBuff - cbDone, &cbWritten))
      RaiseSystemError(HTTPCLIENT_ERR_INTERNETWRITEFILE_FAILED, ::GetLastError());
    // A write that makes no progress would loop forever.
    if (cbWritten == 0 || cbWritten > cbBuff - cbDone)
      RaiseSystemError(HTTPCLIENT_ERR_INTERNETWRITEFILE_FAILED, ERROR_INTERNET_CONNECTION_ABORTED);
    cbDone += cbWritten;
  }
}

void CHttpToolA::EndRequest(HINTERNET hRequest) {
  if (hRequest == nullptr)
    RaiseErrorMessage("CHttpToolA::EndRequest: hRequest can not be NULL.", 0);
  if (!::HttpEndRequestA(hRequest, nullptr, 0, 0))
    RaiseSystemError(HTTPCLIENT_ERR_HTTPENDREQUEST_FAILED, ::GetLastError());
}

DWORD CHttpToolA::GetFileSize(HANDLE hFile, PCSZ szFilePath) {
  if (hFile == nullptr) RaiseErrorMessage("CHttpToolA::GetFileSize: hFile can not be NULL.", 0);
  if (szFilePath == nullptr)
    RaiseErrorMessage("CHttpToolA::GetFileSize: szFilePath can not be NULL.", 0);
  DWORD cbSize = ::GetFileSize(hFile, nullptr);
  if (cbSize == 0xFFFFFFFFu)
    RaiseSystemError(HTTPCLIENT_ERR_GETFILESIZE_FAILED, ::GetLastError(), szFilePath);
  return cbSize;
}

void CHttpToolA::SetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                           DWORD dwBufferLength) {
  if (!::InternetSetOptionA(hInternet, dwOption, lpBuffer, dwBufferLength))
    RaiseSystemError(HTTPCLIENT_ERR_INTERNETSETOPTION_FAILED, ::GetLastError());
}

void CHttpToolA::CloseInternetHandle(HINTERNET& hInternet) {
  if (hInternet == nullptr) return;
  ::InternetCloseHandle(hInternet);
  hInternet = nullptr;
}

DWORD CHttpToolA::SafeStrLen(PCSZ szStr) {
  if (szStr == nullptr) return 0;
  return static_cast<DWORD>(std::strlen(szStr));
}

CHttpToolA::PSZ CHttpToolA::GenerateBoundary() {
  GUID guid;
  if (FAILED(::CoCreateGuid(&guid))) return nullptr;
  PSZ sz = static_cast<PSZ>(std::malloc(44));
  if (sz == nullptr) return nullptr;
  std::snprintf(sz, 44, "----TOVRA-%.08x%.04x%.04x%.02x%.02x%.02x%.02x%.02x%.02x%.02x%.02x-",
                static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return sz;
}

int CHttpToolA::StringICmp(PCSZ a, PCSZ b) {
#ifdef _WIN32
  return ::_stricmp(a, b);
#else
  return ::strcasecmp(a, b);
#endif
}

int CHttpToolA::StringNICmp(PCSZ a, PCSZ b, size_t n) {
#ifdef _WIN32
  return ::_strnicmp(a, b, n);
#else
  return ::strncasecmp(a, b, n);
#endif
}

BOOL CHttpToolA::IsDBCSLeadByte(UINT nCodePage, BYTE by) {
  return ::IsDBCSLeadByteEx(nCodePage, by);
}

}  // namespace Corvu
