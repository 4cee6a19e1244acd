#include "bench/roundtrip.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/contract.h"
#include "bench/benchpage.h"
#include "platform/win.h"

namespace bench {

namespace {

const DWORD kRunLimitMs = 120000;
const int kWarmUp = 64;           // untimed sends: queues, caches, the first paint
const long kMaxLoops = 10000000;  // posted messages the pump takes at most
const UINT WM_BENCH_SENT = WM_APP + 0x51;
const char kNoopClass[] = "PavonixBenchNoop";

int g_nNoopHandled = 0;

LRESULT CALLBACK NoopProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_DOWNLOAD_PROGRESS) {
    ++g_nNoopHandled;
    return 0;
  }
  return DefWindowProcA(hWnd, msg, wParam, lParam);
}

struct Sender {
  DWORD dwPumpThread = 0;
  int nMessages = 0;
  bool bMoving = false;
  int nSent = 0;
  double dMs = 0;
  double dWarmUpMs = 0;
};

// The same percent at every message, as between most blocks of a large
// download; or, moving, one more at every message (each block of a download
// of about 100 blocks). 100 at the end either way.
DWORD WINAPI SendThread(LPVOID p) {
  Sender* s = static_cast<Sender*>(p);
  const double tWarm = NowMs();
  for (int i = 0; i < kWarmUp; ++i) {
    ReportDownloadProgress(0, s->nMessages);
    ++s->nSent;
  }
  const double t0 = NowMs();
  s->dWarmUpMs = t0 - tWarm;
  for (int i = 1; i <= s->nMessages; ++i) {
    if (s->bMoving)
      ReportDownloadProgress(100 - (s->nMessages - i) % 100, 100);
    else
      ReportDownloadProgress(s->nMessages, s->nMessages);
    ++s->nSent;
  }
  s->dMs = NowMs() - t0;
  PostThreadMessageA(s->dwPumpThread, WM_BENCH_SENT, 0, 0);
  return 0;
}

bool CreateNoopWindow(HINSTANCE hInstance) {
  WNDCLASSA wc;
  std::memset(&wc, 0, sizeof(wc));
  wc.hInstance = hInstance;
  wc.lpfnWndProc = NoopProc;
  wc.lpszClassName = kNoopClass;
  if (!RegisterClassA(&wc)) return false;
  HWND hWnd = CreateWindowExA(0, kNoopClass, "Pavonix round trip", WS_OVERLAPPED, 0, 0, 100, 100,
                              nullptr, nullptr, hInstance, nullptr);
  if (!hWnd) return false;
  g_hNotifyWnd = hWnd;
  return true;
}

// Takes what window creation left in the queue, at most 200 messages.
void Drain() {
  MSG m;
  for (int i = 0; i < 200 && PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE); ++i) {
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
}

}  // namespace

int RoundTrip(const char* szVariant, int nMessages) {
  const std::string strVariant = szVariant;
  const bool bPage = strVariant == "page" || strVariant == "hidden" || strVariant == "moving";
  HINSTANCE hInstance = GetModuleHandleA(nullptr);
  if (bPage) {
    if (!CreatePage(hInstance)) {
      std::fprintf(stderr, "cannot create the progress page (%lu)\n",
                   static_cast<unsigned long>(GetLastError()));
      return 3;
    }
    if (strVariant == "hidden") {
      ShowWindow(g_hProgressDlg, SW_HIDE);
      if (IsWindowVisible(g_hProgressDlg)) return 3;
    }
  } else if (!CreateNoopWindow(hInstance)) {
    std::fprintf(stderr, "cannot create the window (%lu)\n",
                 static_cast<unsigned long>(GetLastError()));
    return 3;
  }
  Drain();
  g_counters = PageCounters();  // the paints of the run only

  Sender sender;
  sender.dwPumpThread = GetCurrentThreadId();
  sender.nMessages = nMessages;
  sender.bMoving = strVariant == "moving";
  const UINT_PTR uTimer = SetTimer(nullptr, 0, kRunLimitMs, nullptr);
  if (!uTimer) return 3;
  HANDLE hThread = CreateThread(nullptr, 0, SendThread, &sender, 0, nullptr);
  if (!hThread) return 3;

  // The program's loop, ended by the worker's note or the time limit. Sent
  // messages are delivered inside GetMessageA and do not come back here.
  bool bDone = false;
  MSG m;
  for (long n = 0; n < kMaxLoops; ++n) {
    if (GetMessageA(&m, nullptr, 0, 0) <= 0) break;
    if (m.hwnd == nullptr && m.message == WM_BENCH_SENT) {
      bDone = true;
      break;
    }
    if (m.hwnd == nullptr && m.message == WM_TIMER && m.wParam == uTimer) break;
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  KillTimer(nullptr, uTimer);
  if (!bDone || WaitForSingleObject(hThread, 10000) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "the sends did not end within %lu ms\n",
                 static_cast<unsigned long>(kRunLimitMs));
    std::fflush(stderr);
    ExitProcess(4);  // the worker may still be blocked in a send to this thread
  }
  CloseHandle(hThread);

  const int nHandled = bPage ? g_counters.nProgressMessages : g_nNoopHandled;
  const std::string strText = bPage ? PercentText() : std::string("-");
  std::printf("roundtrip\t%s\t%d\t%d\t%d\t%.3f\t%d\t%s\t%.3f\n", strVariant.c_str(), nMessages,
              sender.nSent, nHandled, sender.dMs, g_counters.nTextPaints,
              strText.empty() ? "-" : strText.c_str(), sender.dWarmUpMs);
  std::fflush(stdout);
  return 0;
}

}  // namespace bench
