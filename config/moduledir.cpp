#include "config/moduledir.h"

#include <cstring>
#include <vector>

#include "platform/environ.h"

#include "platform/win.h"

std::string GetModuleDir() {
  char szPath[MAX_PATH] = {0};
  DWORD dwLen = GetModuleFileNameA(NULL, szPath, MAX_PATH);
  // 0 is a failure; MAX_PATH means the path was cut and would name some
  // other folder.
  if (dwLen == 0 || dwLen >= MAX_PATH) return std::string();
  std::string strPath(szPath);
  size_t nPos = strPath.rfind('\\');
  if (nPos == std::string::npos) return strPath;
  return strPath.substr(0, nPos);
}

bool EnterSystemFolder() {
  char szSystem[MAX_PATH] = {0};
  const UINT n = GetSystemDirectoryA(szSystem, MAX_PATH);
  return n > 0 && n < MAX_PATH && SetCurrentDirectoryA(szSystem) != FALSE;
}

bool AdoptMachineEnvironment() {
  std::vector<std::string> machine;
  if (!PlatMachineEnvironment(&machine)) return false;
  std::vector<std::string> names;
  LPCH pEnv = GetEnvironmentStringsA();
  for (const char* p = pEnv; p != nullptr && *p != '\0'; p += std::strlen(p) + 1) {
    const std::string strEntry = p;
    std::string strName = strEntry.substr(0, strEntry.find('=', 1));
    std::string strUpper = strName;
    for (char& c : strUpper)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    // Wine keeps its loader's own settings here (WINEDLLDIR0, WINELOADER,
    // ...), which it needs to load a DLL later; nothing of Windows reads
    // them, and no installer gets them.
    const bool bWine = strUpper.compare(0, 4, "WINE") == 0;
    if (strEntry[0] != '=' && strUpper != "TEMP" && strUpper != "TMP" && !bWine)
      names.push_back(strName);
  }
  if (pEnv != nullptr) FreeEnvironmentStringsA(pEnv);
  bool bAll = true;
  for (const std::string& strName : names)
    bAll = SetEnvironmentVariableA(strName.c_str(), nullptr) != FALSE && bAll;
  for (const std::string& strEntry : machine) {
    const size_t eq = strEntry.find('=', 1);
    if (eq == std::string::npos) continue;
    bAll = SetEnvironmentVariableA(strEntry.substr(0, eq).c_str(), strEntry.c_str() + eq + 1) !=
               FALSE &&
           bAll;
  }
  return bAll;
}
