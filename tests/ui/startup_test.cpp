#include "ui/startup.h"
#include "platform/syslib.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "tests/ui/ui_test_util.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = (char)std::tolower((unsigned char)c);
  return s;
}

std::string ProgramDir() {
  char sz[MAX_PATH] = {};
  GetModuleFileNameA(NULL, sz, MAX_PATH);
  std::string path = sz;
  return path.substr(0, path.rfind('\\'));
}

}  // namespace

TEST(SystemLibraries, ComeFromTheSystemFolderOnly) {
  // The folder the libraries of this program's bitness live in: the system
  // folder, or for a 32-bit program on 64-bit Windows the WoW64 one (the
  // system folder's name is redirected there, and may be what is reported).
  char szSystem[MAX_PATH] = {}, szWow64[MAX_PATH] = {};
  ASSERT_NE(0u, GetSystemDirectoryA(szSystem, MAX_PATH));
  BOOL bWow64 = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &bWow64));
  if (bWow64) {
    ASSERT_NE(0u, GetSystemWow64DirectoryA(szWow64, MAX_PATH));
  }
  std::string system = Lower(szSystem) + "\\", wow64 = Lower(szWow64) + "\\";
  for (const char* name : {"RICHED20.dll", "gdiplus.dll", "COMCTL32.dll"}) {
    HMODULE hModule = LoadSystemLibrary(name);
    ASSERT_NE(nullptr, hModule) << name;
    char szPath[MAX_PATH] = {};
    ASSERT_NE(0u, GetModuleFileNameA(hModule, szPath, MAX_PATH));
    std::string path = Lower(szPath);
    bool inSystem = path.compare(0, system.size(), system) == 0;
    bool inWow64 = bWow64 && path.compare(0, wow64.size(), wow64) == 0;
    EXPECT_TRUE(inSystem || inWow64)
        << szPath << " (system " << szSystem << ", wow64 " << szWow64 << ")";
    // Nothing but the name itself follows the folder.
    EXPECT_EQ(Lower(name), path.substr(path.rfind('\\') + 1)) << szPath;
  }

  // A library planted beside the program is not taken.
  const std::string planted = ProgramDir() + "\\pavonix_planted_test.dll";
  FILE* f = std::fopen(planted.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  std::fputs("MZ not a library", f);
  std::fclose(f);
  SetLastError(0);
  EXPECT_EQ(nullptr, LoadSystemLibrary("pavonix_planted_test.dll"));
  EXPECT_NE((DWORD)ERROR_BAD_EXE_FORMAT, GetLastError()) << "the planted file was opened";
  DeleteFileA(planted.c_str());
}

TEST(SystemLibraries, RichEditAndProgressClassesAreRegistered) {
  ASSERT_NE(nullptr, LoadRichEditFromSystem());
  ASSERT_TRUE(InitCommonControlsFromSystem());
  for (const char* cls : {"RichEdit20A", "msctls_progress32"}) {
    HWND hWnd = CreateWindowExA(0, cls, "", WS_POPUP, 0, 0, 50, 20, NULL, NULL, NULL, NULL);
    EXPECT_NE(nullptr, hWnd) << cls;
    DestroyWindow(hWnd);
  }
}

TEST(SingleInstance, ASecondGuardFindsNoWindowAndCarriesOn) {
  // The first guard creates the mutex; a second one (as a second start would)
  // sees it exists, finds no marked window and carries on as a first start.
  HANDLE hBefore = g_hSingleMutex;
  EXPECT_FALSE(HandOverToRunningInstance());
  HANDLE hFirst = g_hSingleMutex;
  ASSERT_NE(nullptr, hFirst);
  EXPECT_EQ(nullptr, FindRunningInstance());
  g_hSingleMutex = NULL;
  EXPECT_FALSE(HandOverToRunningInstance());
  EXPECT_EQ(nullptr, g_hSingleMutex) << "an existing mutex is not kept";

  // With a marked window, the guard hands over to it.
  HWND hMarked = CreateTestParent(10, 10, 50, 50);
  ShowWindow(hMarked, SW_SHOW);
  SetPropA(hMarked, "pavonix.exe", (HANDLE)1);
  EXPECT_EQ(hMarked, FindRunningInstance());
  EXPECT_TRUE(HandOverToRunningInstance());
  RemovePropA(hMarked, "pavonix.exe");
  DestroyWindow(hMarked);
  CloseHandle(hFirst);
  g_hSingleMutex = hBefore;
}
