// Shared pieces of the benchmark programs: a visible stand-in for the
// progress page whose percent text the program's own handler
// (ShowDownloadPercent) repaints, a monotonic clock, the peak working set and
// a bounded message pump.
#pragma once
#include <string>

#include "platform/win.h"

namespace bench {

// What the page's window received, read on its own thread.
struct PageCounters {
  int nProgressMessages = 0;  // WM_DOWNLOAD_PROGRESS
  int nLastPercent = -1;
  int nTextPaints = 0;  // paints of the percent text
  int nStarted = 0;     // WM_INSTALL_STARTED
  int nDone = 0;        // WM_INSTALL_DONE
  int nFailed = 0;      // WM_INSTALL_FAILED
  int nFailReason = 0;  // WM_SHOW_FAIL_REASON
};

extern PageCounters g_counters;

// Milliseconds of QueryPerformanceCounter.
double NowMs();

// PeakWorkingSetSize of this process; 0 when it cannot be read.
unsigned long long PeakWorkingSetBytes();

// Creates the visible page: a top-level window with a progress bar (1004)
// and a static percent text (1031), and makes it g_hMainDlg, g_hProgressDlg
// and g_hNotifyWnd. Its procedure hands WM_DOWNLOAD_PROGRESS to
// ShowDownloadPercent and counts the worker's messages. False on failure.
bool CreatePage(HINSTANCE hInstance);

// The current text of the percent control.
std::string PercentText();

// Dispatches this thread's messages until hWait is signalled or dwTimeoutMs
// has passed. True when it was signalled.
bool PumpUntil(HANDLE hWait, DWORD dwTimeoutMs);

}  // namespace bench
