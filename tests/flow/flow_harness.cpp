// End-to-end harness of one install run on real Windows (Wine): hidden
// stand-ins for the main and progress dialogs, the worker on its own thread,
// a message loop on this one. Prints what happened, one tab-separated record
// per line, for tests/flow/run_flow.py to check:
//   temp <folder>            GetTempPathA
//   msg <name> <wParam> <g_nInstallResult when handled>
//   progress <percent>       each change of the download percent
//   text <text>              texts set on the percent control (first 30)
//   exit <code> | timeout    the worker's exit code
//   result, found, bar, texts, elapsed_ms  at the end
//
//   flow_harness [--update-url URL] [--invoicing-pc] [--log FILE] [--timeout-ms N]
//   flow_harness --print-temp
// --log writes every ERROR and DEBUG line of the run to FILE.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/worker.h"
#include "config/sysconfig.h"
#include "log/log.h"
#include "platform/win.h"

namespace {

const char kSkfpKey[] = "SOFTWARE\\skfpkprj\\skfpkprj";
const int kMaxTextLines = 30;

int g_nLastPercent = -1;
int g_nProgressCount = 0;
int g_nTextCount = 0;

void Out(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Out(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stdout, fmt, ap);
  va_end(ap);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

const char* MessageName(UINT msg) {
  switch (msg) {
    case WM_INSTALL_DONE:
      return "WM_INSTALL_DONE";
    case WM_INSTALL_STARTED:
      return "WM_INSTALL_STARTED";
    case WM_INSTALL_FAILED:
      return "WM_INSTALL_FAILED";
    case WM_SHOW_FAIL_REASON:
      return "WM_SHOW_FAIL_REASON";
    default:
      return nullptr;
  }
}

LRESULT CALLBACK MainProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_DOWNLOAD_PROGRESS) {
    ++g_nProgressCount;
    if (static_cast<int>(wParam) != g_nLastPercent) {
      g_nLastPercent = static_cast<int>(wParam);
      Out("progress\t%d", g_nLastPercent);
    }
    return 0;
  }
  if (const char* name = MessageName(msg)) {
    Out("msg\t%s\t%lu\t%d", name, static_cast<unsigned long>(wParam), g_nInstallResult);
    if (msg == WM_INSTALL_STARTED) g_nLastPercent = -1;
    return 0;
  }
  return DefWindowProcA(hWnd, msg, wParam, lParam);
}

LRESULT CALLBACK TextProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_SETTEXT) {
    if (g_nTextCount++ < kMaxTextLines)
      Out("text\t%s", lParam ? reinterpret_cast<const char*>(lParam) : "");
  }
  return DefWindowProcA(hWnd, msg, wParam, lParam);
}

HWND MakeWindow(const char* cls, HWND parent, int id) {
  DWORD style = parent ? WS_CHILD : WS_OVERLAPPEDWINDOW;
  return CreateWindowExA(0, cls, "", style, 0, 0, 300, 40, parent,
                         parent ? reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)) : nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

// Whether MarkInvoicingPc made the skfpkprj key: then the unmark removes it
// too, so that suites run after this one see a PC without it.
bool g_bMadeSkfpKey = false;

// The skfp install folder value, the probe that marks an invoicing PC. True
// when this run created it (and so removes it afterwards).
bool MarkInvoicingPc() {
  HKEY hKey = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\skfpkprj", 0, KEY_READ | PAVONIX_REG_VIEW,
                    &hKey) == ERROR_SUCCESS)
    RegCloseKey(hKey);
  else
    g_bMadeSkfpKey = true;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSkfpKey, 0, KEY_READ | PAVONIX_REG_VIEW, &hKey) ==
      ERROR_SUCCESS) {
    DWORD cb = 0;
    bool present =
        RegQueryValueExA(hKey, "installdir", nullptr, nullptr, nullptr, &cb) == ERROR_SUCCESS;
    RegCloseKey(hKey);
    if (present) return false;
  }
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSkfpKey, 0, nullptr, 0,
                      KEY_ALL_ACCESS | PAVONIX_REG_VIEW, nullptr, &hKey, nullptr) != ERROR_SUCCESS)
    return false;
  static const char kDir[] = "C:\\skfp";
  bool ok = RegSetValueExA(hKey, "installdir", 0, REG_SZ, reinterpret_cast<const BYTE*>(kDir),
                           sizeof(kDir)) == ERROR_SUCCESS;
  RegCloseKey(hKey);
  return ok;
}

