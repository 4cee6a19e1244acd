// Signed update replies: a layer over the plain HTTP door that binds each
// update service reply to its request and to the vendor's key.
//
// Each POST carries a fresh nonce in the request header kSignedNonceHeader
// (form body unchanged). The reply must carry, in kSignedSignatureHeader, an
// ECDSA P-256 / SHA-256 signature over
//
//     kSignedReplyContext + nonce + "\n" + the exact reply body bytes
//
// made with the vendor's private key; it is checked with the built-in public
// key before anything reads the body. A signed reply must also give every
// package its sha256. Any failure makes the POST fail (-1) like a network
// failure, with one ERROR log line naming the reason; the driver retries.
// Downloads and the server URL go to the wrapped door unchanged.
#pragma once
#include <string>

#include "update/commbase.h"

// Request header: 64 lower-case hexadecimal digits (32 random bytes), new
// for every request.
extern const char kSignedNonceHeader[];  // "X-Pavonix-Nonce"
// Reply header: 128 hexadecimal digits (either case), r then s, each 32
// bytes big-endian.
extern const char kSignedSignatureHeader[];  // "X-Pavonix-Signature"
// First line of the signed bytes, so that a signature made for anything
// else with the same key never passes for a reply.
extern const char kSignedReplyContext[];  // "pavonix-update-reply-v1\n"

class CSignedCommTools : public CCommBase {
 public:
  // pInner carries downloads (not owned). szKeyHex: the public key point as
  // 128 hexadecimal digits (X then Y), optionally after "04"; a key that is
  // not that refuses every reply.
  CSignedCommTools(CCommBase* pInner, const char* szKeyHex);
  virtual ~CSignedCommTools() = default;

  int SetServerUrl(const char* szUrl, int nReserved) override;
  // The POST of the plain door with the nonce header, then the checks above.
  // 0 with the body (up to its first NUL byte) in *pstrReply; -1 for a reply
  // refused or a failure on this side; else the HTTP status.
  int PostRequest(std::string strRequest, std::string* pstrReply) override;
  int DownloadFile(std::string strFolder, std::string strUrl, DownloadProgressProc pfnProgress,
                   std::string* pstrLocalPath) override;
  // The package hash goes to the wrapped door, which checks the download.
  int SetExpectedSha256(const std::string& strHex) override;

 private:
  CCommBase* m_pInner;
  std::string m_strServerUrl;
  std::string m_strKeyPoint;  // 64 bytes, or empty when the key was not usable
};

// The bytes the signature covers.
std::string SignedReplyMessage(const std::string& strNonce, const std::string& strBody);

// The 64-byte point of a key given as hexadecimal text (see the
// constructor). False for anything else.
bool ParseUpdateKey(const char* szKeyHex, std::string* pstrPoint);
