// The log and its purge on the real platform (under Wine): the day file in the
// "log" folder beside the test program, CR LF lines, Windows wildcards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/moduledir.h"
#include "log/log.h"
#include "tests/config/win_process.h"

namespace {

class WinLog : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = GetModuleDir() + "\\log";
    madeDir_ = CreateDirectoryA(dir_.c_str(), NULL) != FALSE;
    ASSERT_NE(GetFileAttributesA(dir_.c_str()), INVALID_FILE_ATTRIBUTES);
  }
  void TearDown() override {
    for (const std::string& f : made_) DeleteFileA(f.c_str());
    if (madeDir_) RemoveDirectoryA(dir_.c_str());
    g_nLogLevel = 0;
    g_szLogPath[0] = '\0';
  }
  // A file made by the test, removed afterwards.
  std::string Made(const std::string& name) {
    std::string path = dir_ + "\\" + name;
    made_.push_back(path);
    return path;
  }
  void Put(const std::string& name) {
    FILE* f = fopen(Made(name).c_str(), "wb");
    ASSERT_NE(f, nullptr) << name;
    fclose(f);
  }
  bool Has(const std::string& name) const {
    return GetFileAttributesA((dir_ + "\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  static std::string DateText(int offsetDays) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    u.QuadPart += static_cast<ULONGLONG>(static_cast<LONGLONG>(offsetDays) * 864000000000LL);
    ft.dwLowDateTime = u.LowPart;
    ft.dwHighDateTime = u.HighPart;
    FileTimeToSystemTime(&ft, &st);
    char buf[16];
    snprintf(buf, sizeof buf, "%d%02d%02d", st.wYear, st.wMonth, st.wDay);
    return buf;
  }

  std::string dir_;
  bool madeDir_ = false;
  std::vector<std::string> made_;
};

TEST_F(WinLog, DayFileBesideTheProgramWithCrLfLines) {
  std::string today = DateText(0);
  std::string path = Made(today + "-pavonix.log");
  std::string before = pavtest::ReadWholeFile(path);
  PrepareLog(GetModuleDir(), 4);
  EXPECT_EQ(std::string(g_szLogPath), path);
  LogError("wine error %d", 7);
  LogDebug("%s", "wine debug 100%");
  std::string text = pavtest::ReadWholeFile(path).substr(before.size());
  if (!before.empty()) made_.pop_back();  // the day file was there already: leave it
  const std::string tid = std::to_string(GetCurrentThreadId());
  const std::regex lines("\\[" + today + " \\d\\d:\\d\\d:\\d\\d\\]  \\[ERROR\\]\\[PAVONIX\\]\\(" +
                         tid +
                         "\\): wine error 7\r\n"
                         "\\[" +
                         today + " \\d\\d:\\d\\d:\\d\\d\\]  \\[DEBUG\\]\\[PAVONIX\\]\\(" + tid +
                         "\\): wine debug 100%\r\n");
  EXPECT_TRUE(std::regex_match(text, lines)) << text;
}

TEST_F(WinLog, ThreadsShareTheNamedMutex) {
  std::string path = Made(DateText(0) + "-pavonix.log");
  size_t before = pavtest::ReadWholeFile(path).size();
  PrepareLog(GetModuleDir(), 1);
  ASSERT_NE(g_hLogMutex, nullptr);
  HANDLE other = CreateMutexA(NULL, FALSE, "nb_app_log_mutex");
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  CloseHandle(other);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      std::string payload(2000, static_cast<char>('a' + t));
      for (int i = 0; i < 40; ++i) LogError("t%d %s", t, payload.c_str());
    });
  for (auto& th : threads) th.join();
  std::istringstream in(pavtest::ReadWholeFile(path).substr(before));
  std::string line;
  int n = 0;
  const std::regex one(
      R"(\[\d{8} \d\d:\d\d:\d\d\]  \[ERROR\]\[PAVONIX\]\(\d+\): t(\d) ([a-d]{2000})\r)");
  while (std::getline(in, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, one)) << line.substr(0, 100);
    EXPECT_EQ(m[2].str(), std::string(2000, static_cast<char>('a' + std::stoi(m[1]))));
    ++n;
  }
  EXPECT_EQ(n, 160);
}

TEST_F(WinLog, PurgeWithRealWildcards) {
  const std::string yesterday = DateText(-1), before = DateText(-2);
  Put(yesterday + "-pavonix.log");
  Put(before + "-pavonix.log");
  Put("notes.log");
  Put("20200101-pavonix.logx");
  Put("20200101-pavonix.txt");
  Put("20200101-pavonix.log.bak");
  PurgeExpiredLogs(1);
  EXPECT_TRUE(Has(yesterday + "-pavonix.log"));
  EXPECT_FALSE(Has(before + "-pavonix.log"));
  EXPECT_FALSE(Has("notes.log"));
  EXPECT_TRUE(Has("20200101-pavonix.logx"));
  EXPECT_TRUE(Has("20200101-pavonix.txt"));
  EXPECT_TRUE(Has("20200101-pavonix.log.bak"));
}

TEST_F(WinLog, MissingFolderIsSilent) {
  if (madeDir_) {
    RemoveDirectoryA(dir_.c_str());
    madeDir_ = false;
  }
  PrepareLog(GetModuleDir() + "\\no-such-folder", 4);
  LogError("lost");
  EXPECT_EQ(GetFileAttributesA((GetModuleDir() + "\\no-such-folder").c_str()),
            INVALID_FILE_ATTRIBUTES);
}

}  // namespace
