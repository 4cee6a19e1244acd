#include "platform/syslib.h"

HMODULE LoadSystemLibrary(const char* pszName) {
  HMODULE hModule = LoadLibraryExA(pszName, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (hModule != NULL) return hModule;
  // Systems without the search flags: name the file in the system folder.
  char szPath[MAX_PATH + 64];
  const UINT cch = GetSystemDirectoryA(szPath, MAX_PATH);
  if (cch == 0 || cch >= MAX_PATH || lstrlenA(pszName) > 60) return NULL;
  lstrcatA(szPath, "\\");
  lstrcatA(szPath, pszName);
  return LoadLibraryExA(szPath, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}
