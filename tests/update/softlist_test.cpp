// The update service protocol: the request text, the reply rules, and the
// request through the communication object.
#include <gtest/gtest.h>

#include "fakecomm.h"
#include "update/softupdate.h"

namespace {

std::list<SoftPackage> Parse(const std::string& reply, bool* valid = nullptr,
                             SoftListReply* kind = nullptr) {
  std::list<SoftPackage> out;
  SoftListReply k = ParseSoftListReply(reply, &out);
  if (valid) *valid = k == SOFTLIST_LISTED;
  if (kind) *kind = k;
  return out;
}

TEST(SoftListRequest, TextIsExactFastWriterOutput) {
  EXPECT_EQ(BuildSoftListRequest("U", "levyDesk", "V1.0"),
            "{\"data\":{\"softList\":[{\"soft\":\"levyDesk\",\"upgrade\":\"false\",\"version\":"
            "\"V1.0\"}]},"
            "\"pid\":\"PROTOCOL_99\",\"uid\":\"U\"}\n");
  EXPECT_EQ(
      BuildSoftListRequest("0A1B2C3D-0000-4000-8000-00000000000F", "ZYN-HARBOLT", "V1.0-20200902"),
      "{\"data\":{\"softList\":[{\"soft\":\"ZYN-HARBOLT\",\"upgrade\":\"false\",\"version\":\"V1.0-"
      "20200902\"}]},"
      "\"pid\":\"PROTOCOL_99\",\"uid\":\"0A1B2C3D-0000-4000-8000-00000000000F\"}\n");
}

TEST(SoftListRequest, ValuesAreEscapedAsJsonStrings) {
  EXPECT_EQ(BuildSoftListRequest("", "a\"b\\c", "x\ny"),
            "{\"data\":{\"softList\":[{\"soft\":\"a\\\"b\\\\c\",\"upgrade\":\"false\",\"version\":"
            "\"x\\ny\"}]},"
            "\"pid\":\"PROTOCOL_99\",\"uid\":\"\"}\n");
}

TEST(SoftListRequest, AnsiTextGoesOutAsEscapedCharacters) {
  // GBK "版本" and "誠" (D5 5C: a trail byte that is a backslash) are written
  // as the characters they are; the request stays ASCII.
  EXPECT_EQ(BuildSoftListRequest("\xB0\xE6\xB1\xBE-\xD5\x5C", "T\xD5\x5C", "V"),
            "{\"data\":{\"softList\":[{\"soft\":\"T\\u8aa0\",\"upgrade\":\"false\",\"version\":"
            "\"V\"}]},\"pid\":\"PROTOCOL_99\",\"uid\":\"\\u7248\\u672c-\\u8aa0\"}\n");
}

TEST(SoftListReply, PackagesInOrderWithRunFlags) {
  bool valid = false;
  auto l = Parse(
      "{\"code\":\"0\",\"msg\":\"ok\",\"data\":{\"softList\":["
      "{\"address\":\"http://h/a.exe\",\"version\":\"1\",\"soft\":\"A\",\"excuteExe\":true},"
      "{\"address\":\"http://h/b.dat\",\"version\":\"2\",\"soft\":\"B\",\"excuteExe\":false}]}}",
      &valid);
  EXPECT_TRUE(valid);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l.front().strAddress, "http://h/a.exe");
  EXPECT_EQ(l.front().strVersion, "1");
  EXPECT_EQ(l.front().strSoft, "A");
  EXPECT_TRUE(l.front().bExcuteExe);
  EXPECT_EQ(l.back().strAddress, "http://h/b.dat");
  EXPECT_FALSE(l.back().bExcuteExe);
}

TEST(SoftListReply, RunFlagIsTrueUnlessJsonFalse) {
  auto l = Parse(
      "{\"data\":{\"softList\":[{\"address\":\"a\",\"excuteExe\":\"false\"},{\"address\":\"b\"},"
      "{\"address\":\"c\",\"excuteExe\":0},{\"address\":\"d\",\"excuteExe\":null},null]}}");
  ASSERT_EQ(l.size(), 5u);
  for (const auto& p : l) EXPECT_TRUE(p.bExcuteExe) << p.strAddress;
  // The null element yields empty strings.
  EXPECT_EQ(l.back().strAddress, "");
  EXPECT_EQ(l.back().strSoft, "");
}

