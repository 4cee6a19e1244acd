// Corvu HTTP client library: a narrow-character (ANSI) HTTP client over
// WinInet. Include this header; everything lives in namespace Corvu.
//
// Types for callers (the one instantiation used by the program):
//   Corvu::CHttpClient    client of one exchange (CHttpClientT<CHttpToolA, CHttpEncoderA>)
//   Corvu::CHttpResponse  answer of a GET or POST, owns its handles (CHttpResponseT<CHttpToolA>)
//   Corvu::CHttpPostStat, Corvu::CHttpClientMap, Corvu::CHttpUrlAnalyzer
//   Corvu::httpclientexceptionA  the one exception type: ErrorMessage(),
//                                ErrorCode() (library code), SystemError() (last error)
//
// Every failure raises httpclientexceptionA. Form POST:
//   Corvu::CHttpClient client;
//   client.SetInternetSettings(nullptr, 0, nullptr, nullptr, 0);
//   client.AddParam("requestStr", json.c_str());
//   client.BeginFormPost(hInternet /* or null: own handle */, url, flags);
//   Corvu::CHttpResponse* resp = nullptr;
//   while ((resp = client.ProceedPost()) == nullptr) {}
//   DWORD status = resp->GetStatus(), len = 0;
//   BOOL hasLength = resp->GetContentLength(len);
//   while (DWORD n = resp->ReadContent(buf, sizeof buf)) { ... }
//   delete resp;                       // closes the handles it owns
// GET: client.AddParam(...); resp = client.SendGetRequest(url, flags); ... delete resp.
// Callers with their own Internet handle raise the library codes through
// Corvu::RaiseSystemError(402 or 410, GetLastError()).
// Text conversions: Corvu::AnsiToUtf8, Corvu::Utf8ToAnsi (active code page <-> UTF-8).
#pragma once
#include "httpclient/client.h"
#include "httpclient/clientmap.h"
#include "httpclient/encoder.h"
#include "httpclient/errors.h"
#include "httpclient/httptool.h"
#include "httpclient/poststat.h"
#include "httpclient/response.h"
#include "httpclient/safeint.h"
#include "httpclient/urlanalyzer.h"

namespace Corvu {

typedef CHttpClientT<CHttpToolA, CHttpEncoderA> CHttpClient;
typedef CHttpResponseT<CHttpToolA> CHttpResponse;
typedef CHttpPostStatT<CHttpToolA> CHttpPostStat;
typedef CHttpClientMapT<CHttpToolA> CHttpClientMap;
typedef CHttpUrlAnalyzerT<CHttpToolA> CHttpUrlAnalyzer;

// Request flags that the program passes to SendGetRequest and BeginFormPost.
const DWORD HTTPCLIENT_DEFAULT_REQUEST_FLAGS =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
    INTERNET_FLAG_RESYNCHRONIZE | INTERNET_FLAG_HYPERLINK | INTERNET_FLAG_NO_UI |
    INTERNET_FLAG_PRAGMA_NOCACHE;  // 0x84400F00

}  // namespace Corvu
