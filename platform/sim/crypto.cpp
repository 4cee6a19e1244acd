// The simulated platform's cryptography: OpenSSL's libcrypto does the real
// work, so native tests check real digests and signatures. Faults are
// injected by the CNG function names the Windows side calls.
#include "platform/crypto.h"

#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

#include <cstring>
#include <vector>

#include "platform/sim/core.h"

namespace {

bool Faulted(const char* api) {
  DWORD err = 0;
  return simwin::core::TakeFault(api, &err);
}

// The public key of an uncompressed point (0x04, X, Y); null when the point
// is not on the curve.
EVP_PKEY* P256Key(const unsigned char* pPoint) {
  unsigned char octets[1 + kPlatP256PointBytes];
  octets[0] = 0x04;
  std::memcpy(octets + 1, pPoint, kPlatP256PointBytes);
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("prime256v1"),
                                       0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, octets, sizeof(octets)),
      OSSL_PARAM_construct_end()};
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  EVP_PKEY* key = nullptr;
  if (ctx == nullptr || EVP_PKEY_fromdata_init(ctx) <= 0 ||
      EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) <= 0)
    key = nullptr;
  EVP_PKEY_CTX_free(ctx);
  if (key == nullptr) return nullptr;
  // fromdata does not insist on the point being on the curve; CNG's import
  // does. Check it the same way here.
  EVP_PKEY_CTX* check = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  bool ok = check != nullptr && EVP_PKEY_public_check(check) == 1;
  EVP_PKEY_CTX_free(check);
  if (!ok) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  return key;
}

// The DER form libcrypto verifies, from raw r||s.
std::vector<unsigned char> DerSignature(const unsigned char* pSig) {
  std::vector<unsigned char> der;
  ECDSA_SIG* sig = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(pSig, 32, nullptr);
  BIGNUM* s = BN_bin2bn(pSig + 32, 32, nullptr);
  if (sig != nullptr && r != nullptr && s != nullptr && ECDSA_SIG_set0(sig, r, s) == 1) {
    r = s = nullptr;  // owned by sig now
    unsigned char* out = nullptr;
    int n = i2d_ECDSA_SIG(sig, &out);
    if (n > 0) der.assign(out, out + n);
    OPENSSL_free(out);
  }
  BN_free(r);
  BN_free(s);
  ECDSA_SIG_free(sig);
  return der;
}

}  // namespace

struct CPlatSha256::State {
  EVP_MD_CTX* ctx;
};

CPlatSha256::CPlatSha256() : m_pState(nullptr) {
  if (Faulted("BCryptCreateHash")) return;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return;
  if (EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    return;
  }
  m_pState = new State{ctx};
}

CPlatSha256::~CPlatSha256() {
  if (m_pState) {
    EVP_MD_CTX_free(m_pState->ctx);
    delete m_pState;
  }
}

bool CPlatSha256::Update(const void* pData, size_t cbData) {
  if (m_pState == nullptr) return false;
  if (cbData == 0) return true;
  return EVP_DigestUpdate(m_pState->ctx, pData, cbData) == 1;
}

bool CPlatSha256::Final(unsigned char digest[kPlatSha256Bytes]) {
  if (m_pState == nullptr) return false;
  unsigned int n = 0;
  bool ok = EVP_DigestFinal_ex(m_pState->ctx, digest, &n) == 1 && n == kPlatSha256Bytes;
  EVP_MD_CTX_free(m_pState->ctx);
  delete m_pState;
  m_pState = nullptr;
  return ok;
}

PlatVerifyResult PlatVerifyEcdsaP256(const unsigned char* pPoint, size_t cbPoint, const void* pMsg,
                                     size_t cbMsg, const unsigned char* pSig, size_t cbSig) {
  if (pPoint == nullptr || cbPoint != kPlatP256PointBytes) return PLAT_VERIFY_BAD_KEY;
  if (pSig == nullptr || cbSig != kPlatP256SignatureBytes) return PLAT_VERIFY_BAD_SIGNATURE;
  if (Faulted("BCryptVerifySignature")) return PLAT_VERIFY_ERROR;
  EVP_PKEY* key = P256Key(pPoint);
  if (key == nullptr) return PLAT_VERIFY_BAD_KEY;
  std::vector<unsigned char> der = DerSignature(pSig);
  PlatVerifyResult result = PLAT_VERIFY_ERROR;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (!der.empty() && ctx != nullptr &&
      EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1) {
    // 1 good, 0 wrong, negative an error (a malformed signature is wrong).
    int rc = EVP_DigestVerify(ctx, der.data(), der.size(), static_cast<const unsigned char*>(pMsg),
                              cbMsg);
    result = rc == 1 ? PLAT_VERIFY_OK : PLAT_VERIFY_BAD_SIGNATURE;
  }
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return result;
}

bool PlatGenRandom(void* pBuf, size_t cbBuf) {
  if (Faulted("BCryptGenRandom")) return false;
  if (cbBuf == 0) return true;
  return RAND_bytes(static_cast<unsigned char*>(pBuf), static_cast<int>(cbBuf)) == 1;
}
