// The local invoice-control service query: the form POST and the whole query
// against the simulated WinInet.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "env/localservice.h"
#include "log/log.h"
#include "platform/simctl.h"
#include "tests/config/sim_fixture.h"

namespace {

class LocalQuery : public ::testing::Test {
 protected:
  CLocalServiceQuery query;
  void SetUp() override {
    simwin::Reset();
    query.m_strBaseUrl = "https://127.0.0.1:28000";
  }
  void TearDown() override { EXPECT_TRUE(simwin::OpenInternetHandles().empty()); }
  static void Serve(const std::string& body, DWORD status = 200) {
    simwin::HttpReply r;
    r.status = status;
    r.body = body;
    simwin::ServeAt("127.0.0.1", 28000, r);
  }
  int Query(std::string* version) { return query.QueryVersion(version); }
};

TEST_F(LocalQuery, PostsOneFieldOverHttps) {
  Serve("{\"code\":0,\"msg\":\"ok\",\"version\":\"2.0\"}");
  std::string version;
  EXPECT_EQ(Query(&version), 0);
  EXPECT_EQ(version, "2.0");
  auto reqs = simwin::HttpRequests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].verb, "POST");
  EXPECT_EQ(reqs[0].host, "127.0.0.1");
  EXPECT_EQ(reqs[0].port, 28000);
  EXPECT_EQ(reqs[0].object, "/api/getVersion");
  EXPECT_EQ(reqs[0].flags, 0x84400F00u | 0x00800000u);  // the library adds INTERNET_FLAG_SECURE
  EXPECT_EQ(reqs[0].body, "crosFlag=0");
  EXPECT_EQ(reqs[0].announcedLength, 10u);
  // Five time-outs on the Internet handle, the same five on the request's.
  auto opts = simwin::InternetOptions();
  ASSERT_EQ(opts.size(), 10u);
  const DWORD expected[5] = {2, 5, 6, 7, 8};
  for (size_t i = 0; i < opts.size(); ++i) {
    EXPECT_EQ(opts[i].option, expected[i % 5]);
    EXPECT_EQ(opts[i].kind, i < 5 ? "internet" : "request");
    DWORD v;
    memcpy(&v, opts[i].bytes.data(), 4);
    EXPECT_EQ(v, 40000u);
  }
}

TEST_F(LocalQuery, ResultsFollowTheReply) {
  std::string version = "before";
  Serve("{\"code\":1,\"msg\":\"not ready\"}");
  EXPECT_EQ(Query(&version), 1);
  Serve("{\"code\":-3,\"msg\":\"x\",\"version\":\"9\"}");
  EXPECT_EQ(Query(&version), -3);
  Serve("{\"code\":0,\"msg\":\"ok\"}");
  EXPECT_EQ(Query(&version), ERR_JSON_FORMAT);
  Serve("<html>service page</html>");
  EXPECT_EQ(Query(&version), ERR_JSON_FORMAT);
  EXPECT_EQ(version, "before");
  Serve("{\"code\":0,\"msg\":\"ok\",\"version\":\"1\"}", 404);
  EXPECT_EQ(Query(&version), -1);
  Serve("{\"code\":0,\"msg\":\"ok\",\"version\":\"1\"}", 500);
  EXPECT_EQ(Query(&version), -1);
  Serve("");
  EXPECT_EQ(Query(&version), -1);
  Serve("{\"code\":0,\"msg\":\"ok\",\"version\":\"1\"}", 0);  // no status: no reply
  EXPECT_EQ(Query(&version), -1);
  std::string reply = "untouched";
  EXPECT_EQ(CLocalServiceQuery::PostJsonAsForm("https://127.0.0.1:28000/api/getVersion",
                                               "{\"crosFlag\":\"0\"}", &reply),
            -1);
  EXPECT_EQ(reply, "untouched");
  EXPECT_EQ(version, "before");
}

TEST_F(LocalQuery, ServiceDownOrUntrustedGivesMinusOne) {
  std::string version;
  EXPECT_EQ(Query(&version), -1);  // nothing listens
  for (DWORD err : {12045u, 12038u, 12057u}) {
    simwin::HttpReply r;
    r.sendError = err;
    simwin::ServeAt("127.0.0.1", 28000, r);
    EXPECT_EQ(Query(&version), -1) << err;
  }
}

