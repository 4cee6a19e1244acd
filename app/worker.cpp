#include "app/worker.h"

#include <string>

#include "config/sysconfig.h"
#include "env/envcheck.h"
#include "env/localservice.h"
#include "update/updater.h"

BYTE g_bFoundFwkp = 0;
BYTE g_bFoundSkfp = 0;
BYTE g_bFoundUKey = 0;

// Progress-bar messages (commctrl.h), by their Windows values.
#ifndef PBM_SETPOS
#define PBM_SETPOS (WM_USER + 2)
#define PBM_SETSTEP (WM_USER + 4)
#define PBM_STEPIT (WM_USER + 5)
#endif

namespace {

const DWORD kPauseBeforeVendorMs = 3000;

// Set-step 1000, step-it, set-position 0: the bar is back at 0.
void ResetProgressBar() {
  HWND hBar = GetDlgItem(g_hProgressDlg, IDC_PROGRESS_BAR);
  SendMessageA(hBar, PBM_SETSTEP, 1000, 1);
  SendMessageA(hBar, PBM_STEPIT, 0, 1);
  SendMessageA(hBar, PBM_SETPOS, 0, 0);
}

void StopAnimation() {
  g_bAnimStop = 1;
  Sleep(10);
  if (g_hAnimThread != nullptr) {
    CloseHandle(g_hAnimThread);
    g_hAnimThread = nullptr;
  }
}

// The result is set before either message is sent, so the failure page
// always reads the code of this run.
void ReportFailure(int nResult) {
  g_nInstallResult = nResult;
  SendMessageA(g_hMainDlg, WM_INSTALL_FAILED, 0, 0);
  SendMessageA(g_hMainDlg, WM_SHOW_FAIL_REASON, 0, 0);
}

bool Found(int (CEnvCheckTool::*probe)(std::string&)) {
  CEnvCheckTool tool;
  std::string path;
  return (tool.*probe)(path) == 0;
}

}  // namespace

DWORD WINAPI InstallWorkerProc(LPVOID lpParam) {
  InstallThreadParam* pParam = static_cast<InstallThreadParam*>(lpParam);
  g_hNotifyWnd = pParam ? pParam->m_hNotifyWnd : nullptr;
  delete pParam;

  g_bFoundFwkp = Found(&CEnvCheckTool::QueryFwkpPath) ? 1 : 0;
  g_bFoundSkfp = Found(&CEnvCheckTool::QuerySkfpInstallDir) ? 1 : 0;
  g_bFoundUKey = Found(&CEnvCheckTool::FindUKeyClientDir) ? 1 : 0;
  if (!g_bFoundFwkp && !g_bFoundSkfp && !g_bFoundUKey) {
    StopAnimation();
    ReportFailure(INSTALL_RESULT_NOT_INVOICING_PC);
    return static_cast<DWORD>(-2);
  }

  int nQuery;
  {
    CLocalServiceQuery query;
    query.m_strCrosFlag = "0";
    query.m_strClientMode = "0";
    query.m_strApiVersion = "1.0";
    query.m_strBaseUrl = "https://127.0.0.1:28000";
    std::string strVersion;
    nQuery = query.QueryVersion(&strVersion);
  }

  if (nQuery != 0) {
    // The invoice control is missing or unhealthy: install its client first.
    ResetProgressBar();
    CPavonixSysConfig* pConfig = CPavonixSysConfig::GetInstance();
    int rc =
        UpdateAndInstall(pConfig->m_strClientType.c_str(), pConfig->m_strClientTypeVersion.c_str());
    if (rc != 0) {
      StopAnimation();
      ReportFailure(rc == -1 ? INSTALL_RESULT_NETWORK_ERROR : INSTALL_RESULT_CONTROL_FAILED);
      return static_cast<DWORD>(-1);
    }
  }

  Sleep(kPauseBeforeVendorMs);
  ResetProgressBar();
  CPavonixSysConfig* pConfig = CPavonixSysConfig::GetInstance();
  int rc = UpdateAndInstall(pConfig->m_strVendorCode.c_str(), pConfig->m_strVendorVersion.c_str());
  StopAnimation();
  if (rc == 0) {
    SendMessageA(g_hMainDlg, WM_INSTALL_DONE, 0, 0);
    return 0;
  }
  ReportFailure(rc == -1 ? INSTALL_RESULT_NETWORK_ERROR : INSTALL_RESULT_AUTH_FAILED);
  return static_cast<DWORD>(-1);
}
