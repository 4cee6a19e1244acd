#include "update/signedcomm.h"

#include <json/json.h>

#include <cstdio>
#include <list>
#include <memory>
#include <set>

#include "httpclient/httpclient.h"
#include "log/log.h"
#include "net/httpreply.h"
#include "platform/crypto.h"
#include "platform/win.h"
#include "update/httpcommtools.h"
#include "update/softupdate.h"

const char kSignedNonceHeader[] = "X-Pavonix-Nonce";
const char kSignedSignatureHeader[] = "X-Pavonix-Signature";
const char kSignedReplyContext[] = "pavonix-update-reply-v2\n";

namespace {

const DWORD kPostTimeoutMs = 10000;
const size_t kNonceBytes = 32;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly cbOut bytes from 2 * cbOut hexadecimal digits, or false.
bool FromHex(const std::string& strHex, size_t cbOut, std::string* pstrOut) {
  if (strHex.size() != cbOut * 2) return false;
  std::string out(cbOut, '\0');
  for (size_t i = 0; i < cbOut; ++i) {
    int hi = HexDigit(strHex[2 * i]), lo = HexDigit(strHex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<char>(hi * 16 + lo);
  }
  pstrOut->swap(out);
  return true;
}

int Refuse(const char* szReason) {
  LogError("update reply refused: %s", szReason);
  return -1;
}

// Why a reply with this signature header is refused, or null when its
// signature is good for the message.
const char* CheckSignature(const std::string& strKeyPoint, const std::string& strMessage,
                           const std::string& strSignatureHex) {
  std::string sig;
  if (!FromHex(strSignatureHex, kPlatP256SignatureBytes, &sig)) return "malformed signature";
  if (strKeyPoint.size() != kPlatP256PointBytes) return "the built-in key is not usable";
  switch (PlatVerifyEcdsaP256(reinterpret_cast<const unsigned char*>(strKeyPoint.data()),
                              strKeyPoint.size(), strMessage.data(), strMessage.size(),
                              reinterpret_cast<const unsigned char*>(sig.data()), sig.size())) {
    case PLAT_VERIFY_OK:
      return nullptr;
    case PLAT_VERIFY_BAD_SIGNATURE:
      return "signature does not match the reply";
    case PLAT_VERIFY_BAD_KEY:
      return "the built-in key is not usable";
    default:
      return "signature could not be checked";
  }
}

// A decimal key version from 1 to 999999999, no leading zero.
bool ParseKeyVersion(const std::string& strText, unsigned long* pnVersion) {
  if (strText.empty() || strText.size() > 9 || strText[0] == '0') return false;
  unsigned long n = 0;
  for (char c : strText) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned long>(c - '0');
  }
  *pnVersion = n;
  return true;
}

// Parses with jsoncpp's strict settings, the two checks named switched on
// or off, so that each refusal can say which rule the body broke.
bool StrictParse(const std::string& strBody, bool bFailIfExtra, bool bRejectDupKeys) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder.settings_["failIfExtra"] = bFailIfExtra;
  builder.settings_["rejectDupKeys"] = bRejectDupKeys;
  // Replies nest four deep; a deeper body is no reply of the service.
  builder.settings_["stackLimit"] = 64;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errs;
  const char* p = strBody.data();
  return reader->parse(p, p + strBody.size(), &root, &errs);
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

std::string SignedReplyMessage(unsigned long nKeyVersion, const std::string& strNonce,
                               const std::string& strRequestSha256, const std::string& strBody) {
  char szVersion[16], szLength[24];
  std::snprintf(szVersion, sizeof(szVersion), "%lu", nKeyVersion);
  std::snprintf(szLength, sizeof(szLength), "%lu", static_cast<unsigned long>(strBody.size()));
  return std::string(kSignedReplyContext) + "key-version " + szVersion + "\nnonce " + strNonce +
         "\nrequest-sha256 " + strRequestSha256 + "\nreply-length " + szLength + "\n" + strBody;
}

std::string SignedNonceValue(unsigned long nKeyVersion, const std::string& strNonce) {
  char szVersion[16];
  std::snprintf(szVersion, sizeof(szVersion), "%lu", nKeyVersion);
  return std::string(szVersion) + ":" + strNonce;
}

bool ParseUpdateKey(const char* szKey, unsigned long* pnVersion, std::string* pstrPoint) {
  if (szKey == nullptr) return false;
  std::string text(szKey);
  size_t colon = text.find(':');
  unsigned long nVersion = 0;
  if (colon == std::string::npos || !ParseKeyVersion(text.substr(0, colon), &nVersion))
    return false;
  std::string hex = text.substr(colon + 1);
  if (hex.size() == kPlatP256PointBytes * 2 + 2 && hex.compare(0, 2, "04") == 0) hex.erase(0, 2);
  if (!FromHex(hex, kPlatP256PointBytes, pstrPoint)) return false;
  *pnVersion = nVersion;
  return true;
}

const char* SignedReplyReadingFault(const std::string& strBody) {
  if (strBody.find('\0') != std::string::npos) return "a NUL byte in the reply";
  if (!StrictParse(strBody, false, false)) return "the reply is not JSON";
  if (!StrictParse(strBody, true, false)) return "text after the JSON value";
  if (!StrictParse(strBody, false, true)) return "a member name twice";
  std::list<SoftPackage> packages;
  if (ParseSoftListReply(strBody, &packages) != SOFTLIST_LISTED) return nullptr;
  // Windows names files without regard to case: two such packages would be
  // one file, the later download replacing what the earlier one checked.
  std::set<std::string> names;
  for (const SoftPackage& pkg : packages)
    if (!names.insert(LowerAscii(UrlFileName(pkg.strAddress))).second)
      return "two packages with the same file name";
  return nullptr;
}

CSignedCommTools::CSignedCommTools(CCommBase* pInner, const char* szKey)
    : m_pInner(pInner), m_nKeyVersion(0) {
  if (!ParseUpdateKey(szKey, &m_nKeyVersion, &m_strKeyPoint)) {
    m_strKeyPoint.clear();
    m_nKeyVersion = 0;
  }
}

int CSignedCommTools::SetServerUrl(const char* szUrl, int nReserved) {
  m_strServerUrl = szUrl ? szUrl : "";
  return m_pInner->SetServerUrl(szUrl, nReserved);
}

int CSignedCommTools::DownloadFile(std::string strFolder, std::string strUrl,
                                   DownloadProgressProc pfnProgress, std::string* pstrLocalPath) {
  return m_pInner->DownloadFile(strFolder, strUrl, pfnProgress, pstrLocalPath);
}

int CSignedCommTools::SetExpectedSha256(const std::string& strHex) {
  return m_pInner->SetExpectedSha256(strHex);
}

int CSignedCommTools::PostRequest(std::string strRequest, std::string* pstrReply) {
  // Nothing to check a reply with: asking would only spend an attempt.
  if (m_strKeyPoint.size() != kPlatP256PointBytes) return Refuse("the built-in key is not usable");
  unsigned char nonceBytes[kNonceBytes];
  if (!PlatGenRandom(nonceBytes, sizeof(nonceBytes))) return Refuse("no random nonce");
  const std::string strNonce = PlatHex(nonceBytes, sizeof(nonceBytes));
  const std::string strNonceValue = SignedNonceValue(m_nKeyVersion, strNonce);

  pavonix::CTimedHttpClient client;
  HINTERNET hInternet = nullptr;
  Corvu::CHttpResponse* pResponse = nullptr;
  std::string strBody, strSignature, strEchoedNonce, strRequestSha256;
  bool bSigned = false, bEchoed = false;
  int nResult = -1;
  try {
    client.AddHeader(kSignedNonceHeader, strNonceValue.c_str());
    client.AddParam("requestStr", strRequest.c_str());
    // The body the POST sends is the form's parameter text, made by the
    // same encoder: its hash is what the service saw.
    std::string strForm(client.MakeGetUrlLen(nullptr) + 1, '\0');
    client.MakeGetUrl(&strForm[0], nullptr);
    strForm.resize(strForm.size() - 1);
    CPlatSha256 hash;
    if (!hash.Update(strForm.data(), strForm.size()) || !hash.FinalHex(&strRequestSha256))
      return Refuse("the request could not be hashed");
    hInternet = pavonix::OpenInternetWithTimeouts(kPostTimeoutMs);
    client.SetInternetSettings(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    client.BeginTimedFormPost(hInternet, m_strServerUrl.c_str(),
                              Corvu::HTTPCLIENT_DEFAULT_REQUEST_FLAGS, kPostTimeoutMs);
    while ((pResponse = client.ProceedPost()) == nullptr) {
    }
    DWORD dwStatus = pResponse->GetStatus();
    DWORD cbLength = 0;
    if (dwStatus != 200) {
      nResult = pavonix::StatusResult(dwStatus);
      // Also how a service that does not hold this key version answers.
      if (nResult > 0) LogError("update reply refused: HTTP status %d", nResult);
    } else if (pResponse->GetContentLength(cbLength) && cbLength != 0 &&
               pavonix::ReadReplyBytes(pResponse, cbLength, &strBody) == 0) {
      bSigned = pResponse->GetHeader(kSignedSignatureHeader, strSignature) != FALSE;
      bEchoed = pResponse->GetHeader(kSignedNonceHeader, strEchoedNonce) != FALSE;
      nResult = 0;
    }
  } catch (const Corvu::httpclientexceptionA& e) {
    LogError("%s", e.ErrorMessage());
    nResult = -1;
  }
  delete pResponse;
  client.CancelPost();
  if (hInternet) InternetCloseHandle(hInternet);
  if (nResult != 0) return nResult;

  if (!bSigned) return Refuse("no signature");
  // The service names the nonce and key version it signed for; different
  // ones are a reply to another request (a replay) or for another key. The
  // signature decides either way.
  if (bEchoed && strEchoedNonce != strNonceValue) return Refuse("signed for another request");
  if (const char* szWhy = CheckSignature(
          m_strKeyPoint, SignedReplyMessage(m_nKeyVersion, strNonce, strRequestSha256, strBody),
          strSignature))
    return Refuse(szWhy);
  if (const char* szWhy = SignedReplyReadingFault(strBody)) return Refuse(szWhy);

  // The reply is authentic, so its hashes are too; a package without one
  // could still be swapped on its way from the package server.
  std::list<SoftPackage> packages;
  if (ParseSoftListReply(strBody, &packages) == SOFTLIST_LISTED) {
    for (const SoftPackage& pkg : packages)
      if (pkg.strSha256.empty()) return Refuse("a package has no sha256");
  }
  *pstrReply = strBody;
  return 0;
}