TEST(SoftListReply, CodeIsAtoiOfItsText) {
  bool valid = true;
  EXPECT_TRUE(
      Parse("{\"code\":\"1\",\"data\":{\"softList\":[{\"address\":\"a\"}]}}", &valid).empty());
  EXPECT_FALSE(valid);
  // No code, an empty code, a code that does not start with digits: code 0.
  EXPECT_EQ(Parse("{\"data\":{\"softList\":[{\"address\":\"a\"}]}}").size(), 1u);
  EXPECT_EQ(Parse("{\"code\":\"\",\"data\":{\"softList\":[{\"address\":\"a\"}]}}").size(), 1u);
  EXPECT_EQ(Parse("{\"code\":\"ok\",\"data\":{\"softList\":[{\"address\":\"a\"}]}}").size(), 1u);
  EXPECT_EQ(Parse("{\"code\":null,\"data\":{\"softList\":[{\"address\":\"a\"}]}}").size(), 1u);
  // atoi reads the leading number only.
  EXPECT_TRUE(Parse("{\"code\":\" 7x\",\"data\":{\"softList\":[{\"address\":\"a\"}]}}").empty());
  EXPECT_EQ(Parse("{\"code\":\"0x1\",\"data\":{\"softList\":[{\"address\":\"a\"}]}}").size(), 1u);
}

TEST(SoftListReply, NumericCodeCountsByItsValue) {
  const std::string list = ",\"data\":{\"softList\":[{\"address\":\"a\"}]}}";
  for (const char* zero : {"0", "-0", "0.0", "0e5"})
    EXPECT_EQ(Parse(std::string("{\"code\":") + zero + list).size(), 1u) << zero;
  for (const char* other : {"1", "-1", "0.5", "4294967296", "18446744073709551615", "1e300"}) {
    bool valid = true;
    EXPECT_TRUE(Parse(std::string("{\"code\":") + other + list, &valid).empty()) << other;
    EXPECT_FALSE(valid) << other;
  }
}

TEST(SoftListReply, BooleansReadAsText) {
  auto l = Parse("{\"code\":true,\"data\":{\"softList\":[{\"address\":true,\"soft\":false}]}}");
  ASSERT_EQ(l.size(), 1u);  // "true" converts to code 0
  EXPECT_EQ(l.front().strAddress, "true");
  EXPECT_EQ(l.front().strSoft, "false");
}

TEST(SoftListReply, TextsThatAreNotJsonAreToldApart) {
  const char* replies[] = {
      "",
      "not json",
      "<html>502</html>",
      "\xef\xbb\xbf<html><body>Service temporarily unavailable</body></html>\n",
      // cut short: what the reader had built is not used
      "{\"code\":\"0\",\"data\":{\"softList\":[{\"address\":\"http://h/a.exe\"}",
      "{\"code\":\"0\",\"data\":{\"softList\":[{\"address\":\"http://h/a.exe\"}]}",
  };
  for (const char* r : replies) {
    SoftListReply kind = SOFTLIST_LISTED;
    EXPECT_TRUE(Parse(r, nullptr, &kind).empty()) << r;
    EXPECT_EQ(kind, SOFTLIST_NOT_JSON) << r;
  }
}

TEST(SoftListReply, UnusableRepliesGiveNoPackages) {
  const char* replies[] = {
      "[1,2]",
      "42",
      "\"text\"",
      "null",
      "{}",
      "{\"code\":\"0\"}",
      "{\"code\":\"0\",\"data\":null}",
      "{\"code\":\"0\",\"data\":{\"softList\":[]}}",
      // members of unexpected types
      "{\"code\":[\"0\"],\"data\":{\"softList\":[{\"address\":\"a\"}]}}",
      "{\"code\":{},\"data\":{\"softList\":[{\"address\":\"a\"}]}}",
      "{\"code\":\"0\",\"data\":\"x\"}",
      "{\"code\":\"0\",\"data\":[{\"softList\":[]}]}",
      "{\"code\":\"0\",\"data\":{\"softList\":{\"address\":\"a\"}}}",
      "{\"code\":\"0\",\"data\":{\"softList\":\"a\"}}",
      "{\"code\":\"0\",\"data\":{\"softList\":[\"http://h/a.exe\"]}}",
      "{\"code\":\"0\",\"data\":{\"softList\":[[\"a\"]]}}",
      "{\"code\":\"0\",\"data\":{\"softList\":[{\"address\":5}]}}",
      "{\"code\":\"0\",\"data\":{\"softList\":[{\"address\":\"a\",\"version\":1.5}]}}",
      "{\"code\":\"0\",\"data\":{\"softList\":[{\"address\":\"a\",\"soft\":{}}]}}",
      // a good package before a bad one: nothing of the reply is used
      "{\"code\":\"0\",\"data\":{\"softList\":[{\"address\":\"a\"},{\"address\":[]}]}}",
  };
  for (const char* r : replies) {
    SoftListReply kind = SOFTLIST_NOT_JSON;
    EXPECT_TRUE(Parse(r, nullptr, &kind).empty()) << r;
    EXPECT_NE(kind, SOFTLIST_NOT_JSON) << r;  // JSON, only of no use
  }
}

