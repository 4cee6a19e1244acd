#include "update/softupdate.h"

#include <cstdlib>
#include <stdexcept>

#include <json/json.h>

#include "app/contract.h"
#include "httpclient/httpclient.h"
#include "log/log.h"
#include "platform/crypto.h"
#include "platform/win.h"
#include "update/httpcommtools.h"

// The protocol is defined by the writer and reader classes of jsoncpp, which
// the library marks as deprecated.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

struct ReplyTypeError : std::runtime_error {
  explicit ReplyTypeError(const char* what) : std::runtime_error(what) {}
};

// A member read as a string: absent or null is empty, a boolean is "true" or
// "false", a string is itself; anything else makes the reply unusable.
std::string ReadString(const Json::Value& v) {
  if (v.isNull()) return std::string();
  if (v.isBool()) return v.asBool() ? "true" : "false";
  if (v.isString()) return v.asString();
  throw ReplyTypeError("member is not a string");
}

// The "sha256" member: absent or null is no hash; otherwise 64 hexadecimal
// digits of either case, returned in lower case. False for anything else.
bool ReadSha256(const Json::Value& v, std::string* pstrHex) {
  pstrHex->clear();
  if (v.isNull()) return true;
  if (!v.isString()) return false;
  return PlatNormalizeSha256Hex(v.asString(), pstrHex);
}

// A numeric code counts by its value (0, and only 0, lists the packages); the
// text form, absent or null, by atoi of its text.
bool CodeIsZero(const Json::Value& v) {
  if (v.isDouble()) return v.asDouble() == 0.0;
  return std::atoi(ReadString(v).c_str()) == 0;
}

// A request value: the ANSI text as UTF-8, so that the writer escapes each
// character as what it is (\uXXXX) and the request stays ASCII whatever the
// code page.
std::string RequestText(const char* sz) { return sz ? Corvu::AnsiToUtf8(sz) : std::string(); }

// A member of an object that may itself be absent or null.
const Json::Value& Member(const Json::Value& obj, const char* name) {
  static const Json::Value kNull;
  if (obj.isNull()) return kNull;
  if (!obj.isObject()) throw ReplyTypeError("not an object");
  return obj[name];
}

}  // namespace

std::string BuildSoftListRequest(const char* szUid, const char* szSoft, const char* szVersion) {
  Json::Value soft(Json::objectValue);
  soft["soft"] = RequestText(szSoft);
  soft["version"] = RequestText(szVersion);
  soft["upgrade"] = "false";
  Json::Value softList(Json::arrayValue);
  softList.append(soft);
  Json::Value data(Json::objectValue);
  data["softList"] = softList;
  Json::Value root(Json::objectValue);
  root["pid"] = "PROTOCOL_99";
  root["uid"] = RequestText(szUid);
  root["data"] = data;
  Json::FastWriter writer;
  return writer.write(root);
}

SoftListReply ParseSoftListReply(const std::string& strReply, std::list<SoftPackage>* plstOut) {
  plstOut->clear();
  try {
    Json::Value root;
    Json::Reader reader;
    // What the reader had built before it gave up is never used; a reader
    // that throws (nesting beyond its depth limit) gave up too.
    bool parsed = false;
    try {
      parsed = reader.parse(strReply, root);
    } catch (const Json::Exception&) {
    }
    if (!parsed) return SOFTLIST_NOT_JSON;
    if (!CodeIsZero(Member(root, "code"))) return SOFTLIST_NOTHING;
    const Json::Value& list = Member(Member(root, "data"), "softList");
    if (list.isNull()) return SOFTLIST_LISTED;
    if (!list.isArray()) throw ReplyTypeError("softList is not an array");
    std::list<SoftPackage> found;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
      const Json::Value& item = list[i];
      SoftPackage pkg;
      pkg.strAddress = ReadString(Member(item, "address"));
      pkg.strVersion = ReadString(Member(item, "version"));
      pkg.strSoft = ReadString(Member(item, "soft"));
      const Json::Value& run = Member(item, "excuteExe");
      pkg.bExcuteExe = run.isBool() ? run.asBool() : true;
      if (!ReadSha256(Member(item, "sha256"), &pkg.strSha256)) return SOFTLIST_BAD_HASH;
      found.push_back(std::move(pkg));
    }
    plstOut->swap(found);
    return SOFTLIST_LISTED;
  } catch (const ReplyTypeError&) {
  } catch (const Json::Exception&) {
  }
  plstOut->clear();
  return SOFTLIST_NOTHING;
}

int CSoftUpdateTool::RequestSoftList(const char* szUid, const char* szSoft, const char* szVersion) {
  std::string request = BuildSoftListRequest(szUid, szSoft, szVersion);
  std::string reply;
  m_pComm->SetServerUrl(m_strServerUrl.c_str(), 0);
  if (m_pComm->PostRequest(request, &reply) != 0) return -1;
  std::list<SoftPackage> packages;
  // A reply that is not JSON (a proxy's or server's error page sent with
  // 200, a reply cut short) is a failed exchange, not an empty list: the run
  // tries again and ends on the network error instead of a false success.
  SoftListReply kind = ParseSoftListReply(reply, &packages);
  if (kind == SOFTLIST_NOT_JSON) return -1;
  // A hash that cannot be read cannot be checked: the reply is refused
  // rather than the package fetched unchecked.
  if (kind == SOFTLIST_BAD_HASH) {
    LogError("%s", "update reply refused: a package's sha256 is not 64 hexadecimal digits");
    return -1;
  }
  m_lstSoft.splice(m_lstSoft.end(), packages);
  return 0;
}

int CSoftUpdateTool::DownloadPackages() {
  if (m_lstSoft.empty()) return 0;
  const std::string strFolder = m_folder.Path();
  if (strFolder.empty()) return ERR_DOWNLOAD_FAILED;
  m_pComm->SetServerUrl(m_strServerUrl.c_str(), 0);
  for (const SoftPackage& pkg : m_lstSoft) {
    if (pkg.strAddress.empty()) return ERR_EMPTY_ADDRESS;
    // A file this run holds from an earlier package or attempt is replaced.
    m_folder.Release(strFolder + UrlFileName(pkg.strAddress));
    std::string localPath;
    // A listed hash that cannot be checked leaves the package unfetched.
    if (m_pComm->SetExpectedSha256(pkg.strSha256) != 0) return ERR_DOWNLOAD_FAILED;
    if (m_pComm->DownloadFile(strFolder, pkg.strAddress, ReportDownloadProgress, &localPath) != 0)
      return ERR_DOWNLOAD_FAILED;
    if (pkg.bExcuteExe) {
      // From here until its process exists nobody may change the installer.
      if (!m_folder.Hold(localPath)) return ERR_DOWNLOAD_FAILED;
      m_lstInstaller.push_back(localPath);
    }
  }
  return 0;
}
