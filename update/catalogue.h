// The offline catalogue: what a signed update reply may list, vouched for by
// a key that never sits on the update service.
//
// A reply of the signed door carries, beside its packages, the member
//
//   "catalogue": {"statement": "<hex of the statement's bytes>",
//                 "signature": "<128 hex digits, r then s>"}
//
// The signature (ECDSA P-256 / SHA-256) is made with the vendor's offline
// catalogue key over CatalogueMessage. The statement is JSON in exactly one
// form: bytes 0x20 to 0x7E only and no backslash (so no escapes), no blanks,
// object members in ascending byte order, integers in plain decimal, nothing
// before or after the object:
//
//   {"expires":"2027-01-31T00:00:00Z",
//    "packages":[{"address":"http://host/a.exe","excuteExe":true,
//                 "file":"a.exe","sha256":"<64 lower-case hex>","size":1234}],
//    "product":"levyDesk","version":7,"versions":["V1.*"]}
//
// (shown on several lines here; one line on the wire). "versions" lists
// the request versions it covers: an exact text, or a text ending in "*"
// for every version that starts with what comes before it. "version" is the
// catalogue's own version, which only grows; "expires" is UTC.
#pragma once
#include <list>
#include <string>

#include "update/commbase.h"

// First line of the signed bytes: nothing signed for a reply passes for a
// statement, nor the other way round.
extern const char kCatalogueContext[];  // "pavonix-catalogue-v1\n"
// The reply member that carries the statement.
extern const char kCatalogueMember[];  // "catalogue"
// Where the highest accepted catalogue version is kept: a REG_DWORD under
// the program's own HKEY_LOCAL_MACHINE key.
extern const char kCatalogueVersionValue[];  // "CatalogueVersion"

struct CataloguePackage {
  std::string strAddress;
  std::string strFile;    // the name the download is saved under
  std::string strSha256;  // 64 lower-case hex digits
  unsigned long long cbSize;
  bool bExcuteExe;
};

struct CatalogueStatement {
  std::string strProduct;
  std::list<std::string> lstVersions;
  unsigned long nVersion;
  std::string strExpires;  // "YYYY-MM-DDTHH:MM:SSZ"
  std::list<CataloguePackage> lstPackages;
};

// The bytes the catalogue signature covers:
//
//   pavonix-catalogue-v1\n
//   key-version <decimal>\n
//   statement-length <decimal>\n
//   <the statement>
std::string CatalogueMessage(unsigned long nKeyVersion, const std::string& strStatement);

// Reads a statement in its one form (see above). Null and *pOut filled, or
// why it is not one.
const char* ReadCatalogueStatement(const std::string& strBytes, CatalogueStatement* pOut);

// True when one of the rules covers the version text.
bool CatalogueCoversVersion(const std::list<std::string>& lstRules, const std::string& strVersion);

// UTC of a file-time value (100 ns since 1601) as "YYYY-MM-DDTHH:MM:SSZ".
std::string CatalogueUtcText(unsigned long long ullFileTime);

// The highest catalogue version this machine accepted (0: none yet). False
// when the value is there but unreadable.
bool ReadAcceptedCatalogueVersion(unsigned long* pnVersion);
// Keeps nVersion as the highest accepted one. False when it could not.
bool KeepAcceptedCatalogueVersion(unsigned long nVersion);

// A layer over the signed door: a reply is used only when the statement it
// carries holds under the built-in catalogue key and admits what it lists.
// With the statement's checks failing, PostRequest fails (-1) with one
// ERROR line naming the check, as a network failure does. Each download
// is bounded by its package's signed size.
class CCatalogueCommTools : public CCommBase {
 public:
  // pInner is the signed door (not owned). szKey: "<version>:<point>", as
  // the update key (see signedcomm.h); one that is not refuses every reply.
  CCatalogueCommTools(CCommBase* pInner, const char* szKey);
  virtual ~CCatalogueCommTools() = default;

  int SetServerUrl(const char* szUrl, int nReserved) override;
  // The inner door's POST, then the catalogue's checks for the product and
  // version the request names.
  int PostRequest(std::string strRequest, std::string* pstrReply) override;
  // Only a package of the last accepted reply, its size announced to the
  // inner door first.
  int DownloadFile(std::string strFolder, std::string strUrl, DownloadProgressProc pfnProgress,
                   std::string* pstrLocalPath) override;
  int SetExpectedSha256(const std::string& strHex) override;

  // Clock of the expiry check, file-time units (the system clock unless
  // replaced).
  unsigned long long (*m_pfnNow)();

 private:
  // Why the reply is refused, or empty with m_lstAccepted set.
  std::string Check(const std::string& strRequest, const std::string& strBody);

  CCommBase* m_pInner;
  unsigned long m_nKeyVersion;
  std::string m_strKeyPoint;  // 64 bytes, or empty when the key was not usable
  std::list<CataloguePackage> m_lstAccepted;
};
