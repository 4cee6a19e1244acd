// The simulated file system's Windows behaviour that the log, the purge and
// the detection rely on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/config/sim_fixture.h"

namespace {

using ::testing::ElementsAre;

class SimFs : public pavtest::SimMachine {
 protected:
  std::vector<std::string> Find(const std::string& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(pattern.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do names.push_back(fd.cFileName);
    while (FindNextFileA(h, &fd));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(h));
    return names;
  }
};

TEST_F(SimFs, LexicalNormalisation) {
  EXPECT_EQ(simwin::NormalizeWinPath("c:/a//b\\.\\c\\..\\d"), "C:\\a\\b\\d");
  EXPECT_EQ(simwin::NormalizeWinPath("C:\\..\\..\\x"), "C:\\x");
  EXPECT_EQ(simwin::NormalizeWinPath("C:\\dir\\name. . "), "C:\\dir\\name");
  EXPECT_EQ(simwin::NormalizeWinPath("C:\\dir\\"), "C:\\dir");
  EXPECT_EQ(simwin::NormalizeWinPath("C:"), "C:\\");
  EXPECT_EQ(simwin::NormalizeWinPath("\\top"), "C:\\top");
  simwin::SetCurrentDir("C:\\work");
  EXPECT_EQ(simwin::NormalizeWinPath("sub\\f.txt"), "C:\\work\\sub\\f.txt");
  EXPECT_EQ(simwin::NormalizeWinPath("\\\\server\\share"), "");
}

TEST_F(SimFs, DotDotAfterAMissingFolderStillResolves) {
  MakeDirs("C:\\Program Files\\Client");
  EXPECT_EQ(GetFileAttributesA("C:\\Program Files\\Missing\\..\\Client"),
            (DWORD)FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(SimFs, AttributesAndErrors) {
  WriteHostFile("C:\\Dir\\File.txt", "abc");
  EXPECT_EQ(GetFileAttributesA("C:\\dir"), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA("c:\\DIR\\file.TXT"), (DWORD)FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(GetFileAttributesA("C:\\Dir\\none.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesA("C:\\NoDir\\none.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesA("D:\\anything"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
  simwin::SetReadOnly("C:\\Dir\\File.txt");
  EXPECT_EQ(GetFileAttributesA("C:\\Dir\\File.txt"), (DWORD)FILE_ATTRIBUTE_READONLY);
  simwin::FailCall("GetFileAttributesA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetFileAttributesA("C:\\dir"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(SimFs, GbkNamesPassThroughAsHostBytes) {
  // A GBK pair whose trail byte is 0x5C is one character, not a separator.
  const std::string name =
      "\xD4\xF6\xCA\x5C"
      "UKey";
  ASSERT_TRUE(CreateDirectoryA(("C:\\" + name).c_str(), nullptr));
  EXPECT_TRUE(std::filesystem::is_directory(drive_ + "/" + name));
  EXPECT_EQ(GetFileAttributesA(("C:\\" + name).c_str()), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_THAT(Find("C:\\*"), ElementsAre(name));
}

TEST_F(SimFs, WildcardsFollowWindows) {
  for (const char* n : {"a.log", "B.LOG", "c.logx", "d.log.txt", "e.txt.log", "noext", "f.lo",
                        "20260315-pavonix.log"})
    WriteHostFile(std::string("C:\\w\\") + n);
  EXPECT_THAT(Find("C:\\w\\*.log"),
              ElementsAre("20260315-pavonix.log", "a.log", "B.LOG", "e.txt.log"));
  EXPECT_THAT(Find("C:\\w\\?.lo?"), ElementsAre("a.log", "B.LOG", "f.lo"));
  EXPECT_EQ(Find("C:\\w\\*.*").size(), 10u);  // "." and ".." too
  EXPECT_THAT(Find("C:\\w\\*."), ElementsAre(".", "..", "noext"));
  EXPECT_THAT(Find("C:\\w\\NOEXT"), ElementsAre("noext"));
  WIN32_FIND_DATAA fd;
  EXPECT_EQ(FindFirstFileA("C:\\w\\*.none", &fd), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(FindFirstFileA("C:\\missing\\*.log", &fd), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(simwin::OpenHandleCount("find"), 0u);
}

TEST_F(SimFs, FindDataCarriesAttributesAndSize) {
  WriteHostFile("C:\\f\\data.bin", std::string(1234, 'z'));
  MakeDirs("C:\\f\\sub");
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA("C:\\f\\data.bin", &fd);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(fd.cFileName, "data.bin");
  EXPECT_EQ(fd.nFileSizeLow, 1234u);
  EXPECT_EQ(fd.dwFileAttributes, (DWORD)FILE_ATTRIBUTE_NORMAL);
  EXPECT_FALSE(FindNextFileA(h, &fd));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
  EXPECT_EQ(simwin::OpenHandleCount("find"), 1u);
  EXPECT_TRUE(FindClose(h));
  EXPECT_FALSE(FindClose(h));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  h = FindFirstFileA("C:\\f\\s*", &fd);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fd.dwFileAttributes, (DWORD)FILE_ATTRIBUTE_DIRECTORY);
  FindClose(h);
}

TEST_F(SimFs, DeleteAndCreateDirectory) {
  WriteHostFile("C:\\d\\f.log");
  EXPECT_TRUE(DeleteFileA("C:\\D\\F.LOG"));
  EXPECT_FALSE(HostExists("C:\\d\\f.log"));
  EXPECT_FALSE(DeleteFileA("C:\\d\\f.log"));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFileA("C:\\d"));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CreateDirectoryA("C:\\d\\new", nullptr));
  EXPECT_FALSE(CreateDirectoryA("C:\\d\\new", nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryA("C:\\x\\y\\z", nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
  simwin::SetReadOnly("C:\\d");
  EXPECT_FALSE(CreateDirectoryA("C:\\d\\other", nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_FALSE(RemoveDirectoryA("C:\\d\\new"));
  simwin::ClearReadOnly();
  EXPECT_TRUE(RemoveDirectoryA("C:\\d\\new"));
}

TEST_F(SimFs, ModulePathFollowsTheRealBufferRules) {
  simwin::SetModulePath("C:\\App\\pavonix.exe");  // 18 characters
  char buf[32];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buf, sizeof buf), 18u);
  EXPECT_STREQ(buf, "C:\\App\\pavonix.exe");
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buf, 18), 18u);  // one short: cut, terminated
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_STREQ(buf, "C:\\App\\pavonix.ex");
  EXPECT_EQ(buf[18], '#');
}

TEST_F(SimFs, TempPathEndsWithABackslashAndReportsItsSize) {
  simwin::SetTempPath("C:\\Temp");
  char buf[64];
  EXPECT_EQ(GetTempPathA(sizeof buf, buf), 8u);
  EXPECT_STREQ(buf, "C:\\Temp\\");
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(GetTempPathA(8, buf), 9u);  // too small: the size needed, terminator included
  EXPECT_EQ(buf[0], '#');
}

TEST_F(SimFs, TextModeWritesCrLfAndBinaryModeWritesBytes) {
  MakeDirs("C:\\t");
  FILE* f = plat_fopen("C:\\t\\text.txt", "a+");
  ASSERT_NE(f, nullptr);
  const char text[] = "one\ntwo\r\n";
  EXPECT_EQ(plat_fwrite(text, 1, sizeof text - 1, f), sizeof text - 1);
  EXPECT_EQ(plat_fclose(f), 0);
  f = plat_fopen("C:\\T\\TEXT.TXT", "a");
  plat_fwrite("3\n", 1, 2, f);
  plat_fclose(f);
  EXPECT_EQ(ReadHostFile("C:\\t\\text.txt"), "one\r\ntwo\r\r\n3\r\n");

  f = plat_fopen("C:\\t\\bin.dat", "wb");
  ASSERT_NE(f, nullptr);
  plat_fwrite("a\nb", 1, 3, f);
  plat_fclose(f);
  EXPECT_EQ(ReadHostFile("C:\\t\\bin.dat"), "a\nb");

  // Text-mode reading turns CR LF back into "\n".
  f = plat_fopen("C:\\t\\text.txt", "r");
  ASSERT_NE(f, nullptr);
  char buf[32] = {0};
  size_t n = fread(buf, 1, sizeof buf, f);
  plat_fclose(f);
  EXPECT_EQ(std::string(buf, n), "one\ntwo\r\n3\n");
}

TEST_F(SimFs, FopenFailures) {
  EXPECT_EQ(plat_fopen("C:\\none\\f.txt", "a+"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(plat_fopen("", "a+"), nullptr);
  EXPECT_EQ(plat_fopen("Q:\\f.txt", "w"), nullptr);
  MakeDirs("C:\\ro");
  EXPECT_EQ(plat_fopen("C:\\ro", "r"), nullptr);
  EXPECT_EQ(errno, EACCES);
  WriteHostFile("C:\\ro\\f.txt", "keep");
  simwin::SetReadOnly("C:\\ro\\f.txt");
  EXPECT_EQ(plat_fopen("C:\\ro\\f.txt", "w"), nullptr);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(plat_access("C:\\ro\\f.txt", 2), -1);
  EXPECT_EQ(plat_access("C:\\ro\\f.txt", 0), 0);
  FILE* f = plat_fopen("C:\\ro\\f.txt", "rb");
  ASSERT_NE(f, nullptr);
  plat_fclose(f);
  EXPECT_EQ(ReadHostFile("C:\\ro\\f.txt"), "keep");
  simwin::FailCall("fopen", EMFILE);
  EXPECT_EQ(plat_fopen("C:\\ro\\g.txt", "w"), nullptr);
  EXPECT_EQ(errno, EMFILE);
  EXPECT_EQ(plat_access("C:\\ro\\none", 0), -1);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace

namespace {

TEST_F(SimFs, ShortNamesWidenWildcardMatches) {
  for (const char* n : {"notes.logx", "20200101-pavonix.log", "a.log", "plain.txt"})
    WriteHostFile(std::string("C:\\s\\") + n);
  EXPECT_THAT(Find("C:\\s\\*.log"), ElementsAre("20200101-pavonix.log", "a.log"));
  simwin::SetShortNames(true);
  EXPECT_THAT(Find("C:\\s\\*.log"), ElementsAre("20200101-pavonix.log", "a.log", "notes.logx"));
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA("C:\\s\\notes.logx", &fd);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(fd.cAlternateFileName, "NOTES~1.LOG");
  FindClose(h);
}

}  // namespace
