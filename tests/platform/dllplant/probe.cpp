// Opens a WinInet session and prints where WinInet came from. Built twice:
// through the platform (run-time loading from the system folder), and as a
// program that imports WinInet the ordinary way (PAVONIX_PROBE_IMPORTS), which
// is what the planted-DLL test must see fall for the plant.
#ifdef PAVONIX_PROBE_IMPORTS
#define PLAT_WININET_NO_REDIRECT
#endif
#include <cstdio>

#include "platform/win.h"

int main() {
  HINTERNET h = InternetOpenA("probe", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  char szPath[MAX_PATH] = "none";
  HMODULE hWinInet = GetModuleHandleA("wininet.dll");
  if (hWinInet != nullptr) GetModuleFileNameA(hWinInet, szPath, MAX_PATH);
  std::printf("open=%d wininet=%s\n", h != nullptr, szPath);
  if (h != nullptr) InternetCloseHandle(h);
  return h != nullptr ? 0 : 1;
}
