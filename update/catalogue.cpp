#include "update/catalogue.h"

#include <json/json.h>

#include <cstdio>
#include <memory>
#include <set>
#include <vector>

#include "config/installid.h"
#include "log/log.h"
#include "platform/crypto.h"
#include "platform/folders.h"
#include "platform/win.h"
#include "update/httpcommtools.h"
#include "update/signedcomm.h"
#include "update/softupdate.h"

const char kCatalogueContext[] = "pavonix-catalogue-v1\n";
const char kCatalogueMember[] = "catalogue";
const char kCatalogueVersionValue[] = "CatalogueVersion";

namespace {

// A statement lists a few packages; anything far larger is no statement.
const size_t kMaxStatementBytes = 64 * 1024;
const Json::ArrayIndex kMaxListed = 100;
const unsigned long long kMaxSize = 0xFFFFFFFFull;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool FromHex(const std::string& strHex, std::string* pstrOut) {
  if (strHex.size() % 2 != 0) return false;
  std::string out(strHex.size() / 2, '\0');
  for (size_t i = 0; i < out.size(); ++i) {
    int hi = HexDigit(strHex[2 * i]), lo = HexDigit(strHex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<char>(hi * 16 + lo);
  }
  pstrOut->swap(out);
  return true;
}

bool StrictParse(const std::string& strText, Json::Value* pRoot) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder.settings_["stackLimit"] = 16;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errs;
  const char* p = strText.data();
  return reader->parse(p, p + strText.size(), pRoot, &errs);
}

bool IsInteger(const Json::Value& v) {
  return v.type() == Json::uintValue || (v.type() == Json::intValue && v.asInt64() >= 0);
}

// The one form: members in ascending byte order (jsoncpp's own order), no
// blanks, strings written as they are (the bytes hold no escapes), integers
// in decimal. Anything else (a fraction, an exponent) writes a '~' that no
// statement holds.
void WriteCanonical(const Json::Value& v, std::string* pOut) {
  switch (v.type()) {
    case Json::objectValue: {
      *pOut += '{';
      bool bFirst = true;
      for (const std::string& name : v.getMemberNames()) {
        if (!bFirst) *pOut += ',';
        bFirst = false;
        *pOut += '"' + name + "\":";
        WriteCanonical(v[name], pOut);
      }
      *pOut += '}';
      break;
    }
    case Json::arrayValue:
      *pOut += '[';
      for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
        if (i) *pOut += ',';
        WriteCanonical(v[i], pOut);
      }
      *pOut += ']';
      break;
    case Json::stringValue:
      *pOut += '"' + v.asString() + '"';
      break;
    case Json::uintValue:
      *pOut += std::to_string(v.asUInt64());
      break;
    case Json::intValue:
      *pOut += std::to_string(v.asInt64());
      break;
    case Json::booleanValue:
      *pOut += v.asBool() ? "true" : "false";
      break;
    case Json::nullValue:
      *pOut += "null";
      break;
    default:
      *pOut += '~';
  }
}

// True when the object has exactly these members.
bool HasMembers(const Json::Value& v, const std::set<std::string>& names) {
  if (!v.isObject()) return false;
  std::vector<std::string> have = v.getMemberNames();
  return std::set<std::string>(have.begin(), have.end()) == names;
}

bool IsText(const Json::Value& v) { return v.isString() && !v.asString().empty(); }

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, long long* py, unsigned* pm, unsigned* pd) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *pd = doy - (153 * mp + 2) / 5 + 1;
  *pm = mp < 10 ? mp + 3 : mp - 9;
  *py = static_cast<long long>(yoe) + era * 400 + (*pm <= 2);
}

// "YYYY-MM-DDTHH:MM:SSZ" naming a real moment.
bool IsUtcText(const std::string& s) {
  static const char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
  if (s.size() != sizeof(kForm) - 1) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (kForm[i] == 'd' ? (s[i] < '0' || s[i] > '9') : s[i] != kForm[i]) return false;
  }
  const int y = std::stoi(s.substr(0, 4)), mo = std::stoi(s.substr(5, 2)),
            d = std::stoi(s.substr(8, 2));
  if (y < 1970 || mo < 1 || mo > 12 || d < 1 || std::stoi(s.substr(11, 2)) > 23 ||
      std::stoi(s.substr(14, 2)) > 59 || std::stoi(s.substr(17, 2)) > 59)
    return false;
  long long y2;
  unsigned m2, d2;
  CivilFromDays(DaysFromCivil(y, mo, d), &y2, &m2, &d2);
  return m2 == static_cast<unsigned>(mo) && d2 == static_cast<unsigned>(d);
}

