// The protected download folder and the held installer files, on the
// simulated platform.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/log.h"
#include "platform/simctl.h"
#include "runfolder/dlfolder.h"
#include "tests/config/sim_fixture.h"
#include "tests/support/download_support.h"

namespace fs = std::filesystem;

namespace {

const char kTemp[] = "C:\\Temp\\";
const char kUser[] = "S-1-5-21-1-1-1-1000";

PlatSecurity Sec(const std::string& owner, std::vector<PlatAce> aces, bool hasDacl = true) {
  PlatSecurity s;
  s.strOwner = owner;
  s.bHasDacl = hasDacl;
  s.aces = std::move(aces);
  return s;
}

TEST(AdminOnlySecurity, OnlyAdministratorsAndSystemMayChangeAnything) {
  const PlatAce ba{true, PLAT_SID_ADMINISTRATORS, 0x1F01FF};
  const PlatAce sy{true, PLAT_SID_SYSTEM, 0x1F01FF};
  const PlatAce usersRead{true, "S-1-5-32-545", 0x1200A9};
  EXPECT_TRUE(IsAdminOnlySecurity(Sec(PLAT_SID_ADMINISTRATORS, {ba, sy, usersRead})));
  EXPECT_TRUE(IsAdminOnlySecurity(Sec(PLAT_SID_SYSTEM, {sy})));
  // Denying entries only take rights away.
  EXPECT_TRUE(IsAdminOnlySecurity(Sec(PLAT_SID_SYSTEM, {{false, "S-1-1-0", 0x1F01FF}, ba})));

  // The user owns it: an owner may always rewrite the access list.
  EXPECT_FALSE(IsAdminOnlySecurity(Sec(kUser, {ba, sy})));
  // No access list at all lets everyone do everything.
  EXPECT_FALSE(IsAdminOnlySecurity(Sec(PLAT_SID_ADMINISTRATORS, {}, false)));
  // Any single right to change, for anyone else.
  for (DWORD right :
       {0x2u, 0x4u, 0x10u, 0x40u, 0x100u, 0x10000u, 0x40000u, 0x80000u, 0x10000000u, 0x40000000u}) {
    EXPECT_FALSE(
        IsAdminOnlySecurity(Sec(PLAT_SID_ADMINISTRATORS, {ba, {true, "S-1-5-32-545", right}})))
        << std::hex << right;
  }
  // Creator-owner and Everyone entries, inherited ones included.
  EXPECT_FALSE(
      IsAdminOnlySecurity(Sec(PLAT_SID_ADMINISTRATORS, {ba, {true, "S-1-3-0", 0x1F01FF}})));
  EXPECT_FALSE(
      IsAdminOnlySecurity(Sec(PLAT_SID_ADMINISTRATORS, {ba, {true, "S-1-1-0", 0x1F01FF}})));
  // An entry the platform could not name.
  EXPECT_FALSE(IsAdminOnlySecurity(Sec(PLAT_SID_ADMINISTRATORS, {ba, {true, "", 0xFFFFFFFFu}})));
}

class Folder : public ::testing::Test {
 protected:
  fs::path root;

