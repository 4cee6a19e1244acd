// The three probes against the real registry and real folders of drive C
// (under Wine). Everything made here is removed again; what was there stays.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "env/envcheck.h"
#include "tests/config/win_process.h"

namespace {

const char kFwkpKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\fwkp.exe";
const char kSkfpKey[] = "SOFTWARE\\skfpkprj\\skfpkprj";
const std::string kClient =
    "\xD4\xF6\xD6\xB5\xCB\xB0\xB7\xA2\xC6\xB1\xBF\xAA\xC6\xB1\xC8\xED\xBC\xFE\xA3\xA8\xCB\xB0\xCE"
    "\xF1"
    "UKey"
    "\xB0\xE6\xA3\xA9";

bool KeyExists(const char* key, REGSAM view) {
  HKEY h;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | view, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

void SetText(const char* key, const char* name, const std::string& text, REGSAM view) {
  HKEY h;
  ASSERT_EQ(
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_ALL_ACCESS | view, NULL, &h, NULL),
      ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(h);
}

class WinEnvCheck : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
      if (it->isDir)
        RemoveDirectoryA(it->path.c_str());
      else
        DeleteFileA(it->path.c_str());
    }
  }
  // Makes a folder path, remembering each folder it had to create.
  void MakeDir(const std::string& path) {
    for (size_t p = path.find('\\', 3);; p = path.find('\\', p + 1)) {
      std::string part = path.substr(0, p);
      if (GetFileAttributesA(part.c_str()) == INVALID_FILE_ATTRIBUTES) {
        ASSERT_TRUE(CreateDirectoryA(part.c_str(), NULL)) << part << " " << GetLastError();
        made_.push_back({part, true});
      }
      if (p == std::string::npos) break;
    }
  }
  void MakeFile(const std::string& path) {
    MakeDir(path.substr(0, path.rfind('\\')));
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fclose(f);
    made_.push_back({path, false});
  }
  struct Made {
    std::string path;
    bool isDir;
  };
  std::vector<Made> made_;
};

TEST_F(WinEnvCheck, CodePageIsGbk) { EXPECT_EQ(GetACP(), 936u); }

TEST_F(WinEnvCheck, FwkpPathFromTheThirtyTwoBitView) {
  if (KeyExists(kFwkpKey, KEY_WOW64_32KEY) || KeyExists(kFwkpKey, KEY_WOW64_64KEY))
    GTEST_SKIP() << "fwkp.exe is registered on this machine";
  std::string path = "before";
  EXPECT_EQ(CEnvCheckTool().QueryFwkpPath(path), ENV_NOT_FOUND);
  SetText(kFwkpKey, "Path", "C:\\fwkp\\32", KEY_WOW64_32KEY);
  EXPECT_EQ(CEnvCheckTool().QueryFwkpPath(path), 0);
  EXPECT_EQ(path, "C:\\fwkp\\32");
  // A key without the "Path" value does not count.
  HKEY h;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFwkpKey, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &h),
            ERROR_SUCCESS);
  RegDeleteValueA(h, "Path");
  RegCloseKey(h);
  path = "before";
  EXPECT_EQ(CEnvCheckTool().QueryFwkpPath(path), ENV_NOT_FOUND);
  EXPECT_EQ(path, "before");
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kFwkpKey, KEY_WOW64_32KEY, 0);
  EXPECT_FALSE(KeyExists(kFwkpKey, KEY_WOW64_32KEY));
}

TEST_F(WinEnvCheck, ValueOnlyInTheSixtyFourBitViewIsNotSeen) {
  if (KeyExists("SOFTWARE\\skfpkprj", KEY_WOW64_32KEY) ||
      KeyExists("SOFTWARE\\skfpkprj", KEY_WOW64_64KEY))
    GTEST_SKIP() << "skfpkprj is installed on this machine";
  SetText(kSkfpKey, "installdir", "C:\\skfp64", KEY_WOW64_64KEY);
  std::string path = "before";
  EXPECT_EQ(CEnvCheckTool().QuerySkfpInstallDir(path), ENV_NOT_FOUND);
  EXPECT_EQ(path, "before");
  pavtest::DeleteKeyChain(kSkfpKey, 1, KEY_WOW64_64KEY);
  EXPECT_FALSE(KeyExists("SOFTWARE\\skfpkprj", KEY_WOW64_64KEY));
}

TEST_F(WinEnvCheck, SkfpInstallDirAndAnEmptyValue) {
  const bool had = KeyExists("SOFTWARE\\skfpkprj", KEY_WOW64_32KEY);
  if (had) GTEST_SKIP() << "skfpkprj is installed on this machine";
  std::string path = "before";
  EXPECT_EQ(CEnvCheckTool().QuerySkfpInstallDir(path), ENV_NOT_FOUND);
  SetText(kSkfpKey, "installdir", "", KEY_WOW64_32KEY);
  EXPECT_EQ(CEnvCheckTool().QuerySkfpInstallDir(path), 0);
  EXPECT_EQ(path, "");
  SetText(kSkfpKey, "installdir", "D:\\skfp\\", KEY_WOW64_32KEY);
  EXPECT_EQ(CEnvCheckTool().QuerySkfpInstallDir(path), 0);
  EXPECT_EQ(path, "D:\\skfp\\");
  pavtest::DeleteKeyChain(kSkfpKey, 1, KEY_WOW64_32KEY);
  EXPECT_FALSE(KeyExists("SOFTWARE\\skfpkprj", KEY_WOW64_32KEY));
}

TEST_F(WinEnvCheck, UKeyClientBesideTheSwukeyTool) {
  const std::string x86 = "C:\\Program Files (x86)", pf = "C:\\Program Files";
  if (GetFileAttributesA((x86 + "\\SWUKey").c_str()) != INVALID_FILE_ATTRIBUTES ||
      GetFileAttributesA((pf + "\\SWUKey").c_str()) != INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "SWUKey is installed on this machine";
  std::string path = "before";
  EXPECT_EQ(CEnvCheckTool().FindUKeyClientDir(path), -1);

  // The tool in Program Files, no client yet.
  MakeFile(pf + "\\SWUKey\\SWUKey_Tool.exe");
  EXPECT_EQ(CEnvCheckTool().FindUKeyClientDir(path), -1);
  EXPECT_EQ(path, "before");

  // The client folder beside it: the path keeps its "\..\" step.
  MakeDir(pf + "\\" + kClient);
  EXPECT_EQ(CEnvCheckTool().FindUKeyClientDir(path), 0);
  EXPECT_EQ(path, pf + "\\SWUKey\\..\\" + kClient);
  // The GBK name is the Chinese folder name for the system.
  EXPECT_NE(GetFileAttributesW(L"C:\\Program Files\\增值税发票开票软件（税务UKey版）"),
            INVALID_FILE_ATTRIBUTES);

  // With the (x86) tool present too, only that one is used.
  MakeFile(x86 + "\\SWUKey\\SWUKey_Tool.exe");
  path = "before";
  EXPECT_EQ(CEnvCheckTool().FindUKeyClientDir(path), -1);
  EXPECT_EQ(path, "before");
  MakeDir(x86 + "\\" + kClient);
  EXPECT_EQ(CEnvCheckTool().FindUKeyClientDir(path), 0);
  EXPECT_EQ(path, x86 + "\\SWUKey\\..\\" + kClient);
}

}  // namespace
