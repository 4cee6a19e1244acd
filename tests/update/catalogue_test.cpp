// The offline catalogue against a fully compromised update service: the test
// holds the online key and signs whatever reply it likes; only what the
// catalogue key signed may be fetched and run.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/contract.h"
#include "config/installid.h"
#include "log/log.h"
#include "platform/simctl.h"
#include "tests/config/sim_fixture.h"
#include "tests/support/download_support.h"
#include "tests/update/signing_key.h"
#include "update/catalogkey.h"
#include "update/catalogue.h"
#include "update/httpcommtools.h"
#include "update/signedcomm.h"
#include "update/updater.h"

namespace fs = std::filesystem;
using pavtest::SigningKey;

namespace {

const char kUrl[] = "http://up.example:9006//softServer/req";
const std::string kBody = "MZ installer";

struct Pkg {
  std::string address = "http://pkg.example/a.exe";
  std::string file = "a.exe";
  std::string sha256 = dltest::Sha256Of(kBody);
  unsigned long long size = kBody.size();
  bool run = true;
  std::string StatementJson() const {
    return "{\"address\":\"" + address + "\",\"excuteExe\":" + (run ? "true" : "false") +
           ",\"file\":\"" + file + "\",\"sha256\":\"" + sha256 +
           "\",\"size\":" + std::to_string(size) + "}";
  }
  std::string ReplyJson() const {
    return "{\"address\":\"" + address +
           "\",\"version\":\"1\",\"soft\":\"levyDesk\",\"excuteExe\":" + (run ? "true" : "false") +
           ",\"sha256\":\"" + sha256 + "\",\"size\":" + std::to_string(size) + "}";
  }
};

// One run: the statement the offline key signed, the reply the compromised
// service signs, and how the package server answers. Defaults: the healthy run.
struct Scenario {
  std::string product = "levyDesk";
  std::string rules = "[\"V1.*\"]";
  unsigned long version = 5;
  std::string expires = "2099-01-01T00:00:00Z";
  Pkg signedPkg;
  std::vector<Pkg> listed = {Pkg()};
  bool signWithOnlineKey = false;
  std::function<std::string(std::string)> sentStatement = [](std::string s) { return s; };
  std::function<std::string(std::string)> sentBody = [](std::string b) { return b; };
  unsigned long acceptedBefore = 0;  // a healthy run of this version first
  std::function<void()> machine = [] {};
  std::string served = kBody;
  bool trickle = false;  // one byte per connection, ranges honoured
  DWORD stallMs = 0;     // the package server's pause before it answers

  std::string Statement() const {
    return "{\"expires\":\"" + expires + "\",\"packages\":[" + signedPkg.StatementJson() +
           "],\"product\":\"" + product + "\",\"version\":" + std::to_string(version) +
           ",\"versions\":" + rules + "}";
  }
};

class CatalogueRun : public ::testing::Test {
 protected:
  fs::path root;
  SigningKey online, offline;
  HWND main = nullptr;

  void SetUp() override {
    simwin::Reset();
    root = pavtest::FreshTestFolder("pavonix-catalogue");
    fs::create_directories(root / "Users/user/AppData/Local/Temp");
    simwin::MapDrive('C', root.string());
    g_nLogLevel = 1;
    snprintf(g_szLogPath, sizeof g_szLogPath, "C:\\catalogue.log");
    snprintf(g_szLogModule, sizeof g_szLogModule, "PAVONIX");
    main = simwin::CreateTestWindow("main");
    g_hNotifyWnd = main;
    g_hAnimThread = nullptr;
    g_bAnimStop = 1;
  }
  void TearDown() override {
    g_bAnimStop = 1;
    EXPECT_TRUE(simwin::WaitForThreads(5000));
    if (g_hAnimThread) CloseHandle(g_hAnimThread);
    g_hAnimThread = nullptr;
    g_hNotifyWnd = nullptr;
    g_nLogLevel = 0;
    g_szLogPath[0] = '\0';
    fs::remove_all(root);
  }

