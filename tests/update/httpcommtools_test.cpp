// The HTTP communication tools against the simulated WinInet and file system.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/contract.h"
#include "log/log.h"
#include "platform/crypto.h"
#include "platform/simctl.h"
#include "platform/sysinfo.h"
#include "tests/config/sim_fixture.h"
#include "tests/support/download_support.h"
#include "update/httpcommtools.h"
#include "update/updater.h"

namespace fs = std::filesystem;

namespace {

using dltest::Count;
using dltest::g_progress;
using dltest::Progress;
using dltest::Sha256Of;

const char kUrl[] = "http://up.example:9006//softServer/req";
const char kTemp[] = "C:\\Temp\\";

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

class CommTools : public ::testing::Test {
 protected:
  fs::path root;
  CHTTPCommTools comm;

  void SetUp() override {
    simwin::Reset();
    root = pavtest::FreshTestFolder("pavonix-comm");
    fs::create_directories(root / "Temp");
    simwin::MapDrive('C', root.string());
    PlaceFile("C:\\Windows\\system32\\tskill.exe");
    g_progress.clear();
    g_nLogLevel = 0;
  }
  void TearDown() override {
    EXPECT_TRUE(simwin::OpenInternetHandles().empty());
    g_nLogLevel = 0;
    g_szLogPath[0] = '\0';
    fs::remove_all(root);
  }
  void EnableErrorLog() {
    g_nLogLevel = 1;
    snprintf(g_szLogPath, sizeof g_szLogPath, "C:\\comm.log");
    snprintf(g_szLogModule, sizeof g_szLogModule, "PAVONIX");
  }
  std::string LogText() {
    std::ifstream f(root / "comm.log", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  std::string FileText(const std::string& name) {
    std::ifstream f(root / "Temp" / name, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  // Files in the download folders under the temporary folder.
  std::vector<fs::path> DownloadedFiles() {
    std::vector<fs::path> out;
    for (const auto& e : fs::recursive_directory_iterator(root / "Temp")) {
      if (e.is_regular_file() && e.path().parent_path() != root / "Temp") out.push_back(e.path());
    }
    return out;
  }
  // Files made by the test, the Windows folder's left out.
  size_t TempFileCount() {
    size_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(root))
      n += e.is_regular_file() && e.path().string().find("/Windows/") == std::string::npos ? 1 : 0;
    return n;
  }
  static void PlaceFile(const std::string& winPath) {
    const fs::path p = simwin::HostPath(winPath);
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << "MZ";
  }
  static simwin::HttpReply Body(const std::string& body) {
    simwin::HttpReply r;
    r.body = body;
    return r;
  }
  int Post(const std::string& request, std::string* reply) {
    comm.SetServerUrl(kUrl, 0);
    return comm.PostRequest(request, reply);
  }
};

// ---- POST -------------------------------------------------------------------

TEST_F(CommTools, PostSendsOneFormFieldAndReturnsTheBody) {
  simwin::ServeAt("up.example", 9006, Body("{\"code\":\"0\"}"));
  std::string reply;
  EXPECT_EQ(Post("{\"a\":\"b c\"}\n", &reply), 0);
  EXPECT_EQ(reply, "{\"code\":\"0\"}");
  auto reqs = simwin::HttpRequests();
  ASSERT_EQ(reqs.size(), 1u);
  const auto& q = reqs[0];
  EXPECT_EQ(q.verb, "POST");
  EXPECT_EQ(q.host, "up.example");
  EXPECT_EQ(q.port, 9006);
  EXPECT_EQ(q.object, "//softServer/req");
  EXPECT_EQ(q.flags, 0x84400F00u);
  EXPECT_EQ(q.agent, "Corvu HTTP Client Class");
  EXPECT_EQ(q.accessType, 0u);
  EXPECT_FALSE(q.hasProxy);
  EXPECT_EQ(q.body, "requestStr=%7B%22a%22%3A%22b+c%22%7D%0A");
  EXPECT_EQ(q.announcedLength, q.body.size());
  EXPECT_EQ(q.Header("Content-Type"), "application/x-www-form-urlencoded");
}

// The update POST through a proxy that asks for a Windows login; the local
// query takes the same path. The resend itself:
// FormPost.ALoginChallengeSendsTheSameRequestAgainAtMostTwice.
TEST_F(CommTools, PostGoesThroughALoginChallenge) {
  EnableErrorLog();
  g_nLogLevel = 4;
  simwin::HttpReply login = Body("{\"code\":\"0\"}");
  login.loginRounds = 2;
  simwin::ServeAt("up.example", 9006, login);
  std::string reply;
  EXPECT_EQ(Post("r", &reply), 0);
  EXPECT_EQ(reply, "{\"code\":\"0\"}");
  EXPECT_NE(LogText().find("): login challenge: form POST sent 2 more time(s)\r"),
            std::string::npos)
      << LogText();
}

TEST_F(CommTools, PostSetsTenSecondTimeoutsOnItsHandles) {
  simwin::ServeAt("up.example", 9006, Body("x"));
  std::string reply;
  ASSERT_EQ(Post("r", &reply), 0);
  // The five on the Internet handle, then on the POST's request handle.
  auto opts = simwin::InternetOptions();
  ASSERT_EQ(opts.size(), 10u);
  const DWORD expected[5] = {2, 5, 6, 7, 8};
  for (size_t i = 0; i < opts.size(); ++i) {
    EXPECT_EQ(opts[i].option, expected[i % 5]);
    EXPECT_EQ(opts[i].kind, i < 5 ? "internet" : "request");
    EXPECT_EQ(opts[i].handle, opts[i < 5 ? 0 : 5].handle);
    ASSERT_EQ(opts[i].bytes.size(), 4u);
    DWORD v;
    memcpy(&v, opts[i].bytes.data(), 4);
    EXPECT_EQ(v, 10000u);
  }
  // Request, connection, then the Internet handle.
  auto closed = simwin::ClosedInternetHandles();
  ASSERT_EQ(closed.size(), 3u);
  EXPECT_EQ(closed[0].kind, "request");
  EXPECT_EQ(closed[1].kind, "connect");
  EXPECT_EQ(closed[2].kind, "internet");
}

TEST_F(CommTools, PostStatusOtherThan200IsTheResult) {
  simwin::HttpReply r = Body("<html>error</html>");
  r.status = 500;
  simwin::ServeAt("up.example", 9006, r);
  std::string reply = "untouched";
  EXPECT_EQ(Post("r", &reply), 500);
  EXPECT_EQ(reply, "untouched");
  r.status = 404;
  simwin::ServeAt("up.example", 9006, r);
  EXPECT_EQ(Post("r", &reply), 404);
  // No status at all (Wine's answer when the reply never came in time) is a
  // failure, not the 0 of success.
  r.status = 0;
  simwin::ServeAt("up.example", 9006, r);
  EXPECT_EQ(Post("r", &reply), -1);
  EXPECT_EQ(reply, "untouched");
}

TEST_F(CommTools, PostWithoutLengthFails) {
  simwin::ServeAt("up.example", 9006, Body(""));
  std::string reply = "untouched";
  EXPECT_EQ(Post("r", &reply), -1);
  simwin::HttpReply chunked = Body("{\"code\":\"0\"}");
  chunked.framing = simwin::HttpReply::kChunked;
  simwin::ServeAt("up.example", 9006, chunked);
  EXPECT_EQ(Post("r", &reply), -1);
  EXPECT_EQ(reply, "untouched");
}

TEST_F(CommTools, PostReplyIsCutAtItsFirstNul) {
  simwin::ServeAt("up.example", 9006, Body(std::string("{\"code\":\"0\"}\0{\"code\":\"1\"}", 25)));
  std::string reply;
  EXPECT_EQ(Post("r", &reply), 0);
  EXPECT_EQ(reply, "{\"code\":\"0\"}");
}

TEST_F(CommTools, PostReadsAReplyThatArrivesInPieces) {
  std::string body(5000, 'z');
  simwin::HttpReply r = Body(body);
  r.maxReadChunk = 7;
  simwin::ServeAt("up.example", 9006, r);
  std::string reply;
  EXPECT_EQ(Post("r", &reply), 0);
  EXPECT_EQ(reply, body);
}

TEST_F(CommTools, PostReplyShortOfItsLengthFails) {
  simwin::HttpReply r =
      Body("{\"code\":\"0\",\"data\":{\"softList\":[{\"address\":\"http://p/a.exe\"}]}}");
  r.closeAfter = 20;
  simwin::ServeAt("up.example", 9006, r);
  std::string reply = "untouched";
  EXPECT_EQ(Post("r", &reply), -1);
  EXPECT_EQ(reply, "untouched");
}

TEST_F(CommTools, PostLengthAboveTheCapFailsWithoutReading) {
  for (const char* len : {"16777217", "4294967295"}) {
    simwin::HttpReply r = Body("{}");
    r.headers.emplace_back("Content-Length", len);
    simwin::ServeAt("up.example", 9006, r);
    std::string reply = "untouched";
    EXPECT_EQ(Post("r", &reply), -1) << len;
    EXPECT_EQ(reply, "untouched");
    EXPECT_EQ(simwin::HttpRequests().back().bytesRead, 0u);
  }
}

TEST_F(CommTools, PostFailuresAreLoggedAndGiveMinusOne) {
  EnableErrorLog();
  std::string reply;
  EXPECT_EQ(Post("r", &reply), -1);  // nobody listens: refused
  EXPECT_NE(LogText().find("[ERROR][PAVONIX]"), std::string::npos);
  EXPECT_NE(LogText().find("::HttpSendRequestEx failed."), std::string::npos);
  EXPECT_NE(LogText().find("): WinInet error 12029: cannot connect\r\n"), std::string::npos);

  // The handshake refused (a TLS version Windows no longer speaks): named so.
  simwin::HttpReply tls;
  tls.sendError = 12157;
  simwin::ServeAt("up.example", 9006, tls);
  EXPECT_EQ(Post("r", &reply), -1);
  EXPECT_NE(LogText().find("::HttpSendRequestEx failed.\r\n"
                           "["),
            std::string::npos);
  EXPECT_NE(LogText().find("): WinInet error 12157: TLS failure (secure channel error)\r\n"),
            std::string::npos);

  simwin::ServeAt("up.example", 9006, Body("x"));
  size_t sent = simwin::HttpRequests().size();
  simwin::FailCall("InternetOpenA", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Post("r", &reply), -1);
  EXPECT_NE(LogText().find("::InternetOpen failed."), std::string::npos);
  EXPECT_NE(LogText().find("): system error 8\r\n"), std::string::npos);
  EXPECT_EQ(simwin::HttpRequests().size(), sent);

  // The third time-out fails: the later ones are not tried, the handle closed.
  size_t before = simwin::InternetOptions().size();
  simwin::FailCall("InternetSetOptionA", ERROR_INVALID_PARAMETER, 1, 2);
  EXPECT_EQ(Post("r", &reply), -1);
  EXPECT_NE(LogText().find("::InternetSetOption failed."), std::string::npos);
  EXPECT_EQ(simwin::InternetOptions().size() - before, 2u);

  simwin::FailCall("InternetReadFile", 12030);
  EXPECT_EQ(Post("r", &reply), -1);
  EXPECT_NE(LogText().find("::InternetReadFile failed."), std::string::npos);
  EXPECT_NE(LogText().find("): WinInet error 12030: connection aborted\r\n"), std::string::npos);
}

// ---- download -----------------------------------------------------------------

TEST_F(CommTools, DownloadWritesTheFileAndReportsProgress) {
  std::string body;
  for (int i = 0; i < 25000; ++i) body.push_back(static_cast<char>(i * 7));
  simwin::ServeAt("pkg.example", 80, Body(body));
  std::string local;
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/soft/setup.exe", Progress, &local), 0);
  EXPECT_EQ(local, "C:\\Temp\\setup.exe");
  EXPECT_EQ(FileText("setup.exe"), body);
  EXPECT_EQ(g_progress,
            (std::vector<std::pair<int, int>>{{10240, 25000}, {20480, 25000}, {25000, 25000}}));
  auto calls = simwin::WinExecCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].cmdLine, "\"C:\\Windows\\system32\\tskill.exe\" \"setup.exe\"");
  EXPECT_EQ(calls[0].cmdShow, (UINT)SW_HIDE);
  auto q = simwin::HttpRequests().at(0);
  EXPECT_EQ(q.verb, "GET");
  EXPECT_EQ(q.object, "/soft/setup.exe");
  EXPECT_EQ(q.flags, 0x84400F00u);
  EXPECT_EQ(q.Header("Cache-Control"), "no-cache");
}

TEST_F(CommTools, ProgressOfALengthBeyondTwoGibibytesStaysPositive) {
  // A 3 GiB announcement whose peer stops after two blocks: the counts the
  // callback gets keep their ratio and stay positive.
  simwin::HttpReply r = Body(std::string(20480, 'x'));
  r.framing = simwin::HttpReply::kUntilClose;
  r.headers = {{"Content-Length", "3221225472"}};
  simwin::ServeAt("pkg.example", 80, r);
  std::string local;
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/big.exe", Progress, &local), -1);
  EXPECT_EQ(g_progress,
            (std::vector<std::pair<int, int>>{{5120, 1610612736}, {10240, 1610612736}}));
  // Lengths up to INT_MAX pass unchanged.
  g_progress.clear();
  r.headers = {{"Content-Length", "2147483647"}};
  simwin::ServeAt("pkg.example", 80, r);
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/big.exe", Progress, &local), -1);
  EXPECT_EQ(g_progress,
            (std::vector<std::pair<int, int>>{{10240, 2147483647}, {20480, 2147483647}}));
}

TEST_F(CommTools, DownloadRunsOnAHandleWithFifteenSecondTimeouts) {
  simwin::ServeAt("pkg.example", 80, Body("abc"));
  std::string local;
  ASSERT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", nullptr, &local), 0);
  // The five on the Internet handle, then the same five on the GET's request
  // handle, each 15000 ms in the order connect, send, receive, data send,
  // data receive.
  auto opts = simwin::InternetOptions();
  ASSERT_EQ(opts.size(), 10u);
  const DWORD expected[5] = {2, 5, 6, 7, 8};
  for (size_t i = 0; i < opts.size(); ++i) {
    EXPECT_EQ(opts[i].option, expected[i % 5]);
    EXPECT_EQ(opts[i].kind, i < 5 ? "internet" : "request");
    EXPECT_EQ(opts[i].handle, opts[i < 5 ? 0 : 5].handle);
    ASSERT_EQ(opts[i].bytes.size(), 4u);
    DWORD v;
    memcpy(&v, opts[i].bytes.data(), 4);
    EXPECT_EQ(v, 15000u);
  }
  // One Internet handle for the whole download: the one the time-outs are on;
  // the request handle with the time-outs is the GET's.
  auto closed = simwin::ClosedInternetHandles();
  size_t internets = 0, requests = 0;
  for (const auto& c : closed) {
    if (c.kind == "internet") {
      ++internets;
      EXPECT_EQ(c.handle, opts[0].handle);
    }
    if (c.kind == "request") {
      ++requests;
      EXPECT_EQ(c.handle, opts[5].handle);
    }
  }
  EXPECT_EQ(internets, 1u);
  EXPECT_EQ(requests, 1u);
  ASSERT_EQ(simwin::HttpRequests().size(), 1u);
}

TEST_F(CommTools, RequestHandleTimeoutsAreBestEffortInternetHandleOnesAreNot) {
  // The Internet handle's five options are calls 0-4, the request handle's
  // 5-9. A refusal on the request handle is one DEBUG line per option and
  // the exchange goes on; a refusal on the Internet handle fails it (410).
  struct Case {
    const char* name;
    bool post;
    int skip, times;
    int want;
    size_t options;  // options taken (the refused ones are not recorded)
    size_t debugLines;
    bool sent;
  };
  const Case cases[] = {
      {"GET, one request option", false, 6, 1, 0, 9, 1, true},
      {"GET, all request options", false, 5, 5, 0, 5, 5, true},
      {"GET, Internet handle", false, 1, 1, -1, 1, 0, false},
      {"POST, one request option", true, 9, 1, 0, 9, 1, true},
      {"POST, all request options", true, 5, 5, 0, 5, 5, true},
      {"POST, Internet handle", true, 4, 1, -1, 4, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    simwin::Reset();
    simwin::MapDrive('C', root.string());
    EnableErrorLog();
    g_nLogLevel = 4;
    fs::remove(root / "comm.log");
    fs::remove(root / "Temp" / "a.exe");
    simwin::ServeAt("up.example", 9006, Body("reply"));
    simwin::ServeAt("pkg.example", 80, Body("abc"));
    simwin::FailCall("InternetSetOptionA", ERROR_INTERNET_OPTION_NOT_SETTABLE, c.times, c.skip);
    std::string out;
    int got = c.post ? Post("r", &out)
                     : comm.DownloadFile(kTemp, "http://pkg.example/a.exe", nullptr, &out);
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(simwin::InternetOptions().size(), c.options);
    EXPECT_EQ(Count(LogText(), "[DEBUG]"), c.debugLines);
    EXPECT_EQ(Count(LogText(), "refused (error 12011)"), c.debugLines);
    EXPECT_EQ(Count(LogText(), "::InternetSetOption failed."), c.want == 0 ? 0u : 1u);
    EXPECT_EQ(!simwin::HttpRequests().empty() && simwin::HttpRequests()[0].sent, c.sent);
    EXPECT_EQ(fs::exists(root / "Temp" / "a.exe"), !c.post && c.want == 0);
    EXPECT_TRUE(simwin::OpenInternetHandles().empty());
  }
}

TEST_F(CommTools, DownloadReplacesAnOlderFile) {
  { std::ofstream(root / "Temp" / "a.exe") << std::string(50000, 'o'); }
  simwin::ServeAt("pkg.example", 80, Body("new"));
  std::string local;
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", nullptr, &local), 0);
  EXPECT_EQ(FileText("a.exe"), "new");
}

TEST_F(CommTools, TheOldFileIsDeletedNotWrittenThrough) {
  // What stands under the name is removed first: a link planted there does
  // not carry the download to its target.
  { std::ofstream(root / "target.dll") << "kept"; }
  fs::create_symlink(root / "target.dll", root / "Temp" / "a.exe");
  simwin::ServeAt("pkg.example", 80, Body("new"));
  std::string local;
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", nullptr, &local), 0);
  EXPECT_FALSE(fs::is_symlink(root / "Temp" / "a.exe"));
  EXPECT_EQ(FileText("a.exe"), "new");
  std::ifstream target(root / "target.dll");
  std::string text((std::istreambuf_iterator<char>(target)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "kept");
}

TEST_F(CommTools, DownloadOfSeveralBlocksWithoutAProgressCallback) {
  std::string body(3 * 10240 + 7, 'b');
  simwin::ServeAt("pkg.example", 80, Body(body));
  std::string local;
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/b.exe", nullptr, &local), 0);
  EXPECT_EQ(FileText("b.exe"), body);
  EXPECT_TRUE(g_progress.empty());
}

TEST_F(CommTools, GetRefusedBeforeAnyResponse) {
  EnableErrorLog();
  simwin::HttpReply refused;
  refused.sendError = 12029;
  simwin::ServeAt("pkg.example", 80, refused);
  std::string local = "untouched";
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", Progress, &local), -1);
  EXPECT_EQ(local, "untouched");
  EXPECT_FALSE(fs::exists(root / "Temp" / "a.exe"));
  EXPECT_TRUE(simwin::WinExecCalls().empty());
  EXPECT_TRUE(g_progress.empty());
  // One ERROR line, the library's message.
  std::string log = LogText();
  size_t lines = 0;
  for (char c : log) lines += c == '\n' ? 1 : 0;
  EXPECT_EQ(lines, 1u) << log;
  EXPECT_NE(log.find("[ERROR]"), std::string::npos);
  EXPECT_NE(log.find("::HttpSendRequest failed."), std::string::npos) << log;
}

TEST_F(CommTools, DownloadStatusAndLengthFailuresTouchNoFile) {
  simwin::HttpReply notFound = Body("missing");
  notFound.status = 404;
  simwin::ServeAt("pkg.example", 80, notFound);
  std::string local = "untouched";
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", Progress, &local), 404);
  notFound.status = 0;
  simwin::ServeAt("pkg.example", 80, notFound);
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", Progress, &local), -1);
  simwin::HttpReply chunked = Body("data");
  chunked.framing = simwin::HttpReply::kChunked;
  simwin::ServeAt("pkg.example", 80, chunked);
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", Progress, &local), -1);
  simwin::ServeAt("pkg.example", 80, Body(""));
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", Progress, &local), -1);
  EXPECT_EQ(local, "untouched");
  EXPECT_EQ(TempFileCount(), 0u);
  EXPECT_TRUE(simwin::WinExecCalls().empty());
  EXPECT_TRUE(g_progress.empty());
}

TEST_F(CommTools, EarlyCloseLeavesAPartialFileAndFails) {
  simwin::HttpReply r = Body(std::string(30000, 'p'));
  r.closeAfter = 12000;
  simwin::ServeAt("pkg.example", 80, r);
  std::string local;
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", Progress, &local), -1);
  EXPECT_EQ(local, "C:\\Temp\\a.exe");
  EXPECT_EQ(FileText("a.exe").size(), 12000u);
  EXPECT_EQ(g_progress.back(), std::make_pair(12000, 30000));
}

TEST_F(CommTools, ResetDuringTransferIsLoggedAndClosesTheFile) {
  EnableErrorLog();
  simwin::HttpReply r = Body(std::string(30000, 'p'));
  r.closeAfter = 10240;
  r.resetOnClose = true;
  simwin::ServeAt("pkg.example", 80, r);
  std::string local = "untouched";
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", Progress, &local), -1);
  EXPECT_NE(LogText().find("::InternetReadFile failed."), std::string::npos);
  EXPECT_EQ(FileText("a.exe").size(), 10240u);
  // The file was closed: it can be deleted and written again.
  EXPECT_TRUE(DeleteFileA("C:\\Temp\\a.exe"));
}

TEST_F(CommTools, FileThatCannotBeOpenedFails) {
  simwin::ServeAt("pkg.example", 80, Body("abc"));
  simwin::FailCall("fopen", 13);
  std::string local = "untouched";
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", Progress, &local), -1);
  EXPECT_EQ(local, "untouched");
  EXPECT_EQ(simwin::WinExecCalls().size(), 1u);
}

TEST_F(CommTools, NamesThatAreNotPlainFileNamesNeverReachTheDisk) {
  const char* urls[] = {
      "http://pkg.example/..\\..\\Windows\\x.exe",
      "http://pkg.example/a\\b.exe",
      "http://pkg.example/dir/",
      "http://pkg.example/..",
      "http://pkg.example/.",
      "http://pkg.example/a.exe?v=1",
      "http://pkg.example/C:x.exe",
      "http://pkg.example/a\tb.exe",
      "http://pkg.example/a|b.exe",
      "http://pkg.example/a*.exe",
      "http://pkg.example/a\"b.exe",
      "http://pkg.example/a<b>.exe",
      "http://pkg.example/CON",
      "http://pkg.example/nul.exe",
      "http://pkg.example/com1.txt",
      "http://pkg.example/setup.exe.",
      "http://pkg.example/setup.exe ",
      "http://pkg.example/...",
  };
  simwin::ServeAt("pkg.example", 80,
                  [](const simwin::HttpRequestRecord&) { return Body("MZ payload"); });
  for (const char* url : urls) {
    std::string local = "untouched";
    EXPECT_EQ(comm.DownloadFile(kTemp, url, Progress, &local), -1) << url;
    EXPECT_EQ(local, "untouched") << url;
  }
  EXPECT_TRUE(simwin::WinExecCalls().empty());
  EXPECT_EQ(TempFileCount(), 0u);
  EXPECT_TRUE(g_progress.empty());
}

TEST_F(CommTools, NameIsTakenAsItStands) {
  simwin::ServeAt("pkg.example", 80, Body("abc"));
  std::string local;
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/x/a%20b#1.exe", nullptr, &local), 0);
  EXPECT_EQ(local, "C:\\Temp\\a%20b#1.exe");
  EXPECT_EQ(FileText("a%20b#1.exe"), "abc");
}

TEST_F(CommTools, TskillIsTheSystemFoldersWithTheNameAsOneArgument) {
  // A bare "tskill" would be looked for beside the program and in the
  // current folder first, and run elevated.
  simwin::ServeAt("pkg.example", 80, Body("abc"));
  fs::create_directories(root / "D");
  simwin::MapDrive('D', (root / "D").string());
  simwin::SetSystemDir("D:\\Win Dows\\System32");
  PlaceFile("D:\\Win Dows\\System32\\tskill.exe");
  std::string local;
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/my setup.exe", nullptr, &local), 0);
  ASSERT_EQ(simwin::WinExecCalls().size(), 1u);
  EXPECT_EQ(simwin::WinExecCalls()[0].cmdLine,
            "\"D:\\Win Dows\\System32\\tskill.exe\" \"my setup.exe\"");

  // Without a system folder nothing is run, and the download goes on.
  simwin::FailCall("GetSystemDirectoryA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/b.exe", nullptr, &local), 0);
  EXPECT_EQ(simwin::WinExecCalls().size(), 1u);
  EXPECT_EQ(FileText("b.exe"), "abc");
}

// The shipped program is 32-bit: on 64-bit Windows its System32 is SysWOW64,
// which holds no tskill.exe, so the native one is reached through Sysnative.
// Where none can run, one DEBUG line says so and the download goes on.
TEST_F(CommTools, TskillIsTheNativeOneOrADebugLine) {
  const char kSystem32[] = "C:\\Windows\\system32\\tskill.exe";
  const char kNative[] = "C:\\Windows\\Sysnative\\tskill.exe";
  struct Case {
    const char* label;
    bool bWow64;
    const char* szThere;  // the one tskill.exe there is (nullptr: none)
    const char* szRun;    // the one started (nullptr: none)
    const char* szDebug;  // the DEBUG line's end (nullptr: no tskill line)
    const char* szFault = nullptr;
  };
  const Case cases[] = {
      {"32-bit Windows", false, kSystem32, kSystem32, nullptr},
      {"64-bit Windows", true, kNative, kNative, nullptr},
      {"64-bit Windows, only SysWOW64's", true, kSystem32, nullptr,
       "no C:\\Windows\\Sysnative\\tskill.exe"},
      {"edition without tskill.exe", false, nullptr, nullptr,
       "no C:\\Windows\\system32\\tskill.exe"},
      {"no Windows folder", true, kNative, nullptr, "system folder unknown",
       "GetSystemWindowsDirectoryA"},
      {"WoW64 unknown: as 32-bit Windows", true, kSystem32, kSystem32, nullptr, "IsWow64Process"},
      {"a start that fails", false, kSystem32, kSystem32, "start failed (2)", "WinExec"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    EnableErrorLog();
    g_nLogLevel = 4;
    simwin::SetWow64Process(c.bWow64);
    fs::remove(simwin::HostPath(kSystem32));
    if (c.szThere) PlaceFile(c.szThere);
    if (c.szFault) simwin::FailCall(c.szFault, ERROR_FILE_NOT_FOUND);
    simwin::ServeAt("pkg.example", 80, Body("abc"));
    std::string local;
    EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/setup.exe", nullptr, &local), 0);
    EXPECT_EQ(FileText("setup.exe"), "abc");
    const auto calls = simwin::WinExecCalls();
    ASSERT_EQ(calls.size(), c.szRun ? 1u : 0u);
    if (c.szRun) {
      EXPECT_EQ(calls[0].cmdLine, "\"" + std::string(c.szRun) + "\" \"setup.exe\"");
    }
    if (c.szDebug)
      EXPECT_NE(LogText().find("): tskill not run for setup.exe: " + std::string(c.szDebug) + "\r"),
                std::string::npos)
          << LogText();
    else
      EXPECT_EQ(LogText().find("tskill"), std::string::npos) << LogText();
    TearDown();
  }
}

TEST_F(CommTools, WritesThatFailNeverCountAsADownload) {
  EnableErrorLog();
  simwin::ServeAt("pkg.example", 80, Body(std::string(25000, 'w')));
  std::string local;
  // The disk fills up at the second block: the transfer stops there.
  simwin::FailCall("fwrite", 28 /* ENOSPC */, 1, 1);
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", Progress, &local), -1);
  EXPECT_EQ(local, "C:\\Temp\\a.exe");
  EXPECT_EQ(g_progress, (std::vector<std::pair<int, int>>{{10240, 25000}}));
  EXPECT_NE(LogText().find("[ERROR][PAVONIX]"), std::string::npos);
  EXPECT_NE(LogText().find("writing C:\\Temp\\a.exe failed"), std::string::npos);

  // Every byte written, but the close (the last flush) fails.
  simwin::FailCall("fclose", 28 /* ENOSPC */);
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", nullptr, &local), -1);
  EXPECT_NE(LogText().find("closing C:\\Temp\\a.exe failed"), std::string::npos);

  // The file is gone once closed.
  simwin::FailCall("_access", 2 /* ENOENT */);
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", nullptr, &local), -1);

  // And the same file, written whole, counts.
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", nullptr, &local), 0);
  EXPECT_EQ(FileText("a.exe").size(), 25000u);
}

TEST_F(CommTools, ACutFileIsNeverRun) {
  // The whole product run over the real tools: the update service lists one
  // installer, every write of it comes up short; three attempts, nothing run.
  simwin::ServeAt("up.example", 9006,
                  Body("{\"code\":\"0\",\"data\":{\"softList\":[{\"address\":"
                       "\"http://pkg.example/setup.exe\",\"excuteExe\":true}]}}"));
  simwin::ServeAt("pkg.example", 80, Body(std::string(5000, 'x')));
  simwin::SetTempPath(kTemp);
  simwin::FailAlways("fwrite", 28 /* ENOSPC */);
  EXPECT_EQ(RunProductUpdate(&comm, kUrl, "UID", "levyDesk", "V1.0"), -1);
  EXPECT_TRUE(simwin::ProcessLaunches().empty());
  // Three attempts, each made the file and cut it at its first block.
  EXPECT_EQ(simwin::WinExecCalls().size(), 3u);
  ASSERT_EQ(DownloadedFiles().size(), 1u);
  EXPECT_EQ(fs::file_size(DownloadedFiles()[0]), 0u);
}

// ---- package hash -------------------------------------------------------------

TEST_F(CommTools, ListedHashIsCheckedOverTheStreamedBytes) {
  EnableErrorLog();
  const std::string kAbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  simwin::ServeAt("pkg.example", 80, Body("abc"));
  std::string local;
  ASSERT_EQ(comm.SetExpectedSha256(kAbcSha256), 0);
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", nullptr, &local), 0);
  // Upper-case digits are the same digest.
  ASSERT_EQ(comm.SetExpectedSha256(Upper(kAbcSha256)), 0);
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", nullptr, &local), 0);

  // A body of several blocks, hashed block by block as it is written.
  std::string body;
  for (int i = 0; i < 25000; ++i) body.push_back(static_cast<char>(i * 13));
  simwin::ServeAt("pkg.example", 80, Body(body));
  ASSERT_EQ(comm.SetExpectedSha256(Sha256Of(body)), 0);
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/b.exe", Progress, &local), 0);
  EXPECT_EQ(FileText("b.exe"), body);
  // The expectation was for that download only.
  simwin::ServeAt("pkg.example", 80, Body("other"));
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/c.exe", nullptr, &local), 0);
  EXPECT_EQ(LogText().find("[ERROR]"), std::string::npos);
}

TEST_F(CommTools, PackageChangedByOneByteFailsWithOneErrorLine) {
  EnableErrorLog();
  std::string body(25000, 'p');
  const std::string want = Sha256Of(body);
  body[24999] = 'q';  // in the last block
  simwin::ServeAt("pkg.example", 80, Body(body));
  std::string local;
  ASSERT_EQ(comm.SetExpectedSha256(want), 0);
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/setup.exe", Progress, &local), -1);
  EXPECT_EQ(local, "C:\\Temp\\setup.exe");
  EXPECT_EQ(Count(LogText(), "[ERROR]"), 1u);
  EXPECT_NE(LogText().find("SHA-256 of C:\\Temp\\setup.exe is " + Sha256Of(body) +
                           ", not the listed " + want),
            std::string::npos);
  // Bytes that are not the package are never kept to build on.
  EXPECT_FALSE(fs::exists(root / "Temp" / "setup.exe"));
}

TEST_F(CommTools, DigestsThatAreNotSixtyFourHexDigitsAreRefused) {
  simwin::ServeAt("pkg.example", 80, Body("abc"));
  const std::string good(64, 'a');
  for (const std::string& bad : {std::string(63, 'a'), std::string(65, 'a'), good.substr(1) + "g",
                                 good.substr(1) + " ", std::string("0x") + good.substr(2)}) {
    EXPECT_EQ(comm.SetExpectedSha256(bad), -1) << bad;
    // Nothing of it is left for the next download.
    std::string local;
    EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", nullptr, &local), 0) << bad;
  }
  EXPECT_EQ(comm.SetExpectedSha256(""), 0);
}

TEST_F(CommTools, HashThatCannotBeComputedFailsTheDownload) {
  EnableErrorLog();
  simwin::ServeAt("pkg.example", 80, Body("abc"));
  std::string local;
  ASSERT_EQ(comm.SetExpectedSha256(Sha256Of("abc")), 0);
  simwin::FailCall("BCryptCreateHash", 0xC0000001u);
  EXPECT_EQ(comm.DownloadFile(kTemp, "http://pkg.example/a.exe", nullptr, &local), -1);
  EXPECT_NE(LogText().find("SHA-256 of C:\\Temp\\a.exe could not be computed"), std::string::npos);
}

TEST_F(CommTools, APackageChangedOnTheServerIsNeverRun) {
  // The update service lists the hash of the good installer; the package
  // server hands out another file. Three attempts, nothing run; the right
  // file is taken and run.
  const std::string good = "MZ good installer";
  auto reply = [&](const std::string& sha) {
    return Body(
        "{\"code\":\"0\",\"data\":{\"softList\":[{\"address\":"
        "\"http://pkg.example/setup.exe\",\"excuteExe\":true,\"sha256\":\"" +
        sha + "\"}]}}");
  };
  simwin::SetTempPath(kTemp);
  EnableErrorLog();
  simwin::ServeAt("up.example", 9006, reply(Upper(Sha256Of(good))));
  simwin::ServeAt("pkg.example", 80, Body("MZ evil installer"));
  EXPECT_EQ(RunProductUpdate(&comm, kUrl, "UID", "levyDesk", "V1.0"), -1);
  EXPECT_TRUE(simwin::ProcessLaunches().empty());
  EXPECT_EQ(simwin::HttpRequests().size(), 6u);
  EXPECT_EQ(Count(LogText(), "is not the listed"), 0u);
  EXPECT_EQ(Count(LogText(), ", not the listed"), 3u);

  simwin::ServeAt("pkg.example", 80, Body(good));
  EXPECT_EQ(RunProductUpdate(&comm, kUrl, "UID", "levyDesk", "V1.0"), 0);
  ASSERT_EQ(simwin::ProcessLaunches().size(), 1u);
  const std::string run = simwin::ProcessLaunches()[0].applicationName;
  EXPECT_EQ(run.compare(0, 16, "C:\\Temp\\pavonix-"), 0) << run;
  EXPECT_EQ(run.substr(run.size() - 10), "\\setup.exe");
  // The run started the dots animation: it is ended before the test is.
  g_bAnimStop = 1;
  EXPECT_TRUE(simwin::WaitForThreads(5000));
  if (g_hAnimThread) CloseHandle(g_hAnimThread);
  g_hAnimThread = nullptr;
}

TEST(PlainFileName, Rules) {
  EXPECT_TRUE(IsPlainFileName("setup.exe"));
  EXPECT_TRUE(IsPlainFileName("a b.exe"));
  EXPECT_TRUE(IsPlainFileName(".hidden"));
  EXPECT_TRUE(IsPlainFileName("console.exe"));
  EXPECT_TRUE(IsPlainFileName("com10.exe"));
  EXPECT_TRUE(IsPlainFileName("\xD4\xF6\xD6\xB5.exe"));  // GBK
  EXPECT_FALSE(IsPlainFileName(""));
  EXPECT_FALSE(IsPlainFileName("."));
  EXPECT_FALSE(IsPlainFileName(".."));
  EXPECT_FALSE(IsPlainFileName("a/b"));
  EXPECT_FALSE(IsPlainFileName(std::string("a\x1f", 2)));
  EXPECT_FALSE(IsPlainFileName("Aux.dll"));
  EXPECT_FALSE(IsPlainFileName("lpt9"));
  EXPECT_FALSE(IsPlainFileName("CON .txt"));
  EXPECT_EQ(UrlFileName("http://h/a/b.exe"), "b.exe");
  EXPECT_EQ(UrlFileName("b.exe"), "b.exe");
  EXPECT_EQ(UrlFileName("http://h/"), "");
}

}  // namespace
