// Reading the local service's version reply: every text gives a defined result.
#include <gtest/gtest.h>

#include <cstdint>

#include "env/localservice.h"

namespace {

struct Parsed {
  int rc;
  int code;
  std::string msg, version;
};

Parsed ParseReply(const std::string& text) {
  Parsed p{0, -777, "unset", "unset"};
  p.rc = CLocalServiceQuery::ParseVersionReply(text.c_str(), &p.code, &p.msg, &p.version);
  return p;
}

TEST(VersionReply, SuccessGivesTheVersion) {
  Parsed p = ParseReply("{\"code\":0,\"msg\":\"ok\",\"version\":\"3.2.1\",\"extra\":[1]}");
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.code, 0);
  EXPECT_EQ(p.msg, "ok");
  EXPECT_EQ(p.version, "3.2.1");
}

TEST(VersionReply, NonZeroCodeNeedsNoVersion) {
  Parsed p = ParseReply("{\"code\":1,\"msg\":\"busy\"}");
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.code, 1);
  EXPECT_EQ(p.version, "unset");
  // Code read as asInt reads it: a real truncated, a boolean as 0 or 1.
  EXPECT_EQ(ParseReply("{\"code\":-7.9,\"msg\":\"x\"}").code, -7);
  EXPECT_EQ(ParseReply("{\"code\":true,\"msg\":\"x\"}").code, 1);
  Parsed f = ParseReply("{\"code\":false,\"msg\":\"x\",\"version\":\"v\"}");
  EXPECT_EQ(f.rc, 0);
  EXPECT_EQ(f.code, 0);
  EXPECT_EQ(f.version, "v");
}

TEST(VersionReply, MissingMembersAreFormatErrors) {
  EXPECT_EQ(ParseReply("{\"msg\":\"ok\",\"version\":\"1\"}").rc, ERR_JSON_FORMAT);
  EXPECT_EQ(ParseReply("{\"code\":null,\"msg\":\"ok\",\"version\":\"1\"}").rc, ERR_JSON_FORMAT);
  Parsed noMsg = ParseReply("{\"code\":0,\"msg\":null,\"version\":\"1\"}");
  EXPECT_EQ(noMsg.rc, ERR_JSON_FORMAT);
  EXPECT_EQ(noMsg.code, 0);  // stored once read
  EXPECT_EQ(noMsg.version, "unset");
  Parsed noVersion = ParseReply("{\"code\":0,\"msg\":\"ok\"}");
  EXPECT_EQ(noVersion.rc, ERR_JSON_FORMAT);
  EXPECT_EQ(noVersion.msg, "ok");
  EXPECT_EQ(ParseReply("{\"code\":0,\"msg\":\"ok\",\"version\":null}").rc, ERR_JSON_FORMAT);
}

TEST(VersionReply, MalformedAndMistypedRepliesAreFormatErrors) {
  const char* replies[] = {
      "",
      "<html><body>It works</body></html>",
      "{\"code\":0,\"msg\":\"ok\",\"version\":\"1\"",
      "null",
      "[{\"code\":0,\"msg\":\"ok\",\"version\":\"1\"}]",
      "0",
      "\"code\"",
      "{\"code\":\"0\",\"msg\":\"ok\",\"version\":\"1\"}",
      "{\"code\":[0],\"msg\":\"ok\",\"version\":\"1\"}",
      "{\"code\":{},\"msg\":\"ok\",\"version\":\"1\"}",
      "{\"code\":4294967296,\"msg\":\"ok\",\"version\":\"1\"}",
      "{\"code\":-2147483649,\"msg\":\"ok\",\"version\":\"1\"}",
      "{\"code\":1e300,\"msg\":\"ok\",\"version\":\"1\"}",
      "{\"code\":0,\"msg\":7,\"version\":\"1\"}",
      "{\"code\":0,\"msg\":[],\"version\":\"1\"}",
      "{\"code\":0,\"msg\":\"ok\",\"version\":{\"major\":1}}",
      "{\"code\":0,\"msg\":\"ok\",\"version\":3.1}",
  };
  for (const char* r : replies) EXPECT_EQ(ParseReply(r).rc, ERR_JSON_FORMAT) << r;
  EXPECT_EQ(ParseReply(std::string(50000, '[')).rc, ERR_JSON_FORMAT);
  // Boundaries of a 32-bit code still read.
  EXPECT_EQ(ParseReply("{\"code\":-2147483648,\"msg\":\"\"}").code, INT32_MIN);
  EXPECT_EQ(ParseReply("{\"code\":2147483647,\"msg\":\"\"}").code, INT32_MAX);
  // A boolean reads as text.
  EXPECT_EQ(ParseReply("{\"code\":0,\"msg\":true,\"version\":false}").version, "false");
}

}  // namespace
