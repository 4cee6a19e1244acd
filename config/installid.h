// Installation identity: a GUID text stored under HKEY_LOCAL_MACHINE
// "Software\ZYN\DA" ("UniqueID", with its creation time in "InstallTime"),
// both as REG_NONE without a terminating zero byte. Every registry step is
// reported with OutputDebugStringA (GBK texts).
#pragma once
#include <string>

#define INSTALL_ID_KEY "Software\\ZYN\\DA"
#define INSTALL_ID_VALUE "UniqueID"
#define INSTALL_TIME_VALUE "InstallTime"

// The stored identity, or a new one stored together with its creation time.
// Empty only when no GUID could be made.
std::string GetInstallId();

// Reads one value of an HKEY_LOCAL_MACHINE sub-key as text (at most 99 bytes,
// up to its first zero byte; the type is ignored). 0 and strOut set, or -1 and
// strOut untouched. A missing key is created empty.
int ReadRegString(const std::string& strSubKey, const std::string& strValueName,
                  std::string& strOut);

// Writes the text's bytes as REG_NONE, without a terminating zero; creates the
// key when needed. 0 or -1.
int WriteRegString(const std::string& strSubKey, const std::string& strValueName,
                   const std::string& strValue);

// A new GUID as "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (upper case, no braces),
// or "" when the platform gives none.
std::string NewGuidString();
