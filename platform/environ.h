// The environment the machine gives a new process of this user, without
// anything the user set: the system variables (what CreateEnvironmentBlock
// builds without a user token from HKLM) and the user's identity and profile
// folders as Windows itself sets them.
#pragma once
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/sim/wintypes.h"
#endif

// The names PlatMachineEnvironment takes from the user's account rather than
// from the machine's variables.
inline const std::vector<std::string>& PlatIdentityVariables() {
  static const std::vector<std::string> names = {"USERNAME", "USERDOMAIN",   "USERPROFILE",
                                                 "APPDATA",  "LOCALAPPDATA", "HOMEDRIVE",
                                                 "HOMEPATH", "PUBLIC",       "ALLUSERSPROFILE"};
  return names;
}

// "NAME=value" strings: the machine's system variables (TEMP and TMP left
// out), then the identity variables: USERNAME and USERDOMAIN of the
// process's own account, USERPROFILE from the machine's profile list, and
// HOMEDRIVE and HOMEPATH from it, APPDATA and LOCALAPPDATA from the user's
// shell folders, PUBLIC and ALLUSERSPROFILE from the machine's. A value with
// no exact form in the ANSI code page is left out. FALSE with the last error
// when the system variables cannot be read.
BOOL PlatMachineEnvironment(std::vector<std::string>* pEntries);

#ifndef _WIN32
namespace simwin {
// The system variables of the simulated machine, "NAME=value" (default: a
// Windows 10 machine's: ComSpec, PATH, PATHEXT, SystemRoot, windir, TEMP and
// TMP of the Windows folder, and the like).
void SetMachineVariables(const std::vector<std::string>& entries);
// The identity variables PlatMachineEnvironment gives, "NAME=value" in the
// order of PlatIdentityVariables (default: user "user" of "PAVONIX-PC",
// profile C:\Users\user).
void SetUserIdentity(const std::vector<std::string>& entries);
}  // namespace simwin
#endif