  void Serve(const Scenario& s) {
    const std::string stmt = s.Statement();
    const SigningKey& signer = s.signWithOnlineKey ? online : offline;
    const std::string sig = signer.SignHex(CatalogueMessage(1, stmt));
    const std::string sent = s.sentStatement(stmt);
    std::string list;
    for (const Pkg& p : s.listed) list += (list.empty() ? "" : ",") + p.ReplyJson();
    const std::string body =
        s.sentBody("{\"catalogue\":{\"signature\":\"" + sig + "\",\"statement\":\"" +
                   PlatHex(reinterpret_cast<const unsigned char*>(sent.data()), sent.size()) +
                   "\"},\"code\":\"0\",\"data\":{\"softList\":[" + list + "]}}");
    simwin::ServeAt("up.example", 9006, [this, body](const simwin::HttpRequestRecord& q) {
      const std::string header = q.Header(kSignedNonceHeader);
      const std::string nonce = header.substr(header.find(':') + 1);
      simwin::HttpReply r;
      r.body = body;
      r.headers.push_back({kSignedSignatureHeader, online.SignHex(SignedReplyMessage(
                                                       1, nonce, dltest::Sha256Of(q.body), body))});
      return r;
    });
    const std::string served = s.served;
    const bool trickle = s.trickle;
    const DWORD stallMs = s.stallMs;
    simwin::ServeAt("pkg.example", 80, [=](const simwin::HttpRequestRecord& q) {
      simwin::HttpReply r;
      r.body = served;
      Sleep(stallMs);  // the simulated clock
      if (!trickle) return r;
      const std::string range = q.Header("Range");  // "bytes=N-"
      const size_t from = range.empty() ? 0 : std::stoul(range.substr(6));
      if (from > 0) {
        r.status = 206;
        r.body = served.substr(from);
        r.headers.push_back({"Content-Range", "bytes " + std::to_string(from) + "-" +
                                                  std::to_string(served.size() - 1) + "/" +
                                                  std::to_string(served.size())});
      }
      r.closeAfter = 1;
      return r;
    });
  }
  int Run(const Scenario& s) {
    Serve(s);
    return RunProductUpdateOverHttp(("1:" + online.PublicHex()).c_str(),
                                    ("1:" + offline.PublicHex()).c_str(), kUrl, "UID-1", "levyDesk",
                                    "V1.0");
  }
  std::vector<std::string> ErrorLines() {
    std::ifstream f(root / "catalogue.log", std::ios::binary);
    std::vector<std::string> out;
    for (std::string line; std::getline(f, line);)
      if (line.find("[ERROR]") != std::string::npos) out.push_back(line);
    return out;
  }
  // Files of the run's folders (the log aside) that hold a byte.
  size_t FilesWritten() {
    size_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (e.is_regular_file() && e.path().filename() != "catalogue.log" && e.file_size() > 0) ++n;
    return n;
  }
  unsigned long Kept() {
    simwin::RegValueData v;
    if (!simwin::GetRegValue(HKEY_LOCAL_MACHINE, INSTALL_ID_KEY, kCatalogueVersionValue, &v))
      return 0;
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_DWORD));
    unsigned long n = 0;
    for (size_t i = v.bytes.size(); i-- > 0;) n = n * 256 + static_cast<unsigned char>(v.bytes[i]);
    return n;
  }
};

TEST_F(CatalogueRun, WhatTheCatalogueSignedInstallsAndItsVersionIsKept) {
  Scenario s;
  EXPECT_EQ(Run(s), 0);
  ASSERT_EQ(simwin::ProcessLaunches().size(), 1u);
  EXPECT_TRUE(ErrorLines().empty());
  EXPECT_EQ(Kept(), 5u);
}

