// Shared pieces of the program's HTTP exchanges: an Internet handle with
// time-outs, reading a whole reply body of a known length, and a form POST.
#pragma once
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "httpclient/httpclient.h"
#include "log/log.h"
#include "platform/win.h"

namespace pavonix {

// Largest service reply held in memory; a longer announced length fails.
const DWORD kMaxReplyBytes = 16u * 1024u * 1024u;

const DWORD kTimeoutOptions[5] = {
    INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
    INTERNET_OPTION_DATA_SEND_TIMEOUT, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT};

// Sets the connect, send, receive, data-send and data-receive time-outs of
// hInternet to dwTimeoutMs, in that order. Raises 410 with the last error at
// the first option refused; later ones are not tried.
inline void SetInternetTimeouts(HINTERNET hInternet, DWORD dwTimeoutMs) {
  for (DWORD dwOption : kTimeoutOptions) {
    DWORD dwValue = dwTimeoutMs;
    if (!InternetSetOptionA(hInternet, dwOption, &dwValue, sizeof(dwValue)))
      Corvu::RaiseSystemError(Corvu::HTTPCLIENT_ERR_INTERNETSETOPTION_FAILED, GetLastError());
  }
}

// The same five on a request handle, as a second line of defence for
// WinInet implementations that ignore the Internet handle's: the Internet
// handle already carries them, so a refusal here is logged at DEBUG and the
// remaining options are still tried. Never raises.
inline void SetRequestTimeouts(HINTERNET hRequest, DWORD dwTimeoutMs) {
  for (DWORD dwOption : kTimeoutOptions) {
    DWORD dwValue = dwTimeoutMs;
    if (!InternetSetOptionA(hRequest, dwOption, &dwValue, sizeof(dwValue)))
      LogDebug("request time-out option %lu refused (error %lu)",
               static_cast<unsigned long>(dwOption), static_cast<unsigned long>(GetLastError()));
  }
}

// InternetOpenA with the client's defaults, then the five time-outs set to
// dwTimeoutMs. Raises 402 or 410 (with the last error); a handle opened
// before a failure is closed.
inline HINTERNET OpenInternetWithTimeouts(DWORD dwTimeoutMs) {
  HINTERNET hInternet =
      InternetOpenA("Corvu HTTP Client Class", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (hInternet == nullptr)
    Corvu::RaiseSystemError(Corvu::HTTPCLIENT_ERR_INTERNETOPEN_FAILED, GetLastError());
  try {
    SetInternetTimeouts(hInternet, dwTimeoutMs);
  } catch (...) {
    InternetCloseHandle(hInternet);
    throw;
  }
  return hInternet;
}

// The library's client with the time-outs set on a form POST's own request
// handle as well: Windows hands the Internet handle's time-outs down to the
// handles made from it, some WinInet implementations (Wine's) only honour
// those of the request handle, and a service that takes the request and
// never answers would hold the run for good.
class CTimedHttpClient : public Corvu::CHttpClient {
 public:
  // BeginFormPost, then the five time-outs on its request handle (best
  // effort). Raises as BeginFormPost does; the begun context is closed by
  // CancelPost.
  void BeginTimedFormPost(HINTERNET hInternet, const char* szUrl, DWORD dwFlags,
                          DWORD dwTimeoutMs) {
    BeginFormPost(hInternet, szUrl, dwFlags);
    SetRequestTimeouts(m_hRequest, dwTimeoutMs);
  }
};

// A GET of szUrl on the caller's Internet handle (its time-outs apply to the
// connection too), the client's headers and then each of extraHeaders ("Name",
// "value") added, sent. The response does not own hInternet; the caller
// deletes it. Raises as the library does, with the handles it made closed.
inline Corvu::CHttpResponse* SendGetOnHandle(
    Corvu::CHttpClient& client, HINTERNET hInternet, const char* szUrl, DWORD dwFlags,
    DWORD dwTimeoutMs, const std::vector<std::pair<std::string, std::string>>& extraHeaders = {}) {
  client.CancelPost();
  HINTERNET hConnection = nullptr, hRequest = nullptr;
  try {
    hConnection = client.OpenConnection(hInternet, szUrl);
    hRequest = client.OpenRequest(hConnection, "GET", szUrl, dwFlags);
    // Child handles inherit the time-outs on Windows; some WinInet
    // implementations only honour them on the request handle itself.
    SetRequestTimeouts(hRequest, dwTimeoutMs);
    client.AddRequestHeader(hRequest);
    for (const auto& h : extraHeaders)
      Corvu::CHttpToolA::AddHeader(hRequest, h.first.c_str(), h.second.c_str());
    Corvu::CHttpToolA::SendRequest(hRequest);
  } catch (...) {
    Corvu::CHttpToolA::CloseInternetHandle(hRequest);
    Corvu::CHttpToolA::CloseInternetHandle(hConnection);
    throw;
  }
  Corvu::CHttpResponse* pResponse =
      new (std::nothrow) Corvu::CHttpResponse(nullptr, hConnection, hRequest);
  if (pResponse == nullptr) {
    Corvu::CHttpToolA::CloseInternetHandle(hRequest);
    Corvu::CHttpToolA::CloseInternetHandle(hConnection);
    Corvu::RaiseError(Corvu::HTTPCLIENT_ERR_OUT_OF_MEMORY);
  }
  return pResponse;
}

// The result of a reply whose status is not 200: the status, but -1 for a
// response without one (0, as Wine reports a request whose reply never came
// within the time-out), which would otherwise read as success.
inline int StatusResult(DWORD dwStatus) { return dwStatus == 0 ? -1 : static_cast<int>(dwStatus); }

// Reads cbLength body bytes, however many calls the reads take, into
// *pstrBytes exactly as they came (NUL bytes included). -1 when the length is
// above kMaxReplyBytes or the body ends short; library errors pass on.
inline int ReadReplyBytes(Corvu::CHttpResponse* pResponse, DWORD cbLength, std::string* pstrBytes) {
  if (cbLength > kMaxReplyBytes) return -1;
  std::vector<BYTE> buf(static_cast<size_t>(cbLength) + 1, 0);
  DWORD cbGot = 0;
  while (cbGot < cbLength) {
    DWORD n = pResponse->ReadContent(buf.data() + cbGot, cbLength - cbGot);
    if (n == 0 || n > cbLength - cbGot) break;
    cbGot += n;
  }
  if (cbGot != cbLength) return -1;
  pstrBytes->assign(reinterpret_cast<const char*>(buf.data()), cbLength);
  return 0;
}

// The same, handing back the text up to its first NUL byte.
inline int ReadReplyBody(Corvu::CHttpResponse* pResponse, DWORD cbLength, std::string* pstrReply) {
  std::string bytes;
  if (ReadReplyBytes(pResponse, cbLength, &bytes) != 0) return -1;
  pstrReply->assign(bytes.c_str(), std::strlen(bytes.c_str()));
  return 0;
}

// Steps a begun form POST until the response comes, which goes to
// *ppResponse (the caller deletes it), and reads a 200 reply's body into
// *pstrReply. Returns 0, the HTTP status of any other reply, or -1 for a reply
// without length or a body short of it; library errors pass on.
inline int CompleteFormPost(Corvu::CHttpClient& client, Corvu::CHttpResponse** ppResponse,
                            std::string* pstrReply) {
  while ((*ppResponse = client.ProceedPost()) == nullptr) {
  }
  DWORD dwStatus = (*ppResponse)->GetStatus();
  if (dwStatus != 200) return StatusResult(dwStatus);
  DWORD cbLength = 0;
  (*ppResponse)->GetContentLength(cbLength);
  std::string strReply;
  if (cbLength == 0 || ReadReplyBody(*ppResponse, cbLength, &strReply) != 0) return -1;
  if (pstrReply) *pstrReply = strReply;
  return 0;
}

// The form POST of a service exchange: an Internet handle with dwTimeoutMs
// time-outs, the client's default settings, the fields addFields puts on the
// client, then the POST of szUrl with the same time-outs on its request handle,
// read as CompleteFormPost does. A result of addFields other than 0 is
// returned and nothing is posted. A library error is logged (its text, then
// the WinInet error in words) and gives -1. Every handle made is closed.
int PostFormWithTimeouts(const char* szUrl, DWORD dwTimeoutMs,
                         const std::function<int(Corvu::CHttpClient&)>& addFields,
                         std::string* pstrReply);

}  // namespace pavonix
