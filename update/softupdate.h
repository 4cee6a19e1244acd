// The update service protocol: one request per product, a reply listing the
// packages to fetch; and the download of those packages.
#pragma once
#include <list>
#include <string>

#include "runfolder/dlfolder.h"
#include "update/commbase.h"

#define ERR_EMPTY_ADDRESS (-30)
#define ERR_DOWNLOAD_FAILED (-20)

struct SoftPackage {
  std::string strAddress;  // URL of the package file
  std::string strVersion;
  std::string strSoft;
  bool bExcuteExe;  // run the downloaded file as an installer
  // SHA-256 of the package file from the reply's "sha256" member: 64
  // lower-case hexadecimal digits (the reply may give either case), or empty
  // when the reply gave none.
  std::string strSha256{};
};

class CSoftUpdateTool {
 public:
  CSoftUpdateTool() : m_pComm(nullptr) {}
  virtual ~CSoftUpdateTool() = default;

  // Posts the request for one product and appends the packages of the reply
  // to m_lstSoft. 0 when the POST succeeded with a JSON reply, whatever it
  // listed; -1 when the POST failed, the reply is not JSON at all (an error
  // page, a cut reply) or lists a package with a malformed "sha256" (logged):
  // list unchanged.
  int RequestSoftList(const char* szUid, const char* szSoft, const char* szVersion);

  // Downloads every package of m_lstSoft into the protected download folder
  // (m_folder) and lists the installers to run in m_lstInstaller, each held
  // against writers until it has been started. 0, ERR_EMPTY_ADDRESS or
  // ERR_DOWNLOAD_FAILED.
  int DownloadPackages();

  std::list<SoftPackage> m_lstSoft;
  std::string m_strServerUrl;
  CCommBase* m_pComm;  // not owned
  std::list<std::string> m_lstInstaller;
  // Made at the first download of the product run; its files stay.
  CDownloadFolder m_folder;
};

// The request text for one product, as it goes to the service.
std::string BuildSoftListRequest(const char* szUid, const char* szSoft, const char* szVersion);

// Reads the packages of a reply into *plstOut: SOFTLIST_LISTED for a code-0
// reply (the list may be empty); SOFTLIST_NOTHING for JSON whose code is not
// 0 or whose members have the wrong types; SOFTLIST_NOT_JSON for a text that
// does not parse; SOFTLIST_BAD_HASH for a listed package whose "sha256" is
// present but not 64 hexadecimal digits in a string (such a package cannot
// be checked, so the reply is not used). *plstOut is left empty but for
// SOFTLIST_LISTED.
enum SoftListReply {
  SOFTLIST_LISTED = 1,
  SOFTLIST_NOTHING = 0,
  SOFTLIST_NOT_JSON = -1,
  SOFTLIST_BAD_HASH = -2
};
SoftListReply ParseSoftListReply(const std::string& strReply, std::list<SoftPackage>* plstOut);