const char* ReadPackage(const Json::Value& v, CataloguePackage* pOut) {
  if (!HasMembers(v, {"address", "excuteExe", "file", "sha256", "size"}))
    return "a package is not address, excuteExe, file, sha256 and size";
  if (!IsText(v["address"])) return "a package's address is not a text";
  if (!v["excuteExe"].isBool()) return "a package's excuteExe is not true or false";
  const std::string strFile = v["file"].isString() ? v["file"].asString() : "";
  if (!IsPlainFileName(strFile) || strFile != UrlFileName(v["address"].asString()))
    return "a package's file is not the plain name its address ends in";
  std::string strSha;
  if (!v["sha256"].isString() || !PlatNormalizeSha256Hex(v["sha256"].asString(), &strSha))
    return "a package's sha256 is not 64 hexadecimal digits";
  if (!IsInteger(v["size"]) || v["size"].asUInt64() < 1 || v["size"].asUInt64() > kMaxSize)
    return "a package's size is not from 1 to 4294967295";
  pOut->strAddress = v["address"].asString();
  pOut->strFile = strFile;
  pOut->strSha256 = strSha;
  pOut->cbSize = v["size"].asUInt64();
  pOut->bExcuteExe = v["excuteExe"].asBool();
  return nullptr;
}

// Text of outside origin in a log line: printable ASCII only.
std::string Printable(std::string s) {
  for (char& c : s)
    if (c < 0x20 || c > 0x7E) c = '?';
  return s;
}

int Refuse(const std::string& strWhy) {
  LogError("update reply refused: catalogue: %s", strWhy.c_str());
  return -1;
}

const REGSAM kRegView = PAVONIX_REG_VIEW;

}  // namespace

std::string CatalogueMessage(unsigned long nKeyVersion, const std::string& strStatement) {
  char szHead[64];
  std::snprintf(szHead, sizeof(szHead), "key-version %lu\nstatement-length %lu\n", nKeyVersion,
                static_cast<unsigned long>(strStatement.size()));
  return std::string(kCatalogueContext) + szHead + strStatement;
}

const char* ReadCatalogueStatement(const std::string& strBytes, CatalogueStatement* pOut) {
  if (strBytes.size() > kMaxStatementBytes) return "longer than a statement";
  for (char c : strBytes)
    if (c < 0x20 || c > 0x7E || c == '\\') return "a byte outside printable ASCII or a backslash";
  Json::Value root;
  if (!StrictParse(strBytes, &root)) return "not JSON";
  std::string canonical;
  WriteCanonical(root, &canonical);
  if (canonical != strBytes) return "not in its one form";
  if (!HasMembers(root, {"expires", "packages", "product", "version", "versions"}))
    return "not expires, packages, product, version and versions";
  CatalogueStatement out;
  if (!IsText(root["product"])) return "the product is not a text";
  out.strProduct = root["product"].asString();
  if (!IsInteger(root["version"]) || root["version"].asUInt64() < 1 ||
      root["version"].asUInt64() > 0xFFFFFFFFull)
    return "the version is not from 1 to 4294967295";
  out.nVersion = static_cast<unsigned long>(root["version"].asUInt64());
  if (!root["expires"].isString() || !IsUtcText(root["expires"].asString()))
    return "the expiry is not YYYY-MM-DDTHH:MM:SSZ";
  out.strExpires = root["expires"].asString();
  const Json::Value& versions = root["versions"];
  if (!versions.isArray() || versions.empty() || versions.size() > kMaxListed)
    return "the versions are not a list of 1 to 100 texts";
  for (Json::ArrayIndex i = 0; i < versions.size(); ++i) {
    if (!IsText(versions[i])) return "the versions are not a list of 1 to 100 texts";
    out.lstVersions.push_back(versions[i].asString());
  }
  const Json::Value& packages = root["packages"];
  if (!packages.isArray() || packages.size() > kMaxListed)
    return "the packages are not a list of up to 100";
  std::set<std::string> addresses;
  for (Json::ArrayIndex i = 0; i < packages.size(); ++i) {
    CataloguePackage pkg;
    if (const char* szWhy = ReadPackage(packages[i], &pkg)) return szWhy;
    if (!addresses.insert(pkg.strAddress).second) return "a package address twice";
    out.lstPackages.push_back(pkg);
  }
  *pOut = out;
  return nullptr;
}