TEST(SoftListReply, DeepNestingDoesNotCrashAndIsNoJson) {
  std::string deep(100000, '[');
  SoftListReply kind = SOFTLIST_LISTED;
  EXPECT_TRUE(Parse(deep, nullptr, &kind).empty());
  EXPECT_EQ(kind, SOFTLIST_NOT_JSON);
  std::string deepObj;
  for (int i = 0; i < 5000; ++i) deepObj += "{\"data\":";
  EXPECT_TRUE(Parse(deepObj, nullptr, &kind).empty());
  EXPECT_EQ(kind, SOFTLIST_NOT_JSON);
  // Balanced, but deeper than the reader goes: no list either.
  std::string balanced = std::string(5000, '[') + std::string(5000, ']');
  EXPECT_TRUE(Parse(balanced, nullptr, &kind).empty());
  EXPECT_EQ(kind, SOFTLIST_NOT_JSON);
}

TEST(SoftListReply, TextAfterTheDocumentIsIgnored) {
  std::string reply = "{\"data\":{\"softList\":[{\"address\":\"a\"}]}}";
  reply.push_back('\0');
  reply += "{\"code\":\"1\"}";
  EXPECT_EQ(Parse(reply).size(), 1u);
}

class SoftListRequestRun : public ::testing::Test {
 protected:
  FakeComm comm;
  CSoftUpdateTool tool;
  void SetUp() override {
    tool.m_strServerUrl = "http://up:9006//softServer/req";
    tool.m_pComm = &comm;
  }
};

TEST_F(SoftListRequestRun, SetsUrlThenPostsTheRequest) {
  comm.answers = {
      {0, "{\"code\":\"0\",\"data\":{\"softList\":[{\"address\":\"http://p/x.exe\"}]}}"}};
  EXPECT_EQ(tool.RequestSoftList("U", "levyDesk", "V1.0"), 0);
  EXPECT_EQ(comm.calls, (std::vector<std::string>{"url", "post"}));
  EXPECT_EQ(comm.serverUrls[0], "http://up:9006//softServer/req");
  EXPECT_EQ(comm.posted[0], BuildSoftListRequest("U", "levyDesk", "V1.0"));
  ASSERT_EQ(tool.m_lstSoft.size(), 1u);
  // A second reply is appended after the first.
  EXPECT_EQ(tool.RequestSoftList("U", "levyDesk", "V1.0"), 0);
  EXPECT_EQ(tool.m_lstSoft.size(), 2u);
}

TEST_F(SoftListRequestRun, FailedPostLeavesTheListAlone) {
  tool.m_lstSoft.push_back(SoftPackage{"http://p/keep.exe", "", "", true});
  for (int rc : {-1, 404, 500}) {
    comm.answers = {{rc, ""}};
    EXPECT_EQ(tool.RequestSoftList("U", "T", "V"), -1) << rc;
  }
  ASSERT_EQ(tool.m_lstSoft.size(), 1u);
  EXPECT_EQ(tool.m_lstSoft.front().strAddress, "http://p/keep.exe");
}

TEST_F(SoftListRequestRun, ReplyThatIsNotJsonFailsAndLeavesTheListAlone) {
  tool.m_lstSoft.push_back(SoftPackage{"http://p/keep.exe", "", "", true});
  for (const char* reply :
       {"<html><body>502 Bad Gateway</body></html>", "{\"code\":\"0\",\"data\":{", ""}) {
    comm.answers = {{0, reply}};
    EXPECT_EQ(tool.RequestSoftList("U", "T", "V"), -1) << reply;
  }
  ASSERT_EQ(tool.m_lstSoft.size(), 1u);
  EXPECT_EQ(tool.m_lstSoft.front().strAddress, "http://p/keep.exe");
}

