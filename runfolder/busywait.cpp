#include "runfolder/busywait.h"

#include "log/log.h"
#include "platform/crt.h"

bool IsBusyError(DWORD dwError) {
  return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_LOCK_VIOLATION;
}

bool RetryWhileBusy(const char* szWhat, const std::string& strPath,
                    const std::function<bool()>& attempt) {
  for (DWORD dwWait : kBusyWaitsMs) {
    if (attempt()) return true;
    const DWORD dwError = GetLastError();
    if (!IsBusyError(dwError)) return false;
    LogDebug("%s %s: in use by another program (error %lu), trying again in %lu ms", szWhat,
             strPath.c_str(), static_cast<unsigned long>(dwError),
             static_cast<unsigned long>(dwWait));
    Sleep(dwWait);
  }
  return attempt();
}

FILE* OpenWaitingOut(const std::string& strPath, const char* szMode) {
  FILE* fp = nullptr;
  RetryWhileBusy("opening", strPath, [&] {
    fp = plat_fopen(strPath.c_str(), szMode);
    if (fp == nullptr) SetLastError(plat_doserrno());
    return fp != nullptr;
  });
  return fp;
}
