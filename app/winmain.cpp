// Process entry: start-up in its fixed order, the single-instance hand-over,
// the main dialog and the message loop.
#include "app/contract.h"
#include "config/moduledir.h"
#include "config/sysconfig.h"
#include "download/pkgcache.h"
#include "log/log.h"
#include "platform/safefs.h"
#include "platform/winui.h"
#include "ui/pages.h"
#include "ui/res/resource.h"
#include "ui/startup.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/,
                   int /*nCmdShow*/) {
  // Before anything is loaded or run: never the starting folder.
  EnterSystemFolder();
  AdoptMachineEnvironment();
  // Where offered, no path the program opens follows a junction a user made.
  PlatRefuseUserJunctions();
  LoadRichEditFromSystem();
  const std::string strProgramDir = GetModuleDir();
  CPavonixSysConfig* pConfig = CPavonixSysConfig::GetInstance();
  PurgeExpiredLogs(pConfig->m_nLogKeepDays);
  PrepareLog(strProgramDir, pConfig->m_nLogLevel);
  LogAnsiCodePage();
  InitCommonControlsFromSystem();

  if (HandOverToRunningInstance()) return -1;
  // What earlier runs left: idle cache entries, week-old run folders. Only
  // the instance that goes on does it, never one handing over to a run.
  CleanUpEarlierRuns();

  g_hInstance = hInstance;
  g_hMainDlg =
      CreateDialogParamA(hInstance, MAKEINTRESOURCEA(IDD_MAIN), GetDesktopWindow(), MainDlgProc, 0);
  if (g_hMainDlg == NULL) {
    GetLastError();
    return 0;
  }
  SetPropA(g_hMainDlg, PAVONIX_INSTANCE_PROP, (HANDLE)1);
  ShowWindow(g_hMainDlg, SW_SHOW);

  RunMessageLoop();
  return 0;
}
