// The old-log purge on the simulated file system.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "tests/config/sim_fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Purge : public pavtest::SimMachine {
 protected:
  void SetUp() override {
    SimMachine::SetUp();
    simwin::SetModulePath("C:\\Program Files (x86)\\Pavonix\\pavonix.exe");
    MakeDirs(kLogDir);
  }
  void Put(const std::string& name) { WriteHostFile(std::string(kLogDir) + "\\" + name); }
  bool Has(const std::string& name) { return HostExists(std::string(kLogDir) + "\\" + name); }

  // Today, yesterday and the day before yesterday as log names; purges with
  // keep days 1 and reports which remain.
  void ExpectKeepsYesterday(int y, int m, int d, const std::string& today,
                            const std::string& yesterday, const std::string& before) {
    simwin::SetLocalTime(y, m, d, 7, 30, 0);
    Put(today + "-pavonix.log");
    Put(yesterday + "-pavonix.log");
    Put(before + "-pavonix.log");
    EXPECT_EQ(PurgeExpiredLogs(1), 1);
    EXPECT_TRUE(Has(today + "-pavonix.log")) << today;
    EXPECT_TRUE(Has(yesterday + "-pavonix.log")) << today << ": yesterday " << yesterday;
    EXPECT_FALSE(Has(before + "-pavonix.log")) << today << ": " << before;
  }

  static constexpr const char* kLogDir = "C:\\Program Files (x86)\\Pavonix\\log";
};

TEST_F(Purge, KeepsYesterdayDeletesTheDayBefore) {
  ExpectKeepsYesterday(2026, 3, 15, "20260315", "20260314", "20260313");
}

TEST_F(Purge, AcrossAMonthEnd) {
  ExpectKeepsYesterday(2026, 3, 1, "20260301", "20260228", "20260227");
}

TEST_F(Purge, AcrossTheLeapDay) {
  ExpectKeepsYesterday(2024, 3, 1, "20240301", "20240229", "20240228");
}

TEST_F(Purge, IntoALeapYear) {
  ExpectKeepsYesterday(2024, 1, 1, "20240101", "20231231", "20231230");
}

TEST_F(Purge, OutOfALeapYear) {
  ExpectKeepsYesterday(2025, 1, 1, "20250101", "20241231", "20241230");
}

TEST_F(Purge, SecondDayOfALeapYear) {
  ExpectKeepsYesterday(2024, 1, 2, "20240102", "20240101", "20231231");
}

TEST_F(Purge, CollectsFullPathsAndDeletesNothingItself) {
  simwin::SetLocalTime(2026, 3, 15);
  Put("20260101-pavonix.log");
  Put("20260314-pavonix.log");
  Put("20251201-pavonix.log");
  CLogCleaner cleaner;
  EXPECT_EQ(cleaner.m_nKeepDays, 2);
  cleaner.Init(1, "log");
  EXPECT_EQ(cleaner.m_strBaseDir, "C:\\Program Files (x86)\\Pavonix");
  cleaner.CollectExpired();
  EXPECT_THAT(cleaner.m_lstExpired, ElementsAre(std::string(kLogDir) + "\\20251201-pavonix.log",
                                                std::string(kLogDir) + "\\20260101-pavonix.log"));
  EXPECT_TRUE(Has("20251201-pavonix.log"));
  cleaner.DeleteExpired();
  EXPECT_THAT(cleaner.m_lstExpired, IsEmpty());
  EXPECT_FALSE(Has("20251201-pavonix.log"));
  EXPECT_TRUE(Has("20260314-pavonix.log"));
  EXPECT_EQ(simwin::OpenHandleCount("find"), 0u);
}

TEST_F(Purge, EmptySubFolderSearchesTheProgramFolder) {
  simwin::SetLocalTime(2026, 3, 15);
  WriteHostFile("C:\\Program Files (x86)\\Pavonix\\20200101-x.log");
  CLogCleaner cleaner;
  cleaner.Init(1, "");
  cleaner.CollectExpired();
  EXPECT_THAT(cleaner.m_lstExpired,
              ElementsAre("C:\\Program Files (x86)\\Pavonix\\20200101-x.log"));
}

