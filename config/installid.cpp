#include "config/installid.h"

#include <cstdio>
#include <cstring>

#include "platform/win.h"

namespace {

// Debugger messages (GBK).
const char kMsgOpened[] = "\xb4\xf2\xbf\xaa\xb3\xc9\xb9\xa6\n";                   // key opened
const char kMsgCreated[] = "\xb4\xb4\xbd\xa8\xb3\xc9\xb9\xa6\n";                  // key created
const char kMsgCreateFailed[] = "\xb4\xb4\xbd\xa8\xca\xa7\xb0\xdc\n";             // create failed
const char kMsgClosed[] = "\xb9\xd8\xb1\xd5\xb3\xc9\xb9\xa6\n";                   // new key closed
const char kMsgRead[] = "\xbb\xf1\xc8\xa1\xb3\xc9\xb9\xa6\n";                     // value read
const char kMsgReadFailed[] = "\xbb\xf1\xc8\xa1\xca\xa7\xb0\xdc\n";               // read failed
const char kMsgWritten[] = "\xd0\xb4\xd7\xa2\xb2\xe1\xb1\xed\xb3\xc9\xb9\xa6\n";  // value written
const char kMsgWriteFailed[] = "\xd0\xb4\xd7\xa2\xb2\xe1\xb1\xed\xca\xa7\xb0\xdc\n";

const REGSAM kAccess = KEY_ALL_ACCESS | PAVONIX_REG_VIEW;
const DWORD kReadBuffer = 100;

LSTATUS CreateKey(const std::string& strSubKey, HKEY* phKey) {
  return RegCreateKeyExA(HKEY_LOCAL_MACHINE, strSubKey.c_str(), 0, NULL, 0, kAccess, NULL, phKey,
                         NULL);
}

}  // namespace

int ReadRegString(const std::string& strSubKey, const std::string& strValueName,
                  std::string& strOut) {
  HKEY hKey = NULL;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, strSubKey.c_str(), 0, kAccess, &hKey) != ERROR_SUCCESS) {
    // A missing key is created empty; the value still counts as unread.
    if (CreateKey(strSubKey, &hKey) == ERROR_SUCCESS) {
      OutputDebugStringA(kMsgCreated);
      if (RegCloseKey(hKey) == ERROR_SUCCESS) OutputDebugStringA(kMsgClosed);
    } else {
      OutputDebugStringA(kMsgCreateFailed);
    }
    return -1;
  }
  OutputDebugStringA(kMsgOpened);
  char szData[kReadBuffer];
  memset(szData, 0, sizeof szData);
  DWORD cbData = kReadBuffer;
  LSTATUS lRet = RegQueryValueExA(hKey, strValueName.c_str(), NULL, NULL,
                                  reinterpret_cast<LPBYTE>(szData), &cbData);
  // A value that fills the whole buffer without a zero byte is longer than
  // the 99 bytes a read accepts: it counts as unreadable.
  if (lRet == ERROR_SUCCESS && memchr(szData, 0, sizeof szData) != NULL) {
    OutputDebugStringA(kMsgRead);
    strOut = szData;
    RegCloseKey(hKey);
    return 0;
  }
  OutputDebugStringA(kMsgReadFailed);
  RegCloseKey(hKey);
  return -1;
}

int WriteRegString(const std::string& strSubKey, const std::string& strValueName,
                   const std::string& strValue) {
  HKEY hKey = NULL;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, strSubKey.c_str(), 0, kAccess, &hKey) == ERROR_SUCCESS) {
    OutputDebugStringA(kMsgOpened);
  } else if (CreateKey(strSubKey, &hKey) == ERROR_SUCCESS) {
    OutputDebugStringA(kMsgCreated);
  } else {
    OutputDebugStringA(kMsgCreateFailed);
    return -1;
  }
  LSTATUS lRet = RegSetValueExA(hKey, strValueName.c_str(), 0, REG_NONE,
                                reinterpret_cast<const BYTE*>(strValue.data()),
                                static_cast<DWORD>(strValue.size()));
  if (lRet == ERROR_SUCCESS) {
    OutputDebugStringA(kMsgWritten);
    RegCloseKey(hKey);
    return 0;
  }
  OutputDebugStringA(kMsgWriteFailed);
  RegCloseKey(hKey);
  return -1;
}

std::string NewGuidString() {
  char szGuid[128] = {0};
  CoInitialize(NULL);
  GUID guid;
  if (SUCCEEDED(CoCreateGuid(&guid))) {
    snprintf(szGuid, sizeof szGuid, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
             static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
             static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
             guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  }
  CoUninitialize();
  return szGuid;
}

std::string GetInstallId() {
  std::string strId;
  if (ReadRegString(INSTALL_ID_KEY, INSTALL_ID_VALUE, strId) == 0) return strId;
  strId = NewGuidString();
  WriteRegString(INSTALL_ID_KEY, INSTALL_ID_VALUE, strId);
  SYSTEMTIME st;
  GetLocalTime(&st);
  char szTime[64] = {0};
  snprintf(szTime, sizeof szTime, "%d%02d%02d %02d:%02d:%02d", st.wYear, st.wMonth, st.wDay,
           st.wHour, st.wMinute, st.wSecond);
  WriteRegString(INSTALL_ID_KEY, INSTALL_TIME_VALUE, szTime);
  return strId;
}