bool CatalogueCoversVersion(const std::list<std::string>& lstRules, const std::string& strVersion) {
  for (const std::string& rule : lstRules) {
    if (!rule.empty() && rule.back() == '*') {
      if (strVersion.compare(0, rule.size() - 1, rule, 0, rule.size() - 1) == 0 &&
          strVersion.size() >= rule.size() - 1)
        return true;
    } else if (rule == strVersion) {
      return true;
    }
  }
  return false;
}

std::string CatalogueUtcText(unsigned long long ullFileTime) {
  const long long secs = static_cast<long long>(ullFileTime / 10000000ull) - 11644473600ll;
  long long days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
  long long rem = secs - days * 86400;
  long long y;
  unsigned m, d;
  CivilFromDays(days, &y, &m, &d);
  char sz[32];
  std::snprintf(sz, sizeof(sz), "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", y, m, d, rem / 3600,
                rem / 60 % 60, rem % 60);
  return sz;
}

bool ReadAcceptedCatalogueVersion(unsigned long* pnVersion) {
  HKEY hKey = nullptr;
  LSTATUS st =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, INSTALL_ID_KEY, 0, KEY_QUERY_VALUE | kRegView, &hKey);
  if (st == ERROR_FILE_NOT_FOUND) {
    *pnVersion = 0;
    return true;
  }
  if (st != ERROR_SUCCESS) return false;
  DWORD dwType = 0, dwValue = 0, cbValue = sizeof(dwValue);
  st = RegQueryValueExA(hKey, kCatalogueVersionValue, nullptr, &dwType,
                        reinterpret_cast<LPBYTE>(&dwValue), &cbValue);
  RegCloseKey(hKey);
  if (st == ERROR_FILE_NOT_FOUND) {
    *pnVersion = 0;
    return true;
  }
  if (st != ERROR_SUCCESS || dwType != REG_DWORD || cbValue != sizeof(dwValue)) return false;
  *pnVersion = dwValue;
  return true;
}

bool KeepAcceptedCatalogueVersion(unsigned long nVersion) {
  HKEY hKey = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, INSTALL_ID_KEY, 0, nullptr, 0, KEY_SET_VALUE | kRegView,
                      nullptr, &hKey, nullptr) != ERROR_SUCCESS)
    return false;
  const DWORD dwValue = static_cast<DWORD>(nVersion);
  const LSTATUS st = RegSetValueExA(hKey, kCatalogueVersionValue, 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&dwValue), sizeof(dwValue));
  RegCloseKey(hKey);
  return st == ERROR_SUCCESS;
}

static unsigned long long SystemClock() { return PlatNowFileTime(); }

CCatalogueCommTools::CCatalogueCommTools(CCommBase* pInner, const char* szKey)
    : m_pfnNow(SystemClock), m_pInner(pInner), m_nKeyVersion(0) {
  if (!ParseUpdateKey(szKey, &m_nKeyVersion, &m_strKeyPoint)) {
    m_strKeyPoint.clear();
    m_nKeyVersion = 0;
  }
}

int CCatalogueCommTools::SetServerUrl(const char* szUrl, int nReserved) {
  return m_pInner->SetServerUrl(szUrl, nReserved);
}

int CCatalogueCommTools::SetExpectedSha256(const std::string& strHex) {
  return m_pInner->SetExpectedSha256(strHex);
}

int CCatalogueCommTools::DownloadFile(std::string strFolder, std::string strUrl,
                                      DownloadProgressProc pfnProgress,
                                      std::string* pstrLocalPath) {
  for (const CataloguePackage& pkg : m_lstAccepted) {
    if (pkg.strAddress != strUrl) continue;
    if (m_pInner->SetExpectedSize(pkg.cbSize) != 0) return -1;
    return m_pInner->DownloadFile(strFolder, strUrl, pfnProgress, pstrLocalPath);
  }
  LogError("download refused: %s is in no accepted catalogue", Printable(strUrl).c_str());
  return -1;
}

int CCatalogueCommTools::PostRequest(std::string strRequest, std::string* pstrReply) {
  m_lstAccepted.clear();
  if (m_strKeyPoint.size() != kPlatP256PointBytes)
    return Refuse("the built-in catalogue key is not usable");
  std::string strBody;
  const int nResult = m_pInner->PostRequest(strRequest, &strBody);
  if (nResult != 0) return nResult;
  std::string strWhy;
  try {
    strWhy = Check(strRequest, strBody);
  } catch (const Json::Exception&) {
    // A member of an unexpected type somewhere the checks look.
    strWhy = "the reply has a member of the wrong type";
  }
  if (!strWhy.empty()) {
    m_lstAccepted.clear();
    return Refuse(strWhy);
  }
  *pstrReply = strBody;
  return 0;
}

