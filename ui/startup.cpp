#include "ui/startup.h"

#include "ui/pages.h"
#include "platform/syslib.h"

HANDLE g_hSingleMutex = NULL;

namespace {
const int kMaxTopLevelWalk = 100000;
}

HMODULE LoadRichEditFromSystem() {
  // Looked up at run time: systems without the loader update lack it.
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
  SetDefaultDllDirectoriesFn pfnSetDefault = nullptr;
  if (ResolveProc(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories", pfnSetDefault))
    pfnSetDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return LoadSystemLibrary("RICHED20.dll");
}

bool InitCommonControlsFromSystem() {
  // InitCommonControls is export 17 of COMCTL32.dll.
  typedef void(WINAPI * InitCommonControlsFn)(void);
  InitCommonControlsFn pfnInit = nullptr;
  if (!ResolveProc(LoadSystemLibrary("COMCTL32.dll"), MAKEINTRESOURCEA(17), pfnInit)) return false;
  pfnInit();
  return true;
}

HWND FindRunningInstance() {
  HWND hWnd = GetWindow(GetDesktopWindow(), GW_CHILD);
  for (int n = 0; n < kMaxTopLevelWalk && hWnd != NULL && IsWindow(hWnd); ++n) {
    if (GetPropA(hWnd, PAVONIX_INSTANCE_PROP) != NULL) return hWnd;
    hWnd = GetWindow(hWnd, GW_HWNDNEXT);
  }
  return NULL;
}

bool HandOverToRunningInstance() {
  HANDLE hMutex = CreateMutexA(NULL, FALSE, PAVONIX_SINGLE_MUTEX);
  if (hMutex != NULL && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(hMutex);
    HWND hRunning = FindRunningInstance();
    if (hRunning != NULL) {
      if (IsIconic(hRunning)) ShowWindow(hRunning, SW_RESTORE);
      SetForegroundWindow(hRunning);
      return true;
    }
    return false;  // no window yet (or closing): start as a first instance
  }
  g_hSingleMutex = hMutex;
  return false;
}

void RunMessageLoop() {
  MSG msg;
  while (GetMessageA(&msg, NULL, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}
