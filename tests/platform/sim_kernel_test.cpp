#include <gtest/gtest.h>

#include <thread>

#include "platform/simctl.h"

namespace {

class SimKernel : public ::testing::Test {
 protected:
  void SetUp() override { simwin::Reset(); }
};

TEST_F(SimKernel, ClockFollowsSetDateAndSleep) {
  simwin::SetLocalTime(2024, 2, 28, 23, 59, 59);
  Sleep(1000);
  SYSTEMTIME st;
  GetLocalTime(&st);
  EXPECT_EQ(st.wYear, 2024);
  EXPECT_EQ(st.wMonth, 2);
  EXPECT_EQ(st.wDay, 29);
  EXPECT_EQ(st.wHour, 0);
  EXPECT_EQ(st.wSecond, 0);
  simwin::SetLocalTime(2023, 12, 31, 23, 59, 59);
  Sleep(1500);
  GetLocalTime(&st);
  EXPECT_EQ(st.wYear, 2024);
  EXPECT_EQ(st.wMonth, 1);
  EXPECT_EQ(st.wDay, 1);
  EXPECT_EQ(st.wMilliseconds, 500);
}

TEST_F(SimKernel, NamedMutexIsSharedAndReportsExisting) {
  HANDLE a = CreateMutexA(nullptr, FALSE, "one");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  HANDLE b = CreateMutexA(nullptr, FALSE, "one");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(a, INFINITE), WAIT_OBJECT_0);
  DWORD other = 0;
  std::thread t([&] { other = WaitForSingleObject(b, 10); });
  t.join();
  EXPECT_EQ(other, WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(a));
  EXPECT_FALSE(ReleaseMutex(a));
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_TRUE(CloseHandle(b));
  EXPECT_FALSE(CloseHandle(b));
  EXPECT_EQ(simwin::OpenHandleCount(), 0u);
}

TEST_F(SimKernel, MutexOfAThreadThatEndedIsAbandonedToTheNextWaiter) {
  HANDLE m = CreateMutexA(nullptr, FALSE, "held");
  ASSERT_NE(m, nullptr);
  std::thread holder([m] { EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0); });
  holder.join();  // ends without ReleaseMutex
  // The next waiter owns it, told so once; a wait that does not get it stays
  // a time-out.
  DWORD first = WAIT_FAILED, third = WAIT_FAILED;
  std::thread next([&] {
    first = WaitForSingleObject(m, 1000);
    if (first == WAIT_ABANDONED) {
      EXPECT_TRUE(ReleaseMutex(m));
    }
  });
  next.join();
  EXPECT_EQ(first, WAIT_ABANDONED);
  EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_OBJECT_0);
  std::thread other([&] { third = WaitForSingleObject(m, 10); });
  other.join();
  EXPECT_EQ(third, WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(m));
  // Taken at creation by a thread that ends: abandoned as well.
  std::thread creator([] { CreateMutexA(nullptr, TRUE, "born-held"); });
  creator.join();
  HANDLE b = CreateMutexA(nullptr, FALSE, "born-held");
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(b, 1000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(b));
}

TEST_F(SimKernel, FaultsHitTheChosenCalls) {
  simwin::FailCall("CoCreateGuid", (DWORD)E_FAIL, 1, 1);
  GUID g;
  EXPECT_EQ(CoCreateGuid(&g), S_OK);
  EXPECT_EQ(CoCreateGuid(&g), E_FAIL);
  EXPECT_EQ(CoCreateGuid(&g), S_OK);
  simwin::FailAlways("CreateMutexA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "x"), nullptr);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "x"), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(SimKernel, GuidsRepeatForTheSameSeed) {
  GUID a, b;
  simwin::SeedGuids(7);
  CoCreateGuid(&a);
  simwin::SeedGuids(7);
  CoCreateGuid(&b);
  EXPECT_EQ(0, memcmp(&a, &b, sizeof a));
  CoCreateGuid(&b);
  EXPECT_NE(0, memcmp(&a, &b, sizeof a));
}

TEST_F(SimKernel, ThreadIdsDifferPerThread) {
  DWORD mine = GetCurrentThreadId();
  DWORD theirs = 0;
  std::thread t([&] { theirs = GetCurrentThreadId(); });
  t.join();
  EXPECT_NE(mine, theirs);
  EXPECT_EQ(mine, GetCurrentThreadId());
}

}  // namespace
