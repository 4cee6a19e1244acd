// Signed update replies against the simulated WinInet: a peer that signs
// with a key of its own (OpenSSL), and every way a reply can be refused.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>

#include "app/contract.h"
#include "log/log.h"
#include "platform/crypto.h"
#include "platform/simctl.h"
#include "tests/config/sim_fixture.h"
#include "tests/update/signing_key.h"
#include "update/httpcommtools.h"
#include "update/signedcomm.h"
#include "update/updatekey.h"
#include "update/updater.h"

namespace fs = std::filesystem;

namespace {

const char kUrl[] = "http://up.example:9006//softServer/req";

using pavtest::SigningKey;

std::string Sha256Hex(const std::string& data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  return PlatHex(digest, sizeof(digest));
}

// SHA-256 of the package the tests serve ("MZ installer"): the download checks it.
const std::string kHash = "9bddb44627973bc5a5e0b20bf4a44cf2449f8b6ca1e8dfee0525b528ad80e020";

std::string Listing(const std::string& member = ",\"sha256\":\"" + kHash + "\"") {
  return "{\"code\":\"0\",\"data\":{\"softList\":[{\"address\":\"http://pkg.example/a.exe\","
         "\"version\":\"1\",\"soft\":\"S\",\"excuteExe\":true" +
         member + "}]}}";
}

// How the peer answers: what it signs and what it sends may differ. It holds
// the key versions in `held` and signs with `key` for whatever version it is
// asked (a peer that signs with the wrong key is the test's choice).
struct Peer {
  std::string body = Listing();
  std::vector<std::string> held = {"1"};
  std::function<std::string(const std::string& version)> signedVersion = [](const std::string& v) {
    return v;
  };
  std::function<std::string(const std::string& nonce)> signedNonce = [](const std::string& n) {
    return n;
  };
  std::function<std::string(const std::string& request)> signedRequest = [](const std::string& r) {
    return r;
  };
  std::function<std::string(const std::string& body)> sentBody = [](const std::string& b) {
    return b;
  };
  std::function<std::string(const std::string& sig)> sentSignature = [](const std::string& s) {
    return s;
  };
  bool sendSignature = true;
  bool echoNonce = false;
  const SigningKey* key = nullptr;
};

class SignedComm : public ::testing::Test {
 protected:
  fs::path root;
  SigningKey vendor;
  Peer peer;
  CHTTPCommTools plain;
  std::unique_ptr<CSignedCommTools> comm;

