// Downloads that go on after a broken connection, against the simulated
// WinInet: what is asked for, what is appended, when it gives up.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "download/resumedl.h"
#include "log/log.h"
#include "platform/crypto.h"
#include "platform/simctl.h"
#include "tests/config/sim_fixture.h"
#include "tests/support/download_support.h"
#include "update/httpcommtools.h"

namespace fs = std::filesystem;

namespace {

using dltest::Count;
using dltest::g_progress;
using dltest::Progress;
using dltest::Sha256Of;

const size_t kSize = 25000;
const size_t kAll = static_cast<size_t>(-1);
const char kPkgUrl[] = "http://pkg.example/setup.exe";

// One answer of the package server.
struct Answer {
  DWORD status;
  size_t from;        // first byte of the package sent
  size_t send;        // bytes sent before the peer closes (kAll: all)
  std::string range;  // Content-Range; "" makes the right one for a 206
  std::string etag = "\"v1\"";
  bool reset = false;  // the close is a reset, not a FIN
  bool other = false;  // the bytes of another file
  std::string lastModified;
};

Answer Make(DWORD status, size_t from, size_t send) {
  Answer a;
  a.status = status;
  a.from = from;
  a.send = send;
  return a;
}
Answer Full(size_t send = kAll) { return Make(200, 0, send); }
Answer Part(size_t from, size_t send = kAll) { return Make(206, from, send); }

class Resume : public ::testing::Test {
 protected:
  fs::path root;
  std::string body;