std::string CCatalogueCommTools::Check(const std::string& strRequest, const std::string& strBody) {
  // The request is this program's own text.
  Json::Value request;
  Json::Reader().parse(strRequest, request);
  const Json::Value& item = request["data"]["softList"][0];
  if (!item.isObject() || !item["soft"].isString() || !item["version"].isString())
    return "the request names no product";
  const std::string strProduct = item["soft"].asString();
  const std::string strVersion = item["version"].asString();

  // The signed door read this body one way only; both readers agree on it.
  std::list<SoftPackage> listed;
  if (ParseSoftListReply(strBody, &listed) != SOFTLIST_LISTED) listed.clear();
  Json::Value reply;
  if (!StrictParse(strBody, &reply) || !reply.isObject()) return "the reply is not JSON";
  const Json::Value& carried = reply[kCatalogueMember];
  // Nothing to fetch needs no statement: withholding packages was always
  // in the service's power.
  if (carried.isNull() && listed.empty()) return std::string();
  if (!HasMembers(carried, {"signature", "statement"}) || !carried["statement"].isString() ||
      !carried["signature"].isString())
    return "no statement";
  std::string strStatement, strSignature;
  if (carried["statement"].asString().size() > 2 * kMaxStatementBytes ||
      !FromHex(carried["statement"].asString(), &strStatement))
    return "malformed statement";
  if (!FromHex(carried["signature"].asString(), &strSignature) ||
      strSignature.size() != kPlatP256SignatureBytes)
    return "malformed signature";
  const std::string strMessage = CatalogueMessage(m_nKeyVersion, strStatement);
  switch (PlatVerifyEcdsaP256(reinterpret_cast<const unsigned char*>(m_strKeyPoint.data()),
                              m_strKeyPoint.size(), strMessage.data(), strMessage.size(),
                              reinterpret_cast<const unsigned char*>(strSignature.data()),
                              strSignature.size())) {
    case PLAT_VERIFY_OK:
      break;
    case PLAT_VERIFY_BAD_SIGNATURE:
      return "signature does not match the statement";
    case PLAT_VERIFY_BAD_KEY:
      return "the built-in catalogue key is not usable";
    default:
      return "signature could not be checked";
  }
  CatalogueStatement stmt;
  if (const char* szWhy = ReadCatalogueStatement(strStatement, &stmt))
    return std::string("statement ") + szWhy;
  if (stmt.strProduct != strProduct)
    return "statement for product " + Printable(stmt.strProduct) + ", not " + Printable(strProduct);
  if (!CatalogueCoversVersion(stmt.lstVersions, strVersion))
    return "statement does not cover version " + Printable(strVersion);
  const std::string strNow = CatalogueUtcText(m_pfnNow());
  if (strNow >= stmt.strExpires)
    return "statement expired at " + stmt.strExpires + ", system clock " + strNow;
  unsigned long nAccepted = 0;
  if (!ReadAcceptedCatalogueVersion(&nAccepted))
    return "the highest accepted version could not be read";
  if (stmt.nVersion < nAccepted)
    return "version " + std::to_string(stmt.nVersion) + " is older than version " +
           std::to_string(nAccepted) + " accepted before";

  // Listed packages come from an array of objects there.
  const Json::Value& items = listed.empty() ? reply : reply["data"]["softList"];
  Json::ArrayIndex i = 0;
  for (const SoftPackage& pkg : listed) {
    const Json::Value& size = items[i++]["size"];
    const CataloguePackage* pFound = nullptr;
    for (const CataloguePackage& c : stmt.lstPackages)
      if (c.strAddress == pkg.strAddress) pFound = &c;
    const std::string strWhich = "package " + Printable(pkg.strAddress);
    // The same address is the same file name: the statement's "file" is
    // the name its address ends in (checked as it was read).
    if (pFound == nullptr) return strWhich + " is not in the statement";
    if (pkg.strSha256 != pFound->strSha256) return strWhich + " has another sha256";
    if (!IsInteger(size) || size.asUInt64() != pFound->cbSize)
      return strWhich + " has another size";
    if (pkg.bExcuteExe != pFound->bExcuteExe) return strWhich + " has another run flag";
    m_lstAccepted.push_back(*pFound);
  }
  if (stmt.nVersion > nAccepted && !KeepAcceptedCatalogueVersion(stmt.nVersion))
    return "version " + std::to_string(stmt.nVersion) + " could not be kept";
  LogDebug("update reply accepted: catalogue version %lu, expires %s", stmt.nVersion,
           stmt.strExpires.c_str());
  return std::string();
}