  void SetUp() override {
    simwin::Reset();
    root = pavtest::FreshTestFolder("pavonix-signed");
    fs::create_directories(root / "Users/user/AppData/Local/Temp");
    simwin::MapDrive('C', root.string());
    g_nLogLevel = 1;
    snprintf(g_szLogPath, sizeof g_szLogPath, "C:\\signed.log");
    snprintf(g_szLogModule, sizeof g_szLogModule, "PAVONIX");
    peer.key = &vendor;
    comm.reset(new CSignedCommTools(&plain, Key().c_str()));
    Serve();
  }
  void TearDown() override {
    EXPECT_TRUE(simwin::OpenInternetHandles().empty());
    g_nLogLevel = 0;
    g_szLogPath[0] = '\0';
    fs::remove_all(root);
  }
  std::string Key(const std::string& version = "1") { return version + ":" + vendor.PublicHex(); }
  void Serve() {
    simwin::ServeAt("up.example", 9006, [this](const simwin::HttpRequestRecord& q) {
      std::string header = q.Header(kSignedNonceHeader);
      std::string version = header.substr(0, header.find(':'));
      std::string nonce = header.substr(header.find(':') + 1);
      simwin::HttpReply r;
      if (!header.empty() &&
          std::find(peer.held.begin(), peer.held.end(), version) == peer.held.end()) {
        // The bundled service's answer to a key version it does not hold.
        r.status = 400;
        r.body = "{\"code\":\"16\",\"msg\":\"key version not held\"}";
        return r;
      }
      version = peer.signedVersion(header.empty() ? "1" : version);
      r.body = peer.sentBody(peer.body);
      std::string sig =
          peer.key->SignHex(SignedReplyMessage(std::stoul(version), peer.signedNonce(nonce),
                                               Sha256Hex(peer.signedRequest(q.body)), peer.body));
      if (peer.sendSignature)
        r.headers.push_back({kSignedSignatureHeader, peer.sentSignature(sig)});
      if (peer.echoNonce)
        r.headers.push_back({kSignedNonceHeader, version + ":" + peer.signedNonce(nonce)});
      return r;
    });
  }
  int Post(std::string* reply) {
    comm->SetServerUrl(kUrl, 0);
    return comm->PostRequest("{\"a\":\"b\"}\n", reply);
  }
  std::string LogText() {
    std::ifstream f(root / "signed.log", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  std::vector<std::string> ErrorLines() {
    std::vector<std::string> out;
    std::istringstream in(LogText());
    for (std::string line; std::getline(in, line);)
      if (line.find("[ERROR]") != std::string::npos) out.push_back(line);
    return out;
  }
  // The reply is refused with one ERROR line holding the reason.
  void ExpectRefused(const std::string& reason) {
    std::string reply = "untouched";
    EXPECT_EQ(Post(&reply), -1) << reason;
    EXPECT_EQ(reply, "untouched");
    auto lines = ErrorLines();
    ASSERT_EQ(lines.size(), 1u) << LogText();
    EXPECT_NE(lines[0].find("update reply refused: " + reason), std::string::npos) << lines[0];
  }
};

TEST_F(SignedComm, GoodSignatureGivesTheBody) {
  std::string reply;
  EXPECT_EQ(Post(&reply), 0);
  EXPECT_EQ(reply, Listing());
  EXPECT_TRUE(ErrorLines().empty()) << LogText();
  // Signature digits of either case.
  peer.sentSignature = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  peer.echoNonce = true;
  EXPECT_EQ(Post(&reply), 0);
}

TEST_F(SignedComm, RequestCarriesAFreshNonceAndTheSameBodyAsThePlainDoor) {
  std::string reply;
  ASSERT_EQ(Post(&reply), 0);
  ASSERT_EQ(Post(&reply), 0);
  plain.SetServerUrl(kUrl, 0);
  simwin::ServeAt("up.example", 9006, simwin::HttpReply());
  plain.PostRequest("{\"a\":\"b\"}\n", &reply);
  auto reqs = simwin::HttpRequests();
  ASSERT_EQ(reqs.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    std::string nonce = reqs[i].Header(kSignedNonceHeader);
    EXPECT_EQ(reqs[i].HeaderCount(kSignedNonceHeader), 1u);
    ASSERT_EQ(nonce.size(), 66u) << nonce;
    EXPECT_EQ(nonce.substr(0, 2), "1:");
    EXPECT_EQ(nonce.find_first_not_of("0123456789abcdef", 2), std::string::npos) << nonce;
    EXPECT_EQ(reqs[i].body, reqs[2].body);
    EXPECT_EQ(reqs[i].announcedLength, reqs[2].announcedLength);
    EXPECT_EQ(reqs[i].Header("Content-Type"), "application/x-www-form-urlencoded");
  }
  EXPECT_NE(reqs[0].Header(kSignedNonceHeader), reqs[1].Header(kSignedNonceHeader));
  EXPECT_EQ(reqs[2].HeaderCount(kSignedNonceHeader), 0u);
}

TEST_F(SignedComm, MissingOrMalformedSignatureIsRefused) {
  peer.sendSignature = false;
  ExpectRefused("no signature");
  simwin::Reset();
  simwin::MapDrive('C', root.string());
  Serve();
  fs::remove(root / "signed.log");
  peer.sendSignature = true;
  for (auto bad : std::vector<std::function<std::string(const std::string&)>>{
           [](const std::string& s) { return s.substr(1); },  // 127 digits
           [](const std::string& s) { return s + "0"; },      // 129 digits
           [](const std::string& s) { return "g" + s.substr(1); },
           [](const std::string& s) { return " " + s.substr(1); },
           [](const std::string&) { return std::string(); }}) {
    peer.sentSignature = bad;
    fs::remove(root / "signed.log");
    ExpectRefused("malformed signature");
  }
}

TEST_F(SignedComm, SignatureThatDoesNotMatchIsRefused) {
  // Signed by another key.
  SigningKey other;
  peer.key = &other;
  ExpectRefused("signature does not match the reply");
  peer.key = &vendor;
  // The body changed by one byte on its way, with and without a change of
  // length.
  for (auto change : std::vector<std::function<std::string(const std::string&)>>{
           [](std::string b) {
             b[b.find("true")] = 'T';
             return b;
           },
           [](std::string b) { return b.replace(b.find("a.exe"), 5, "b.exe"); },
           [](std::string b) { return b + " "; },
           [](std::string b) { return b.substr(0, b.size() - 1); }}) {
    peer.sentBody = change;
    fs::remove(root / "signed.log");
    ExpectRefused("signature does not match the reply");
  }
  peer.sentBody = [](const std::string& b) { return b; };
  // A signature that is good for another message under the same key: the
  // body alone, without the nonce and context.
  peer.sentSignature = [this](const std::string&) { return vendor.SignHex(peer.body); };
  fs::remove(root / "signed.log");
  ExpectRefused("signature does not match the reply");
}

TEST_F(SignedComm, ReplyForAnotherNonceIsRefused) {
  // A replayed reply: good signature, but over the nonce of an earlier request.
  peer.signedNonce = [](const std::string&) { return std::string(64, '0'); };
  ExpectRefused("signature does not match the reply");
  // The same, when the service names the nonce it signed for.
  peer.echoNonce = true;
  fs::remove(root / "signed.log");
  ExpectRefused("signed for another request");
}

TEST_F(SignedComm, SignedReplyMustHashEveryPackage) {
  peer.body = Listing("");
  ExpectRefused("a package has no sha256");
  // Replies that list nothing need no hash.
  peer.body = "{\"code\":\"0\",\"data\":{\"softList\":[]}}";
  std::string reply;
  EXPECT_EQ(Post(&reply), 0);
  peer.body = "{\"code\":\"3\"}";
  EXPECT_EQ(Post(&reply), 0);
}

TEST(SignedReplyMessage, IsTheDocumentedLayout) {
  // What the service signs, byte for byte; the body may hold anything.
  const std::string nonce(64, 'c'), hash(64, 'd'), body("{}\n\0x", 5);
  EXPECT_EQ(SignedReplyMessage(12, nonce, hash, body),
            "pavonix-update-reply-v2\nkey-version 12\nnonce " + nonce + "\nrequest-sha256 " + hash +
                "\nreply-length 5\n" + body);
  EXPECT_EQ(SignedNonceValue(3, nonce), "3:" + nonce);
}

TEST_F(SignedComm, FailuresBeforeTheCheckAreThoseOfThePlainDoor) {
  simwin::HttpReply err;
  err.status = 500;
  simwin::ServeAt("up.example", 9006, err);
  std::string reply = "untouched";
  EXPECT_EQ(Post(&reply), 500);
  simwin::HttpReply chunked;
  chunked.framing = simwin::HttpReply::kChunked;
  chunked.body = Listing();
  simwin::ServeAt("up.example", 9006, chunked);
  EXPECT_EQ(Post(&reply), -1);
  simwin::StopServing("up.example", 9006);
  EXPECT_EQ(Post(&reply), -1);
  err.status = 0;  // no status: the reply never came
  simwin::ServeAt("up.example", 9006, err);
  EXPECT_EQ(Post(&reply), -1);
  EXPECT_EQ(reply, "untouched");
  // The time-outs are on the request handle of every POST that was sent
  // (the refused one failed before it had one).
  size_t onRequest = 0;
  for (const auto& o : simwin::InternetOptions()) onRequest += o.kind == "request" ? 1 : 0;
  EXPECT_EQ(onRequest, 5u * 3u);
}

TEST_F(SignedComm, NoRandomNonceSendsNothing) {
  simwin::FailCall("BCryptGenRandom", 0xC0000001u);
  ExpectRefused("no random nonce");
  EXPECT_TRUE(simwin::HttpRequests().empty());
}

TEST_F(SignedComm, UnusableKeyRefusesEveryReply) {
  const std::string point = vendor.PublicHex();
  for (const std::string& key :
       {std::string(), std::string("04"), std::string("zz"), point, ":" + point, "0:" + point,
        "01:" + point, "x:" + point, "1000000000:" + point, "1:" + point.substr(1)}) {
    comm.reset(new CSignedCommTools(&plain, key.c_str()));
    fs::remove(root / "signed.log");
    ExpectRefused("the built-in key is not usable");
  }
  EXPECT_TRUE(simwin::HttpRequests().empty());
}

TEST(UpdateKey, VersionAndHexadecimalPointWithOrWithoutItsPrefix) {
  const std::string xy =
      "3bb2d99444a82be85eb2699c67ea362701f22c188b34443271ea3704f4b0ba52"
      "dec602cffb8112a9c4347b0a48c07bfff652e00dacc196e788106db8caa953a6";
  std::string upper = "04" + xy;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    std::string key;
    unsigned long version;  // 0: refused
  } cases[] = {{"1:" + xy, 1},
               {"7:" + upper, 7},
               {"999999999:" + xy, 999999999},
               {xy, 0},
               {"1:" + xy.substr(2), 0},
               {"1:05" + xy, 0},
               {"1:04" + xy + "00", 0},
               {"1:0x" + xy, 0},
               {"1:" + xy.substr(0, 127) + "g", 0},
               {"0:" + xy, 0},
               {"-1:" + xy, 0},
               {"1 :" + xy, 0},
               {"1000000000:" + xy, 0},
               {"1:", 0},
               {"", 0}};
  for (const Case& c : cases) {
    std::string point;
    unsigned long version = 0;
    bool ok = ParseUpdateKey(c.key.c_str(), &version, &point);
    EXPECT_EQ(ok, c.version != 0) << c.key;
    if (ok) {
      EXPECT_EQ(version, c.version) << c.key;
      EXPECT_EQ(PlatHex(reinterpret_cast<const unsigned char*>(point.data()), point.size()), xy);
    }
  }
  std::string point;
  unsigned long version = 0;
  EXPECT_FALSE(ParseUpdateKey(nullptr, &version, &point));
}

// ---- the driver over HTTP, with and without the key ---------------------------

class SignedDriver : public SignedComm {
 protected:
  HWND main = nullptr;
  void SetUp() override {
    SignedComm::SetUp();
    main = simwin::CreateTestWindow("main");
    g_hNotifyWnd = main;
    g_hAnimThread = nullptr;
    g_bAnimStop = 1;
    simwin::HttpReply pkg;
    pkg.body = "MZ installer";
    simwin::ServeAt("pkg.example", 80, pkg);
  }
  void TearDown() override {
    g_bAnimStop = 1;
    EXPECT_TRUE(simwin::WaitForThreads(5000));
    if (g_hAnimThread) CloseHandle(g_hAnimThread);
    g_hAnimThread = nullptr;
    g_hNotifyWnd = nullptr;
    SignedComm::TearDown();
  }
  int Run(const std::string& key) {
    return RunProductUpdateOverHttp(key.c_str(), kUrl, "UID-1", "levyDesk", "V1.0");
  }
  size_t Gets() {
    size_t n = 0;
    for (const auto& q : simwin::HttpRequests()) n += q.verb == "GET" ? 1 : 0;
    return n;
  }
};

TEST_F(SignedDriver, ThisBuildHasNoKey) {
  // Every other suite runs the plain door: the test build sets no key.
  EXPECT_STREQ(BuiltInUpdateKey(), "");
}

TEST_F(SignedDriver, SignedRunInstallsWhatTheSignedReplyLists) {
  EXPECT_EQ(Run(Key()), 0);
  EXPECT_EQ(Gets(), 1u);
  ASSERT_EQ(simwin::ProcessLaunches().size(), 1u);
  // From the run's download folder under the temporary folder.
  const std::string ran = simwin::ProcessLaunches()[0].applicationName;
  EXPECT_EQ(ran.rfind("C:\\Users\\user\\AppData\\Local\\Temp\\pavonix-", 0), 0u) << ran;
  EXPECT_EQ(ran.substr(ran.size() - 6), "\\a.exe");
}

TEST_F(SignedDriver, PackageHashIsCheckedThroughTheSignedDoor) {
  // The signed reply lists the hash of another file than the one served.
  peer.body = Listing(",\"sha256\":\"" + std::string(64, 'a') + "\"");
  EXPECT_EQ(Run(Key()), -1);
  EXPECT_EQ(Gets(), 3u);
  EXPECT_TRUE(simwin::ProcessLaunches().empty());
  EXPECT_NE(LogText().find("not the listed " + std::string(64, 'a')), std::string::npos);
}

TEST_F(SignedDriver, RefusedRepliesAreRetriedThenFailWithNothingFetched) {
  peer.sentBody = [](std::string b) { return b.replace(b.find("a.exe"), 5, "x.exe"); };
  EXPECT_EQ(Run(Key()), -1);
  auto reqs = simwin::HttpRequests();
  EXPECT_EQ(reqs.size(), 3u);
  EXPECT_EQ(Gets(), 0u);
  EXPECT_TRUE(simwin::ProcessLaunches().empty());
  EXPECT_EQ(ErrorLines().size(), 3u) << LogText();
  // Each attempt had its own nonce.
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_NE(reqs[0].Header(kSignedNonceHeader), reqs[1].Header(kSignedNonceHeader));
  EXPECT_NE(reqs[1].Header(kSignedNonceHeader), reqs[2].Header(kSignedNonceHeader));
}

TEST_F(SignedDriver, WithoutAKeyNothingIsSentOrChecked) {
  // A bad signature header and a package without sha256: both ignored.
  peer.sentSignature = [](const std::string&) { return std::string("not a signature"); };
  peer.body = Listing("");
  EXPECT_EQ(Run(""), 0);
  auto reqs = simwin::HttpRequests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].HeaderCount(kSignedNonceHeader), 0u);
  EXPECT_EQ(simwin::ProcessLaunches().size(), 1u);
  EXPECT_TRUE(ErrorLines().empty()) << LogText();
}

