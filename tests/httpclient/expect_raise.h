// Runs a call that must raise httpclientexceptionA and hands the exception
// back for its code, system error and message to be checked.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "httpclient/httpclient.h"

namespace httptest {

struct Raised {
  bool raised = false;
  DWORD code = 0xFFFFFFFFu;
  DWORD system = 0xFFFFFFFFu;
  std::string message;
};

template <class F>
Raised Raise(F f) {
  Raised r;
  try {
    f();
  } catch (const Corvu::httpclientexceptionA& e) {
    r.raised = true;
    r.code = e.ErrorCode();
    r.system = e.SystemError();
    r.message = e.ErrorMessage();
  }
  return r;
}

}  // namespace httptest

#define EXPECT_RAISES(call, code_, system_, message_)           \
  do {                                                          \
    httptest::Raised r_ = httptest::Raise([&] { call; });       \
    EXPECT_TRUE(r_.raised) << #call " did not raise";           \
    EXPECT_EQ(r_.code, static_cast<DWORD>(code_)) << #call;     \
    EXPECT_EQ(r_.system, static_cast<DWORD>(system_)) << #call; \
    EXPECT_EQ(r_.message, std::string(message_)) << #call;      \
  } while (0)
