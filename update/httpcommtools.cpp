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
#include "platform/sysinfo.h"
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

// The folder of the system's own tskill.exe: System32 for a native process;
// for a 32-bit one on 64-bit Windows, whose System32 is redirected to
// SysWOW64 (without tskill.exe), the alias %windir%\Sysnative. Empty when
// unknown.
std::string TskillFolder() {
  if (PlatIsWow64Process()) {
    std::string strWindows;
    return PlatSystemWindowsFolder(&strWindows) ? strWindows + "\\Sysnative" : std::string();
  }
  char szSystem[MAX_PATH] = {0};
  UINT n = GetSystemDirectoryA(szSystem, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  return std::string(szSystem, n);
}

// Starts that tskill.exe, hidden and not waited for, with the file name as one
// quoted argument: the bare name would be searched for beside the program and
// in the current folder, and run elevated. Where it cannot run (no system
// folder, no tskill.exe, a failed start) one DEBUG line says so and the
// download goes on.
void RunTskill(const std::string& strName) {
  const std::string strFolder = TskillFolder();
  if (strFolder.empty()) {
    LogDebug("tskill not run for %s: system folder unknown", strName.c_str());
    return;
  }
  const std::string strExe = strFolder + "\\tskill.exe";
  const DWORD dwAttributes = GetFileAttributesA(strExe.c_str());
  if (dwAttributes == INVALID_FILE_ATTRIBUTES || (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    LogDebug("tskill not run for %s: no %s", strName.c_str(), strExe.c_str());
    return;
  }
  const UINT uStarted = WinExec(("\"" + strExe + "\" \"" + strName + "\"").c_str(), SW_HIDE);
  if (uStarted <= 31)
    LogDebug("tskill not run for %s: start failed (%u)", strName.c_str(), uStarted);
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

int CHTTPCommTools::SetExpectedSize(unsigned long long cbSize) {
  m_cbExpectedSize = cbSize;
  return cbSize != 0 ? 0 : -1;
}

int CHTTPCommTools::DownloadFile(std::string strFolder, std::string strUrl,
                                 DownloadProgressProc pfnProgress, std::string* pstrLocalPath) {
  // The expected digest and size are for this download only.
  std::string strWantSha256;
  strWantSha256.swap(m_strExpectedSha256);
  const unsigned long long cbWantSize = m_cbExpectedSize;
  m_cbExpectedSize = 0;
  if (!strWantSha256.empty()) {
    const std::string strName = UrlFileName(strUrl);
    if (!IsPlainFileName(strName)) {
      LogError("package name of %s is not a plain file name", strUrl.c_str());
      return -1;
    }
    const std::string strLocal = strFolder + strName;
    RunTskill(strName);
    DeleteFileA(strLocal.c_str());
    int nResult = m_verified.Fetch(strUrl, strWantSha256, strLocal, pfnProgress, cbWantSize);
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
    } else if (pResponse->GetContentLength(cbLength) && cbLength != 0 && cbWantSize != 0 &&
               cbLength != cbWantSize) {
      LogError("%s answered %lu bytes, not the signed %llu", strUrl.c_str(),
               static_cast<unsigned long>(cbLength), cbWantSize);
    } else if (cbLength != 0) {
      // A name that is not a plain file name would put the file (and later
      // run it) somewhere outside the folder: nothing is touched then.
      std::string strName = UrlFileName(strUrl);
      if (IsPlainFileName(strName)) {
        std::string strLocal = strFolder + strName;
        RunTskill(strName);
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