// One table of signed replies, each through the whole driver: a refused one
// is asked three times and nothing is fetched or run.
TEST_F(SignedDriver, SignedRepliesAreBoundToTheRequestAndReadOneWay) {
  const std::string pkg =
      "{\"address\":\"http://pkg.example/a.exe\",\"version\":\"1\",\"soft\":\"S\","
      "\"excuteExe\":true,\"sha256\":\"" +
      kHash + "\"}";
  auto list = [](const std::string& items) {
    return "{\"code\":\"0\",\"data\":{\"softList\":[" + items + "]}}";
  };
  auto same = [](const std::string& x) { return x; };
  struct Case {
    const char* name;
    std::string body;
    std::function<std::string(const std::string&)> signedRequest, signedVersion;
    std::vector<std::string> held;
    bool echo;
    const char* refusal;  // null: accepted
  } cases[] = {
      {"good", list(pkg), same, same, {"1"}, true, nullptr},
      {"request body one byte changed, nonce kept",
       list(pkg),
       [](std::string r) {
         r[r.find("levyDesk")] = 'L';
         return r;
       },
       same,
       {"1"},
       false,
       "signature does not match the reply"},
      {"request with a byte more",
       list(pkg),
       [](std::string r) { return r + "&"; },
       same,
       {"1"},
       false,
       "signature does not match the reply"},
      {"signed for key version 2",
       list(pkg),
       same,
       [](const std::string&) { return std::string("2"); },
       {"1"},
       false,
       "signature does not match the reply"},
      {"echoing key version 2",
       list(pkg),
       same,
       [](const std::string&) { return std::string("2"); },
       {"1"},
       true,
       "signed for another request"},
      {"service without the key version", list(pkg), same, same, {"2"}, false, "HTTP status 400"},
      {"NUL byte",
       list(pkg) + std::string(1, '\0'),
       same,
       same,
       {"1"},
       false,
       "a NUL byte in the reply"},
      {"NUL inside",
       list(pkg).insert(1, std::string(1, '\0')),
       same,
       same,
       {"1"},
       false,
       "a NUL byte in the reply"},
      {"trailing text", list(pkg) + "{}", same, same, {"1"}, false, "text after the JSON value"},
      {"trailing comment",
       list(pkg) + "//x",
       same,
       same,
       {"1"},
       false,
       "text after the JSON value"},
      {"not JSON", "<html>busy</html>", same, same, {"1"}, false, "the reply is not JSON"},
      {"member twice at the top",
       "{\"code\":\"1\"," + list(pkg).substr(1),
       same,
       same,
       {"1"},
       false,
       "a member name twice"},
      {"member twice in a package",
       list(pkg.substr(0, pkg.size() - 1) + ",\"address\":\"http://evil/e.exe\"}"),
       same,
       same,
       {"1"},
       false,
       "a member name twice"},
      {"file names differ only in case",
       list(pkg + "," + pkg.substr(0, pkg.find("a.exe")) + "A.EXE" +
            pkg.substr(pkg.find("a.exe") + 5)),
       same,
       same,
       {"1"},
       false,
       "two packages with the same file name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(root / "signed.log");
    const size_t requests = simwin::HttpRequests().size(), gets = Gets(),
                 launches = simwin::ProcessLaunches().size();
    peer = Peer();
    peer.key = &vendor;
    peer.body = c.body;
    peer.signedRequest = c.signedRequest;
    peer.signedVersion = c.signedVersion;
    peer.held = c.held;
    peer.echoNonce = c.echo;
    int result = Run(Key());
    if (c.refusal == nullptr) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(Gets() - gets, 1u);
      EXPECT_EQ(simwin::ProcessLaunches().size() - launches, 1u);
      EXPECT_TRUE(ErrorLines().empty()) << LogText();
      continue;
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(simwin::HttpRequests().size() - requests, 3u);
    EXPECT_EQ(Gets() - gets, 0u);
    EXPECT_EQ(simwin::ProcessLaunches().size() - launches, 0u);
    auto lines = ErrorLines();
    ASSERT_EQ(lines.size(), 3u) << LogText();
    for (const std::string& line : lines)
      EXPECT_NE(line.find(std::string("update reply refused: ") + c.refusal), std::string::npos)
          << line;
  }
}

}  // namespace
