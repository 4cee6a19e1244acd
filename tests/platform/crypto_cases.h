// Cases of the platform's cryptography shared by the simulated suite
// (OpenSSL) and the Windows suite (CNG under Wine): the same known answers
// must come out of both.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/crypto.h"

namespace crypto_cases {

inline std::vector<unsigned char> Bytes(const std::string& hex) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string Sha256Hex(const std::string& data) {
  CPlatSha256 h;
  std::string hex;
  EXPECT_TRUE(h.Update(data.data(), data.size()));
  EXPECT_TRUE(h.FinalHex(&hex));
  return hex;
}

// A key made with the cryptography package, a signature over kMessage and
// one over the empty message, and a second unrelated key.
const char kKey[] =
    "3bb2d99444a82be85eb2699c67ea362701f22c188b34443271ea3704f4b0ba52"
    "dec602cffb8112a9c4347b0a48c07bfff652e00dacc196e788106db8caa953a6";
const char kOtherKey[] =
    "64a2f5de901c9979d0258f1b5119f179346135a6565a619d00486bdd0b8ef3d1"
    "217498fb96e5614a86475d09af05e4790b234b1b22c3eef6510c6699971cbb57";
const char kMessage[] = "pavonix signed message\n";
const char kSignature[] =
    "391f8f2f7bce2b68e45a0b88766975a7ed33671ace15f25bea5e44c605a524a3"
    "29bf7ada62e24cde443b3038430d4ec535a612fe2de7b4a95553913e6f70d613";
const char kEmptySignature[] =
    "191e71701704c875e29a9747d364e234f22e3cc1e0376d3ade4f8e31b1f3313c"
    "9a6a0da09f47e02171ed15173024edc103ac7a7ed7b4b7d68f5a12efa3d076f0";

inline PlatVerifyResult Verify(const std::vector<unsigned char>& key, const std::string& msg,
                               const std::vector<unsigned char>& sig) {
  return PlatVerifyEcdsaP256(key.data(), key.size(), msg.data(), msg.size(), sig.data(),
                             sig.size());
}

inline void Sha256KnownAnswers() {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // One million "a" in uneven pieces, one of them empty: the digest does not
  // depend on how the data was cut.
  CPlatSha256 h;
  std::string chunk(10007, 'a');
  size_t left = 1000000;
  ASSERT_TRUE(h.Update(chunk.data(), 0));
  while (left > 0) {
    size_t n = left < chunk.size() ? left : chunk.size();
    ASSERT_TRUE(h.Update(chunk.data(), n));
    left -= n;
  }
  std::string hex;
  ASSERT_TRUE(h.FinalHex(&hex));
  EXPECT_EQ(hex, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

inline void Sha256TakesNothingAfterFinal() {
  CPlatSha256 h;
  unsigned char digest[kPlatSha256Bytes];
  ASSERT_TRUE(h.Final(digest));
  EXPECT_FALSE(h.Update("x", 1));
  EXPECT_FALSE(h.Final(digest));
}

inline void VerifiesGoodSignatures() {
  EXPECT_EQ(Verify(Bytes(kKey), kMessage, Bytes(kSignature)), PLAT_VERIFY_OK);
  EXPECT_EQ(Verify(Bytes(kKey), "", Bytes(kEmptySignature)), PLAT_VERIFY_OK);
}

inline void RefusesWrongSignatures() {
  std::string msg = kMessage;
  std::vector<unsigned char> sig = Bytes(kSignature);
  std::string changed = msg;
  changed[3] ^= 1;
  EXPECT_EQ(Verify(Bytes(kKey), changed, sig), PLAT_VERIFY_BAD_SIGNATURE);
  EXPECT_EQ(Verify(Bytes(kKey), msg + "x", sig), PLAT_VERIFY_BAD_SIGNATURE);
  EXPECT_EQ(Verify(Bytes(kOtherKey), msg, sig), PLAT_VERIFY_BAD_SIGNATURE);
  // The signature over another message, and r and s swapped.
  EXPECT_EQ(Verify(Bytes(kKey), msg, Bytes(kEmptySignature)), PLAT_VERIFY_BAD_SIGNATURE);
  std::vector<unsigned char> swapped(sig.begin() + 32, sig.end());
  swapped.insert(swapped.end(), sig.begin(), sig.begin() + 32);
  EXPECT_EQ(Verify(Bytes(kKey), msg, swapped), PLAT_VERIFY_BAD_SIGNATURE);
  std::vector<unsigned char> flipped = sig;
  flipped[63] ^= 0x80;
  EXPECT_EQ(Verify(Bytes(kKey), msg, flipped), PLAT_VERIFY_BAD_SIGNATURE);
  // Out of range: r = s = 0, and every bit set (above the group order).
  EXPECT_NE(Verify(Bytes(kKey), msg, std::vector<unsigned char>(64, 0)), PLAT_VERIFY_OK);
  EXPECT_NE(Verify(Bytes(kKey), msg, std::vector<unsigned char>(64, 0xff)), PLAT_VERIFY_OK);
  // Wrong lengths are refused before the platform is asked.
  std::vector<unsigned char> shorter(sig.begin(), sig.end() - 1);
  EXPECT_EQ(Verify(Bytes(kKey), msg, shorter), PLAT_VERIFY_BAD_SIGNATURE);
  std::vector<unsigned char> longer = sig;
  longer.push_back(0);
  EXPECT_EQ(Verify(Bytes(kKey), msg, longer), PLAT_VERIFY_BAD_SIGNATURE);
}

inline void RefusesBadKeys() {
  std::vector<unsigned char> key = Bytes(kKey);
  std::vector<unsigned char> offCurve = key;
  offCurve[63] ^= 1;  // Y no longer matches X
  // Windows refuses such a key at import (BAD_KEY); Wine's CNG imports it and
  // the check then fails (BAD_SIGNATURE). Never good either way.
  EXPECT_NE(Verify(offCurve, kMessage, Bytes(kSignature)), PLAT_VERIFY_OK);
  std::vector<unsigned char> shorter(key.begin(), key.end() - 1);
  EXPECT_EQ(Verify(shorter, kMessage, Bytes(kSignature)), PLAT_VERIFY_BAD_KEY);
  // The uncompressed-point form with its leading 0x04 is not the point alone.
  std::vector<unsigned char> prefixed = key;
  prefixed.insert(prefixed.begin(), 0x04);
  EXPECT_EQ(Verify(prefixed, kMessage, Bytes(kSignature)), PLAT_VERIFY_BAD_KEY);
}

inline void RandomBytesDiffer() {
  unsigned char a[32] = {0}, b[32] = {0};
  ASSERT_TRUE(PlatGenRandom(a, sizeof(a)));
  ASSERT_TRUE(PlatGenRandom(b, sizeof(b)));
  EXPECT_NE(PlatHex(a, sizeof(a)), PlatHex(b, sizeof(b)));
  EXPECT_NE(PlatHex(a, sizeof(a)), std::string(64, '0'));
  // More than one call's worth on Windows (64 KiB pieces).
  std::vector<unsigned char> big(200000, 0);
  ASSERT_TRUE(PlatGenRandom(big.data(), big.size()));
  EXPECT_NE(std::vector<unsigned char>(big.end() - 64, big.end()),
            std::vector<unsigned char>(64, 0));
}

}  // namespace crypto_cases

#define PAVONIX_CRYPTO_CASES(Suite)                                                           \
  TEST(Suite, Sha256KnownAnswers) { crypto_cases::Sha256KnownAnswers(); }                     \
  TEST(Suite, Sha256TakesNothingAfterFinal) { crypto_cases::Sha256TakesNothingAfterFinal(); } \
  TEST(Suite, VerifiesGoodSignatures) { crypto_cases::VerifiesGoodSignatures(); }             \
  TEST(Suite, RefusesWrongSignatures) { crypto_cases::RefusesWrongSignatures(); }             \
  TEST(Suite, RefusesBadKeys) { crypto_cases::RefusesBadKeys(); }                             \
  TEST(Suite, RandomBytesDiffer) { crypto_cases::RandomBytesDiffer(); }
