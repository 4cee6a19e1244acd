#include "env/localservice.h"

#include <json/json.h>

#include "httpclient/httpclient.h"
#include "log/log.h"
#include "net/httpreply.h"
#include "platform/win.h"

// The reply is read with jsoncpp's Reader, which the library marks deprecated.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

const DWORD kQueryTimeoutMs = 40000;
const char kVersionPath[] = "/api/getVersion";
const char kRequestJson[] = "{\"crosFlag\": \"0\"}";

bool Present(const Json::Value& v) { return !v.isNull(); }

// A member read as text: a string, or a boolean as "true"/"false". Other
// types make the reply unusable.
bool ReadText(const Json::Value& v, std::string* out) {
  if (v.isString()) {
    *out = v.asString();
    return true;
  }
  if (v.isBool()) {
    *out = v.asBool() ? "true" : "false";
    return true;
  }
  return false;
}

}  // namespace

int CLocalServiceQuery::QueryVersion(std::string* pstrVersion) {
  std::string strUrl = m_strBaseUrl + kVersionPath;
  std::string strJson = Corvu::AnsiToUtf8(kRequestJson);
  std::string strReply;
  if (PostJsonAsForm(strUrl.c_str(), strJson.c_str(), &strReply) != 0) return -1;
  LogDebug("%s", Corvu::Utf8ToAnsi(strReply.c_str()).c_str());
  // The reply is parsed as the UTF-8 it is: in GBK the second byte of many
  // characters is a backslash, which the JSON reader would take for an
  // escape. Only the version leaves as text, so only it is converted.
  int nCode = 0;
  std::string strMsg;
  std::string strVersion;
  int nResult = ParseVersionReply(strReply.c_str(), &nCode, &strMsg, &strVersion);
  if (nResult != 0) return nResult;
  if (nCode == 0 && pstrVersion) *pstrVersion = Corvu::Utf8ToAnsi(strVersion.c_str());
  return nCode;
}

int CLocalServiceQuery::PostJsonAsForm(const char* szUrl, const char* szJson,
                                       std::string* pstrReply) {
  LogDebug("%s", szUrl ? szUrl : "");
  return pavonix::PostFormWithTimeouts(
      szUrl, kQueryTimeoutMs,
      [szJson](Corvu::CHttpClient& client) {
        try {
          Json::Value root;
          Json::Reader reader;
          if (!reader.parse(szJson ? szJson : "", root) || !root.isObject()) return ERR_JSON_FORMAT;
          for (const std::string& name : root.getMemberNames()) {
            const Json::Value& v = root[name];
            client.AddParam(name.c_str(), v.isNull() ? "" : v.asString().c_str());
          }
        } catch (const Json::Exception&) {
          return ERR_JSON_FORMAT;
        }
        return 0;
      },
      pstrReply);
}

int CLocalServiceQuery::ParseVersionReply(const char* szReply, int* pnCode, std::string* pstrMsg,
                                          std::string* pstrVersion) {
  try {
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(szReply ? szReply : "", root)) return ERR_JSON_FORMAT;
    if (!root.isObject()) return ERR_JSON_FORMAT;
    const Json::Value& code = root["code"];
    // asInt truncates a real and takes a boolean as 0 or 1; a string or a
    // number outside 32 bits raises, and the reply is unusable.
    if (!Present(code) || code.isString() || code.isArray() || code.isObject())
      return ERR_JSON_FORMAT;
    int nCode = code.asInt();
    if (pnCode) *pnCode = nCode;
    std::string strMsg;
    if (!Present(root["msg"]) || !ReadText(root["msg"], &strMsg)) return ERR_JSON_FORMAT;
    if (pstrMsg) *pstrMsg = strMsg;
    if (nCode != 0) return 0;
    std::string strVersion;
    if (!Present(root["version"]) || !ReadText(root["version"], &strVersion))
      return ERR_JSON_FORMAT;
    if (pstrVersion) *pstrVersion = strVersion;
    return 0;
  } catch (const Json::Exception&) {
    return ERR_JSON_FORMAT;
  }
}
