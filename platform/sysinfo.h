// The Windows the program runs on: whether this process runs under WoW64, the
// shared Windows folder and the ANSI code page. The Win32 side looks the calls
// up in kernel32 at run time, so the import table stays as it is.
#pragma once
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/sim/wintypes.h"
#endif

// True when this is a 32-bit process on 64-bit Windows (IsWow64Process). False on 32-bit Windows,
// for a 64-bit process, for an x86 process on Windows on ARM (as Microsoft documents the call), and
// when the call is missing or fails.
bool PlatIsWow64Process();

// The system's Windows folder (GetSystemWindowsDirectoryA: never a Remote
// Desktop user's own), without a trailing backslash. False when unknown.
bool PlatSystemWindowsFolder(std::string* pstrPath);

// GetACP: 936 (GBK) on the PCs the program is made for; 0 when unknown.
UINT PlatAnsiCodePage();

#ifndef _WIN32
namespace simwin {
// PlatIsWow64Process's answer (default false). "IsWow64Process" and
// "GetSystemWindowsDirectoryA" take injected faults; the Windows folder is
// GetWindowsDirectoryA's (simwin::SetWindowsDir), as for a terminal-server
// aware program. PlatAnsiCodePage is GetACP (simwin::SetActiveCodePage).
void SetWow64Process(bool bWow64);
}  // namespace simwin
#endif