  void SetUp() override {
    simwin::Reset();
    root = pavtest::FreshTestFolder("pavonix-dlfolder");
    fs::create_directories(root / "Temp");
    simwin::MapDrive('C', root.string());
    simwin::SetTempPath(kTemp);
    g_nLogLevel = 1;
    snprintf(g_szLogPath, sizeof g_szLogPath, "C:\\folder.log");
    snprintf(g_szLogModule, sizeof g_szLogModule, "PAVONIX");
  }
  void TearDown() override {
    g_nLogLevel = 0;
    g_szLogPath[0] = '\0';
    EXPECT_EQ(simwin::OpenHandleCount("file"), 0u);
    fs::remove_all(root);
  }
  std::string LogText() {
    std::ifstream f(root / "folder.log", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  // The name the next CDownloadFolder will choose, from the seeded GUIDs.
  std::string NextName(uint64_t seed) {
    simwin::SeedGuids(seed);
    std::string name;
    {
      CDownloadFolder probe;
      name = probe.Path();
    }
    RemoveDirectoryA(name.c_str());
    simwin::SeedGuids(seed);
    return name.substr(0, name.size() - 1);
  }
  static bool Write(const std::string& path, const std::string& text) {
    FILE* f = plat_fopen(path.c_str(), "wb");
    if (!f) return false;
    plat_fwrite(text.data(), 1, text.size(), f);
    return plat_fclose(f) == 0;
  }
};

TEST_F(Folder, FreshFolderOnlyAdministratorsMayChangeHeldOpen) {
  CDownloadFolder a, b;
  const std::string path = a.Path();
  ASSERT_EQ(path.size(), std::strlen(kTemp) + 41) << path;
  EXPECT_EQ(path.compare(0, 16, "C:\\Temp\\pavonix-"), 0);
  EXPECT_EQ(a.Path(), path);  // made once
  EXPECT_NE(b.Path(), path);  // another run, another name
  EXPECT_EQ(path.find_first_not_of("0123456789abcdef", 16), path.size() - 1);
  EXPECT_EQ(simwin::FileSecuritySddl(path), DOWNLOAD_FOLDER_SDDL);
  // Read back through the platform as the run does.
  HANDLE h = CreateFileA(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  PlatSecurity sec;
  ASSERT_TRUE(GetHandleSecurity(h, &sec));
  CloseHandle(h);
  EXPECT_EQ(sec.strOwner, PLAT_SID_ADMINISTRATORS);
  EXPECT_TRUE(IsAdminOnlySecurity(sec));
  // Held: it cannot be removed (or renamed) while in use.
  EXPECT_FALSE(RemoveDirectoryA(path.c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
}

TEST_F(Folder, FolderThatExistsAlreadyIsRefusedAndAFreshNameTried) {
  // Someone made the folder the run is about to choose (with every right for
  // the user) and put an installer in it.
  const std::string taken = NextName(42);
  ASSERT_TRUE(CreateDirectoryWithSddlA(taken.c_str(), simwin::kUserOwnedSddl));
  ASSERT_TRUE(Write(taken + "\\setup.exe", "planted"));
  CDownloadFolder folder;
  EXPECT_EQ(folder.Path(), "");
  EXPECT_NE(LogText().find("download folder " + taken + " could not be made (error 183)"),
            std::string::npos);
  const std::string fresh = folder.Path();
  EXPECT_NE(fresh, "");
  EXPECT_NE(fresh, taken + "\\");
  EXPECT_EQ(simwin::FileSecuritySddl(fresh), DOWNLOAD_FOLDER_SDDL);
}

TEST_F(Folder, FolderWhoseSecurityCannotBeConfirmedIsRefused) {
  CDownloadFolder folder;
  simwin::FailCall("GetSecurityInfo", ERROR_ACCESS_DENIED);
  EXPECT_EQ(folder.Path(), "");
  EXPECT_NE(LogText().find("is not protected"), std::string::npos);
  simwin::FailCall("CreateFileA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(folder.Path(), "");
  EXPECT_NE(LogText().find("could not be opened (error 5)"), std::string::npos);
  simwin::FailCall("CoCreateGuid", E_FAIL);
  EXPECT_EQ(folder.Path(), "");
  EXPECT_NE(folder.Path(), "");

  // A system that keeps no descriptors (Wine) has nothing to check.
  simwin::SetFileSecurityKept(false);
  CDownloadFolder unkept;
  EXPECT_NE(unkept.Path(), "");
  EXPECT_EQ(simwin::FileSecuritySddl(unkept.Path()), simwin::kUserOwnedSddl);
}

TEST_F(Folder, HeldFileRefusesASecondWriterUntilReleased) {
  CDownloadFolder folder;
  const std::string file = folder.Path() + "setup.exe";
  ASSERT_TRUE(Write(file, "MZ installer"));
  ASSERT_TRUE(folder.Hold(file));
  // Nobody can write, replace or delete it ...
  EXPECT_EQ(plat_fopen(file.c_str(), "wb"), nullptr);
  EXPECT_EQ(plat_fopen(file.c_str(), "ab"), nullptr);
  EXPECT_EQ(CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(DeleteFileA(file.c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  // ... but it can be read (and so run).
  FILE* r = plat_fopen(file.c_str(), "rb");
  ASSERT_NE(r, nullptr);
  plat_fclose(r);
  // Other spellings of the path are the same file.
  folder.Release(folder.Path() + "SETUP.EXE");
  EXPECT_TRUE(Write(file, "changed"));

  // A file someone else has open for writing cannot be held.
  HANDLE w = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(w, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(folder.Hold(file));
  EXPECT_NE(LogText().find(file + " cannot be held against writers (error 32)"), std::string::npos);
  CloseHandle(w);
  EXPECT_TRUE(folder.Hold(file));
  // The folder object lets go of everything; the files stay.
}

// The retries themselves are BusyWait's (busywait_test.cpp); here: the hold,
// the hash before the run and the start wait a scanner out, and still fail
// as before when it never lets go.
TEST_F(Folder, TheHoldTheHashAndTheStartWaitOutAScanner) {
  enum Step { kHold, kHash, kStart };
  struct Case {
    const char* what;
    Step step;
    bool forever = false;
    const char* error = nullptr;  // the ERROR line's text when it fails
  };
  const std::vector<Case> cases = {
      {"hold, scanner open without sharing", kHold},
      {"hold, scanner never lets go", kHold, true, "cannot be held against writers (error 32)"},
      {"hash, scanner's byte-range lock", kHash},
      {"hash, lock never goes", kHash, true, "does not have its listed sha256 any more"},
      {"start, image in use", kStart},
      {"start, image never free", kStart, true, "could not be started (error 32)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(root / "folder.log");
    CDownloadFolder folder;
    const std::string file = folder.Path() + "setup.exe";
    ASSERT_TRUE(Write(file, "MZ installer"));
    const DWORD start = GetTickCount();
    bool ok;
    if (c.step == kHold) {
      ASSERT_TRUE(simwin::HoldFileFor(file, c.forever ? 60000 : 1500));
      ok = folder.Hold(file);
    } else {
      ASSERT_TRUE(folder.Hold(file));
      const char* api = c.step == kHash ? "ReadFile" : "CreateProcessA";
      const DWORD err = c.step == kHash ? ERROR_LOCK_VIOLATION : ERROR_SHARING_VIOLATION;
      if (c.forever)
        simwin::FailAlways(api, err);
      else
        simwin::FailCall(api, err, 4);
      PROCESS_INFORMATION pi;
      ok = folder.StartInstaller(file, dltest::Sha256Of("MZ installer"), &pi) != FALSE;
      simwin::ClearFaults();
      if (ok) {
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
      }
    }
    EXPECT_EQ(ok, !c.forever);
    // 100 + 200 + 400 + 800 ms for a while, every wait for ever.
    EXPECT_EQ(GetTickCount() - start, c.forever ? 3500u : 1500u);
    const std::string text = LogText();
    EXPECT_EQ(text.find("[ERROR]") != std::string::npos, c.forever) << text;
    if (c.error != nullptr) {
      EXPECT_NE(text.find(c.error), std::string::npos) << text;
    }
  }
}

TEST_F(Folder, RunFolderIsUnderWindowsTempElseOnlyALocalFixedTemp) {
  struct Case {
    const char* what;
    bool windowsTemp;  // C:\Windows\Temp usable
    std::string temp;  // the user's temporary folder
    char drive;        // its drive's letter and type
    UINT type;
    std::string parent;  // where the folder is made; empty: nowhere
  };
  const std::vector<Case> cases = {
      {"Windows Temp", true, kTemp, 'C', DRIVE_FIXED, "C:\\Windows\\Temp\\"},
      {"Windows Temp unusable, fixed temp", false, kTemp, 'C', DRIVE_FIXED, kTemp},
      {"network share", false, "\\\\server\\share\\tmp\\", 'Y', DRIVE_REMOTE, ""},
      {"network drive", false, "Z:\\tmp\\", 'Z', DRIVE_REMOTE, ""},
      {"removable drive", false, "E:\\tmp\\", 'E', DRIVE_REMOVABLE, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(root / "Windows");
    fs::remove(root / "folder.log");
    fs::create_directories(root / "Windows" / "Temp");
    // Unusable: a name there cannot be made.
    simwin::SetReadOnly("C:\\Windows\\Temp", !c.windowsTemp);
    if (c.drive != 'C') {
      fs::create_directories(root / "other" / "tmp");
      simwin::MapDrive(c.drive, (root / "other").string());
    }
    simwin::SetDriveType(c.drive, c.type);
    simwin::SetTempPath(c.temp);
    CDownloadFolder folder;
    const std::string path = folder.Path();
    if (c.parent.empty()) {
      EXPECT_EQ(path, "");
      const std::string text = LogText();
      EXPECT_NE(text.find("the temporary folder " + c.temp +
                          " is not on a local fixed drive (drive type " + std::to_string(c.type)),
                std::string::npos)
          << text;
      EXPECT_EQ(text.find("[ERROR]"), text.rfind("[ERROR]")) << "one ERROR line: " << text;
      EXPECT_TRUE(fs::is_empty(root / "other" / "tmp"));
    } else {
      EXPECT_EQ(path.compare(0, c.parent.size() + 8, c.parent + "pavonix-"), 0) << path;
      EXPECT_EQ(simwin::FileSecuritySddl(path), DOWNLOAD_FOLDER_SDDL);
      EXPECT_EQ(LogText(), "");
    }
  }
}

}  // namespace
