#include "config/sysconfig.h"

#include <cstdio>

#include "config/installid.h"

#ifndef PAVONIX_UPDATE_HOST_TEXT
#error "PAVONIX_UPDATE_HOST_TEXT must name the default update server host"
#endif

namespace {

// The composed URL goes through a 256-byte buffer.
static_assert(sizeof(PAVONIX_UPDATE_HOST_TEXT) + sizeof("http://:9006//softServer/req") <= 256,
              "update server host too long for the update URL");

// Maker's display name (GBK): "浙江智翎信息技术有限公司".
const char kMakerName[] =
    "\xd5\xe3\xbd\xad\xd6\xc7\xf4\xe1\xd0\xc5\xcf\xa2\xbc\xbc\xca\xf5\xd3\xd0\xcf\xde\xb9\xab\xcb"
    "\xbe";

CPavonixSysConfig* g_pSysConfig = nullptr;

}  // namespace

int CSysConfig::LoadInstallId() {
  m_strUniqueId = GetInstallId();
  return 0;
}

CPavonixSysConfig* CPavonixSysConfig::GetInstance() {
  if (g_pSysConfig) return g_pSysConfig;
  CPavonixSysConfig* pConfig = new CPavonixSysConfig();
  pConfig->LoadDefaults();
  pConfig->LoadInstallId();
  g_pSysConfig = pConfig;
  pConfig->Reload();
  return pConfig;
}

int CPavonixSysConfig::LoadDefaults() {
  m_nServerPort = 9006;
  m_strServerPath = "/softServer/req";
  m_strProductCode = "PAVONIX";
  m_nLogKeepDays = 1;
  m_nLogLevel = 0;
  m_strServerHost = PAVONIX_UPDATE_HOST_TEXT;
  m_strVendorCode = "ZYN-HARBOLT";
  m_strVendorVersion = "V1.0-20200902";
  m_strMakerName = kMakerName;
  m_strClientVersion = "V1.0-20200902-hb";
  m_strClientType = "levyDesk";
  m_strClientTypeVersion = "V1.0";
  char szUrl[256] = {0};
  snprintf(szUrl, sizeof szUrl, "http://%s:%d/%s", m_strServerHost.c_str(), m_nServerPort,
           m_strServerPath.c_str());
  m_strUpdateUrl = szUrl;
  return 0;
}

int CPavonixSysConfig::Reload() {
  LoadDefaults();
  LoadInstallId();
  return 0;
}

#ifdef PAVONIX_TEST_HOOKS
void ResetSysConfigForTests() {
  delete g_pSysConfig;
  g_pSysConfig = nullptr;
}
#endif
