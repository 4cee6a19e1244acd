#include "env/envcheck.h"

#include <vector>

#include "platform/win.h"

namespace {

const char kFwkpKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\fwkp.exe";
const char kSkfpKey[] = "SOFTWARE\\skfpkprj\\skfpkprj";
const char kToolX86[] = "C:\\Program Files (x86)\\SWUKey\\SWUKey_Tool.exe";
const char kTool[] = "C:\\Program Files\\SWUKey\\SWUKey_Tool.exe";
// "\..\增值税发票开票软件（税务UKey版）" in GBK: the client folder beside SWUKey.
const char kClientDir[] =
    "\\..\\"
    "\xD4\xF6\xD6\xB5\xCB\xB0\xB7\xA2\xC6\xB1\xBF\xAA\xC6\xB1\xC8\xED\xBC\xFE\xA3\xA8\xCB\xB0\xCE"
    "\xF1"
    "UKey"
    "\xB0\xE6\xA3\xA9";

// Larger than any registry value; guards the size-plus-one allocation.
const DWORD kMaxValueSize = 0x7FFFFFFE;

}  // namespace

int CEnvCheckTool::QueryRegText(const char* szSubKey, const char* szValueName, std::string& path) {
  HKEY hKey = NULL;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, szSubKey, 0, KEY_READ | PAVONIX_REG_VIEW, &hKey) !=
      ERROR_SUCCESS)
    return ENV_NOT_FOUND;
  DWORD cbData = 0;
  if (RegQueryValueExA(hKey, szValueName, NULL, NULL, NULL, &cbData) != ERROR_SUCCESS ||
      cbData > kMaxValueSize) {
    RegCloseKey(hKey);
    return ENV_NOT_FOUND;
  }
  // One zero byte more than the value: a value stored without a terminator
  // still ends as text.
  std::vector<char> buf(static_cast<size_t>(cbData) + 1, '\0');
  DWORD cbRead = cbData;
  if (RegQueryValueExA(hKey, szValueName, NULL, NULL, reinterpret_cast<LPBYTE>(buf.data()),
                       &cbRead) != ERROR_SUCCESS) {
    RegCloseKey(hKey);
    return ENV_NOT_FOUND;
  }
  RegCloseKey(hKey);
  m_strPath = buf.data();
  path = m_strPath;
  return 0;
}

int CEnvCheckTool::QueryFwkpPath(std::string& path) { return QueryRegText(kFwkpKey, "Path", path); }

int CEnvCheckTool::QuerySkfpInstallDir(std::string& path) {
  return QueryRegText(kSkfpKey, "installdir", path);
}

int CEnvCheckTool::FindUKeyClientDir(std::string& path) {
  if (GetFileAttributesA(kToolX86) != INVALID_FILE_ATTRIBUTES) {
    m_strPath = kToolX86;
  } else if (GetFileAttributesA(kTool) != INVALID_FILE_ATTRIBUTES) {
    m_strPath = kTool;
  } else {
    return -1;
  }
  size_t nPos = m_strPath.rfind('\\');
  if (nPos != std::string::npos) m_strPath.erase(nPos);
  m_strPath += kClientDir;
  if (GetFileAttributesA(m_strPath.c_str()) == INVALID_FILE_ATTRIBUTES) return -1;
  path = m_strPath;
  return 0;
}
