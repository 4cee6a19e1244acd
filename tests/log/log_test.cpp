// Log lines, levels, the day file and its locking, on the simulated platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/moduledir.h"
#include "config/sysconfig.h"
#include "log/log.h"
#include "tests/config/sim_fixture.h"

namespace {

class Log : public pavtest::SimMachine {
 protected:
  void SetUp() override {
    SimMachine::SetUp();
    ResetLogState();
    simwin::SetModulePath("C:\\App\\pavonix.exe");
    simwin::SetLocalTime(2026, 3, 15, 8, 9, 10);
    MakeDirs("C:\\App\\log");
  }
  void TearDown() override {
    ResetLogState();
    SimMachine::TearDown();
  }
  static void ResetLogState() {
    g_nLogLevel = 0;
    g_hLogMutex = NULL;
    g_szLogModule[0] = '\0';
    g_szLogPath[0] = '\0';
  }
  std::string Day() const { return ReadHostFile("C:\\App\\log\\20260315-pavonix.log"); }
  static std::string Tid() { return std::to_string(GetCurrentThreadId()); }
};

TEST_F(Log, PreparationFillsTheVariables) {
  PrepareLog(GetModuleDir(), 4);
  EXPECT_EQ(g_nLogLevel, 4);
  EXPECT_NE(g_hLogMutex, nullptr);
  EXPECT_STREQ(g_szLogModule, "PAVONIX");
  EXPECT_STREQ(g_szLogPath, "C:\\App\\log\\20260315-pavonix.log");
  // The mutex is named and made once.
  HANDLE first = g_hLogMutex;
  PrepareLog(GetModuleDir(), 1);
  EXPECT_EQ(g_hLogMutex, first);
  HANDLE other = CreateMutexA(nullptr, FALSE, "nb_app_log_mutex");
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  CloseHandle(other);
  // No folder is made by the preparation.
  EXPECT_FALSE(HostExists("C:\\App\\log\\20260315-pavonix.log"));
}

TEST_F(Log, LinesByteForByteWithCrLf) {
  PrepareLog(GetModuleDir(), 4);
  LogError("connect failed: %d", 12029);
  simwin::SetLocalTime(2026, 3, 15, 23, 59, 59);
  LogDebug("url=%s", "http://127.0.0.1:28000/api/getVersion");
  EXPECT_EQ(Day(), "[20260315 08:09:10]  [ERROR][PAVONIX](" + Tid() +
                       "): connect failed: 12029\r\n"
                       "[20260315 23:59:59]  [DEBUG][PAVONIX](" +
                       Tid() + "): url=http://127.0.0.1:28000/api/getVersion\r\n");
}

TEST_F(Log, TheStartDaysFileKeepsLinesAfterMidnight) {
  PrepareLog(GetModuleDir(), 1);
  simwin::SetLocalTime(2026, 3, 16, 0, 0, 1);
  LogError("late");
  EXPECT_EQ(Day(), "[20260316 00:00:01]  [ERROR][PAVONIX](" + Tid() + "): late\r\n");
  EXPECT_FALSE(HostExists("C:\\App\\log\\20260316-pavonix.log"));
}

TEST_F(Log, LevelsGateTheLines) {
  PrepareLog(GetModuleDir(), 0);
  LogError("e0");
  LogDebug("d0");
  EXPECT_FALSE(HostExists("C:\\App\\log\\20260315-pavonix.log"));

  PrepareLog(GetModuleDir(), 1);
  LogError("e1");
  LogDebug("d1");
  PrepareLog(GetModuleDir(), 3);
  LogDebug("d3");
  PrepareLog(GetModuleDir(), 4);
  LogError("e4");
  LogDebug("d4");
  std::string day = Day();
  EXPECT_THAT(day, ::testing::HasSubstr("[ERROR][PAVONIX](" + Tid() + "): e1\r\n"));
  EXPECT_THAT(day, ::testing::HasSubstr("[ERROR][PAVONIX](" + Tid() + "): e4\r\n"));
  EXPECT_THAT(day, ::testing::HasSubstr("[DEBUG][PAVONIX](" + Tid() + "): d4\r\n"));
  EXPECT_THAT(day, ::testing::Not(::testing::HasSubstr("d1")));
  EXPECT_THAT(day, ::testing::Not(::testing::HasSubstr("d3")));
  EXPECT_THAT(day, ::testing::Not(::testing::HasSubstr("0\r\n")));
}

TEST_F(Log, NothingBeforePreparation) {
  LogError("early");
  EXPECT_TRUE(std::filesystem::is_empty(Host("C:\\App\\log")));
}

TEST_F(Log, PercentSignsThroughStringArgumentAreWrittenUnchanged) {
  PrepareLog(GetModuleDir(), 4);
  LogDebug("%s", "100% done %s %d %n");
  EXPECT_THAT(Day(), ::testing::EndsWith("): 100% done %s %d %n\r\n"));
}

TEST_F(Log, MissingLogFolderIsSilent) {
  std::filesystem::remove_all(Host("C:\\App\\log"));
  PrepareLog(GetModuleDir(), 4);
  LogError("lost");
  EXPECT_FALSE(HostExists("C:\\App\\log"));
  // A read-only folder loses lines the same way.
  MakeDirs("C:\\App\\log");
  simwin::SetReadOnly("C:\\App\\log");
  LogError("lost too");
  EXPECT_FALSE(HostExists("C:\\App\\log\\20260315-pavonix.log"));
}

TEST_F(Log, OverlongFormatWritesNothing) {
  PrepareLog(GetModuleDir(), 1);
  std::string longest(LOG_MAX_FORMAT, 'f');
  std::string tooLong(LOG_MAX_FORMAT + 1, 'f');
  LogError(tooLong.c_str(), 0);  // a format text, as a careless caller would pass it
  EXPECT_FALSE(HostExists("C:\\App\\log\\20260315-pavonix.log"));
  LogError(longest.c_str(), 0);
  EXPECT_EQ(Day().size(),
            21 + std::string("[ERROR][PAVONIX](" + Tid() + "): ").size() + LOG_MAX_FORMAT + 2);
}

TEST_F(Log, MessageBeyondTheLineBufferIsCutAtItsEnd) {
  PrepareLog(GetModuleDir(), 1);
  std::string big(100000, 'm');
  big += "END";
  LogError("%s", big.c_str());
  std::string day = Day();
  // Time stamp, tag and message together fill the buffer less its zero byte.
  ASSERT_EQ(day.size(), static_cast<size_t>(LOG_LINE_BUFFER - 1) + 2);
  EXPECT_EQ(day.substr(0, 21), "[20260315 08:09:10]  ");
  EXPECT_EQ(day.substr(day.size() - 4), "mm\r\n");
  // The writer's state is intact: the next line is whole.
  LogError("after");
  EXPECT_THAT(Day(), ::testing::EndsWith("): after\r\n"));
}

TEST_F(Log, TooLongProgramFolderMeansNoLogging) {
  // Folder + "\log\" + date + "-pavonix.log" is the folder plus 25 bytes.
  std::string fits = "C:\\" + std::string(227, 'p');  // 230 + 25 = 255
  std::string tooLong = fits + "q";
  MakeDirs(fits + "\\log");
  PrepareLog(fits, 1);
  EXPECT_EQ(std::string(g_szLogPath), fits + "\\log\\20260315-pavonix.log");
  LogError("fits");
  EXPECT_TRUE(HostExists(fits + "\\log\\20260315-pavonix.log"));

  MakeDirs(tooLong + "\\log");
  PrepareLog(tooLong, 1);
  EXPECT_STREQ(g_szLogPath, "");
  LogError("no room");
  PrepareLog(std::string(5000, 'x'), 1);
  EXPECT_STREQ(g_szLogPath, "");
  LogError("no room");
  EXPECT_TRUE(std::filesystem::is_empty(Host(tooLong + "\\log")));
  // An unknown program folder logs nothing rather than into "\log".
  PrepareLog("", 1);
  EXPECT_STREQ(g_szLogPath, "");
}

// Every line of several threads arrives whole; the locking itself is shown
// by the mutex tests below (the simulated file appends a line at once), and
// the thread sanitizer watches the line path here.
TEST_F(Log, LinesFromSeveralThreadsAreAllWrittenWhole) {
  PrepareLog(GetModuleDir(), 4);
  const int kThreads = 4, kLines = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string payload(300 + 50 * t, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        if (i % 2)
          LogError("t%d #%d %s", t, i, payload.c_str());
        else
          LogDebug("t%d #%d %s", t, i, payload.c_str());
      }
    });
  }
  for (auto& th : threads) th.join();
  std::string day = Day();
  const std::regex line(
      R"(\[20260315 08:09:10\]  \[(ERROR|DEBUG)\]\[PAVONIX\]\(\d+\): t(\d) #(\d+) ([a-d]+)\r)");
  std::istringstream in(day);
  std::string l;
  std::vector<int> count(kThreads, 0);
  int total = 0;
  while (std::getline(in, l)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, line)) << l.substr(0, 80);
    int t = std::stoi(m[2]);
    EXPECT_EQ(m[4].str(), std::string(300 + 50 * t, static_cast<char>('a' + t)));
    ++count[t];
    ++total;
  }
  EXPECT_EQ(total, kThreads * kLines);
  for (int c : count) EXPECT_EQ(c, kLines);
}

