// Waiting out another program's moment on a file. On-access virus scanners
// open, read and sometimes lock each new file as it is closed, some without
// sharing: an open of a file just written or about to run then fails with a
// sharing or lock violation for a moment.
#pragma once
#include <cstdio>
#include <functional>
#include <string>

#include "platform/win.h"

// The waits between tries, in milliseconds: about 3.5 s in all for one file.
const DWORD kBusyWaitsMs[] = {100, 200, 400, 800, 1000, 1000};

// ERROR_SHARING_VIOLATION or ERROR_LOCK_VIOLATION.
bool IsBusyError(DWORD dwError);

// Calls attempt (true on success, else the last error set) until it
// succeeds, fails with another error, or the waits are used up; before each
// retry one DEBUG line names the operation szWhat, the file and the error.
// Returns the last attempt's result, its last error kept.
bool RetryWhileBusy(const char* szWhat, const std::string& strPath,
                    const std::function<bool()>& attempt);

// plat_fopen retried that way; nullptr with the last error set when it fails.
FILE* OpenWaitingOut(const std::string& strPath, const char* szMode);
