// A P-256 key pair of a test's own (OpenSSL), signing as the vendor's
// tools do: the signed suites' peers and offline catalogues.
#pragma once
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

#include "platform/crypto.h"

namespace pavtest {

class SigningKey {
 public:
  SigningKey() : m_key(EVP_EC_gen("P-256"), EVP_PKEY_free) {}
  // "04" + X + Y, the form the build takes.
  std::string PublicHex() const {
    unsigned char point[65];
    size_t n = 0;
    EVP_PKEY_get_octet_string_param(m_key.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof(point), &n);
    return PlatHex(point, n);
  }
  // 128 hexadecimal digits of r and s over the message.
  std::string SignHex(const std::string& msg) const {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, m_key.get());
    unsigned char der[80];
    size_t n = sizeof(der);
    EVP_DigestSign(ctx.get(), der, &n, reinterpret_cast<const unsigned char*>(msg.data()),
                   msg.size());
    const unsigned char* p = der;
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(n));
    unsigned char raw[64];
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw, 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw + 32, 32);
    ECDSA_SIG_free(sig);
    return PlatHex(raw, sizeof(raw));
  }

 private:
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> m_key;
};

}  // namespace pavtest
