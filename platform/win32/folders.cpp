#include "platform/folders.h"

#include <shlobj.h>

bool PlatCommonAppDataFolder(std::string* pstrPath) {
  char szPath[MAX_PATH] = {0};
  if (FAILED(
          SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, szPath)) ||
      szPath[0] == '\0')
    return false;
  *pstrPath = szPath;
  while (!pstrPath->empty() && pstrPath->back() == '\\') pstrPath->pop_back();
  return !pstrPath->empty();
}

ULONGLONG PlatNowFileTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
