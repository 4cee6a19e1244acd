// Configuration singleton and installation identity on the simulated registry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "config/installid.h"
#include "config/moduledir.h"
#include "config/sysconfig.h"
#include "platform/environ.h"
#include "platform/simctl.h"
#include "tests/config/sim_fixture.h"

namespace {

using ::testing::Each;
using ::testing::ElementsAre;

const char kKey[] = "Software\\ZYN\\DA";

// Debugger messages (GBK).
const std::string kOpened = "\xb4\xf2\xbf\xaa\xb3\xc9\xb9\xa6\n";
const std::string kCreated = "\xb4\xb4\xbd\xa8\xb3\xc9\xb9\xa6\n";
const std::string kCreateFailed = "\xb4\xb4\xbd\xa8\xca\xa7\xb0\xdc\n";
const std::string kClosed = "\xb9\xd8\xb1\xd5\xb3\xc9\xb9\xa6\n";
const std::string kRead = "\xbb\xf1\xc8\xa1\xb3\xc9\xb9\xa6\n";
const std::string kReadFailed = "\xbb\xf1\xc8\xa1\xca\xa7\xb0\xdc\n";
const std::string kWritten = "\xd0\xb4\xd7\xa2\xb2\xe1\xb1\xed\xb3\xc9\xb9\xa6\n";
const std::string kWriteFailed = "\xd0\xb4\xd7\xa2\xb2\xe1\xb1\xed\xca\xa7\xb0\xdc\n";

bool IsGuidText(const std::string& s) {
  return std::regex_match(
      s, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"));
}

simwin::RegValueData Stored(const char* name) {
  simwin::RegValueData v;
  v.type = 0xFFFF;
  simwin::GetRegValue(HKEY_LOCAL_MACHINE, kKey, name, &v);
  return v;
}

// The GUID texts the simulated machine will hand out next, from `seed`.
std::vector<std::string> GuidsFromSeed(uint64_t seed, int n) {
  simwin::SeedGuids(seed);
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(NewGuidString());
  simwin::SeedGuids(seed);
  return out;
}

class Config : public ::testing::Test {
 protected:
  void SetUp() override {
    simwin::Reset();
    ResetSysConfigForTests();
  }
  void TearDown() override {
    ResetSysConfigForTests();
    simwin::Reset();
  }
  CPavonixSysConfig* Build() {
    ResetSysConfigForTests();
    return CPavonixSysConfig::GetInstance();
  }
};

TEST_F(Config, DefaultsAndComposedUrl) {
  CPavonixSysConfig* cfg = CPavonixSysConfig::GetInstance();
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(cfg->m_strProductCode, "PAVONIX");
  EXPECT_EQ(cfg->m_strClientVersion, "V1.0-20200902-hb");
  EXPECT_EQ(cfg->m_nLogKeepDays, 1);
  EXPECT_EQ(cfg->m_nLogLevel, 0);
  EXPECT_EQ(cfg->m_strServerHost, PAVONIX_TEST_UPDATE_HOST);
  EXPECT_EQ(cfg->m_nServerPort, 9006);
  EXPECT_EQ(cfg->m_strServerPath, "/softServer/req");
  EXPECT_EQ(cfg->m_strVendorCode, "ZYN-HARBOLT");
  EXPECT_EQ(cfg->m_strVendorVersion, "V1.0-20200902");
  EXPECT_EQ(cfg->m_strClientType, "levyDesk");
  EXPECT_EQ(cfg->m_strClientTypeVersion, "V1.0");
  // Two slashes between the port and the path.
  EXPECT_EQ(cfg->m_strUpdateUrl,
            std::string("http://") + PAVONIX_TEST_UPDATE_HOST + ":9006//softServer/req");
  // The maker's name is GBK text: every byte of a Chinese character is >= 0x81.
  ASSERT_FALSE(cfg->m_strMakerName.empty());
  EXPECT_EQ(cfg->m_strMakerName.size() % 2, 0u);
  for (unsigned char c : cfg->m_strMakerName) EXPECT_GE(c, 0x81);
}

TEST_F(Config, SecondGetInstanceIsTheSameObjectAndLeavesTheRegistryAlone) {
  CPavonixSysConfig* first = CPavonixSysConfig::GetInstance();
  size_t masks = simwin::RegAccessMasks().size();
  size_t messages = simwin::DebugOutput().size();
  EXPECT_EQ(CPavonixSysConfig::GetInstance(), first);
  EXPECT_EQ(simwin::RegAccessMasks().size(), masks);
  EXPECT_EQ(simwin::DebugOutput().size(), messages);
}

TEST_F(Config, FreshPcStoresIdentityAndTimeAsRegNoneWithoutTerminator) {
  simwin::SetLocalTime(2026, 3, 5, 9, 7, 3);
  std::vector<std::string> guids = GuidsFromSeed(42, 2);
  CPavonixSysConfig* cfg = CPavonixSysConfig::GetInstance();
  // The first build makes the identity; the reload reads it back.
  EXPECT_EQ(cfg->m_strUniqueId, guids[0]);
  EXPECT_TRUE(IsGuidText(cfg->m_strUniqueId)) << cfg->m_strUniqueId;

  simwin::RegValueData id = Stored("UniqueID");
  EXPECT_EQ(id.type, (DWORD)REG_NONE);
  EXPECT_EQ(id.bytes.size(), 36u);
  EXPECT_EQ(id.bytes, cfg->m_strUniqueId);

  simwin::RegValueData time = Stored("InstallTime");
  EXPECT_EQ(time.type, (DWORD)REG_NONE);
  EXPECT_EQ(time.bytes, "20260305 09:07:03");
  EXPECT_EQ(time.bytes.size(), 17u);

  EXPECT_THAT(simwin::DebugOutput(),
              ElementsAre(kCreated, kClosed, kOpened, kWritten, kOpened, kWritten, kOpened, kRead));
  EXPECT_EQ(simwin::OpenRegKeyCount(), 0u);
}

TEST_F(Config, RegistryMasksAreAllAccessInTheProgramsView) {
  CPavonixSysConfig::GetInstance();
  std::vector<REGSAM> masks = simwin::RegAccessMasks();
  ASSERT_FALSE(masks.empty());
  EXPECT_THAT(masks, Each((REGSAM)(KEY_ALL_ACCESS | PAVONIX_REG_VIEW)));
  // A 32-bit program on 64-bit Windows: the key lives in the 32-bit view.
  EXPECT_TRUE(simwin::RegKeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wow6432Node\\ZYN\\DA",
                                   simwin::RegView::Raw));
  EXPECT_FALSE(simwin::RegKeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZYN\\DA", simwin::RegView::Raw));
}

TEST_F(Config, LaterStartReadsTheStoredIdentityAndKeepsInstallTime) {
  std::string first = CPavonixSysConfig::GetInstance()->m_strUniqueId;
  std::string time = Stored("InstallTime").bytes;
  simwin::SetLocalTime(2027, 1, 2);
  simwin::ClearDebugOutput();
  EXPECT_EQ(Build()->m_strUniqueId, first);
  EXPECT_EQ(Stored("InstallTime").bytes, time);
  EXPECT_THAT(simwin::DebugOutput(), ElementsAre(kOpened, kRead, kOpened, kRead));
}

TEST_F(Config, RegSzIdentityIsReadWithoutItsTerminator) {
  simwin::SetRegString(HKEY_LOCAL_MACHINE, kKey, "UniqueID", "written-by-someone-else");
  EXPECT_EQ(Stored("UniqueID").bytes.size(), 24u);  // text + zero byte
  CPavonixSysConfig* cfg = CPavonixSysConfig::GetInstance();
  EXPECT_EQ(cfg->m_strUniqueId, "written-by-someone-else");
  EXPECT_FALSE(simwin::GetRegValue(HKEY_LOCAL_MACHINE, kKey, "InstallTime", nullptr));
}

TEST_F(Config, ValueNamesAreMatchedWithoutCase) {
  simwin::SetRegValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\zyn\\da", "uniqueid", REG_NONE,
                      "lower-case-names");
  EXPECT_EQ(CPavonixSysConfig::GetInstance()->m_strUniqueId, "lower-case-names");
}

TEST_F(Config, IdentityOverNinetyNineBytesIsReplaced) {
  const std::string ninetyNine(99, 'A');
  const std::string hundred(100, 'B');
  const std::string long150(150, 'C');

  simwin::SetRegValue(HKEY_LOCAL_MACHINE, kKey, "UniqueID", REG_NONE, ninetyNine);
  EXPECT_EQ(Build()->m_strUniqueId, ninetyNine);

  // 99 characters and a terminator fill the buffer exactly and still read.
  simwin::SetRegString(HKEY_LOCAL_MACHINE, kKey, "UniqueID", ninetyNine);
  EXPECT_EQ(Build()->m_strUniqueId, ninetyNine);

  for (const std::string& tooLong : {hundred, long150}) {
    simwin::SetRegValue(HKEY_LOCAL_MACHINE, kKey, "UniqueID", REG_NONE, tooLong);
    std::string id = Build()->m_strUniqueId;
    EXPECT_TRUE(IsGuidText(id)) << tooLong.size() << ": " << id.substr(0, 120);
    EXPECT_EQ(Stored("UniqueID").bytes, id);
  }
}

TEST_F(Config, EmptyIdentityIsKept) {
  simwin::SetRegValue(HKEY_LOCAL_MACHINE, kKey, "UniqueID", REG_NONE, "");
  EXPECT_EQ(CPavonixSysConfig::GetInstance()->m_strUniqueId, "");
  EXPECT_EQ(Stored("UniqueID").bytes, "");
  EXPECT_FALSE(simwin::GetRegValue(HKEY_LOCAL_MACHINE, kKey, "InstallTime", nullptr));
}

TEST_F(Config, UnwritableRegistryGivesAFreshIdentityAtEveryLoad) {
  simwin::DenyRegWrite(HKEY_LOCAL_MACHINE, "Software");
  std::vector<std::string> guids = GuidsFromSeed(7, 4);
  ASSERT_NE(guids[0], guids[1]);
  // Two GUIDs are made at the first build; the second is kept.
  EXPECT_EQ(Build()->m_strUniqueId, guids[1]);
  EXPECT_EQ(Build()->m_strUniqueId, guids[3]);
  EXPECT_FALSE(simwin::RegKeyExists(HKEY_LOCAL_MACHINE, kKey));
  std::vector<std::string> out = simwin::DebugOutput();
  EXPECT_EQ(out.size(), 12u);  // per load: a read and two writes; two loads per build
  EXPECT_THAT(out, Each(kCreateFailed));
  EXPECT_EQ(simwin::OpenRegKeyCount(), 0u);
}

TEST_F(Config, ReadableButNotWritableKeyStillCountsAsUnreadable) {
  simwin::SetRegValue(HKEY_LOCAL_MACHINE, kKey, "UniqueID", REG_NONE, "stored-id");
  simwin::DenyRegWrite(HKEY_LOCAL_MACHINE, "Software");
  std::string id = Build()->m_strUniqueId;
  EXPECT_NE(id, "stored-id");
  EXPECT_TRUE(IsGuidText(id));
  EXPECT_EQ(Stored("UniqueID").bytes, "stored-id");
}

TEST_F(Config, NoGuidGivesTheEmptyIdentityStored) {
  simwin::FailAlways("CoCreateGuid", (DWORD)E_FAIL);
  EXPECT_EQ(Build()->m_strUniqueId, "");
  simwin::RegValueData id = Stored("UniqueID");
  EXPECT_EQ(id.type, (DWORD)REG_NONE);
  EXPECT_EQ(id.bytes, "");
  EXPECT_EQ(Stored("InstallTime").bytes.size(), 17u);
  simwin::ClearFaults();
  // Later starts read the empty identity back and keep it.
  EXPECT_EQ(Build()->m_strUniqueId, "");
}

TEST_F(Config, DeletedUniqueIdMakesANewIdentityAndInstallTime) {
  simwin::SetLocalTime(2026, 1, 1, 10, 0, 0);
  std::string first = Build()->m_strUniqueId;
  simwin::DeleteRegValue(HKEY_LOCAL_MACHINE, kKey, "UniqueID");
  simwin::SetLocalTime(2026, 6, 30, 23, 59, 58);
  std::string second = Build()->m_strUniqueId;
  EXPECT_NE(second, first);
  EXPECT_EQ(Stored("UniqueID").bytes, second);
  EXPECT_EQ(Stored("InstallTime").bytes, "20260630 23:59:58");
}

TEST(InstallIdRoutines, ReadFailureLeavesTheOutTextAlone) {
  simwin::Reset();
  std::string out = "untouched";
  // Missing key: created empty, still -1.
  EXPECT_EQ(ReadRegString(kKey, "UniqueID", out), -1);
  EXPECT_EQ(out, "untouched");
  EXPECT_TRUE(simwin::RegKeyExists(HKEY_LOCAL_MACHINE, kKey));
  // Key present, value missing.
  simwin::ClearDebugOutput();
  EXPECT_EQ(ReadRegString(kKey, "UniqueID", out), -1);
  EXPECT_EQ(out, "untouched");
  EXPECT_THAT(simwin::DebugOutput(), ElementsAre(kOpened, kReadFailed));
  EXPECT_EQ(simwin::OpenRegKeyCount(), 0u);
}

TEST(InstallIdRoutines, CloseFailureOfTheNewKeyIsNotReportedAsClosed) {
  simwin::Reset();
  simwin::FailCall("RegCloseKey", ERROR_INVALID_HANDLE);
  std::string out;
  EXPECT_EQ(ReadRegString(kKey, "UniqueID", out), -1);
  EXPECT_THAT(simwin::DebugOutput(), ElementsAre(kCreated));
}

TEST(InstallIdRoutines, WriteStoresExactBytesAndReportsFailure) {
  simwin::Reset();
  EXPECT_EQ(WriteRegString("Software\\ZYN\\Other", "Name", "a\xb1\xb1z"), 0);
  simwin::RegValueData v;
  ASSERT_TRUE(simwin::GetRegValue(HKEY_LOCAL_MACHINE, "Software\\ZYN\\Other", "Name", &v));
  EXPECT_EQ(v.type, (DWORD)REG_NONE);
  EXPECT_EQ(v.bytes, "a\xb1\xb1z");
  EXPECT_THAT(simwin::DebugOutput(), ElementsAre(kCreated, kWritten));

  simwin::ClearDebugOutput();
  simwin::FailCall("RegSetValueExA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(WriteRegString("Software\\ZYN\\Other", "Name", "changed"), -1);
  EXPECT_THAT(simwin::DebugOutput(), ElementsAre(kOpened, kWriteFailed));
  ASSERT_TRUE(simwin::GetRegValue(HKEY_LOCAL_MACHINE, "Software\\ZYN\\Other", "Name", &v));
  EXPECT_EQ(v.bytes, "a\xb1\xb1z");

  simwin::ClearDebugOutput();
  simwin::FailCall("RegOpenKeyExA", ERROR_FILE_NOT_FOUND);
  simwin::FailCall("RegCreateKeyExA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(WriteRegString("Software\\ZYN\\Other", "Name", "changed"), -1);
  EXPECT_THAT(simwin::DebugOutput(), ElementsAre(kCreateFailed));
  EXPECT_EQ(simwin::OpenRegKeyCount(), 0u);
}

TEST(InstallIdRoutines, QueryFailureClosesTheKey) {
  simwin::Reset();
  simwin::SetRegValue(HKEY_LOCAL_MACHINE, kKey, "UniqueID", REG_NONE, "abc");
  simwin::FailCall("RegQueryValueExA", ERROR_ACCESS_DENIED);
  std::string out;
  EXPECT_EQ(ReadRegString(kKey, "UniqueID", out), -1);
  EXPECT_EQ(simwin::OpenRegKeyCount(), 0u);
}

TEST(InstallIdRoutines, NewGuidStringFormatAndFailures) {
  simwin::Reset();
  std::string a = NewGuidString(), b = NewGuidString();
  EXPECT_TRUE(IsGuidText(a)) << a;
  EXPECT_NE(a, b);
  simwin::FailCall("CoInitialize", (DWORD)E_FAIL);
  EXPECT_TRUE(IsGuidText(NewGuidString()));
  simwin::FailCall("CoCreateGuid", (DWORD)E_OUTOFMEMORY);
  EXPECT_EQ(NewGuidString(), "");
}

TEST(ModuleDir, FolderOfTheProgramPath) {
  simwin::Reset();
  simwin::SetModulePath("C:\\Program Files (x86)\\Pavonix\\pavonix.exe");
  EXPECT_EQ(GetModuleDir(), "C:\\Program Files (x86)\\Pavonix");
  simwin::SetModulePath("C:\\pavonix.exe");
  EXPECT_EQ(GetModuleDir(), "C:");
  simwin::SetModulePath("pavonix.exe");
  EXPECT_EQ(GetModuleDir(), "pavonix.exe");
  simwin::FailCall("GetModuleFileNameA", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(GetModuleDir(), "");
}

TEST(ModuleDir, PathThatDoesNotFitTheBufferGivesNoFolder) {
  simwin::Reset();
  // 259 characters fit 260 with the terminator.
  std::string fits = "C:\\" + std::string(244, 'a') + "\\pavonix.exe";
  ASSERT_EQ(fits.size(), 259u);
  simwin::SetModulePath(fits);
  EXPECT_EQ(GetModuleDir(), fits.substr(0, fits.rfind('\\')));
  // A cut path would name a wrong folder (here "C:\a...\bbb" cut to a prefix).
  std::string tooLong =
      "C:\\" + std::string(200, 'a') + "\\" + std::string(80, 'b') + "\\pavonix.exe";
  simwin::SetModulePath(tooLong);
  EXPECT_EQ(GetModuleDir(), "");
}

}  // namespace

namespace {

class StartFolder : public pavtest::SimMachine {};

TEST_F(StartFolder, TheSystemFolderBecomesTheCurrentOneBeforeAnythingRuns) {
  // Started from the downloads folder, where a same-named program is planted.
  WriteHostFile("C:\\Users\\user\\Downloads\\msiexec.exe", "planted");
  WriteHostFile("C:\\Windows\\system32\\msiexec.exe", "system");
  struct Case {
    const char* what;
    bool systemExists;
    bool entered;
    std::string current;
  };
  const std::vector<Case> cases = {
      {"system folder", true, true, "C:\\Windows\\system32"},
      {"system folder missing", false, false, "C:\\Users\\user\\Downloads"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    simwin::SetCurrentDir("C:\\Users\\user\\Downloads");
    simwin::SetSystemDir(c.systemExists ? "C:\\Windows\\system32" : "C:\\Windows\\none");
    EXPECT_EQ(EnterSystemFolder(), c.entered);
    char sz[MAX_PATH] = {0};
    ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, sz), 0u);
    EXPECT_EQ(std::string(sz), c.current);
    FILE* f = plat_fopen("msiexec.exe", "rb");
    ASSERT_NE(f, nullptr);
    char buf[16] = {0};
    fread(buf, 1, sizeof buf - 1, f);
    plat_fclose(f);
    EXPECT_STREQ(buf, c.entered ? "system" : "planted");
  }
}

}  // namespace

namespace {

std::vector<std::string> OwnEnvironment() {
  std::vector<std::string> out;
  LPCH p = GetEnvironmentStringsA();
  for (const char* e = p; e && *e; e += std::strlen(e) + 1) out.push_back(e);
  FreeEnvironmentStringsA(p);
  return out;
}

TEST_F(StartFolder, TheProgramKeepsTheMachinesEnvironmentAndItsOwnTemp) {
  // What the user's HKCU\Environment put into the elevated program's start.
  simwin::SetEnvironment({"=C:=C:\\Users\\user\\Downloads", "COR_ENABLE_PROFILING=1",
                          "COR_PROFILER_PATH=C:\\Users\\user\\p.dll",
                          "ComSpec=C:\\Users\\user\\c.exe",
                          "Path=C:\\Users\\user\\bin;C:\\Windows\\system32",
                          "TEMP=C:\\Users\\user\\AppData\\Local\\Temp", "TMP=C:\\Users\\user\\t",
                          "USERPROFILE=C:\\Users\\other", "__COMPAT_LAYER=RunAsInvoker"});
  std::vector<std::string> machine;
  ASSERT_TRUE(PlatMachineEnvironment(&machine));
  ASSERT_TRUE(AdoptMachineEnvironment());
  std::vector<std::string> expected = {"=C:=C:\\Users\\user\\Downloads",
                                       "TEMP=C:\\Users\\user\\AppData\\Local\\Temp",
                                       "TMP=C:\\Users\\user\\t"};
  expected.insert(expected.end(), machine.begin(), machine.end());
  EXPECT_THAT(OwnEnvironment(), ::testing::UnorderedElementsAreArray(expected));
  // Without the machine's variables the environment stays as it was.
  simwin::SetEnvironment({"COR_ENABLE_PROFILING=1"});
  simwin::FailCall("CreateEnvironmentBlock", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(AdoptMachineEnvironment());
  EXPECT_EQ(OwnEnvironment(), std::vector<std::string>{"COR_ENABLE_PROFILING=1"});
}

}  // namespace
