#include "platform/sysinfo.h"

bool PlatIsWow64Process() {
  // Looked up, not imported: the import table stays as it is.
  typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);
  HMODULE hKernel = GetModuleHandleA("kernel32.dll");
  IsWow64ProcessFn pfn = hKernel == NULL
                             ? nullptr
                             : reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void (*)()>(
                                   GetProcAddress(hKernel, "IsWow64Process")));
  BOOL bWow64 = FALSE;
  if (pfn == nullptr || !pfn(GetCurrentProcess(), &bWow64)) return false;
  return bWow64 != FALSE;
}

bool PlatSystemWindowsFolder(std::string* pstrPath) {
  char szPath[MAX_PATH] = {0};
  const UINT n = GetSystemWindowsDirectoryA(szPath, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  pstrPath->assign(szPath, n);
  while (!pstrPath->empty() && pstrPath->back() == '\\') pstrPath->pop_back();
  return !pstrPath->empty();
}
