// A wininet.dll planted beside a program, under Wine set to prefer such a DLL
// over its own for that program (the override wininet=native,builtin: what
// Windows does for a DLL that is not one of its known DLLs). A program that imports WinInet loads
// the plant; the program and the platform's run-time loading do not.
#include <gtest/gtest.h>

#include <string>

#include "platform/win.h"

namespace {

std::string WinPath(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : c;
  return "Z:" + path;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class PlantedWinInet : public ::testing::Test {
 protected:
  std::string dir;

  void SetUp() override {
    char szTemp[MAX_PATH] = {0};
    ASSERT_GT(GetTempPathA(MAX_PATH, szTemp), 0u);
    dir = std::string(szTemp) + "pavonix-plant-" + std::to_string(GetCurrentProcessId()) + "-" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name();
    CreateDirectoryA(dir.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(WinPath(PLANT_DLL).c_str(), (dir + "\\wininet.dll").c_str(), FALSE));
    DeleteFileA(Mark().c_str());
    // Wine's per-program overrides; the programs run as program.exe.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kOverrides, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    const char kNativeFirst[] = "native,builtin";
    EXPECT_EQ(RegSetValueExA(key, "wininet", 0, REG_SZ, reinterpret_cast<const BYTE*>(kNativeFirst),
                             sizeof(kNativeFirst)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void TearDown() override { RegDeleteKeyA(HKEY_CURRENT_USER, kOverrides); }
  static constexpr const char* kOverrides =
      "Software\\Wine\\AppDefaults\\program.exe\\DllOverrides";

  // The plant names its mark after itself; Wine may report the name in
  // capitals.
  std::string Mark() { return dir + "\\wininet.dll.loaded"; }

  // Copies the program beside the plant and runs it, at most waitMs; a
  // program still running then is ended. Its exit code, or -1.
  long Run(const char* program, DWORD waitMs) {
    std::string exe = dir + "\\program.exe";
    EXPECT_TRUE(CopyFileA(WinPath(program).c_str(), exe.c_str(), FALSE));
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::string cmd = "\"" + exe + "\"";
    if (!CreateProcessA(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si,
                        &pi))
      return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, waitMs) == WAIT_TIMEOUT) {
      TerminateProcess(pi.hProcess, 9);
      WaitForSingleObject(pi.hProcess, 5000);
    } else {
      GetExitCodeProcess(pi.hProcess, &code);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<long>(code);
  }
};

TEST_F(PlantedWinInet, AProgramThatImportsWinInetLoadsThePlant) {
  // Shows that the set-up would catch a program that imports WinInet: the
  // plant's InternetOpenA fails, and its mark is left.
  EXPECT_EQ(Run(PROBE_IMPORTS, 30000), 1);
  EXPECT_TRUE(Exists(Mark()));
}

TEST_F(PlantedWinInet, RunTimeLoadingTakesTheSystemFoldersWinInet) {
  EXPECT_EQ(Run(PROBE, 30000), 0);
  EXPECT_FALSE(Exists(Mark()));
}

TEST_F(PlantedWinInet, TheProgramDoesNotLoadThePlant) {
  // The program starts, shows its first page and is ended: an imported DLL
  // would have been loaded before WinMain.
  Run(PAVONIX_EXE, 4000);
  EXPECT_FALSE(Exists(Mark()));
}

}  // namespace
