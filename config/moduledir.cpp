#include "config/moduledir.h"

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
