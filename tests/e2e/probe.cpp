// End-to-end helper: prints the visible dialog windows of the desktop and
// their controls as one JSON object, so a scenario can tell which page shows
// and what it says. Texts are given as hex of their (GBK) bytes.
//
//   pavonix_e2e_probe.exe                 {"foreground": HWND, "windows": [...]}
//   pavonix_e2e_probe.exe [--hold MUTEX] --run PROGRAM [ARGS...]
//                                         {"exit": N}: PROGRAM's whole exit code
//   pavonix_e2e_probe.exe --serve SECONDS the first form once for each line
//                                         read, until end of input or SECONDS
//
// A scenario polls the pages many times; starting a Wine program for each
// look costs most of a second (the 32-bit one runs emulated), one served
// answer a few milliseconds.
#include "platform/win.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

std::string Hex(const char* p) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Rect(HWND hWnd) {
  RECT rc = {0, 0, 0, 0};
  GetWindowRect(hWnd, &rc);
  char sz[96];
  std::snprintf(sz, sizeof(sz), "[%ld,%ld,%ld,%ld]", (long)rc.left, (long)rc.top, (long)rc.right,
                (long)rc.bottom);
  return sz;
}

std::string Text(HWND hWnd) {
  // Read as UTF-16 and converted to the ANSI code page here: the narrow
  // messages do not carry a rich edit control's text across processes.
  // Bounded: a hung window must not hang the probe; at most 512 Ki characters.
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hWnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length))
    return std::string();
  const size_t cch = length + 1 < (1u << 19) ? length + 1 : (1u << 19);
  std::wstring wide(cch, L'\0');
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(hWnd, WM_GETTEXT, cch, (LPARAM)&wide[0], SMTO_ABORTIFHUNG, 2000,
                           &result))
    return std::string();
  wide.resize(wcslen(wide.c_str()));
  if (wide.empty()) return std::string();
  const int cb =
      WideCharToMultiByte(CP_ACP, 0, wide.c_str(), (int)wide.size(), NULL, 0, NULL, NULL);
  std::string narrow(cb > 0 ? (size_t)cb : 0, '\0');
  if (cb > 0)
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), (int)wide.size(), &narrow[0], cb, NULL, NULL);
  return Hex(narrow.c_str());
}

struct Output {
  std::string json;
  bool first = true;
};

BOOL CALLBACK OnChild(HWND hChild, LPARAM lParam) {
  Output* out = reinterpret_cast<Output*>(lParam);
  if (GetParent(hChild) == NULL) return TRUE;
  char szClass[64] = {};
  GetClassNameA(hChild, szClass, sizeof(szClass));
  char sz[160];
  std::snprintf(
      sz, sizeof(sz), "%s{\"id\":%d,\"visible\":%s,\"enabled\":%s,\"class\":\"%s\",\"rect\":",
      out->first ? "" : ",", GetDlgCtrlID(hChild), IsWindowVisible(hChild) ? "true" : "false",
      IsWindowEnabled(hChild) ? "true" : "false", szClass);
  out->json += sz;
  out->json += Rect(hChild) + ",\"text\":\"" + Text(hChild) + "\"}";
  out->first = false;
  return TRUE;
}

BOOL CALLBACK OnTop(HWND hWnd, LPARAM lParam) {
  Output* out = reinterpret_cast<Output*>(lParam);
  char szClass[64] = {};
  GetClassNameA(hWnd, szClass, sizeof(szClass));
  if (std::string(szClass) != "#32770" || !IsWindowVisible(hWnd)) return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(hWnd, &pid);
  char sz[200];
  std::snprintf(
      sz, sizeof(sz),
      "%s{\"hwnd\":%llu,\"pid\":%lu,\"owner\":%llu,\"topmost\":%s,\"instance\":%s,\"rect\":",
      out->first ? "" : ",", (unsigned long long)(UINT_PTR)hWnd, (unsigned long)pid,
      (unsigned long long)(UINT_PTR)GetWindow(hWnd, GW_OWNER),
      (GetWindowLongA(hWnd, GWL_EXSTYLE) & WS_EX_TOPMOST) ? "true" : "false",
      GetPropA(hWnd, "pavonix.exe") != NULL ? "true" : "false");
  out->json += sz;
  out->json += Rect(hWnd) + ",\"title\":\"" + Text(hWnd) + "\",\"controls\":[";
  Output children;
  EnumChildWindows(hWnd, OnChild, (LPARAM)&children);
  out->json += children.json + "]}";
  out->first = false;
  return TRUE;
}

}  // namespace

// "[--hold MUTEX] --run PROGRAM [ARGS...]": starts PROGRAM with ARGS (while
// holding the named mutex, when given), waits for it and prints its whole
// exit code, {"exit": N} with N unsigned; the exit status Wine hands Linux
// keeps only the low byte, so ExitProcess(-1) and a crash could not be told
// apart.
int RunAndReport(const char* szProgram, int argc, char** argv) {
  std::string cmd = std::string("\"") + szProgram + "\"";
  for (int i = 0; i < argc; ++i) cmd += std::string(" ") + argv[i];
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(szProgram, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    std::printf("{\"error\":%lu}\n", (unsigned long)GetLastError());
    return 2;
  }
  DWORD code = 0;
  if (WaitForSingleObject(pi.hProcess, 110000) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(pi.hProcess, &code)) {
    TerminateProcess(pi.hProcess, 1);
    std::printf("{\"error\":\"no exit\"}\n");
  } else {
    std::printf("{\"exit\":%lu}\n", (unsigned long)code);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return 0;
}

std::string Windows() {
  Output windows;
  EnumWindows(OnTop, (LPARAM)&windows);
  char sz[64];
  std::snprintf(sz, sizeof(sz), "{\"foreground\":%llu,\"windows\":[",
                (unsigned long long)(UINT_PTR)GetForegroundWindow());
  return sz + windows.json + "]}";
}

DWORD WINAPI EndAfter(LPVOID pvMs) {
  Sleep((DWORD)(UINT_PTR)pvMs);
  ExitProcess(3);
}

// One answer line for each line read, flushed, so the reader never waits on
// a buffer; bounded in time so a forgotten server does not outlive its run.
int Serve(DWORD dwSeconds) {
  HANDLE hTimer =
      CreateThread(nullptr, 0, EndAfter, (LPVOID)(UINT_PTR)(dwSeconds * 1000), 0, nullptr);
  if (hTimer) CloseHandle(hTimer);
  char szLine[64];
  while (std::fgets(szLine, sizeof(szLine), stdin) != nullptr) {
    if (std::strncmp(szLine, "quit", 4) == 0) break;
    std::printf("%s\n", Windows().c_str());
    std::fflush(stdout);
  }
  return 0;
}

int main(int argc, char** argv) {
  HANDLE hHeld = nullptr;
  if (argc >= 3 && std::strcmp(argv[1], "--hold") == 0) {
    hHeld = CreateMutexA(nullptr, TRUE, argv[2]);
    argc -= 2;
    argv += 2;
  }
  if (argc >= 3 && std::strcmp(argv[1], "--run") == 0) {
    int rc = RunAndReport(argv[2], argc - 3, argv + 3);
    if (hHeld) CloseHandle(hHeld);
    return rc;
  }
  if (argc == 3 && std::strcmp(argv[1], "--serve") == 0) {
    const long lSeconds = std::strtol(argv[2], nullptr, 10);
    return Serve(lSeconds > 0 && lSeconds < 3600 ? (DWORD)lSeconds : 600);
  }
  std::printf("%s\n", Windows().c_str());
  return 0;
}
