#include "update/httpcommtools.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

#include "httpclient/httpclient.h"
#include "log/log.h"
#include "net/httpreply.h"
#include "platform/crypto.h"
#include "platform/folders.h"
#include "platform/win.h"

namespace {

const DWORD kPostTimeoutMs = 10000;
const DWORD kDownloadTimeoutMs = 15000;
const DWORD kReadChunk = 10240;

bool IsDeviceName(const std::string& name) {
  // The part before the first dot, blanks at its end ignored: "NUL.txt" and
  // "con " name devices too.
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  std::string up;
  for (char c : base) up += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (up == "CON" || up == "PRN" || up == "AUX" || up == "NUL" || up == "CONIN$" || up == "CONOUT$")
    return true;
  if (up.size() == 4 && (up.compare(0, 3, "COM") == 0 || up.compare(0, 3, "LPT") == 0) &&
      up[3] >= '1' && up[3] <= '9')
    return true;
  return false;
}

// The system folder's tskill.exe with the file name as one quoted argument:
// the bare name would be searched for beside the program and in the current
// folder, and run elevated. Empty when the system folder is unknown.
std::string TskillCommandLine(const std::string& strName) {
  char szSystem[MAX_PATH] = {0};
  UINT n = GetSystemDirectoryA(szSystem, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  return "\"" + std::string(szSystem, n) + "\\tskill.exe\" \"" + strName + "\"";
}

}  // namespace

std::string UrlFileName(const std::string& strUrl) {
  size_t slash = strUrl.rfind('/');
  return slash == std::string::npos ? strUrl : strUrl.substr(slash + 1);
}

bool IsPlainFileName(const std::string& strName) {
  if (strName.empty() || strName == "." || strName == "..") return false;
  for (unsigned char c : strName) {
    if (c < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr) return false;
  }
  // Windows drops trailing dots and blanks, so such a name is not the file
  // that gets written ("..." would be the folder itself).
  if (strName.back() == '.' || strName.back() == ' ') return false;
  return !IsDeviceName(strName);
}

int CHTTPCommTools::SetServerUrl(const char* szUrl, int) {
  m_strServerUrl = szUrl ? szUrl : "";
  return 0;
}

int CHTTPCommTools::PostRequest(std::string strRequest, std::string* pstrReply) {
  return PostRequestString(m_strServerUrl, strRequest, pstrReply);
}

int CHTTPCommTools::PostRequestString(std::string strUrl, std::string strRequest,
                                      std::string* pstrReply) {
  return pavonix::PostFormWithTimeouts(
      strUrl.c_str(), kPostTimeoutMs,
      [&strRequest](Corvu::CHttpClient& client) {
        client.AddParam("requestStr", strRequest.c_str());
        return 0;
      },
      pstrReply);
}

int CHTTPCommTools::SetExpectedSha256(const std::string& strHex) {
  m_strExpectedSha256.clear();
  if (strHex.empty()) return 0;
  return PlatNormalizeSha256Hex(strHex, &m_strExpectedSha256) ? 0 : -1;
}

int CHTTPCommTools::DownloadFile(std::string strFolder, std::string strUrl,
                                 DownloadProgressProc pfnProgress, std::string* pstrLocalPath) {
  // The expected digest is for this download only.
  std::string strWantSha256;
  strWantSha256.swap(m_strExpectedSha256);
  if (!strWantSha256.empty()) {
    const std::string strName = UrlFileName(strUrl);
    if (!IsPlainFileName(strName)) {
      LogError("package name of %s is not a plain file name", strUrl.c_str());
      return -1;
    }
    const std::string strLocal = strFolder + strName;
    std::string strKill = TskillCommandLine(strName);
    if (!strKill.empty()) WinExec(strKill.c_str(), SW_HIDE);
    DeleteFileA(strLocal.c_str());
    int nResult = m_verified.Fetch(strUrl, strWantSha256, strLocal, pfnProgress);
    if (pstrLocalPath) *pstrLocalPath = strLocal;
    return nResult;
  }
  Corvu::CHttpClient client;
  HINTERNET hInternet = nullptr;
  Corvu::CHttpResponse* pResponse = nullptr;
  FILE* fp = nullptr;
  int nResult = -1;
  try {
    hInternet = pavonix::OpenInternetWithTimeouts(kDownloadTimeoutMs);
    client.SetInternetSettings(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    pResponse =
        pavonix::SendGetOnHandle(client, hInternet, strUrl.c_str(),
                                 Corvu::HTTPCLIENT_DEFAULT_REQUEST_FLAGS, kDownloadTimeoutMs);
    DWORD dwStatus = pResponse->GetStatus();
    DWORD cbLength = 0;
    if (dwStatus != 200) {
      nResult = pavonix::StatusResult(dwStatus);
    } else if (pResponse->GetContentLength(cbLength) && cbLength != 0) {
      // A name that is not a plain file name would put the file (and later
      // run it) somewhere outside the folder: nothing is touched then.
      std::string strName = UrlFileName(strUrl);
      if (IsPlainFileName(strName)) {
        std::string strLocal = strFolder + strName;
        std::string strKill = TskillCommandLine(strName);
        if (!strKill.empty()) WinExec(strKill.c_str(), SW_HIDE);
        DeleteFileA(strLocal.c_str());
        fp = plat_fopen(strLocal.c_str(), "wb");
        if (fp != nullptr) {
          BYTE buf[kReadChunk + 1];
          std::memset(buf, 0, sizeof(buf));
          uint64_t cbTotal = 0;
          // A cut file (disk full, a failed flush) must never count as a
          // download: it would be run as the installer.
          bool bWritten = true;
          for (;;) {
            DWORD n = pResponse->ReadContent(buf, kReadChunk);
            if (n == 0) break;
            if (plat_fwrite(buf, 1, n, fp) != n) {
              LogError("writing %s failed", strLocal.c_str());
              bWritten = false;
              break;
            }
            cbTotal += n;
            std::memset(buf, 0, sizeof(buf));
            if (pfnProgress) {
              // The callback takes ints: lengths of 2 GiB and more are halved
              // together, so the percent stays right instead of going negative.
              const int shift = cbLength > static_cast<DWORD>(INT_MAX) ? 1 : 0;
              pfnProgress(static_cast<int>(std::min<uint64_t>(cbTotal >> shift, INT_MAX)),
                          static_cast<int>(cbLength >> shift));
            }
          }
          const int nClosed = plat_fclose(fp);
          fp = nullptr;
          if (bWritten && nClosed != 0) {
            LogError("closing %s failed", strLocal.c_str());
            bWritten = false;
          }
          nResult =
              (bWritten && cbTotal == cbLength && plat_access(strLocal.c_str(), 0) == 0) ? 0 : -1;
          if (pstrLocalPath) *pstrLocalPath = strLocal;
        }
      }
    }
  } catch (const Corvu::httpclientexceptionA& e) {
    LogError("%s", e.ErrorMessage());
    nResult = -1;
  }
  if (fp) plat_fclose(fp);
  delete pResponse;
  client.CancelPost();
  if (hInternet) InternetCloseHandle(hInternet);
  return nResult;
}
