// Signed update replies: a layer over the plain HTTP door that binds each
// update service reply to its request and to the vendor's key.
//
// Each POST carries, in the request header kSignedNonceHeader, the version
// of the built-in key and a fresh nonce: "<version>:<64 lower-case hex>"
// (form body unchanged). The reply must carry, in kSignedSignatureHeader, an
// ECDSA P-256 / SHA-256 signature over SignedReplyMessage: the key version,
// the nonce, the SHA-256 of the POST body exactly as sent and the exact reply
// body, made with the private key of that version; it is checked with the
// built-in public key before anything reads the body. A signed reply is then
// read one way only (no NUL, nothing after the JSON value, no member name
// twice, no two packages with one file name) and must give every package its
// sha256. Any failure makes the POST fail (-1) like a network failure, with
// one ERROR log line naming the reason; the driver retries. Downloads and the
// server URL go to the wrapped door unchanged.
#pragma once
#include <string>

#include "update/commbase.h"

// Request header: "<key version>:<nonce>", the nonce 64 lower-case
// hexadecimal digits (32 random bytes), new for every request.
extern const char kSignedNonceHeader[];  // "X-Pavonix-Nonce"
// Reply header: 128 hexadecimal digits (either case), r then s, each 32
// bytes big-endian.
extern const char kSignedSignatureHeader[];  // "X-Pavonix-Signature"
// First line of the signed bytes, so that a signature made for anything
// else with the same key never passes for a reply.
extern const char kSignedReplyContext[];  // "pavonix-update-reply-v2\n"

class CSignedCommTools : public CCommBase {
 public:
  // pInner carries downloads (not owned). szKey: "<version>:<point>", the
  // public key point as 128 hexadecimal digits (X then Y), optionally after
  // "04"; a key that is not that refuses every reply.
  CSignedCommTools(CCommBase* pInner, const char* szKey);
  virtual ~CSignedCommTools() = default;

  int SetServerUrl(const char* szUrl, int nReserved) override;
  // The POST of the plain door with the nonce header, then the checks above.
  // 0 with the body in *pstrReply; -1 for a reply refused or a failure on
  // this side; else the HTTP status.
  int PostRequest(std::string strRequest, std::string* pstrReply) override;
  int DownloadFile(std::string strFolder, std::string strUrl, DownloadProgressProc pfnProgress,
                   std::string* pstrLocalPath) override;
  // The package hash goes to the wrapped door, which checks the download.
  int SetExpectedSha256(const std::string& strHex) override;
  int SetExpectedSize(unsigned long long cbSize) override;

 private:
  CCommBase* m_pInner;
  std::string m_strServerUrl;
  unsigned long m_nKeyVersion;
  std::string m_strKeyPoint;  // 64 bytes, or empty when the key was not usable
};

// The bytes the signature covers. Every part but the last has a fixed form
// without line feeds, and the body's length comes before it, so no two
// inputs give the same bytes:
//
//   pavonix-update-reply-v2\n
//   key-version <decimal>\n
//   nonce <64 hex>\n
//   request-sha256 <64 lower-case hex of the POST body>\n
//   reply-length <decimal>\n
//   <the reply body>
std::string SignedReplyMessage(unsigned long nKeyVersion, const std::string& strNonce,
                               const std::string& strRequestSha256, const std::string& strBody);

// The nonce header's value for a key version.
std::string SignedNonceValue(unsigned long nKeyVersion, const std::string& strNonce);

// The version (1 to 999999999, decimal without leading zeros) and 64-byte
// point of a key given as "<version>:<hex>" (see the constructor). False for
// anything else.
bool ParseUpdateKey(const char* szKey, unsigned long* pnVersion, std::string* pstrPoint);

// Why a reply body that verified is still refused, or null: the one reading
// a signed reply gets (see above; the packages' hashes are not judged here).
const char* SignedReplyReadingFault(const std::string& strBody);
