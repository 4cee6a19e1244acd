// Test controls of the simulated registry.
//
// The simulation behaves like a 32-bit process on 64-bit Windows (the shipped
// program): under HKEY_LOCAL_MACHINE\Software a call without KEY_WOW64_64KEY
// lands in Software\Wow6432Node. Controls address keys the same way through
// `view`: RegView::Program (the default) is what such a call without view
// flags sees, Reg64 and Reg32 name one view explicitly, and RegView::Raw takes
// the path literally. Paths are below `root`, backslash-separated, matched
// without regard to case.
#pragma once
#include <string>
#include <vector>
#include "platform/sim/registry.h"
#include "platform/sim/wintypes.h"

namespace simwin {

enum class RegView { Program, Reg32, Reg64, Raw };

struct RegValueData {
  DWORD type = REG_NONE;
  std::string bytes;  // exact stored bytes, terminators included if stored
};

// Process bitness: true (default) = 32-bit process on 64-bit Windows, so
// HKLM\Software is redirected; false = native 64-bit process, no redirection.
void SetRegWow64Process(bool wow64);

// Keys and values. Setting a value creates the key path.
void CreateRegKey(HKEY root, const std::string& path, RegView view = RegView::Program);
bool RegKeyExists(HKEY root, const std::string& path, RegView view = RegView::Program);
void SetRegValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                 const std::string& bytes, RegView view = RegView::Program);
// Text stored as REG_SZ with its terminating zero byte.
void SetRegString(HKEY root, const std::string& path, const std::string& name,
                  const std::string& text, RegView view = RegView::Program);
bool GetRegValue(HKEY root, const std::string& path, const std::string& name, RegValueData* out,
                 RegView view = RegView::Program);
bool DeleteRegValue(HKEY root, const std::string& path, const std::string& name,
                    RegView view = RegView::Program);
// Deletes the key with everything below it.
bool DeleteRegTree(HKEY root, const std::string& path, RegView view = RegView::Program);
std::vector<std::string> ListRegSubKeys(HKEY root, const std::string& path,
                                        RegView view = RegView::Program);
std::vector<std::string> ListRegValues(HKEY root, const std::string& path,
                                       RegView view = RegView::Program);

// Permissions of a subtree, as a non-administrator meets them. A write-denied
// subtree can be opened for reading only: any open or create that asks for a
// right beyond KEY_READ (and the view flags) gets ERROR_ACCESS_DENIED, and no
// key can be created in it. An access-denied subtree cannot be opened at all.
// The rule covers the key and every key below it, existing or created later.
void DenyRegWrite(HKEY root, const std::string& path, RegView view = RegView::Program);
void DenyRegAccess(HKEY root, const std::string& path, RegView view = RegView::Program);
void ClearRegPermissions();

// What the logic asked for: access masks of RegOpenKeyExA / RegCreateKeyExA /
// RegDeleteKeyExA calls in order (0 when none yet), and keys still open.
REGSAM LastRegAccessMask();
std::vector<REGSAM> RegAccessMasks();
size_t OpenRegKeyCount();

}  // namespace simwin
