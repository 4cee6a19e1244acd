#include "platform/sysinfo.h"

#include "platform/syslib.h"

namespace {

// kernel32's functions are looked up, not imported: the import table stays as
// it is.
template <typename Fn>
bool Kernel32Proc(const char* pszName, Fn& fn) {
  return ResolveProc(GetModuleHandleA("kernel32.dll"), pszName, fn);
}

}  // namespace

bool PlatIsWow64Process() {
  BOOL(WINAPI * pfn)(HANDLE, PBOOL) = nullptr;
  BOOL bWow64 = FALSE;
  if (!Kernel32Proc("IsWow64Process", pfn) || !pfn(GetCurrentProcess(), &bWow64)) return false;
  return bWow64 != FALSE;
}

bool PlatSystemWindowsFolder(std::string* pstrPath) {
  UINT(WINAPI * pfn)(LPSTR, UINT) = nullptr;
  if (!Kernel32Proc("GetSystemWindowsDirectoryA", pfn)) return false;
  char szPath[MAX_PATH] = {0};
  const UINT n = pfn(szPath, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  pstrPath->assign(szPath, n);
  while (!pstrPath->empty() && pstrPath->back() == '\\') pstrPath->pop_back();
  return !pstrPath->empty();
}

UINT PlatAnsiCodePage() {
  UINT(WINAPI * pfn)() = nullptr;
  return Kernel32Proc("GetACP", pfn) ? pfn() : 0;
}
