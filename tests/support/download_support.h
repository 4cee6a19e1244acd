// Helpers the download suites share: the digest of some bytes, counting a
// text's occurrences, and a progress callback that records every call.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/crypto.h"

namespace dltest {

inline std::string Sha256Of(const std::string& data) {
  CPlatSha256 h;
  std::string hex;
  EXPECT_TRUE(h.Update(data.data(), data.size()));
  EXPECT_TRUE(h.FinalHex(&hex));
  return hex;
}

inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Every (done, total) the download reported; a suite clears it per case.
inline std::vector<std::pair<int, int>> g_progress;
inline int Progress(int done, int total) {
  g_progress.emplace_back(done, total);
  return 0;
}

}  // namespace dltest
