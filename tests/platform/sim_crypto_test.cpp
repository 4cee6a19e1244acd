// The simulated platform's cryptography (OpenSSL), and its injected faults.
#include "platform/simctl.h"
#include "tests/platform/crypto_cases.h"

PAVONIX_CRYPTO_CASES(SimCrypto)

namespace {

class SimCryptoFaults : public ::testing::Test {
 protected:
  void SetUp() override { simwin::Reset(); }
  void TearDown() override { simwin::Reset(); }
};

TEST(SimCryptoKeys, PointOffTheCurveIsABadKey) {
  using namespace crypto_cases;
  std::vector<unsigned char> key = Bytes(kKey);
  key[63] ^= 1;
  EXPECT_EQ(Verify(key, kMessage, Bytes(kSignature)), PLAT_VERIFY_BAD_KEY);
}

TEST_F(SimCryptoFaults, FailedHashStartFailsEveryLaterCall) {
  simwin::FailCall("BCryptCreateHash", 0xC0000001u);
  CPlatSha256 h;
  std::string hex;
  EXPECT_FALSE(h.Update("abc", 3));
  EXPECT_FALSE(h.FinalHex(&hex));
  EXPECT_TRUE(hex.empty());
  CPlatSha256 next;  // one fault, one failure
  EXPECT_TRUE(next.Update("abc", 3));
}

TEST_F(SimCryptoFaults, VerifyAndRandomReportPlatformFailures) {
  using namespace crypto_cases;
  simwin::FailCall("BCryptVerifySignature", 0xC0000001u);
  EXPECT_EQ(Verify(Bytes(kKey), kMessage, Bytes(kSignature)), PLAT_VERIFY_ERROR);
  EXPECT_EQ(Verify(Bytes(kKey), kMessage, Bytes(kSignature)), PLAT_VERIFY_OK);
  simwin::FailCall("BCryptGenRandom", 0xC0000001u);
  unsigned char buf[16];
  EXPECT_FALSE(PlatGenRandom(buf, sizeof(buf)));
  EXPECT_TRUE(PlatGenRandom(buf, sizeof(buf)));
}

}  // namespace
