#include "net/httpreply.h"

#include "net/neterror.h"

namespace pavonix {

int PostFormWithTimeouts(const char* szUrl, DWORD dwTimeoutMs,
                         const std::function<int(Corvu::CHttpClient&)>& addFields,
                         std::string* pstrReply) {
  CTimedHttpClient client;
  HINTERNET hInternet = nullptr;
  Corvu::CHttpResponse* pResponse = nullptr;
  int nResult = -1;
  try {
    hInternet = OpenInternetWithTimeouts(dwTimeoutMs);
    client.SetInternetSettings(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    nResult = addFields(client);
    if (nResult == 0) {
      client.BeginTimedFormPost(hInternet, szUrl, Corvu::HTTPCLIENT_DEFAULT_REQUEST_FLAGS,
                                dwTimeoutMs);
      nResult = CompleteFormPost(client, &pResponse, pstrReply);
    }
  } catch (const Corvu::httpclientexceptionA& e) {
    LogError("%s", e.ErrorMessage());
    LogNetError(e.SystemError());
    nResult = -1;
  }
  delete pResponse;
  client.CancelPost();
  if (hInternet) InternetCloseHandle(hInternet);
  return nResult;
}

}  // namespace pavonix