TEST_F(LocalQuery, ChunkedShortAndOversizedRepliesFail) {
  std::string version;
  simwin::HttpReply chunked;
  chunked.body = "{\"code\":0,\"msg\":\"ok\",\"version\":\"1\"}";
  chunked.framing = simwin::HttpReply::kChunked;
  simwin::ServeAt("127.0.0.1", 28000, chunked);
  EXPECT_EQ(Query(&version), -1);

  simwin::HttpReply cut;
  cut.body = "{\"code\":0,\"msg\":\"ok\",\"version\":\"1\"}";
  cut.closeAfter = 30;  // "{"code":0,"msg":"ok","version"" and no more
  simwin::ServeAt("127.0.0.1", 28000, cut);
  EXPECT_EQ(Query(&version), -1);

  simwin::HttpReply huge;
  huge.body = "{}";
  huge.headers.emplace_back("Content-Length", "4294967295");
  simwin::ServeAt("127.0.0.1", 28000, huge);
  EXPECT_EQ(Query(&version), -1);
  EXPECT_EQ(version, "");

  simwin::HttpReply pieces;
  pieces.body = "{\"code\":0,\"msg\":\"ok\",\"version\":\"7.7\"}";
  pieces.maxReadChunk = 3;
  simwin::ServeAt("127.0.0.1", 28000, pieces);
  EXPECT_EQ(Query(&version), 0);
  EXPECT_EQ(version, "7.7");
}

TEST_F(LocalQuery, ReplyIsCutAtItsFirstNul) {
  Serve(std::string("{\"code\":0,\"msg\":\"ok\",\"version\":\"1\"}\0trailing", 45));
  std::string version;
  EXPECT_EQ(Query(&version), 0);
  EXPECT_EQ(version, "1");
  Serve(std::string("{\"code\":0,\0\"msg\":\"ok\",\"version\":\"1\"}", 36));
  EXPECT_EQ(Query(&version), ERR_JSON_FORMAT);
}

TEST_F(LocalQuery, ReplyIsConvertedFromUtf8) {
  // "版本" in UTF-8 becomes its GBK bytes (the active code page).
  Serve("{\"code\":0,\"msg\":\"ok\",\"version\":\"\xE7\x89\x88\xE6\x9C\xAC\"}");
  std::string version;
  EXPECT_EQ(Query(&version), 0);
  EXPECT_EQ(version, "\xB0\xE6\xB1\xBE");
}

TEST_F(LocalQuery, ReplyIsParsedBeforeItsVersionIsConverted) {
  // In GBK the second byte of "嘰" (87 5C), "‐" (A9 5C) and "誠" (D5 5C) is a
  // backslash: a reply converted first would no longer be JSON.
  Serve("{\"code\":0,\"msg\":\"\xE5\x98\xB0\",\"version\":\"1\"}");
  std::string version;
  EXPECT_EQ(Query(&version), 0);
  EXPECT_EQ(version, "1");
  Serve("{\"code\":0,\"msg\":\"\xE2\x80\x90\",\"version\":\"\xE8\xAA\xA0\"}");
  EXPECT_EQ(Query(&version), 0);
  EXPECT_EQ(version, "\xD5\x5C");
  // A non-zero code hands back no version, converted or not.
  version = "before";
  Serve("{\"code\":4,\"msg\":\"\xE5\x98\xB0\",\"version\":\"\xE8\xAA\xA0\"}");
  EXPECT_EQ(Query(&version), 4);
  EXPECT_EQ(version, "before");
}

TEST_F(LocalQuery, FormFieldsFromTheJsonObject) {
  Serve("ok");
  std::string reply;
  EXPECT_EQ(
      CLocalServiceQuery::PostJsonAsForm("http://127.0.0.1:28000/p",
                                         "{\"b\":\"x y\",\"a\":1,\"c\":true,\"d\":null}", &reply),
      0);
  EXPECT_EQ(reply, "ok");
  EXPECT_EQ(simwin::HttpRequests().back().body, "a=1&b=x+y&c=true&d=");
  size_t sent = simwin::HttpRequests().size();
  for (const char* bad : {"not json", "[1,2]", "\"s\"", "{\"a\":{\"b\":1}}", "{\"a\":[1]}"}) {
    EXPECT_EQ(CLocalServiceQuery::PostJsonAsForm("http://127.0.0.1:28000/p", bad, &reply),
              ERR_JSON_FORMAT)
        << bad;
  }
  EXPECT_EQ(simwin::HttpRequests().size(), sent);
}

