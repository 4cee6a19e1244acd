// The worker side of the window contract: message numbers, the progress
// callback, the dots animation thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/contract.h"
#include "platform/simctl.h"

namespace {

class Contract : public ::testing::Test {
 protected:
  void SetUp() override {
    simwin::Reset();
    g_hNotifyWnd = simwin::CreateTestWindow("main");
    g_hProgressDlg = simwin::CreateTestWindow("progress");
    g_bAnimStop = 0;
  }
  void TearDown() override {
    g_bAnimStop = 1;
    EXPECT_TRUE(simwin::WaitForThreads(5000));
    g_hNotifyWnd = nullptr;
    g_hProgressDlg = nullptr;
  }
  std::vector<WPARAM> Percents() {
    std::vector<WPARAM> out;
    for (const auto& m : simwin::SentMessages(g_hNotifyWnd)) {
      EXPECT_EQ(m.msg, (UINT)WM_DOWNLOAD_PROGRESS);
      EXPECT_EQ(m.lParam, 0);
      out.push_back(m.wParam);
    }
    return out;
  }
};

TEST(ContractMessages, NumbersAreFixed) {
  EXPECT_EQ(WM_INSTALL_DONE, 1135);
  EXPECT_EQ(WM_INSTALL_STARTED, 1138);
  EXPECT_EQ(WM_INSTALL_FAILED, 1140);
  EXPECT_EQ(WM_SHOW_FAIL_REASON, 1144);
  EXPECT_EQ(WM_DOWNLOAD_PROGRESS, 3023);
  EXPECT_EQ(INSTALL_RESULT_NOT_INVOICING_PC, 1);
  EXPECT_EQ(INSTALL_RESULT_CONTROL_FAILED, 2);
  EXPECT_EQ(INSTALL_RESULT_NETWORK_ERROR, 3);
  EXPECT_EQ(INSTALL_RESULT_AUTH_FAILED, 4);
}

TEST_F(Contract, ProgressSendsTruncatedPercent) {
  EXPECT_EQ(ReportDownloadProgress(0, 1000), 0);
  EXPECT_EQ(ReportDownloadProgress(370, 1000), 0);
  EXPECT_EQ(ReportDownloadProgress(1000, 1000), 0);
  ReportDownloadProgress(2, 3);            // 66.67 -> 66
  ReportDownloadProgress(10240, 1048576);  // 0.98 -> 0
  ReportDownloadProgress(2147483000, 2147483647);
  EXPECT_EQ(Percents(), (std::vector<WPARAM>{0, 37, 100, 66, 0, 99}));
}

TEST_F(Contract, ProgressWithoutTotalSendsZero) {
  ReportDownloadProgress(0, 0);
  ReportDownloadProgress(500, 0);
  ReportDownloadProgress(500, -1);
  EXPECT_EQ(Percents(), (std::vector<WPARAM>{0, 0, 0}));
}

TEST_F(Contract, ProgressGoesToTheNotifyWindowOnly) {
  HWND other = simwin::CreateTestWindow("other");
  g_hMainDlg = other;
  ReportDownloadProgress(1, 2);
  EXPECT_TRUE(simwin::SentMessages(other).empty());
  ASSERT_EQ(simwin::SentMessages().size(), 1u);
  EXPECT_EQ(simwin::SentMessages()[0].hwnd, g_hNotifyWnd);
  g_hMainDlg = nullptr;
}

TEST_F(Contract, DotsCycleUntilStopped) {
  HWND text = simwin::AddDlgItem(g_hProgressDlg, IDC_PROGRESS_PERCENT);
  HANDLE h = CreateThread(nullptr, 0, DotsAnimationProc, nullptr, 0, nullptr);
  ASSERT_NE(h, nullptr);
  // Let it show at least seven steps, then stop it.
  for (int i = 0; i < 5000 && simwin::TextSetCount(text) < 7; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  g_bAnimStop = 1;
  ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  DWORD code = 1234;
  ASSERT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 0u);
  std::vector<std::string> texts = simwin::WindowTexts(text);
  ASSERT_GE(texts.size(), 7u);
  const char* cycle[3] = {".", "..", "..."};
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(texts[i], cycle[i % 3]) << i;
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Contract, DotsLookAtTheFlagRightAfterEachText) {
  HWND text = simwin::AddDlgItem(g_hProgressDlg, IDC_PROGRESS_PERCENT);
  // The stop comes with the fifth text, before the thread looks at the flag:
  // it ends there, with no further text and no further pause.
  std::atomic<DWORD> stoppedAt{0};
  simwin::OnTextSet(text, [&](const std::string&) {
    if (simwin::TextSetCount(text) == 5) {
      stoppedAt = GetTickCount();
      g_bAnimStop = 1;
    }
  });
  HANDLE h = CreateThread(nullptr, 0, DotsAnimationProc, nullptr, 0, nullptr);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(simwin::TextSetCount(text), 5u);
  EXPECT_EQ(GetTickCount(), stoppedAt.load());
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Contract, DotsAlreadyStoppedShowOneDot) {
  HWND text = simwin::AddDlgItem(g_hProgressDlg, IDC_PROGRESS_PERCENT);
  g_bAnimStop = 1;
  SYSTEMTIME t0 = simwin::LocalTime();
  EXPECT_EQ(DotsAnimationProc(nullptr), 0u);
  SYSTEMTIME t1 = simwin::LocalTime();
  EXPECT_EQ(simwin::WindowTexts(text), std::vector<std::string>{"."});
  // No pause: the flag is seen before the first Sleep.
  EXPECT_EQ(t0.wSecond, t1.wSecond);
  EXPECT_EQ(t0.wMilliseconds, t1.wMilliseconds);
}

TEST_F(Contract, DotsWithoutTheControlEndAtOnce) {
  simwin::AddDlgItem(g_hProgressDlg, IDC_PROGRESS_BAR);
  HANDLE h = CreateThread(nullptr, 0, DotsAnimationProc, nullptr, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, static_cast<DWORD>(-1));
  CloseHandle(h);
  // No progress dialog at all.
  g_hProgressDlg = nullptr;
  EXPECT_EQ(DotsAnimationProc(nullptr), static_cast<DWORD>(-1));
}

}  // namespace
