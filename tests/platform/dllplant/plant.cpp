// A stand-in for a wininet.dll someone put beside the program: when any
// process loads it, it leaves a mark file named after itself
// ("<its path>.loaded"). It exports WinInet's names (plant.def.in) so that a
// program importing WinInet loads it.
#define PLAT_WININET_NO_REDIRECT
#include "platform/win.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
  if (dwReason == DLL_PROCESS_ATTACH) {
    char szPath[MAX_PATH + 8] = {0};
    DWORD n = GetModuleFileNameA(hInstance, szPath, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
      lstrcpyA(szPath + n, ".loaded");
      HANDLE h = CreateFileA(szPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  }
  return TRUE;
}

extern "C" HINTERNET WINAPI PlantInternetOpenA(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}
