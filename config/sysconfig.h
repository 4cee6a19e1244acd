// The process-wide configuration: built-in defaults and the installation
// identity. Created on first use of CPavonixSysConfig::GetInstance and never
// destroyed; members are read directly.
#pragma once
#include <string>

class CSysConfig {
 public:
  // Sets m_strUniqueId from the registry (GetInstallId). Returns 0.
  virtual int LoadInstallId();
  virtual int LoadDefaults() = 0;
  virtual int Reload() = 0;

  std::string m_strUniqueId;
  std::string m_strProductCode;
  std::string m_strClientVersion;

 protected:
  CSysConfig() = default;
  ~CSysConfig() = default;
};

class CPavonixSysConfig final : public CSysConfig {
 public:
  // The singleton; built on the first call (defaults, then the identity, then
  // Reload once more). Never null. Takes no lock: the first call is made by
  // start-up before any other thread exists.
  static CPavonixSysConfig* GetInstance();

  int LoadDefaults() override;
  // LoadDefaults then LoadInstallId. Returns 0.
  int Reload() override;

  std::string m_strUpdateUrl;
  int m_nLogKeepDays = 0;
  int m_nLogLevel = 0;
  std::string m_strServerHost;
  int m_nServerPort = 0;
  std::string m_strServerPath;
  std::string m_strVendorCode;
  std::string m_strVendorVersion;
  std::string m_strMakerName;  // GBK
  std::string m_strClientType;
  std::string m_strClientTypeVersion;

 private:
#ifdef PAVONIX_TEST_HOOKS
  friend void ResetSysConfigForTests();
#endif
  CPavonixSysConfig() = default;
};

#ifdef PAVONIX_TEST_HOOKS
// Tests only: drops the singleton so that the next GetInstance builds afresh.
// Absent from release builds.
void ResetSysConfigForTests();
#endif
