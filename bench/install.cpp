// One whole install run under Wine: InstallWorkerProc on its own thread, as
// the install click starts it, with the visible stand-in page receiving the
// worker's messages and repainting the percent while this thread pumps.
//
//   pavonix_bench_install --update-url URL
//
// Prints one tab-separated record:
//   install <worker exit> <ms> <done> <failed> <started> <progress messages> <text paints> <result>
//   <temp folder>
// <ms> is the worker's wall time from its start to its end, fixed pause
// included. Exit code 0 once the record is printed, 2 for a usage error, 3
// when the page or thread cannot be made, 4 when the worker did not end in time.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/worker.h"
#include "bench/benchpage.h"
#include "config/sysconfig.h"
#include "platform/win.h"

namespace {

const DWORD kRunLimitMs = 120000;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "--update-url") != 0) {
    std::fprintf(stderr, "usage: pavonix_bench_install --update-url URL\n");
    return 2;
  }
  CPavonixSysConfig::GetInstance()->m_strUpdateUrl = argv[2];
  if (!bench::CreatePage(GetModuleHandleA(nullptr))) {
    std::fprintf(stderr, "cannot create the stand-in page (%lu)\n",
                 static_cast<unsigned long>(GetLastError()));
    return 3;
  }

  char szTemp[MAX_PATH] = {0};
  GetTempPathA(MAX_PATH, szTemp);
  InstallThreadParam* pParam = new InstallThreadParam;
  pParam->m_strTempDir = szTemp;
  pParam->m_hNotifyWnd = g_hMainDlg;

  const double t0 = bench::NowMs();
  g_hWorkerThread = CreateThread(nullptr, 0, InstallWorkerProc, pParam, 0, nullptr);
  if (!g_hWorkerThread) {
    delete pParam;
    return 3;
  }
  if (!bench::PumpUntil(g_hWorkerThread, kRunLimitMs)) {
    std::fprintf(stderr, "the worker did not end within %lu ms\n",
                 static_cast<unsigned long>(kRunLimitMs));
    std::fflush(stderr);
    ExitProcess(4);
  }
  const double dMs = bench::NowMs() - t0;
  DWORD dwExit = 0;
  GetExitCodeThread(g_hWorkerThread, &dwExit);
  CloseHandle(g_hWorkerThread);
  g_hWorkerThread = nullptr;

  const bench::PageCounters& c = bench::g_counters;
  std::printf("install\t%ld\t%.3f\t%d\t%d\t%d\t%d\t%d\t%d\t%s\n",
              static_cast<long>(static_cast<int>(dwExit)), dMs, c.nDone, c.nFailed, c.nStarted,
              c.nProgressMessages, c.nTextPaints, g_nInstallResult, szTemp);
  std::fflush(stdout);
  // The dots animation may still be in its one-second sleep; it is not waited for.
  ExitProcess(0);
}
