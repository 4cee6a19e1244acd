// Waiting out another program's sharing or lock violation, on the simulated
// platform (its Sleep advances the clock: the waits cost no time here).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/log.h"
#include "platform/simctl.h"
#include "runfolder/busywait.h"
#include "tests/config/sim_fixture.h"

namespace {

class BusyWait : public pavtest::SimMachine {
 protected:
  void SetUp() override {
    SimMachine::SetUp();
    g_nLogLevel = 4;  // DEBUG lines too
    snprintf(g_szLogPath, sizeof g_szLogPath, "C:\\busy.log");
    snprintf(g_szLogModule, sizeof g_szLogModule, "PAVONIX");
  }
  void TearDown() override {
    g_nLogLevel = 0;
    g_szLogPath[0] = '\0';
    SimMachine::TearDown();
  }
  size_t Lines(const std::string& what) const {
    std::istringstream in(ReadHostFile("C:\\busy.log"));
    size_t n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(what) != std::string::npos;
    return n;
  }
};

TEST_F(BusyWait, RetriesOnlySharingAndLockViolationsForAboutThreeAndAHalfSeconds) {
  struct Case {
    const char* what;
    int busyTries = 0;  // attempts that fail before one succeeds
    DWORD error = ERROR_SHARING_VIOLATION;
    bool ok = true;
    int attempts = 1;
    DWORD waitedMs = 0;
  };
  const std::vector<Case> cases = {
      {"free at once"},
      {"busy once", 1, ERROR_SHARING_VIOLATION, true, 2, 100},
      {"locked for three tries", 3, ERROR_LOCK_VIOLATION, true, 4, 700},
      {"free at the last try", 6, ERROR_SHARING_VIOLATION, true, 7, 3500},
      {"busy for ever", 1000, ERROR_SHARING_VIOLATION, false, 7, 3500},
      {"another error is not waited for", 1000, ERROR_ACCESS_DENIED, false, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(Host("C:\\busy.log"));
    int attempts = 0;
    const DWORD start = GetTickCount();
    const bool ok = RetryWhileBusy("holding", "C:\\run\\setup.exe", [&] {
      if (attempts++ < c.busyTries) {
        SetLastError(c.error);
        return false;
      }
      return true;
    });
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(attempts, c.attempts);
    EXPECT_EQ(GetTickCount() - start, c.waitedMs);
    if (!c.ok) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    const std::string line = "holding C:\\run\\setup.exe: in use by another program (error " +
                             std::to_string(c.error) + ")";
    EXPECT_EQ(Lines(line), static_cast<size_t>(c.attempts - 1)) << ReadHostFile("C:\\busy.log");
    EXPECT_EQ(Lines("[DEBUG]"), static_cast<size_t>(c.attempts - 1));
  }
}

TEST_F(BusyWait, AFileOpenGetsInOnceTheScannerLetsGo) {
  WriteHostFile("C:\\run\\setup.exe", "MZ");
  ASSERT_TRUE(simwin::HoldFileFor("C:\\run\\setup.exe", 250));
  const DWORD start = GetTickCount();
  FILE* fp = OpenWaitingOut("C:\\run\\setup.exe", "ab");
  ASSERT_NE(fp, nullptr);
  plat_fclose(fp);
  EXPECT_EQ(GetTickCount() - start, 300u);  // 100 + 200
  ASSERT_TRUE(simwin::HoldFileFor("C:\\run\\setup.exe", 60000));
  EXPECT_EQ(OpenWaitingOut("C:\\run\\setup.exe", "rb"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

}  // namespace
