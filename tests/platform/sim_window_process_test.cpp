// The simulated windows, threads and processes the worker runs against.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "platform/simctl.h"

namespace {

class SimFlowPlatform : public ::testing::Test {
 protected:
  void SetUp() override { simwin::Reset(); }
  void TearDown() override { EXPECT_TRUE(simwin::WaitForThreads(5000)); }
};

TEST_F(SimFlowPlatform, SendMessageDeliversInOrderAndRecords) {
  std::vector<UINT> seen;
  HWND a = simwin::CreateTestWindow("a", [&](HWND h, UINT m, WPARAM w, LPARAM) -> LRESULT {
    seen.push_back(m);
    EXPECT_TRUE(IsWindow(h));
    return static_cast<LRESULT>(w + 1);
  });
  HWND b = simwin::CreateTestWindow("b");
  EXPECT_EQ(SendMessageA(a, 1135, 7, 0), 8);
  EXPECT_EQ(SendMessageA(b, 1140, 0, 0), 0);
  EXPECT_EQ(SendMessageA(a, 1144, 0, 5), 1);
  EXPECT_EQ(seen, (std::vector<UINT>{1135, 1144}));
  auto all = simwin::SentMessages();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].hwnd, a);
  EXPECT_EQ(all[1].hwnd, b);
  EXPECT_EQ(all[2].lParam, 5);
  EXPECT_LT(all[0].seq, all[1].seq);
  EXPECT_LT(all[1].seq, all[2].seq);
  EXPECT_EQ(all[0].threadId, GetCurrentThreadId());
  EXPECT_EQ(simwin::SentMessages(a).size(), 2u);
}

