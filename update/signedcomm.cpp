#include "update/signedcomm.h"

#include <list>

#include "httpclient/httpclient.h"
#include "log/log.h"
#include "platform/crypto.h"
#include "platform/win.h"
#include "update/httpreply.h"
#include "update/softupdate.h"

const char kSignedNonceHeader[] = "X-Pavonix-Nonce";
const char kSignedSignatureHeader[] = "X-Pavonix-Signature";
const char kSignedReplyContext[] = "pavonix-update-reply-v1\n";

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
// signature is good for the nonce and the body.
const char* CheckSignature(const std::string& strKeyPoint, const std::string& strNonce,
                           const std::string& strBody, const std::string& strSignatureHex) {
  std::string sig;
  if (!FromHex(strSignatureHex, kPlatP256SignatureBytes, &sig)) return "malformed signature";
  if (strKeyPoint.size() != kPlatP256PointBytes) return "the built-in key is not usable";
  std::string msg = SignedReplyMessage(strNonce, strBody);
  switch (PlatVerifyEcdsaP256(reinterpret_cast<const unsigned char*>(strKeyPoint.data()),
                              strKeyPoint.size(), msg.data(), msg.size(),
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

}  // namespace

std::string SignedReplyMessage(const std::string& strNonce, const std::string& strBody) {
  return kSignedReplyContext + strNonce + "\n" + strBody;
}

bool ParseUpdateKey(const char* szKeyHex, std::string* pstrPoint) {
  if (szKeyHex == nullptr) return false;
  std::string hex(szKeyHex);
  if (hex.size() == kPlatP256PointBytes * 2 + 2 && hex.compare(0, 2, "04") == 0) hex.erase(0, 2);
  return FromHex(hex, kPlatP256PointBytes, pstrPoint);
}

CSignedCommTools::CSignedCommTools(CCommBase* pInner, const char* szKeyHex) : m_pInner(pInner) {
  if (!ParseUpdateKey(szKeyHex, &m_strKeyPoint)) m_strKeyPoint.clear();
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
  unsigned char nonceBytes[kNonceBytes];
  if (!PlatGenRandom(nonceBytes, sizeof(nonceBytes))) return Refuse("no random nonce");
  const std::string strNonce = PlatHex(nonceBytes, sizeof(nonceBytes));

  pavonix::CTimedHttpClient client;
  HINTERNET hInternet = nullptr;
  Corvu::CHttpResponse* pResponse = nullptr;
  std::string strBody, strSignature, strEchoedNonce;
  bool bSigned = false, bEchoed = false;
  int nResult = -1;
  try {
    hInternet = pavonix::OpenInternetWithTimeouts(kPostTimeoutMs);
    client.SetInternetSettings(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    client.AddHeader(kSignedNonceHeader, strNonce.c_str());
    client.AddParam("requestStr", strRequest.c_str());
    client.BeginTimedFormPost(hInternet, m_strServerUrl.c_str(),
                              Corvu::HTTPCLIENT_DEFAULT_REQUEST_FLAGS, kPostTimeoutMs);
    while ((pResponse = client.ProceedPost()) == nullptr) {
    }
    DWORD dwStatus = pResponse->GetStatus();
    DWORD cbLength = 0;
    if (dwStatus != 200) {
      nResult = pavonix::StatusResult(dwStatus);
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
  // The service names the nonce it signed for; a different one is a reply
  // to another request (a replay). The signature decides either way.
  if (bEchoed && strEchoedNonce != strNonce) return Refuse("signed for another request");
  if (const char* szWhy = CheckSignature(m_strKeyPoint, strNonce, strBody, strSignature))
    return Refuse(szWhy);

  std::string strText(strBody.c_str());
  // The reply is authentic, so its hashes are too; a package without one
  // could still be swapped on its way from the package server.
  std::list<SoftPackage> packages;
  if (ParseSoftListReply(strText, &packages) == SOFTLIST_LISTED) {
    for (const SoftPackage& pkg : packages)
      if (pkg.strSha256.empty()) return Refuse("a package has no sha256");
  }
  *pstrReply = strText;
  return 0;
}
