// The threaded SHA-256 against the plain one: any split of the bytes, block
// edges and a queue that fills, and a failing hash.
#include <gtest/gtest.h>

#include <string>

#include "platform/crypto.h"
#include "platform/simctl.h"
#include "download/pipedsha.h"

namespace {

std::string PlainHex(const std::string& data) {
  CPlatSha256 h;
  std::string hex;
  EXPECT_TRUE(h.Update(data.data(), data.size()));
  EXPECT_TRUE(h.FinalHex(&hex));
  return hex;
}

TEST(PipedSha256, SameDigestForAnySplit) {
  const size_t kBlock = 256 * 1024;
  struct Case {
    size_t size;
    size_t piece;  // bytes per Update
  };
  const Case cases[] = {
      {0, 1},
      {1, 1},
      {kBlock - 1, 10240},
      {kBlock, kBlock},
      {kBlock + 1, 7},
      {kBlock, 3 * kBlock},
      {20 * kBlock + 5, 10240},  // more than the queue holds
      {3 * kBlock, 65536 + 3},
  };
  for (const Case& c : cases) {
    std::string data(c.size, '\0');
    for (size_t i = 0; i < c.size; ++i) data[i] = static_cast<char>(i * 31 + i / 977);
    CPipedSha256 piped;
    for (size_t at = 0; at < c.size; at += c.piece)
      ASSERT_TRUE(piped.Update(data.data() + at, std::min(c.piece, c.size - at)));
    std::string hex;
    ASSERT_TRUE(piped.FinalHex(&hex)) << c.size;
    EXPECT_EQ(hex, PlainHex(data)) << c.size << " in pieces of " << c.piece;
  }
}

TEST(PipedSha256, AFailedHashFailsTheDigestAndAnEarlyEndWaitsForNothing) {
  simwin::Reset();
  simwin::FailCall("BCryptCreateHash", 5);
  {
    CPipedSha256 piped;
    std::string data(600 * 1024, 'x');
    piped.Update(data.data(), data.size());
    std::string hex;
    EXPECT_FALSE(piped.FinalHex(&hex));
    EXPECT_TRUE(hex.empty());
  }
  simwin::Reset();
  // Dropped with blocks queued (a download that failed): no digest asked.
  CPipedSha256 dropped;
  std::string data(3 * 256 * 1024, 'y');
  EXPECT_TRUE(dropped.Update(data.data(), data.size()));
}

}  // namespace