TEST_F(SimFlowPlatform, SendMessageToNoWindowFails) {
  SetLastError(0);
  EXPECT_EQ(SendMessageA(nullptr, 1135, 0, 0), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
  ASSERT_EQ(simwin::SentMessages().size(), 1u);
  EXPECT_FALSE(simwin::SentMessages()[0].delivered);
}

TEST_F(SimFlowPlatform, HandlerMaySendFromAnotherThread) {
  std::atomic<int> calls{0};
  HWND w = simwin::CreateTestWindow("w", [&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
    ++calls;
    return 0;
  });
  auto proc = [](LPVOID p) -> DWORD {
    for (int i = 0; i < 100; ++i) SendMessageA(static_cast<HWND>(p), 3023, i, 0);
    return 0;
  };
  HANDLE t1 = CreateThread(nullptr, 0, proc, w, 0, nullptr);
  HANDLE t2 = CreateThread(nullptr, 0, proc, w, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(t1, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(t2, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(calls.load(), 200);
  auto all = simwin::SentMessages(w);
  ASSERT_EQ(all.size(), 200u);
  for (size_t i = 1; i < all.size(); ++i) EXPECT_LT(all[i - 1].seq, all[i].seq);
  CloseHandle(t1);
  CloseHandle(t2);
}

TEST_F(SimFlowPlatform, ControlsKeepTextAndProgress) {
  HWND dlg = simwin::CreateTestWindow("dlg");
  HWND bar = simwin::AddDlgItem(dlg, 1004);
  HWND text = simwin::AddDlgItem(dlg, 1031);
  EXPECT_EQ(GetDlgItem(dlg, 1004), bar);
  EXPECT_EQ(GetDlgItem(dlg, 1031), text);
  SetLastError(0);
  EXPECT_EQ(GetDlgItem(dlg, 9999), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_CONTROL_ID_NOT_FOUND);
  EXPECT_EQ(GetDlgItem(nullptr, 1004), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);

  EXPECT_TRUE(SetWindowTextA(text, "37%"));
  EXPECT_TRUE(SetWindowTextA(text, "."));
  char buf[8];
  EXPECT_EQ(GetWindowTextA(text, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, ".");
  EXPECT_EQ(simwin::WindowTexts(text), (std::vector<std::string>{"37%", "."}));

  EXPECT_EQ(SendMessageA(bar, PBM_SETPOS, 40, 0), 0);
  EXPECT_EQ(SendMessageA(bar, PBM_SETSTEP, 1000, 1), 10);
  EXPECT_EQ(SendMessageA(bar, PBM_STEPIT, 0, 1), 40);  // 1040 wraps past 100
  EXPECT_EQ(simwin::ProgressPos(bar), 40);
  EXPECT_EQ(SendMessageA(bar, PBM_SETPOS, 0, 0), 40);
  EXPECT_EQ(simwin::ProgressPos(bar), 0);
  EXPECT_EQ(simwin::ProgressStep(bar), 1000);
  EXPECT_EQ(SendMessageA(bar, PBM_SETPOS, 250, 0), 0);
  EXPECT_EQ(simwin::ProgressPos(bar), 100);
  EXPECT_EQ(simwin::SentMessages(bar).size(), 5u);

  simwin::DestroyTestWindow(dlg);
  EXPECT_FALSE(IsWindow(bar));
  EXPECT_FALSE(SetWindowTextA(text, "x"));
}

TEST_F(SimFlowPlatform, TextRecordIsCapped) {
  HWND dlg = simwin::CreateTestWindow("dlg");
  HWND text = simwin::AddDlgItem(dlg, 1);
  for (size_t i = 0; i < simwin::kMaxRecordedTexts + 5; ++i) SetWindowTextA(text, "x");
  EXPECT_EQ(simwin::WindowTexts(text).size(), simwin::kMaxRecordedTexts);
  EXPECT_EQ(simwin::TextSetCount(text), simwin::kMaxRecordedTexts + 5);
}

TEST_F(SimFlowPlatform, ThreadsRunAndReportExitCodes) {
  static std::atomic<bool> release{false};
  static DWORD seenId = 0;
  release = false;
  auto proc = [](LPVOID p) -> DWORD {
    seenId = GetCurrentThreadId();
    while (!release) Sleep(1);
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(p));
  };
  DWORD id = 0;
  HANDLE h = CreateThread(nullptr, 0, proc, reinterpret_cast<LPVOID>(uintptr_t{42}), 0, &id);
  ASSERT_NE(h, nullptr);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(simwin::OpenHandleCount("thread"), 1u);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(h, 5), WAIT_TIMEOUT);
  EXPECT_EQ(simwin::RunningThreadCount(), 1u);
  release = true;
  EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(seenId, id);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(simwin::OpenHandleCount("thread"), 0u);
  EXPECT_FALSE(GetExitCodeThread(h, &code));
}

TEST_F(SimFlowPlatform, ThreadOutlivesItsClosedHandle) {
  static std::atomic<bool> release{false};
  static std::atomic<bool> finished{false};
  release = false;
  finished = false;
  HANDLE h = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        while (!release) Sleep(1);
        finished = true;
        return 0;
      },
      nullptr, 0, nullptr);
  EXPECT_TRUE(CloseHandle(h));
  release = true;
  EXPECT_TRUE(simwin::WaitForThreads(5000));
  EXPECT_TRUE(finished);
}

TEST_F(SimFlowPlatform, CreateThreadCanFail) {
  simwin::FailCall("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(CreateThread(
                nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(simwin::RunningThreadCount(), 0u);
}

TEST_F(SimFlowPlatform, ProcessesAreRecordedWithChosenExitCode) {
  simwin::SetProcessExitCode(3);
  STARTUPINFOA si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessA("C:\\Temp\\a.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &si, &pi));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, 3u);
  EXPECT_FALSE(GetExitCodeProcess(pi.hThread, &code));
  EXPECT_EQ(simwin::OpenHandleCount("process"), 1u);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  EXPECT_EQ(simwin::OpenHandleCount(), 0u);

  simwin::OnProcessRun(
      [](const simwin::ProcessLaunch& l) -> DWORD { return l.applicationName.size(); });
  si.dwFlags = 1;
  char cmd[] = "b.exe /S";
  ASSERT_TRUE(
      CreateProcessA(nullptr, cmd, nullptr, nullptr, TRUE, 0x10, nullptr, "C:\\", &si, &pi));
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, 0u);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);

  auto l = simwin::ProcessLaunches();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_TRUE(l[0].hasApplicationName);
  EXPECT_EQ(l[0].applicationName, "C:\\Temp\\a.exe");
  EXPECT_FALSE(l[0].hasCommandLine);
  EXPECT_EQ(l[0].startupInfoCb, sizeof(STARTUPINFOA));
  EXPECT_TRUE(l[0].startupInfoZeroed);
  EXPECT_TRUE(l[0].started);
  EXPECT_FALSE(l[1].hasApplicationName);
  EXPECT_EQ(l[1].commandLine, "b.exe /S");
  EXPECT_EQ(l[1].inheritHandles, TRUE);
  EXPECT_EQ(l[1].creationFlags, 0x10u);
  EXPECT_EQ(l[1].currentDirectory, "C:\\");
  EXPECT_FALSE(l[1].startupInfoZeroed);
}

TEST_F(SimFlowPlatform, CreateProcessCanFail) {
  simwin::FailCall("CreateProcessA", ERROR_BAD_EXE_FORMAT, 1, 1);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(
      CreateProcessA("C:\\a.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  pi = PROCESS_INFORMATION{};
  EXPECT_FALSE(
      CreateProcessA("C:\\b.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_EXE_FORMAT);
  EXPECT_EQ(pi.hProcess, nullptr);
  auto l = simwin::ProcessLaunches();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_TRUE(l[0].started);
  EXPECT_FALSE(l[1].started);
  EXPECT_EQ(simwin::OpenHandleCount(), 0u);
}

TEST_F(SimFlowPlatform, WinExecIsRecorded) {
  EXPECT_GT(WinExec("tskill a.exe", SW_HIDE), 31u);
  simwin::FailCall("WinExec", ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(WinExec("tskill b.exe", SW_SHOW), (UINT)ERROR_FILE_NOT_FOUND);
  auto c = simwin::WinExecCalls();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0].cmdLine, "tskill a.exe");
  EXPECT_EQ(c[0].cmdShow, (UINT)SW_HIDE);
  EXPECT_EQ(c[1].cmdShow, (UINT)SW_SHOW);
}

TEST_F(SimFlowPlatform, SleepOnOtherThreadsTakesRealTime) {
  HANDLE h = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        for (int i = 0; i < 20; ++i) Sleep(1000);
        return 0;
      },
      nullptr, 0, nullptr);
  auto t0 = std::chrono::steady_clock::now();
  WaitForSingleObject(h, INFINITE);
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_GE(ms, 15);
  EXPECT_LT(ms, 5000);
  CloseHandle(h);
}

}  // namespace
