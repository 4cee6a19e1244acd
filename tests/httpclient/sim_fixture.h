// Fixture of the simulated-WinInet suites: a fresh simulated machine per test,
// a peer at the usual test host, and leak checks at the end.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expect_raise.h"
#include "httpclient/httpclient.h"
#include "platform/simctl.h"

namespace httptest {

const DWORD kFlags = Corvu::HTTPCLIENT_DEFAULT_REQUEST_FLAGS;

class SimHttp : public ::testing::Test {
 protected:
  void SetUp() override {
    simwin::Reset();
    simwin::HttpReply ok;
    ok.body = "{\"code\":0}";
    simwin::ServeAt("h", 80, ok);
    simwin::ServeAt("h", 443, ok);
  }
  void TearDown() override {
    if (checkLeaks) {
      EXPECT_TRUE(simwin::OpenInternetHandles().empty()) << "Internet handles left open";
    }
  }
  static simwin::HttpRequestRecord Last() {
    auto all = simwin::HttpRequests();
    if (all.empty()) {
      ADD_FAILURE() << "no request made";
      return simwin::HttpRequestRecord();
    }
    return all.back();
  }
  static std::vector<std::string> ClosedKinds() {
    std::vector<std::string> kinds;
    for (const auto& h : simwin::ClosedInternetHandles()) kinds.push_back(h.kind);
    return kinds;
  }
  static std::string ReadAll(Corvu::CHttpResponse& r, DWORD chunk = 4096) {
    std::string out;
    std::vector<BYTE> buf(chunk);
    for (int i = 0; i < 100000; ++i) {
      DWORD n = r.ReadContent(buf.data(), chunk);
      if (n == 0) break;
      out.append(reinterpret_cast<const char*>(buf.data()), n);
    }
    return out;
  }
  // Runs ProceedPost until the response, counting the steps (bounded).
  static Corvu::CHttpResponse* RunPost(Corvu::CHttpClient& c, int* steps = nullptr) {
    for (int i = 1; i < 100000; ++i) {
      Corvu::CHttpResponse* r = c.ProceedPost();
      if (r != nullptr) {
        if (steps) *steps = i;
        return r;
      }
    }
    ADD_FAILURE() << "POST never finished";
    return nullptr;
  }
  bool checkLeaks = true;
};

}  // namespace httptest
