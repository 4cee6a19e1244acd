// The platform's cryptography: SHA-256, ECDSA P-256 verification and random
// bytes. On Windows through CNG, bcrypt.dll loaded at run time from the
// system folder only (never imported, never searched for beside the
// program); in the simulated platform through OpenSSL's libcrypto, so native
// tests check real digests and signatures.
//
//   CPlatSha256 h;                      // incremental, any number of Update
//   h.Update(p, n); h.Update(q, m);
//   std::string hex;
//   if (!h.FinalHex(&hex)) ...          // 64 lower-case hex digits
//
//   PlatVerifyEcdsaP256(point, msg, cbMsg, sig, cbSig) == PLAT_VERIFY_OK
//
// Simulated faults (platform/simctl.h, simwin::FailCall): "BCryptGenRandom",
// "BCryptCreateHash", "BCryptVerifySignature".
#pragma once
#include <cstddef>
#include <string>

// Bytes of a SHA-256 digest, of a P-256 public key point (X then Y, each 32
// bytes big-endian: the key part of a BCRYPT_ECCPUBLIC_BLOB) and of a raw
// P-256 signature (r then s, each 32 bytes big-endian).
const size_t kPlatSha256Bytes = 32;
const size_t kPlatP256PointBytes = 64;
const size_t kPlatP256SignatureBytes = 64;

// Incremental SHA-256. A failure of the platform (CNG missing, a call
// refused) makes Update and Final return false; nothing is thrown.
class CPlatSha256 {
 public:
  CPlatSha256();
  ~CPlatSha256();
  CPlatSha256(const CPlatSha256&) = delete;
  CPlatSha256& operator=(const CPlatSha256&) = delete;

  bool Update(const void* pData, size_t cbData);
  // The digest of everything given so far; the object takes no more data
  // afterwards (a later Update or Final fails).
  bool Final(unsigned char digest[kPlatSha256Bytes]);
  // The same digest as 64 lower-case hexadecimal digits.
  bool FinalHex(std::string* pstrHex);

 private:
  struct State;
  State* m_pState;  // null once finished or when the start failed
};

enum PlatVerifyResult {
  PLAT_VERIFY_OK = 0,             // the signature is good
  PLAT_VERIFY_BAD_SIGNATURE = 1,  // checked and wrong (any other message or key)
  PLAT_VERIFY_BAD_KEY = 2,        // the key is not a point of the curve
  PLAT_VERIFY_ERROR = 3           // the platform could not check (CNG missing, a call failed)
};

// Checks an ECDSA P-256 signature (raw r||s) over the SHA-256 digest of the
// message. A key or signature of the wrong length gives BAD_KEY or
// BAD_SIGNATURE without asking the platform.
PlatVerifyResult PlatVerifyEcdsaP256(const unsigned char* pPoint, size_t cbPoint, const void* pMsg,
                                     size_t cbMsg, const unsigned char* pSig, size_t cbSig);

// Fills the buffer from the system's cryptographic random generator.
bool PlatGenRandom(void* pBuf, size_t cbBuf);

// The text of a SHA-256 digest as 64 lower-case hexadecimal digits, from
// 64 digits of either case; false for any other text.
inline bool PlatNormalizeSha256Hex(const std::string& strHex, std::string* pstrLower) {
  if (strHex.size() != 2 * kPlatSha256Bytes) return false;
  std::string s = strHex;
  for (char& c : s) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  pstrLower->swap(s);
  return true;
}

// Lower-case hexadecimal text of bytes.
inline std::string PlatHex(const unsigned char* p, size_t cb) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(cb * 2);
  for (size_t i = 0; i < cb; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

inline bool CPlatSha256::FinalHex(std::string* pstrHex) {
  unsigned char digest[kPlatSha256Bytes];
  if (!Final(digest)) return false;
  *pstrHex = PlatHex(digest, sizeof(digest));
  return true;
}
