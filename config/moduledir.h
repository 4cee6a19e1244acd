// The program folder: the running program's full path cut before its last
// backslash, without a trailing backslash.
#pragma once
#include <string>

// Folder of the running program (GetModuleFileNameA of the null module, 260
// characters). A path without a backslash is returned whole; empty when the
// platform gives no path or one too long for the buffer.
std::string GetModuleDir();

// Makes the system folder the current folder, so that nothing the program
// loads or starts by a bare or relative name is taken from the folder it was
// started in (usually the user's downloads). False when it could not.
bool EnterSystemFolder();

// Replaces the program's own environment by the machine's
// (PlatMachineEnvironment), keeping only its TEMP and TMP (and Wine's own
// WINE* settings, which nothing of Windows reads), so that nothing it
// loads or starts follows a variable the user set (COR_PROFILER, a PATH of
// the user's, ComSpec, __COMPAT_LAYER). False, leaving it as it was, when
// the machine's environment cannot be read.
bool AdoptMachineEnvironment();
