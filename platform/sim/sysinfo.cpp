#include "platform/sysinfo.h"

#include <atomic>

#include "platform/sim/codepage.h"
#include "platform/sim/core.h"
#include "platform/sim/fs.h"
#include "platform/sim/kernel.h"

namespace {

std::atomic<bool> g_bWow64{false};

struct SysInfoReset {
  SysInfoReset() {
    simwin::core::OnReset([] { g_bWow64 = false; });
  }
};
SysInfoReset g_sysInfoReset;

}  // namespace

bool PlatIsWow64Process() {
  DWORD dwError;
  if (simwin::core::TakeFault("IsWow64Process", &dwError)) {
    SetLastError(dwError);
    return false;
  }
  return g_bWow64.load();
}

bool PlatSystemWindowsFolder(std::string* pstrPath) {
  DWORD dwError;
  if (simwin::core::TakeFault("GetSystemWindowsDirectoryA", &dwError)) {
    SetLastError(dwError);
    return false;
  }
  char szPath[MAX_PATH] = {0};
  const UINT n = GetWindowsDirectoryA(szPath, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  pstrPath->assign(szPath, n);
  while (!pstrPath->empty() && pstrPath->back() == '\\') pstrPath->pop_back();
  return !pstrPath->empty();
}

UINT PlatAnsiCodePage() { return GetACP(); }

namespace simwin {

void SetWow64Process(bool bWow64) { g_bWow64 = bWow64; }

}  // namespace simwin
