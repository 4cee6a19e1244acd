// Start-up time of the program under Wine: from CreateProcess to a visible
// top-level window of the new process that holds the install button (1020),
// the main page. One warm-up start first, then RUNS timed ones; after each
// the program is closed (WM_CLOSE, TerminateProcess when it stays) and waited
// for, so that its single-instance mutex is gone before the next start.
//
//   pavonix_bench_startup PROGRAM.exe RUNS [TIMEOUT_MS]
//
// Prints one line per start: "startup <n> <ms> <closed|terminated>", n = 0 for
// the warm-up. Exit code 0 when every start showed the main page, 1 when one
// did not (a "failed <n> <why>" line says which), 2 for a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win.h"

namespace {

const int kInstallButton = 1020;
const DWORD kPollMs = 2;
const DWORD kCloseWaitMs = 10000;

double NowMs() {
  static LARGE_INTEGER freq = {};
  if (freq.QuadPart == 0) QueryPerformanceFrequency(&freq);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
}

struct Search {
  DWORD dwPid;
  HWND hFound;
};

BOOL CALLBACK OnTopWindow(HWND hWnd, LPARAM lParam) {
  Search* s = reinterpret_cast<Search*>(lParam);
  DWORD pid = 0;
  GetWindowThreadProcessId(hWnd, &pid);
  if (pid != s->dwPid || !IsWindowVisible(hWnd)) return TRUE;
  if (GetDlgItem(hWnd, kInstallButton) == nullptr) return TRUE;
  s->hFound = hWnd;
  return FALSE;
}

// Closes the program and waits for its end. True when WM_CLOSE ended it.
bool CloseProgram(const PROCESS_INFORMATION& pi, HWND hMain) {
  if (hMain) PostMessageA(hMain, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(pi.hProcess, kCloseWaitMs) == WAIT_OBJECT_0) return true;
  TerminateProcess(pi.hProcess, 1);
  WaitForSingleObject(pi.hProcess, kCloseWaitMs);
  return false;
}

// One start. The time to the main page in *pdMs; false with *pstrWhy set
// when the page did not show within dwTimeoutMs or the program ended first.
bool OneStart(const std::string& strProgram, DWORD dwTimeoutMs, double* pdMs, bool* pbClosed,
              std::string* pstrWhy) {
  std::string strCommand = "\"" + strProgram + "\"";
  STARTUPINFOA si;
  std::memset(&si, 0, sizeof(si));
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi;
  std::memset(&pi, 0, sizeof(pi));
  const double t0 = NowMs();
  if (!CreateProcessA(strProgram.c_str(), &strCommand[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &si, &pi)) {
    *pstrWhy = "CreateProcess failed (" + std::to_string(GetLastError()) + ")";
    return false;
  }
  Search s = {pi.dwProcessId, nullptr};
  bool bEnded = false;
  for (;;) {
    EnumWindows(OnTopWindow, reinterpret_cast<LPARAM>(&s));
    if (s.hFound) break;
    if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) {
      bEnded = true;
      break;
    }
    if (NowMs() - t0 > dwTimeoutMs) break;
    Sleep(kPollMs);
  }
  *pdMs = NowMs() - t0;
  if (!s.hFound) {
    DWORD dwExit = 0;
    GetExitCodeProcess(pi.hProcess, &dwExit);
    *pstrWhy =
        bEnded ? "the program ended first (exit " + std::to_string(static_cast<int>(dwExit)) + ")"
               : "no main page within " + std::to_string(dwTimeoutMs) + " ms";
  }
  *pbClosed = CloseProgram(pi, s.hFound);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return s.hFound != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: pavonix_bench_startup PROGRAM.exe RUNS [TIMEOUT_MS]\n");
    return 2;
  }
  const std::string strProgram = argv[1];
  const int nRuns = std::atoi(argv[2]);
  const DWORD dwTimeoutMs =
      argc == 4 ? static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)) : 30000;
  if (nRuns < 1 || nRuns > 100 || dwTimeoutMs == 0) {
    std::fprintf(stderr, "RUNS must be 1..100, TIMEOUT_MS above 0\n");
    return 2;
  }
  for (int i = 0; i <= nRuns; ++i) {
    double dMs = 0;
    bool bClosed = false;
    std::string strWhy;
    if (!OneStart(strProgram, dwTimeoutMs, &dMs, &bClosed, &strWhy)) {
      std::printf("failed\t%d\t%s\n", i, strWhy.c_str());
      std::fflush(stdout);
      return 1;
    }
    std::printf("startup\t%d\t%.3f\t%s\n", i, dMs, bClosed ? "closed" : "terminated");
    std::fflush(stdout);
  }
  return 0;
}