// The log lines of a query: the URL and the converted reply at DEBUG level,
// ERROR lines only for library failures.
class LocalQueryLog : public LocalQuery {
 protected:
  std::filesystem::path root;
  void SetUp() override {
    LocalQuery::SetUp();
    root = pavtest::FreshTestFolder("pavonix-lsq");
    simwin::MapDrive('C', root.string());
    g_nLogLevel = 4;
    snprintf(g_szLogPath, sizeof g_szLogPath, "C:\\q.log");
    snprintf(g_szLogModule, sizeof g_szLogModule, "PAVONIX");
  }
  void TearDown() override {
    g_nLogLevel = 0;
    g_szLogPath[0] = '\0';
    std::filesystem::remove_all(root);
    LocalQuery::TearDown();
  }
  // The log's lines, emptied for the next query.
  std::vector<std::string> TakeLines() {
    std::vector<std::string> lines;
    {
      std::ifstream f(root / "q.log", std::ios::binary);
      std::string line;
      while (std::getline(f, line)) lines.push_back(line);
    }
    std::filesystem::remove(root / "q.log");
    return lines;
  }
  static bool Has(const std::vector<std::string>& lines, const std::string& level,
                  const std::string& text) {
    for (const auto& l : lines)
      if (l.find(level) != std::string::npos && l.find(text) != std::string::npos) return true;
    return false;
  }
};

TEST_F(LocalQueryLog, DebugLinesAndNoErrorForAStatus) {
  std::string version;
  Serve("{\"code\":0,\"msg\":\"\xE5\x98\xB0\",\"version\":\"1\"}");
  EXPECT_EQ(Query(&version), 0);
  auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(Has(lines, "[DEBUG]", "https://127.0.0.1:28000/api/getVersion"));
  // The reply's line holds its GBK text, as the rest of the log.
  EXPECT_TRUE(Has(lines, "[DEBUG]", "{\"code\":0,\"msg\":\"\x87\x5C\",\"version\":\"1\"}"));

  for (DWORD status : {404u, 500u}) {
    Serve("{\"code\":0,\"msg\":\"ok\",\"version\":\"1\"}", status);
    EXPECT_EQ(Query(&version), -1);
    lines = TakeLines();
    ASSERT_EQ(lines.size(), 1u) << status;
    EXPECT_TRUE(Has(lines, "[DEBUG]", "/api/getVersion")) << status;
  }

  Serve("<html>service page</html>");
  EXPECT_EQ(Query(&version), ERR_JSON_FORMAT);
  lines = TakeLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(Has(lines, "[DEBUG]", "<html>service page</html>"));
}

// A failed exchange logs the library's text, then the WinInet number in words:
// a service that is down reads differently from a TLS handshake Windows refused.
TEST_F(LocalQueryLog, FailedExchangeLogsTheWinInetNumberAndNamesTls) {
  struct {
    DWORD dwError;
    const char* szNumberLine;
  } const cases[] = {
      {12029, "): WinInet error 12029: cannot connect\r"},
      {12002, "): WinInet error 12002: time-out\r"},
      {12157, "): WinInet error 12157: TLS failure (secure channel error)\r"},
      // WinInet's 12175 is a content decoding failure (WinHTTP's 12175 is
      // its TLS failure); its weak signature is 12062, 12179 is WinHTTP's.
      {12175, "): WinInet error 12175: content decoding failed\r"},
      {12062, "): WinInet error 12062: TLS failure (weak certificate signature)\r"},
      {12179, "): WinInet error 12179\r"},
      {12032, "): WinInet error 12032: must be sent again (authentication)\r"},
      {12045, "): WinInet error 12045: TLS failure (certificate from an unknown authority)\r"},
      {12038, "): WinInet error 12038: TLS failure (certificate issued for another name)\r"},
      {12999, "): WinInet error 12999\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dwError);
    simwin::HttpReply failing;
    failing.sendError = c.dwError;
    simwin::ServeAt("127.0.0.1", 28000, failing);
    std::string version = "before";
    EXPECT_EQ(Query(&version), -1);
    EXPECT_EQ(version, "before");
    auto lines = TakeLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("[DEBUG]"), std::string::npos);
    // The library's own line is unchanged; the number follows on its own line.
    EXPECT_NE(lines[1].find("[ERROR][PAVONIX]"), std::string::npos);
    EXPECT_NE(lines[1].find("): ::HttpSendRequestEx failed.\r"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("[ERROR][PAVONIX]"), std::string::npos);
    const std::string tail = c.szNumberLine;
    ASSERT_GE(lines[2].size(), tail.size());
    EXPECT_EQ(lines[2].substr(lines[2].size() - tail.size()), tail);
  }
}

}  // namespace