TEST_F(SoftListRequestRun, UnusableReplyIsStillASuccessfulPost) {
  comm.answers = {{0, "{\"code\":\"3\"}"}};
  EXPECT_EQ(tool.RequestSoftList("U", "T", "V"), 0);
  comm.answers = {{0, "[\"x\"]"}};
  EXPECT_EQ(tool.RequestSoftList("U", "T", "V"), 0);
  EXPECT_TRUE(tool.m_lstSoft.empty());
}

// ---- sha256 -------------------------------------------------------------------

std::string Listing(const std::string& hashMember) {
  return "{\"code\":\"0\",\"data\":{\"softList\":[{\"address\":\"http://p/a.exe\"" + hashMember +
         "}]}}";
}

TEST(SoftListReply, Sha256IsKeptInLowerCaseWhateverCaseWasSent) {
  const std::string lower = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  for (const std::string& sent :
       {lower, std::string("0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"),
        std::string("0123456789aBcDeF0123456789abcdef0123456789ABCDEF0123456789abcdef")}) {
    SoftListReply kind;
    auto l = Parse(Listing(",\"sha256\":\"" + sent + "\""), nullptr, &kind);
    EXPECT_EQ(kind, SOFTLIST_LISTED) << sent;
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l.front().strSha256, lower);
  }
  // Absent or null: no hash, the package is listed as before.
  for (const std::string& member : {std::string(), std::string(",\"sha256\":null")}) {
    SoftListReply kind;
    auto l = Parse(Listing(member), nullptr, &kind);
    EXPECT_EQ(kind, SOFTLIST_LISTED);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l.front().strSha256, "");
  }
}

TEST(SoftListReply, Sha256ThatCannotBeCheckedRefusesTheWholeReply) {
  const std::string good(64, 'a');
  for (const std::string& member : {",\"sha256\":\"" + good.substr(1) + "\"",    // 63 digits
                                    ",\"sha256\":\"" + good + "0\"",             // 65 digits
                                    ",\"sha256\":\"" + good.substr(1) + "g\"",   // not hexadecimal
                                    ",\"sha256\":\" " + good.substr(1) + "\"",   // a blank inside
                                    ",\"sha256\":\"0x" + good.substr(2) + "\"",  // a prefix
                                    std::string(",\"sha256\":\"\""),             // empty text
                                    std::string(",\"sha256\":12"), std::string(",\"sha256\":true"),
                                    ",\"sha256\":[\"" + good + "\"]"}) {
    SoftListReply kind;
    auto l = Parse(Listing(member), nullptr, &kind);
    EXPECT_EQ(kind, SOFTLIST_BAD_HASH) << member;
    EXPECT_TRUE(l.empty()) << member;
  }
  // One bad element spoils a reply whose other elements are good.
  SoftListReply kind;
  auto l = Parse("{\"data\":{\"softList\":[{\"address\":\"a\",\"sha256\":\"" + good +
                     "\"},{\"address\":\"b\",\"sha256\":\"x\"}]}}",
                 nullptr, &kind);
  EXPECT_EQ(kind, SOFTLIST_BAD_HASH);
  EXPECT_TRUE(l.empty());
}

TEST_F(SoftListRequestRun, ReplyWithAnUncheckableHashFailsAndLeavesTheListAlone) {
  tool.m_lstSoft.push_back(SoftPackage{"http://p/keep.exe", "", "", true});
  comm.answers = {{0, Listing(",\"sha256\":\"abc\"")}};
  EXPECT_EQ(tool.RequestSoftList("U", "T", "V"), -1);
  ASSERT_EQ(tool.m_lstSoft.size(), 1u);
  comm.answers = {{0, Listing(",\"sha256\":\"" + std::string(64, 'F') + "\"")}};
  EXPECT_EQ(tool.RequestSoftList("U", "T", "V"), 0);
  ASSERT_EQ(tool.m_lstSoft.size(), 2u);
  EXPECT_EQ(tool.m_lstSoft.back().strSha256, std::string(64, 'f'));
}

}  // namespace