TEST_F(Log, LineIsWrittenWhenTheHolderDiedWithoutReleasing) {
  PrepareLog(GetModuleDir(), 1);
  std::thread holder([] { ASSERT_EQ(WaitForSingleObject(g_hLogMutex, INFINITE), WAIT_OBJECT_0); });
  holder.join();
  // The next line gets the abandoned mutex, writes, and releases it.
  std::promise<void> done;
  std::thread writer([&done] {
    LogError("after the holder died");
    done.set_value();
  });
  bool wrote = done.get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  EXPECT_TRUE(wrote) << "the line waits for a holder that is gone";
  if (!wrote) {
    writer.detach();
    return;
  }
  writer.join();
  EXPECT_NE(Day().find("after the holder died\r\n"), std::string::npos);
  std::thread next([] { EXPECT_EQ(WaitForSingleObject(g_hLogMutex, 1000), WAIT_OBJECT_0); });
  next.join();
}

TEST_F(Log, MutexIsHeldAroundTheLineAndReleasedAfter) {
  PrepareLog(GetModuleDir(), 1);
  // Held by another thread: the line waits for it.
  ASSERT_EQ(WaitForSingleObject(g_hLogMutex, INFINITE), WAIT_OBJECT_0);
  std::thread writer([] { LogError("waited"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(HostExists("C:\\App\\log\\20260315-pavonix.log"));
  ReleaseMutex(g_hLogMutex);
  writer.join();
  EXPECT_THAT(Day(), ::testing::HasSubstr("waited"));
  // After the line the mutex is free for another thread.
  DWORD got = WAIT_FAILED;
  std::thread other([&] {
    got = WaitForSingleObject(g_hLogMutex, 0);
    if (got == WAIT_OBJECT_0) ReleaseMutex(g_hLogMutex);
  });
  other.join();
  EXPECT_EQ(got, WAIT_OBJECT_0);
}

TEST_F(Log, WithoutAMutexLinesAreStillWritten) {
  simwin::FailCall("CreateMutexA", ERROR_ACCESS_DENIED);
  PrepareLog(GetModuleDir(), 1);
  EXPECT_EQ(g_hLogMutex, nullptr);
  LogError("unlocked");
  EXPECT_THAT(Day(), ::testing::HasSubstr("unlocked\r\n"));
}

TEST_F(Log, ACodePageOtherThanGbkIsNamedAtDebug) {
  PrepareLog(GetModuleDir(), 4);
  LogAnsiCodePage();
  EXPECT_FALSE(HostExists("C:\\App\\log\\20260315-pavonix.log"));
  simwin::SetActiveCodePage(65001);  // Windows' "Beta: UTF-8" option
  LogAnsiCodePage();
  EXPECT_EQ(Day(), "[20260315 08:09:10]  [DEBUG][PAVONIX](" + Tid() +
                       "): ANSI code page 65001, not 936 (GBK): page texts show garbled, GBK "
                       "folder probes miss\r\n");
}

TEST_F(Log, DefaultConfigurationWritesNothingButStillPurges) {
  ResetSysConfigForTests();
  CPavonixSysConfig* cfg = CPavonixSysConfig::GetInstance();
  WriteHostFile("C:\\App\\log\\20260301-pavonix.log");
  EXPECT_EQ(PurgeExpiredLogs(cfg->m_nLogKeepDays), 1);
  PrepareLog(GetModuleDir(), cfg->m_nLogLevel);
  LogError("nothing");
  LogDebug("nothing");
  EXPECT_TRUE(std::filesystem::is_empty(Host("C:\\App\\log")));
  ResetSysConfigForTests();
}

TEST_F(Log, LinesGoOnlyIntoARegularFileOfTheRealLogFolder) {
  const std::string kVictim = "C:\\Windows\\System32\\drivers\\etc\\hosts";
  struct Case {
    const char* what;
    bool folderIsLink;
    bool fileIsLink;
    bool written;
  };
  const std::vector<Case> cases = {
      {"regular day file", false, false, true},
      {"log folder is a junction", true, false, false},
      {"day file is a link", false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Host("C:\\App\\log"));
    std::filesystem::remove_all(Host("C:\\Windows"));
    WriteHostFile(kVictim, "system");
    if (c.folderIsLink) {
      ASSERT_TRUE(simwin::MakeLink("C:\\App\\log", "C:\\Windows\\System32\\drivers\\etc"));
      std::filesystem::rename(Host(kVictim),
                              Host("C:\\Windows\\System32\\drivers\\etc\\20260315-pavonix.log"));
    } else {
      MakeDirs("C:\\App\\log");
    }
    if (c.fileIsLink) {
      ASSERT_TRUE(simwin::MakeLink("C:\\App\\log\\20260315-pavonix.log", kVictim));
    }
    PrepareLog(GetModuleDir(), 1);
    LogError("line");
    if (c.folderIsLink) {
      EXPECT_EQ(ReadHostFile("C:\\Windows\\System32\\drivers\\etc\\20260315-pavonix.log"),
                "system");
    } else {
      EXPECT_EQ(ReadHostFile(kVictim), "system");
      EXPECT_EQ(Day().find("line") != std::string::npos, c.written);
    }
  }
}

}  // namespace