TEST_F(Purge, UndatedLogsGoAndOtherEndingsStay) {
  simwin::SetLocalTime(2026, 3, 15);
  Put("notes.log");
  Put("-pavonix.log");
  Put("abc20260315.log");
  Put("20200101-pavonix.LOG");
  Put("20200101-pavonix.txt");
  Put("20200101-pavonix.log.bak");
  Put("20200101-pavonix.logx");
  Put("20200101");
  PurgeExpiredLogs(1);
  EXPECT_FALSE(Has("notes.log"));
  EXPECT_FALSE(Has("-pavonix.log"));
  EXPECT_FALSE(Has("abc20260315.log"));
  EXPECT_FALSE(Has("20200101-pavonix.LOG"));
  EXPECT_TRUE(Has("20200101-pavonix.txt"));
  EXPECT_TRUE(Has("20200101-pavonix.log.bak"));
  EXPECT_TRUE(Has("20200101-pavonix.logx"));
  EXPECT_TRUE(Has("20200101"));
}

TEST_F(Purge, DatePartIsTheLeadingNumberUpToTheFirstHyphen) {
  simwin::SetLocalTime(2026, 3, 15);
  Put("20260314.log");       // whole name, no hyphen: yesterday
  Put("20260314abc-x.log");  // digits then letters: yesterday
  Put(" 20260314-x.log");    // leading blank skipped as atoi does
  Put("+20260314-x.log");
  Put("20260313.log");
  PurgeExpiredLogs(1);
  EXPECT_TRUE(Has("20260314.log"));
  EXPECT_TRUE(Has("20260314abc-x.log"));
  EXPECT_TRUE(Has(" 20260314-x.log"));
  EXPECT_TRUE(Has("+20260314-x.log"));
  EXPECT_FALSE(Has("20260313.log"));
}

TEST_F(Purge, DatesThatAreNoDatesOfThisProgramAreKept) {
  simwin::SetLocalTime(2026, 3, 15);
  Put("20201599-pavonix.log");     // month 15
  Put("20209901-pavonix.log");     // month 99
  Put("99999999999-pavonix.log");  // does not fit an int
  Put("2147483648-pavonix.log");   // one past the int range
  Put("20271231-pavonix.log");     // in the future
  Put("20241300-pavonix.log");     // month 13 counts as the next year's start
  CLogCleaner cleaner;
  cleaner.Init(1, "log");
  cleaner.CollectExpired();
  EXPECT_THAT(cleaner.m_lstExpired, ElementsAre(std::string(kLogDir) + "\\20241300-pavonix.log"));
}

TEST_F(Purge, KeepDaysAreHonoured) {
  simwin::SetLocalTime(2026, 3, 15);
  Put("20260312-pavonix.log");  // age 3
  Put("20260311-pavonix.log");  // age 4
  EXPECT_EQ(PurgeExpiredLogs(3), 1);
  EXPECT_TRUE(Has("20260312-pavonix.log"));
  EXPECT_FALSE(Has("20260311-pavonix.log"));
  EXPECT_EQ(PurgeExpiredLogs(0), 1);
}

TEST_F(Purge, FailuresAreIgnored) {
  simwin::SetLocalTime(2026, 3, 15);
  Put("20200101-a.log");
  Put("20200102-b.log");
  MakeDirs(std::string(kLogDir) + "\\20200103-folder.log");
  simwin::SetReadOnly(std::string(kLogDir) + "\\20200101-a.log");
  EXPECT_EQ(PurgeExpiredLogs(1), 3);
  EXPECT_TRUE(Has("20200101-a.log"));  // left for the next start
  EXPECT_FALSE(Has("20200102-b.log"));
  EXPECT_TRUE(Has("20200103-folder.log"));
}

