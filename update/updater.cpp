#include "update/updater.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "app/contract.h"
#include "config/sysconfig.h"
#include "platform/win.h"
#include "update/catalogkey.h"
#include "update/catalogue.h"
#include "update/httpcommtools.h"
#include "update/signedcomm.h"
#include "update/softupdate.h"
#include "update/updatekey.h"

// The shipped 32-bit program hands CreateProcessA a STARTUPINFOA of 68 bytes.
static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOA) == 68, "STARTUPINFOA layout");

// The listed SHA-256 of the file an installer path holds: the last package
// saved under that name wrote it. Empty when none was listed.
static std::string ListedSha256(CSoftUpdateTool& tool, const std::string& strPath) {
  auto fold = [](std::string s) {
    for (char& c : s)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
  };
  std::string strSha256;
  for (const SoftPackage& pkg : tool.m_lstSoft) {
    if (pkg.bExcuteExe && fold(tool.m_folder.Path() + UrlFileName(pkg.strAddress)) == fold(strPath))
      strSha256 = pkg.strSha256;
  }
  return strSha256;
}

int UpdateAndInstall(const char* szSoft, const char* szVersion) {
  CPavonixSysConfig* pConfig = CPavonixSysConfig::GetInstance();
  return RunProductUpdateOverHttp(BuiltInUpdateKey(), BuiltInCatalogueKey(),
                                  pConfig->m_strUpdateUrl, pConfig->m_strUniqueId, szSoft,
                                  szVersion);
}

int RunProductUpdateOverHttp(const char* szUpdateKey, const std::string& strServerUrl,
                             const std::string& strUid, const char* szSoft, const char* szVersion) {
  return RunProductUpdateOverHttp(szUpdateKey, "", strServerUrl, strUid, szSoft, szVersion);
}

int RunProductUpdateOverHttp(const char* szUpdateKey, const char* szCatalogueKey,
                             const std::string& strServerUrl, const std::string& strUid,
                             const char* szSoft, const char* szVersion) {
  CHTTPCommTools comm;
  if (szUpdateKey == nullptr || *szUpdateKey == '\0')
    return RunProductUpdate(&comm, strServerUrl, strUid, szSoft, szVersion);
  CSignedCommTools signedComm(&comm, szUpdateKey);
  if (szCatalogueKey == nullptr || *szCatalogueKey == '\0')
    return RunProductUpdate(&signedComm, strServerUrl, strUid, szSoft, szVersion);
  CCatalogueCommTools catalogueComm(&signedComm, szCatalogueKey);
  return RunProductUpdate(&catalogueComm, strServerUrl, strUid, szSoft, szVersion);
}

int RunProductUpdate(CCommBase* pComm, const std::string& strServerUrl, const std::string& strUid,
                     const char* szSoft, const char* szVersion) {
  CSoftUpdateTool tool;
  tool.m_strServerUrl = strServerUrl;
  tool.m_pComm = pComm;

  bool bReady = false;
  for (int attempt = 0; attempt < UPDATE_MAX_ATTEMPTS && !bReady; ++attempt) {
    // Each attempt works on its own reply only.
    tool.m_lstSoft.clear();
    tool.m_lstInstaller.clear();
    bReady = tool.RequestSoftList(strUid.c_str(), szSoft, szVersion) == 0 &&
             tool.DownloadPackages() == 0;
  }
  if (!bReady) return -1;

  g_bAnimStop = 0;
  SendMessageA(g_hNotifyWnd, WM_INSTALL_STARTED, 0, 0);
  HANDLE hAnim = CreateThread(nullptr, 0, DotsAnimationProc, nullptr, 0, nullptr);
  // The previous product's animation was told to stop and ends on its own;
  // only its handle is dropped here.
  if (g_hAnimThread != nullptr) CloseHandle(g_hAnimThread);
  g_hAnimThread = hAnim;

  for (auto it = tool.m_lstInstaller.begin(); it != tool.m_lstInstaller.end(); ++it) {
    const std::string& strPath = *it;
    PROCESS_INFORMATION pi;
    const BOOL bStarted = tool.m_folder.StartInstaller(strPath, ListedSha256(tool, strPath), &pi);
    // Its process exists (or never will): the installer may now change its
    // own file. A path listed again stays held for its next start.
    if (std::find(std::next(it), tool.m_lstInstaller.end(), strPath) == tool.m_lstInstaller.end())
      tool.m_folder.Release(strPath);
    if (!bStarted) {
      g_bAnimStop = 1;
      return -2;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD dwExitCode = 0;
    GetExitCodeProcess(pi.hProcess, &dwExitCode);  // any exit code counts as run
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  g_bAnimStop = 1;
  return 0;
}
