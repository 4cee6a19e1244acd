// What the install worker and the window share: process-wide handles and
// flags, the run record, the private window messages, the failure codes, and
// the two procedures the worker side runs for the progress page.
#pragma once
#include <atomic>
#include <string>

#include "platform/win.h"

// Private window messages, sent with SendMessageA (lParam 0, wParam 0 unless
// stated); the receiving procedure returns 0.
#define WM_INSTALL_DONE (WM_USER + 111)        // 1135: every product run succeeded
#define WM_INSTALL_STARTED (WM_USER + 114)     // 1138: downloads done, installers about to run
#define WM_INSTALL_FAILED (WM_USER + 116)      // 1140: the run failed
#define WM_SHOW_FAIL_REASON (WM_USER + 120)    // 1144: show the reason g_nInstallResult selects
#define WM_DOWNLOAD_PROGRESS (WM_USER + 1999)  // 3023: wParam = percent of the current file

// Failure codes in g_nInstallResult; 0 until a failure.
enum {
  INSTALL_RESULT_NOT_INVOICING_PC = 1,  // text 1022
  INSTALL_RESULT_CONTROL_FAILED = 2,    // text 1023
  INSTALL_RESULT_NETWORK_ERROR = 3,     // text 1024
  INSTALL_RESULT_AUTH_FAILED = 4,       // text 1025
};

// Controls of the progress dialog used from the worker side.
#define IDC_PROGRESS_BAR 1004
#define IDC_PROGRESS_PERCENT 1031

// Handed to InstallWorkerProc as its thread parameter. The main dialog
// allocates it with new; from then on the worker owns it and deletes it.
struct InstallThreadParam {
  std::string m_strTempDir;  // GetTempPathA's text, ending in a backslash
  HWND m_hNotifyWnd;         // the main dialog
};

extern HINSTANCE g_hInstance;
extern HWND g_hMainDlg;
extern HWND g_hProgressDlg;
extern HANDLE g_hWorkerThread;
extern HWND g_hNotifyWnd;
extern int g_nInstallResult;
// Stop request of the dots animation: a byte written by the worker, polled by
// the animation thread; atomic so the unlocked hand-over is well defined.
extern std::atomic<BYTE> g_bAnimStop;
extern HANDLE g_hAnimThread;

// Progress callback of the downloads: sends WM_DOWNLOAD_PROGRESS with the
// truncated percent of nDone of nTotal to g_hNotifyWnd. A total of 0 (or
// less) sends 0. Returns 0.
int ReportDownloadProgress(int nDone, int nTotal);

// Thread procedure: shows ".", "..", "..." in control 1031 of
// g_hProgressDlg, one step a second, until g_bAnimStop is set. Returns 0 when
// stopped, -1 when the dialog has no control 1031.
DWORD WINAPI DotsAnimationProc(LPVOID unused);