TEST_F(Purge, MissingFolderOrFailedSearchListsNothing) {
  std::filesystem::remove_all(Host(kLogDir));
  EXPECT_EQ(PurgeExpiredLogs(1), 0);
  MakeDirs(kLogDir);
  Put("20200101-a.log");
  simwin::FailCall("FindFirstFileA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(PurgeExpiredLogs(1), 0);
  EXPECT_TRUE(Has("20200101-a.log"));
  // A failing FindNextFileA ends the scan after the first entry.
  Put("20200102-b.log");
  simwin::FailCall("FindNextFileA", ERROR_NO_MORE_FILES);
  EXPECT_EQ(PurgeExpiredLogs(1), 1);
  EXPECT_EQ(simwin::OpenHandleCount("find"), 0u);
}

TEST_F(Purge, UnknownProgramFolderSearchesNothing) {
  simwin::FailAlways("GetModuleFileNameA", ERROR_NOT_ENOUGH_MEMORY);
  WriteHostFile("C:\\log\\20200101-other.log");
  EXPECT_EQ(PurgeExpiredLogs(1), 0);
  EXPECT_TRUE(HostExists("C:\\log\\20200101-other.log"));
}

}  // namespace

namespace {

TEST_F(Purge, ShortNameMatchesOfOtherEndingsAreLeftAlone) {
  // With 8.3 names "*.log" also finds "x.logx" (short name "X~1.LOG"):
  // only names that really end in ".log" are purged.
  simwin::SetShortNames(true);
  simwin::SetLocalTime(2026, 3, 15);
  Put("20200101-pavonix.logx");
  Put("20200101-pavonix.log.log2");
  Put("20200101-pavonix.log");
  EXPECT_EQ(PurgeExpiredLogs(1), 1);
  EXPECT_TRUE(Has("20200101-pavonix.logx"));
  EXPECT_TRUE(Has("20200101-pavonix.log.log2"));
  EXPECT_FALSE(Has("20200101-pavonix.log"));
}

}  // namespace

