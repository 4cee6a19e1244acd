// Invoicing-machine detection: three read-only probes of the registry and the
// file system. Each returns 0 and sets `path` when it finds its target.
#pragma once
#include <string>

// Result of the registry probes when the key or value is absent.
#define ENV_NOT_FOUND 36887

class CEnvCheckTool {
 public:
  // Value "Path" of HKLM "SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\fwkp.exe".
  int QueryFwkpPath(std::string& path);
  // Value "installdir" of HKLM "SOFTWARE\skfpkprj\skfpkprj".
  int QuerySkfpInstallDir(std::string& path);
  // The UKey edition of the invoicing client beside the SWUKey tool's folder
  // in Program Files; -1 when the tool or the client folder is absent.
  int FindUKeyClientDir(std::string& path);

  std::string m_strPath;

 private:
  int QueryRegText(const char* szSubKey, const char* szValueName, std::string& path);
};
