#include "platform/folders.h"

#include <shlobj.h>

#include "platform/syslib.h"

bool PlatCommonAppDataFolder(std::string* pstrPath) {
  // From the system folder at run time: the program imports nothing that the
  // loader could take from beside it (a downloads folder).
  typedef HRESULT(WINAPI * GetFolderPathFn)(HWND, int, HANDLE, DWORD, LPSTR);
  static HMODULE hShell = LoadSystemLibrary("shell32.dll");
  GetFolderPathFn pfnGetFolderPath = nullptr;
  if (!ResolveProc(hShell, "SHGetFolderPathA", pfnGetFolderPath)) return false;
  char szPath[MAX_PATH] = {0};
  if (FAILED(
          pfnGetFolderPath(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, szPath)) ||
      szPath[0] == '\0')
    return false;
  *pstrPath = szPath;
  while (!pstrPath->empty() && pstrPath->back() == '\\') pstrPath->pop_back();
  return !pstrPath->empty();
}

ULONGLONG PlatNowFileTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