  void SetUp() override {
    simwin::Reset();
    root = pavtest::FreshTestFolder("pavonix-resume");
    fs::create_directories(root / "Temp");
    simwin::MapDrive('C', root.string());
    for (size_t i = 0; i < kSize; ++i) body.push_back(static_cast<char>(i * 31 + i / 7));
    g_progress.clear();
    g_nLogLevel = 1;
    snprintf(g_szLogPath, sizeof g_szLogPath, "C:\\resume.log");
    snprintf(g_szLogModule, sizeof g_szLogModule, "PAVONIX");
  }
  void TearDown() override {
    EXPECT_TRUE(simwin::OpenInternetHandles().empty());
    g_nLogLevel = 0;
    g_szLogPath[0] = '\0';
    fs::remove_all(root);
  }
  std::string Read(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  // Serves the answers in turn; a request beyond them gets 500.
  void Serve(const std::vector<Answer>& answers) {
    auto next = std::make_shared<size_t>(0);
    const std::string data = body;
    simwin::ServeAt("pkg.example", 80, [answers, next, data](const simwin::HttpRequestRecord&) {
      simwin::HttpReply r;
      if (*next >= answers.size()) {
        r.status = 500;
        return r;
      }
      const Answer& a = answers[(*next)++];
      r.status = a.status;
      std::string bytes = data.substr(a.from);
      if (a.other) bytes[bytes.size() / 2] ^= 0x55;
      r.body = bytes;
      if (a.status == 206)
        r.headers.emplace_back("Content-Range", a.range.empty()
                                                    ? "bytes " + std::to_string(a.from) + "-" +
                                                          std::to_string(data.size() - 1) + "/" +
                                                          std::to_string(data.size())
                                                    : a.range);
      if (!a.etag.empty()) r.headers.emplace_back("ETag", a.etag);
      if (!a.lastModified.empty()) r.headers.emplace_back("Last-Modified", a.lastModified);
      r.closeAfter = a.send;
      r.resetOnClose = a.reset;
      return r;
    });
  }
};

TEST_F(Resume, Rules) {
  const std::string kDate = "Wed, 09 Dec 2026 10:00:00 GMT";
  Answer noTag = Full(10000);
  noTag.etag.clear();
  noTag.lastModified = kDate;
  Answer wrongStart = Part(10000);
  wrongStart.range = "bytes 0-24999/25000";
  Answer wrongTotal = Part(10000);
  wrongTotal.range = "bytes 10000-29999/30000";
  Answer resetAt = Full(10000);
  resetAt.reset = true;
  Answer otherBytes = Part(10000);
  otherBytes.other = true;
  Answer newTag = Full();
  newTag.etag = "\"v2\"";

  struct Case {
    const char* name;
    std::vector<Answer> answers;
    int want;
    std::vector<std::string> ranges;  // the Range header of each request
    std::string ifRange;              // If-Range of the continuations
    size_t errorLines;
  };
  const Case cases[] = {
      {"cut, then the rest", {Full(10000), Part(10000)}, 0, {"", "bytes=10000-"}, "\"v1\"", 0},
      {"reset, then the rest", {resetAt, Part(10000)}, 0, {"", "bytes=10000-"}, "\"v1\"", 0},
      {"several cuts",
       {Full(4000), Part(4000, 4000), Part(8000, 9000), Part(17000)},
       0,
       {"", "bytes=4000-", "bytes=8000-", "bytes=17000-"},
       "\"v1\"",
       0},
      {"no ETag: Last-Modified guards", {noTag, Part(10000)}, 0, {"", "bytes=10000-"}, kDate, 0},
      {"200 starts over", {Full(10000), newTag}, 0, {"", "bytes=10000-"}, "\"v1\"", 0},
      {"206 from another byte", {Full(10000), wrongStart}, -1, {"", "bytes=10000-"}, "\"v1\"", 1},
      {"206 of another total", {Full(10000), wrongTotal}, -1, {"", "bytes=10000-"}, "\"v1\"", 1},
      {"416 fails as a status",
       {Full(10000), Make(416, 0, 0)},
       416,
       {"", "bytes=10000-"},
       "\"v1\"",
       0},
      {"three continuations without a byte",
       {Full(10000), Part(10000, 0), Part(10000, 0), Part(10000, 0), Part(10000)},
       -1,
       {"", "bytes=10000-", "bytes=10000-", "bytes=10000-"},
       "\"v1\"",
       1},
      {"a byte in between starts the count again",
       {Full(10000), Part(10000, 0), Part(10000, 0), Part(10000, 1), Part(10001, 0), Part(10001, 0),
        Part(10001)},
       0,
       {"", "bytes=10000-", "bytes=10000-", "bytes=10000-", "bytes=10001-", "bytes=10001-",
        "bytes=10001-"},
       "\"v1\"",
       0},
      {"stitched bytes with the wrong digest",
       {Full(10000), otherBytes},
       -1,
       {"", "bytes=10000-"},
       "\"v1\"",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    simwin::Reset();
    simwin::MapDrive('C', root.string());
    fs::remove(root / "resume.log");
    g_progress.clear();
    Serve(c.answers);
    CHTTPCommTools comm;
    ASSERT_EQ(comm.SetExpectedSha256(Sha256Of(body)), 0);
    std::string local;
    EXPECT_EQ(comm.DownloadFile("C:\\Temp\\", kPkgUrl, Progress, &local), c.want);
    auto reqs = simwin::HttpRequests();
    ASSERT_EQ(reqs.size(), c.ranges.size());
    for (size_t i = 0; i < reqs.size(); ++i) {
      EXPECT_EQ(reqs[i].Header("Range"), c.ranges[i]) << i;
      EXPECT_EQ(reqs[i].Header("If-Range"), i == 0 ? "" : c.ifRange) << i;
      EXPECT_EQ(reqs[i].HeaderCount("Range"), i == 0 ? 0u : 1u) << i;
    }
    const std::string log = Read(root / "resume.log");
    EXPECT_EQ(Count(log, "[ERROR]"), c.errorLines) << log;
    // Only the whole, verified package is left as the file.
    if (c.want == 0) {
      EXPECT_EQ(Read(root / "Temp" / "setup.exe"), body);
      ASSERT_FALSE(g_progress.empty());
      EXPECT_EQ(g_progress.back(), (std::pair<int, int>{25000, 25000}));
    }
    if (std::string(c.name).find("digest") != std::string::npos) {
      EXPECT_FALSE(fs::exists(root / "Temp" / "setup.exe"));
    }
    for (size_t i = 1; i < g_progress.size(); ++i)
      EXPECT_GE(g_progress[i].first, g_progress[i - 1].first) << i;
  }
}

TEST_F(Resume, AnUnhashedPackageOnACutLinkAsksOnceWithoutARange) {
  Serve({Full(10000), Part(10000)});
  CHTTPCommTools comm;
  std::string local;
  EXPECT_EQ(comm.DownloadFile("C:\\Temp\\", kPkgUrl, Progress, &local), -1);
  auto reqs = simwin::HttpRequests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].HeaderCount("Range"), 0u);
  EXPECT_EQ(reqs[0].HeaderCount("If-Range"), 0u);
}

TEST_F(Resume, HeldBytesAreHashedAndContinued) {
  // A partial file from an earlier try: 12000 bytes. A state that does not
  // match the file (a byte more claimed) starts over with a plain GET.
  struct Case {
    const char* name;
    uint64_t claimed;
    std::string want;      // Range of the first request
    bool scanner = false;  // a scanner has the file open without sharing for a second
  };
  const Case cases[] = {{"matching", 12000, "bytes=12000-"},
                        {"file shorter", 12001, ""},
                        {"matching, a scanner reads it", 12000, "bytes=12000-", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    simwin::Reset();
    simwin::MapDrive('C', root.string());
    g_progress.clear();
    std::ofstream(root / "Temp" / "part.bin", std::ios::binary) << body.substr(0, 12000);
    Serve({c.want.empty() ? Full() : Part(12000)});
    if (c.scanner) {
      ASSERT_TRUE(simwin::HoldFileFor("C:\\Temp\\part.bin", 1000));
    }
    PartialDownload state;
    state.cbHave = c.claimed;
    state.cbTotal = kSize;
    state.strValidator = "\"v1\"";
    EXPECT_EQ(FetchVerified(kPkgUrl, "C:\\Temp\\part.bin", Sha256Of(body), Progress, &state), 0);
    ASSERT_EQ(simwin::HttpRequests().size(), 1u);
    EXPECT_EQ(simwin::HttpRequests()[0].Header("Range"), c.want);
    EXPECT_EQ(Read(root / "Temp" / "part.bin"), body);
    EXPECT_EQ(state.cbHave, kSize);
    // A resumed package starts at its percent, not at 0.
    ASSERT_FALSE(g_progress.empty());
    EXPECT_GT(g_progress.front().first, c.want.empty() ? 0 : 12000);
  }
}

TEST(ContentRange, Parse) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t first, last, total;
  };
  const Case cases[] = {
      {"bytes 0-0/1", true, 0, 0, 1},
      {"bytes 10000-24999/25000", true, 10000, 24999, 25000},
      {"bytes 1-5/*", false, 0, 0, 0},
      {"bytes 5-1/9", false, 0, 0, 0},
      {"bytes 1-9/9", false, 0, 0, 0},
      {"bytes */9", false, 0, 0, 0},
      {"items 1-2/9", false, 0, 0, 0},
      {"bytes -1-2/9", false, 0, 0, 0},
      {"bytes 1-2/99999999999999999999", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    uint64_t f = 7, l = 7, t = 7;
    EXPECT_EQ(ParseContentRange(c.text, &f, &l, &t), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ((std::vector<uint64_t>{f, l, t}),
                (std::vector<uint64_t>{c.first, c.last, c.total}));
    }
  }
}

}  // namespace
