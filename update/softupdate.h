// The update service protocol: one request per product, a reply listing the
// packages to fetch; and the download of those packages.
#pragma once
#include <list>
#include <string>

#include "update/commbase.h"

#define ERR_EMPTY_ADDRESS (-30)
#define ERR_DOWNLOAD_FAILED (-20)

struct SoftPackage {
  std::string strAddress;  // URL of the package file
  std::string strVersion;
  std::string strSoft;
  bool bExcuteExe;  // run the downloaded file as an installer
};

class CSoftUpdateTool {
 public:
  CSoftUpdateTool() : m_pComm(nullptr) {}
  virtual ~CSoftUpdateTool() = default;

  // Posts the request for one product and appends the packages of the reply
  // to m_lstSoft. 0 when the POST succeeded, whatever the reply held; -1
  // when it failed (list unchanged).
  int RequestSoftList(const char* szUid, const char* szSoft, const char* szVersion);

  // Downloads every package of m_lstSoft into the temporary folder and lists
  // the installers to run in m_lstInstaller. 0, ERR_EMPTY_ADDRESS or
  // ERR_DOWNLOAD_FAILED.
  int DownloadPackages();

  std::list<SoftPackage> m_lstSoft;
  std::string m_strServerUrl;
  CCommBase* m_pComm;  // not owned
  std::list<std::string> m_lstInstaller;
};

// The request text for one product, as it goes to the service.
std::string BuildSoftListRequest(const char* szUid, const char* szSoft, const char* szVersion);

// Reads the packages of a reply. False when the reply is usable but its code
// is not 0, or when it is not usable at all (not JSON, members of the wrong
// type); *plstOut is then left empty.
bool ParseSoftListReply(const std::string& strReply, std::list<SoftPackage>* plstOut);
