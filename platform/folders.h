// Machine-wide places and the clock files are stamped with.
#pragma once
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/sim/wintypes.h"
#endif

// The folder for data shared by all users of the machine (CSIDL_COMMON_APPDATA,
// usually C:\ProgramData), without a trailing backslash. False when the
// system does not name one.
bool PlatCommonAppDataFolder(std::string* pstrPath);

// The current time in the units and origin of a file's time stamps (100 ns
// since 1601, UTC).
ULONGLONG PlatNowFileTime();

#ifndef _WIN32
namespace simwin {
// PlatCommonAppDataFolder's answer (default "C:\ProgramData"); empty: none.
void SetCommonAppDataFolder(const std::string& winPath);
}  // namespace simwin
#endif
