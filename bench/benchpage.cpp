#include "bench/benchpage.h"

#include <cstring>

#include "app/contract.h"
#include "platform/winperf.h"
#include "ui/pages.h"
#include "ui/startup.h"

namespace bench {

PageCounters g_counters;

namespace {

const char kPageClass[] = "PavonixBenchPage";

LRESULT CALLBACK PageProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_DOWNLOAD_PROGRESS:
      ++g_counters.nProgressMessages;
      g_counters.nLastPercent = static_cast<int>(wParam);
      ShowDownloadPercent(static_cast<int>(wParam));
      return 0;
    case WM_INSTALL_STARTED:
      ++g_counters.nStarted;
      return 0;
    case WM_INSTALL_DONE:
      ++g_counters.nDone;
      return 0;
    case WM_INSTALL_FAILED:
      ++g_counters.nFailed;
      return 0;
    case WM_SHOW_FAIL_REASON:
      ++g_counters.nFailReason;
      return 0;
    case WM_CTLCOLORSTATIC:
      // A static control asks its parent for colours each time it paints
      // (also when it paints straight from WM_SETTEXT, as Wine's does).
      if (reinterpret_cast<HWND>(lParam) == GetDlgItem(hWnd, IDC_PERCENT_TEXT))
        ++g_counters.nTextPaints;
      return DefWindowProcA(hWnd, msg, wParam, lParam);
    default:
      return DefWindowProcA(hWnd, msg, wParam, lParam);
  }
}

}  // namespace

double NowMs() {
  static LARGE_INTEGER freq = {};
  if (freq.QuadPart == 0) QueryPerformanceFrequency(&freq);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
}

unsigned long long PeakWorkingSetBytes() {
  PROCESS_MEMORY_COUNTERS pmc;
  std::memset(&pmc, 0, sizeof(pmc));
  pmc.cb = sizeof(pmc);
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc))) return 0;
  return static_cast<unsigned long long>(pmc.PeakWorkingSetSize);
}

bool CreatePage(HINSTANCE hInstance) {
  if (!InitCommonControlsFromSystem()) return false;
  WNDCLASSA wc;
  std::memset(&wc, 0, sizeof(wc));
  wc.hInstance = hInstance;
  wc.lpfnWndProc = PageProc;
  wc.lpszClassName = kPageClass;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  if (!RegisterClassA(&wc)) return false;

  HWND hPage = CreateWindowExA(0, kPageClass, "Pavonix benchmark", WS_OVERLAPPED | WS_CAPTION, 0, 0,
                               420, 140, nullptr, nullptr, hInstance, nullptr);
  if (!hPage) return false;
  HWND hBar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 10, 10, 380, 20, hPage,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PROGRESS_BAR)),
                              hInstance, nullptr);
  HWND hText = CreateWindowExA(
      0, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_LEFT, 10, 40, 120, 24, hPage,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PERCENT_TEXT)), hInstance, nullptr);
  if (!hBar || !hText) return false;

  g_hInstance = hInstance;
  g_hMainDlg = hPage;
  g_hProgressDlg = hPage;
  g_hNotifyWnd = hPage;
  // Shown, so that every percent change really repaints.
  ShowWindow(hPage, SW_SHOWNOACTIVATE);
  UpdateWindow(hPage);
  return IsWindowVisible(hText) != FALSE;
}

std::string PercentText() {
  char sz[64] = {0};
  GetWindowTextA(GetDlgItem(g_hProgressDlg, IDC_PERCENT_TEXT), sz, sizeof(sz));
  return sz;
}

bool PumpUntil(HANDLE hWait, DWORD dwTimeoutMs) {
  const double tEnd = NowMs() + dwTimeoutMs;
  for (;;) {
    const double left = tEnd - NowMs();
    if (left <= 0) return false;
    DWORD r =
        MsgWaitForMultipleObjects(1, &hWait, FALSE, static_cast<DWORD>(left) + 1, QS_ALLINPUT);
    if (r == WAIT_OBJECT_0) return true;
    if (r != WAIT_OBJECT_0 + 1) return false;
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
  }
}

}  // namespace bench