void UnmarkInvoicingPc() {
  HKEY hKey = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSkfpKey, 0, KEY_ALL_ACCESS | PAVONIX_REG_VIEW, &hKey) ==
      ERROR_SUCCESS) {
    RegDeleteValueA(hKey, "installdir");
    RegCloseKey(hKey);
  }
  if (g_bMadeSkfpKey) {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kSkfpKey, PAVONIX_REG_VIEW, 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\skfpkprj", PAVONIX_REG_VIEW, 0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string strUpdateUrl;
  bool bInvoicing = false;
  DWORD dwTimeoutMs = 180000;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--update-url") && i + 1 < argc) {
      strUpdateUrl = argv[++i];
    } else if (!std::strcmp(argv[i], "--log") && i + 1 < argc) {
      std::snprintf(g_szLogPath, sizeof(g_szLogPath), "%s", argv[++i]);
      std::snprintf(g_szLogModule, sizeof(g_szLogModule), "%s", LOG_MODULE_NAME);
      g_nLogLevel = 4;
    } else if (!std::strcmp(argv[i], "--invoicing-pc")) {
      bInvoicing = true;
    } else if (!std::strcmp(argv[i], "--print-temp")) {
      char szTemp[MAX_PATH] = {0};
      GetTempPathA(MAX_PATH, szTemp);
      Out("temp\t%s", szTemp);
      return 0;
    } else if (!std::strcmp(argv[i], "--timeout-ms") && i + 1 < argc) {
      dwTimeoutMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr,
                   "usage: flow_harness [--update-url URL] [--invoicing-pc] [--log FILE] "
                   "[--timeout-ms N] | --print-temp\n");
      return 2;
    }
  }

  CPavonixSysConfig* pConfig = CPavonixSysConfig::GetInstance();
  if (!strUpdateUrl.empty()) pConfig->m_strUpdateUrl = strUpdateUrl;
  Out("config\t%s\t%s", pConfig->m_strUpdateUrl.c_str(), pConfig->m_strUniqueId.c_str());
  bool bMarked = bInvoicing && MarkInvoicingPc();

  HINSTANCE hInst = GetModuleHandleA(nullptr);
  WNDCLASSA wc;
  std::memset(&wc, 0, sizeof(wc));
  wc.hInstance = hInst;
  wc.lpfnWndProc = MainProc;
  wc.lpszClassName = "PavonixFlowMain";
  RegisterClassA(&wc);
  wc.lpfnWndProc = DefWindowProcA;
  wc.lpszClassName = "PavonixFlowProgress";
  RegisterClassA(&wc);
  wc.lpfnWndProc = TextProc;
  wc.lpszClassName = "PavonixFlowText";
  RegisterClassA(&wc);

  g_hInstance = hInst;
  g_hMainDlg = MakeWindow("PavonixFlowMain", nullptr, 0);
  g_hProgressDlg = MakeWindow("PavonixFlowProgress", nullptr, 0);
  LoadLibraryA("comctl32.dll");  // registers msctls_progress32
  HWND hBar = MakeWindow("msctls_progress32", g_hProgressDlg, 1004);
  if (!hBar) hBar = MakeWindow("STATIC", g_hProgressDlg, 1004);
  HWND hText = MakeWindow("PavonixFlowText", g_hProgressDlg, 1031);
  if (!g_hMainDlg || !g_hProgressDlg || !hBar || !hText) {
    Out("error\tcannot create the stand-in windows (%lu)",
        static_cast<unsigned long>(GetLastError()));
    return 3;
  }
  SendMessageA(hBar, WM_USER + 2, 55, 0);  // PBM_SETPOS: the worker must bring it back to 0

  char szTemp[MAX_PATH] = {0};
  GetTempPathA(MAX_PATH, szTemp);
  Out("temp\t%s", szTemp);

  InstallThreadParam* pParam = new InstallThreadParam;
  pParam->m_strTempDir = szTemp;
  pParam->m_hNotifyWnd = g_hMainDlg;
  ULONGLONG tStart = GetTickCount64();
  g_hWorkerThread = CreateThread(nullptr, 0, InstallWorkerProc, pParam, 0, nullptr);
  if (!g_hWorkerThread) {
    delete pParam;
    Out("error\tCreateThread failed (%lu)", static_cast<unsigned long>(GetLastError()));
    return 3;
  }

  bool bEnded = false;
  for (;;) {
    ULONGLONG elapsed = GetTickCount64() - tStart;
    if (elapsed >= dwTimeoutMs) break;
    DWORD r = MsgWaitForMultipleObjects(1, &g_hWorkerThread, FALSE,
                                        static_cast<DWORD>(dwTimeoutMs - elapsed), QS_ALLINPUT);
    if (r == WAIT_OBJECT_0) {
      bEnded = true;
      break;
    }
    if (r != WAIT_OBJECT_0 + 1) break;
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
  }
  ULONGLONG tEnd = GetTickCount64();
  if (!bEnded) {
    Out("timeout\t%lu", static_cast<unsigned long>(dwTimeoutMs));
    if (bMarked) UnmarkInvoicingPc();
    std::fflush(stdout);
    ExitProcess(4);  // the worker may still hold the loop
  }
  DWORD dwExit = 0;
  GetExitCodeThread(g_hWorkerThread, &dwExit);
  CloseHandle(g_hWorkerThread);
  g_hWorkerThread = nullptr;
  // Let a last dot of the stopping animation arrive, then report.
  for (ULONGLONG t0 = GetTickCount64(); GetTickCount64() - t0 < 1200;) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }

  Out("exit\t%ld", static_cast<long>(static_cast<int>(dwExit)));
  Out("result\t%d", g_nInstallResult);
  Out("found\t%d\t%d\t%d", g_bFoundFwkp, g_bFoundSkfp, g_bFoundUKey);
  Out("bar\t%ld", static_cast<long>(SendMessageA(hBar, WM_USER + 8, 0, 0)));  // PBM_GETPOS
  Out("texts\t%d\tprogress_messages\t%d", g_nTextCount, g_nProgressCount);
  Out("elapsed_ms\t%lu", static_cast<unsigned long>(tEnd - tStart));
  if (bMarked) UnmarkInvoicingPc();
  return 0;
}