namespace {

// What the "log" folder or its entries are when the purge runs, and where the
// elevated delete could otherwise land: a folder of the system's own logs.
enum class Shape { kRealFolder, kJunctionedFolder, kLinkEntries, kSwappedAfterTheScan };

TEST_F(Purge, DeletesOnlyRegularFilesOfTheRealLogFolder) {
  const std::string kSystem = "C:\\Windows\\Logs";
  struct Case {
    const char* what;
    Shape shape;
    int listed;
    std::vector<std::string> goneFromLog;  // expired regular files of the real folder
  };
  const std::vector<Case> cases = {
      {"real folder", Shape::kRealFolder, 2, {"20200101-pavonix.log", "notes.log"}},
      {"log is a junction", Shape::kJunctionedFolder, 0, {}},
      {"entries are links and folders", Shape::kLinkEntries, 4, {"20200101-pavonix.log"}},
      {"log swapped for a junction after the scan",
       Shape::kSwappedAfterTheScan,
       2,
       {"20200101-pavonix.log", "notes.log"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Host("C:\\Program Files (x86)"));
    std::filesystem::remove_all(Host("C:\\Windows"));
    simwin::SetLocalTime(2026, 3, 15);
    for (const char* name : {"CBS.log", "20200101-pavonix.log", "keep.txt"})
      WriteHostFile(kSystem + "\\" + name, "system");
    std::string realLog = kLogDir;
    if (c.shape == Shape::kJunctionedFolder) {
      MakeDirs("C:\\Program Files (x86)\\Pavonix");
      ASSERT_TRUE(simwin::MakeLink(kLogDir, kSystem));
    } else {
      MakeDirs(kLogDir);
      Put("20200101-pavonix.log");
      Put("notes.log");
      Put("20260315-pavonix.log");
    }
    if (c.shape == Shape::kLinkEntries) {
      std::filesystem::remove(Host(std::string(kLogDir) + "\\notes.log"));
      ASSERT_TRUE(simwin::MakeLink(std::string(kLogDir) + "\\notes.log", kSystem + "\\CBS.log"));
      ASSERT_TRUE(simwin::MakeLink(std::string(kLogDir) + "\\19990101-dir.log", kSystem));
      MakeDirs(std::string(kLogDir) + "\\19990102-folder.log");
    }
    CLogCleaner cleaner;
    cleaner.Init(1, "log");
    cleaner.CollectExpired();
    EXPECT_EQ(static_cast<int>(cleaner.m_lstExpired.size()), c.listed);
    if (c.shape == Shape::kSwappedAfterTheScan) {
      realLog = "C:\\Program Files (x86)\\Pavonix\\moved";
      std::filesystem::rename(Host(kLogDir), Host(realLog));
      ASSERT_TRUE(simwin::MakeLink(kLogDir, kSystem));
    }
    cleaner.DeleteExpired();
    for (const char* name : {"CBS.log", "20200101-pavonix.log", "keep.txt"})
      EXPECT_EQ(ReadHostFile(kSystem + "\\" + name), "system") << name;
    if (c.shape == Shape::kJunctionedFolder) continue;
    for (const std::string& name : c.goneFromLog) EXPECT_FALSE(HostExists(realLog + "\\" + name));
    EXPECT_TRUE(HostExists(realLog + "\\20260315-pavonix.log"));
    if (c.shape == Shape::kLinkEntries) {
      EXPECT_TRUE(HostExists(realLog + "\\19990102-folder.log"));
      EXPECT_EQ(
          GetFileAttributesA((realLog + "\\notes.log").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT,
          static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));
    }
  }
}

// The program started from the user's downloads folder: a non-elevated
// process of the user can put a link in place of any folder of that path.
// Neither the purge nor a log line may then reach the folder it names.
TEST_F(Purge, LinksAboveTheLogFolderAreNeverFollowed) {
  const std::string kDownloads = "C:\\Users\\user\\Downloads";
  const std::string kVictim = "C:\\Windows\\Logs\\Victim";  // mirrors Downloads
  enum class When { kBeforeTheScan, kBetweenScanAndDelete };
  struct Case {
    const char* linked;  // the folder below Downloads' parent that becomes a link
    When when = When::kBeforeTheScan;
  };
  const std::vector<Case> cases = {
      {"Downloads"},
      {"Downloads\\pavonix"},
      {"Downloads\\pavonix\\log"},
      {"Downloads", When::kBetweenScanAndDelete},
      {"Downloads\\pavonix", When::kBetweenScanAndDelete},
      {"Downloads\\pavonix\\log", When::kBetweenScanAndDelete},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.linked) + (c.when == When::kBeforeTheScan ? " before" : " between"));
    simwin::Reset();
    simwin::MapDrive('C', drive_);
    std::filesystem::remove_all(Host("C:\\Users"));
    std::filesystem::remove_all(Host("C:\\Windows"));
    simwin::SetLocalTime(2026, 3, 15);
    simwin::SetModulePath(kDownloads + "\\pavonix\\pavonix.exe");
    const std::string log = kDownloads + "\\pavonix\\log";
    const std::string victimLog = kVictim + "\\pavonix\\log";
    WriteHostFile(log + "\\20200101-pavonix.log");
    WriteHostFile(victimLog + "\\CBS.log", "system");
    const std::string linked = std::string("C:\\Users\\user\\") + c.linked;
    const std::string target = kVictim + linked.substr(kDownloads.size());
    const std::string moved = linked + "-moved";
    auto swap = [&] {
      std::filesystem::rename(Host(linked), Host(moved));
      ASSERT_TRUE(simwin::MakeLink(linked, target));
    };
    PrepareLog("", 0);  // as a fresh start: nothing reported yet
    simwin::ClearDebugOutput();
    if (c.when == When::kBeforeTheScan) swap();
    CLogCleaner cleaner;
    cleaner.Init(1, "log");
    cleaner.CollectExpired();
    if (c.when == When::kBetweenScanAndDelete) {
      // Held without delete sharing: nobody may rename it; were it renamed
      // all the same, the held chain still names the folders it opened.
      EXPECT_EQ(CreateFileA(linked.c_str(), DELETE, 7, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
                INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
      swap();
    }
    cleaner.DeleteExpired();
    EXPECT_EQ(ReadHostFile(victimLog + "\\CBS.log"), "system");
    const std::string realLog = moved + log.substr(linked.size());
    EXPECT_EQ(HostExists(realLog + "\\20200101-pavonix.log"), c.when == When::kBeforeTheScan);
    if (c.when == When::kBetweenScanAndDelete) continue;
    EXPECT_EQ(simwin::DebugOutput().size(), 1u);
    PrepareLog(kDownloads + "\\pavonix", 1);
    LogError("%s", "a line");
    EXPECT_FALSE(std::filesystem::exists(Host(victimLog + "\\20260315-pavonix.log")));
    EXPECT_EQ(simwin::DebugOutput().size(), 2u);
  }
}

}  // namespace