// Each row: what the compromised service (or the package server) changes.
// Every attempt is refused with one ERROR line naming the check; nothing
// is run and no file holds a byte (the refused answers wrote none).
TEST_F(CatalogueRun, NothingTheCatalogueDidNotSignIsFetchedOrRun) {
  const std::string other(64, 'e');
  struct Case {
    const char* name;
    std::function<void(Scenario&)> change;
    std::string error;
    bool partial = false;  // bytes of a resumable download stay
  } cases[] = {
      {"unlisted package",
       [](Scenario& s) {
         s.listed.push_back(Pkg());
         s.listed.back().address = "http://pkg.example/b.exe";
       },
       "package http://pkg.example/b.exe is not in the statement"},
      {"sha256", [&](Scenario& s) { s.listed[0].sha256 = other; }, "has another sha256"},
      {"size", [](Scenario& s) { s.listed[0].size = 13; }, "has another size"},
      {"address", [](Scenario& s) { s.listed[0].address = "http://evil.example/a.exe"; },
       "is not in the statement"},
      {"run flag", [](Scenario& s) { s.listed[0].run = false; }, "has another run flag"},
      {"other product", [](Scenario& s) { s.product = "client"; },
       "statement for product client, not levyDesk"},
      {"version rule", [](Scenario& s) { s.rules = "[\"V2.*\",\"V1.00\"]"; },
       "statement does not cover version V1.0"},
      {"older version", [](Scenario& s) { s.acceptedBefore = 6; },
       "version 5 is older than version 6 accepted before"},
      {"expired", [](Scenario& s) { s.expires = "2021-03-04T05:06:07Z"; },
       "statement expired at 2021-03-04T05:06:07Z, system clock 20"},
      {"online key", [](Scenario& s) { s.signWithOnlineKey = true; },
       "signature does not match the statement"},
      {"member order",
       [](Scenario& s) {
         s.sentStatement = [](std::string t) {
           t.erase(t.find(",\"version\":5"), 12);
           return t.insert(1, "\"version\":5,");
         };
       },
       "signature does not match the statement"},
      {"blanks",
       [](Scenario& s) { s.sentStatement = [](std::string t) { return t.insert(1, " "); }; },
       "signature does not match the statement"},
      {"escapes",
       [](Scenario& s) {
         s.sentStatement = [](std::string t) { return t.replace(t.find("a.exe"), 1, "\\u0061"); };
       },
       "signature does not match the statement"},
      {"kept version unreadable",
       [](Scenario& s) {
         s.machine = [] {
           simwin::SetRegString(HKEY_LOCAL_MACHINE, INSTALL_ID_KEY, kCatalogueVersionValue, "9");
         };
       },
       "the highest accepted version could not be read"},
      {"kept version not writable",
       [](Scenario& s) {
         s.machine = [] { simwin::DenyRegWrite(HKEY_LOCAL_MACHINE, INSTALL_ID_KEY); };
       },
       "version 5 could not be kept"},
      {"answer longer", [](Scenario& s) { s.served = kBody + "!"; },
       "answered 13 bytes, not the signed 12", true},
      {"answer shorter", [](Scenario& s) { s.served = kBody.substr(1); },
       "answered 11 bytes, not the signed 12", true},
      {"trickle",
       [](Scenario& s) {
         s.trickle = true;
         s.served = std::string(4000, 'x');
         s.signedPkg.size = s.listed[0].size = s.served.size();
         s.signedPkg.sha256 = s.listed[0].sha256 = dltest::Sha256Of(s.served);
       },
       "more than 64 continuations", true},
      {"slow", [](Scenario& s) { s.stallMs = 21 * 60 * 1000; }, "longer than 20 minutes", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    Scenario s;
    c.change(s);
    size_t launched = 0;
    if (s.acceptedBefore) {
      Scenario before;
      before.version = s.acceptedBefore;
      ASSERT_EQ(Run(before), 0);
      fs::remove(root / "catalogue.log");
      launched = simwin::ProcessLaunches().size();
    }
    const size_t written = FilesWritten();
    s.machine();
    EXPECT_EQ(Run(s), -1);
    EXPECT_EQ(simwin::ProcessLaunches().size(), launched);
    const std::vector<std::string> lines = ErrorLines();
    ASSERT_EQ(lines.size(), UPDATE_MAX_ATTEMPTS);
    for (const std::string& line : lines) EXPECT_NE(line.find(c.error), std::string::npos) << line;
    if (!c.partial) {
      EXPECT_EQ(FilesWritten(), written);
    }
  }
}

// Replies of another shape around a good statement: nothing runs, nothing
// throws out of the layer.
TEST_F(CatalogueRun, RepliesOfAnotherShapeRunNothing) {
  for (const std::string tail :
       {"\"data\":\"x\"}", "\"data\":{\"softList\":7}}", "\"data\":{\"softList\":[7]}}"}) {
    Scenario s;
    s.sentBody = [tail](std::string b) { return b.substr(0, b.find("\"data\"")) + tail; };
    EXPECT_EQ(Run(s), 0) << tail;  // a reply that lists nothing: nothing to do
    EXPECT_TRUE(simwin::ProcessLaunches().empty());
  }
  Scenario s;
  s.sentBody = [](std::string b) {
    return b.replace(1, b.find(",\"code\"") - 1, "\"catalogue\":\"x\"");
  };
  fs::remove(root / "catalogue.log");
  EXPECT_EQ(Run(s), -1);
  ASSERT_FALSE(ErrorLines().empty());
  EXPECT_NE(ErrorLines()[0].find("catalogue: no statement"), std::string::npos);
}

// The bound holds on the door's plain path too (a size without a digest).
TEST_F(CatalogueRun, TheDoorRefusesAnotherLengthBeforeWritingWithoutADigest) {
  const std::string folder = "C:\\Users\\user\\AppData\\Local\\Temp\\";
  for (const std::string& served : {kBody + "!", kBody}) {
    simwin::HttpReply r;
    r.body = served;
    simwin::ServeAt("pkg.example", 80, r);
    CHTTPCommTools door;
    ASSERT_EQ(door.SetExpectedSize(kBody.size()), 0);
    std::string local;
    EXPECT_EQ(door.DownloadFile(folder, "http://pkg.example/a.exe", nullptr, &local),
              served == kBody ? 0 : -1);
    EXPECT_EQ(FilesWritten(), served == kBody ? 1u : 0u);
  }
}

TEST(CatalogueStatement, OnlyItsOneFormIsRead) {
  const std::string good = Scenario().Statement();
  CatalogueStatement stmt;
  ASSERT_EQ(ReadCatalogueStatement(good, &stmt), nullptr);
  EXPECT_EQ(stmt.nVersion, 5u);
  ASSERT_EQ(stmt.lstPackages.size(), 1u);
  EXPECT_EQ(stmt.lstPackages.front().cbSize, kBody.size());
  auto swap = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    return t.replace(t.find(from), from.size(), to);
  };
  struct Case {
    std::string bytes;
    const char* why;
  } cases[] = {
      {swap("\"expires\"", " \"expires\""), "not in its one form"},
      {good + "\n", "a byte outside printable ASCII or a backslash"},
      {swap("a.exe\",\"excuteExe", "\\u0061.exe\",\"excuteExe"),
       "a byte outside printable ASCII or a backslash"},
      {swap("\"version\":5", "\"version\":5.0"), "not in its one form"},
      {swap("\"version\":5", "\"version\":05"), "not in its one form"},
      {swap(",\"versions\"", ",\"product\":\"x\",\"versions\""), "not JSON"},
      {"{\"versions\":[\"*\"],\"expires\":\"2099-01-01T00:00:00Z\"}", "not in its one form"},
      {swap("\"version\":5", "\"version\":0"), "the version is not from 1 to 4294967295"},
      {swap("2099-01-01", "2099-02-30"), "the expiry is not YYYY-MM-DDTHH:MM:SSZ"},
      {swap("\"file\":\"a.exe\"", "\"file\":\"b.exe\""),
       "a package's file is not the plain name its address ends in"},
      {swap("\"size\":12", "\"size\":0"), "a package's size is not from 1 to 4294967295"},
      {swap("[\"V1.*\"]", "[]"), "the versions are not a list of 1 to 100 texts"},
  };
  for (const Case& c : cases) {
    const char* why = ReadCatalogueStatement(c.bytes, &stmt);
    EXPECT_STREQ(why ? why : "read", c.why) << c.bytes;
  }
}

TEST(CatalogueStatement, RulesCoverExactVersionsAndPrefixes) {
  const std::list<std::string> rules = {"V1.0", "V2.*"};
  for (const char* v : {"V1.0", "V2.", "V2.7"}) EXPECT_TRUE(CatalogueCoversVersion(rules, v)) << v;
  for (const char* v : {"V1.00", "V1", "V2", "v2.1", ""})
    EXPECT_FALSE(CatalogueCoversVersion(rules, v)) << v;
  EXPECT_TRUE(CatalogueCoversVersion({"*"}, ""));
  EXPECT_EQ(CatalogueUtcText(116444736000000000ull), "1970-01-01T00:00:00Z");
  EXPECT_EQ(CatalogueUtcText(125963423980000000ull), "2000-02-29T23:59:58Z");
}

TEST(CatalogueKey, ThisBuildHasNone) {
  // Every other suite runs without the catalogue: the test build sets no key.
  EXPECT_STREQ(BuiltInCatalogueKey(), "");
}

}  // namespace
