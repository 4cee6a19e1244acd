// Signed update replies through the real WinInet and CNG, against the bundled
// update service signing on loopback, behind a proxy that changes its answers
// (tests/update/run_signed_services.py sets the environment).
#include <gtest/gtest.h>

#include <string>

#include "platform/win.h"
#include "update/httpcommtools.h"
#include "update/signedcomm.h"
#include "update/updater.h"

namespace {

std::string Env(const char* name) {
  char buf[512] = {0};
  DWORD n = GetEnvironmentVariableA(name, buf, sizeof(buf));
  return n > 0 && n < sizeof(buf) ? std::string(buf, n) : std::string();
}

// The update service's URL as the proxy serves it in the given mode.
std::string Url(const std::string& mode) {
  return Env("PAVONIX_SIGNED_BASE") + "/mode/" + mode + "//softServer/req";
}

const char kRequest[] =
    "{\"data\":{\"softList\":[{\"soft\":\"levyDesk\",\"upgrade\":\"false\",\"version\":\"V1.0\"}]},"
    "\"pid\":\"PROTOCOL_99\",\"uid\":\"0A1B2C3D-0000-4000-8000-00000000000F\"}\n";

class WinSigned : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Env("PAVONIX_SIGNED_BASE").empty())
        << "run through tests/update/run_signed_services.py";
  }
  int Post(const std::string& mode, const std::string& key, std::string* reply) {
    CHTTPCommTools plain;
    CSignedCommTools comm(&plain, key.c_str());
    comm.SetServerUrl(Url(mode).c_str(), 0);
    return comm.PostRequest(kRequest, reply);
  }
};

TEST_F(WinSigned, GoodSignatureFromTheServiceIsAccepted) {
  std::string reply;
  ASSERT_EQ(Post("pass", Env("PAVONIX_SIGNED_KEY"), &reply), 0);
  EXPECT_NE(reply.find("\"sha256\":\""), std::string::npos) << reply;
  EXPECT_NE(reply.find("signed_data.bin"), std::string::npos) << reply;
}

TEST_F(WinSigned, ChangedOrUnsignedRepliesAreRefused) {
  // "request": the proxy asks for another version, the nonce kept; the
  // service signs its genuine answer to that request.
  for (const char* mode : {"strip", "mangle", "flip", "address", "exe", "request"}) {
    std::string reply = "untouched";
    EXPECT_EQ(Post(mode, Env("PAVONIX_SIGNED_KEY"), &reply), -1) << mode;
    EXPECT_EQ(reply, "untouched") << mode;
  }
}

TEST_F(WinSigned, AnotherKeyRefusesTheServicesSignature) {
  std::string reply;
  EXPECT_EQ(Post("pass", Env("PAVONIX_OTHER_KEY"), &reply), -1);
}

TEST_F(WinSigned, EachKeyVersionTheServiceHoldsSignsForItsPrograms) {
  // The service holds versions 1 and 2: a program built with either works.
  std::string reply;
  EXPECT_EQ(Post("pass", Env("PAVONIX_SIGNED_KEY"), &reply), 0);
  EXPECT_EQ(Post("pass", Env("PAVONIX_SIGNED_KEY_V2"), &reply), 0);
  // Version 1's key naming version 2: signed with the other key.
  std::string v1 = Env("PAVONIX_SIGNED_KEY");
  EXPECT_EQ(Post("pass", "2" + v1.substr(v1.find(':')), &reply), -1);
  // A version the service does not hold: its unsigned refusal is no reply.
  EXPECT_NE(Post("pass", "3" + v1.substr(v1.find(':')), &reply), 0);
}

TEST_F(WinSigned, ReplayedReplyIsRefused) {
  // The proxy records the first answer, signed for the first nonce, and
  // sends it again for the second request.
  std::string reply;
  ASSERT_EQ(Post("replay", Env("PAVONIX_SIGNED_KEY"), &reply), 0);
  EXPECT_EQ(Post("replay", Env("PAVONIX_SIGNED_KEY"), &reply), -1);
}

TEST_F(WinSigned, PlainDoorIgnoresTheSignature) {
  CHTTPCommTools plain;
  plain.SetServerUrl(Url("mangle").c_str(), 0);
  std::string reply;
  EXPECT_EQ(plain.PostRequest(kRequest, &reply), 0);
  EXPECT_NE(reply.find("signed_data.bin"), std::string::npos);
}

TEST_F(WinSigned, WholeRunFetchesOnlyWhatASignedReplyLists) {
  EXPECT_EQ(RunProductUpdateOverHttp(Env("PAVONIX_SIGNED_KEY").c_str(), Url("pass"), "UID-1",
                                     "levyDesk", "V1.0"),
            0);
  EXPECT_EQ(RunProductUpdateOverHttp(Env("PAVONIX_SIGNED_KEY").c_str(), Url("address"), "UID-1",
                                     "levyDesk", "V1.0"),
            -1);
}

}  // namespace
