// The four pages of the program's window (main, progress, success, failure),
// their flow, the progress display and the quit routine.
#pragma once

#include "platform/winui.h"
#include "ui/res/resource.h"

#include <string>

// Timer of the progress dialog that watches the worker thread.
#define WORKER_WATCH_TIMER 1
#define WORKER_WATCH_PERIOD_MS 500

// Window property that marks the main dialog of the running instance.
#define PAVONIX_INSTANCE_PROP "pavonix.exe"

extern HWND g_hSuccessDlg;
extern HWND g_hFailureDlg;
extern HWND g_hLetterDlg;
extern bool g_bWorkerClosed;

INT_PTR CALLBACK MainDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ProgressDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK SuccessDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK FailureDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);

// Moves the bar and writes "<n>%" into the percent text of the progress
// dialog; values outside 0..100 are shown clamped. Returns 0. UI thread only.
int ShowDownloadPercent(int nPercent);
// The percent text for a value, clamped to 0..100, in a 12-byte buffer.
void FormatPercentText(int nPercent, char (&szText)[12]);

// Reason control of the failure dialog for a failure code; 0 for none.
int FailureReasonControl(int nInstallResult);

// Removes the instance mark and releases the worker handle. Returns 0.
int CleanupBeforeQuit();

#ifdef PAVONIX_TEST_HOOKS
// Where the install click starts the worker; tests replace it. Release builds
// have no such pointer: the click always calls CreateThread.
typedef HANDLE (*InstallThreadStarter)(LPTHREAD_START_ROUTINE pfnProc, LPVOID pParam);
extern InstallThreadStarter g_pfnStartInstallThread;
#endif

// Text of the main dialog's window: the product title, the maker's name, "专用".
std::string MakeMainTitle(const std::string& strMakerName);
