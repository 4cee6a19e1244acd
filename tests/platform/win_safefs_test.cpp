// The held folder on the real platform (under Wine): deletes through checked
// handles, the held folder refusing to be moved, and links where the system
// makes them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/safefs.h"
#include "platform/win.h"

namespace {

class WinHeldFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char szTemp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, szTemp), 0u);
    char szName[64];
    snprintf(szName, sizeof szName, "pavonix-held-%lu-%lu",
             static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<unsigned long>(GetTickCount()));
    root_ = std::string(szTemp) + szName;
    ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr));
    dir_ = root_ + "\\held";
    outside_ = root_ + "\\outside";
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(outside_.c_str(), nullptr));
    Put(outside_ + "\\CBS.log", "system");
  }
  void TearDown() override { RemoveTree(root_); }

  static void Put(const std::string& path, const std::string& bytes = "x") {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }
  static std::string Read(const std::string& path) {
    std::string s;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "<missing>";
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
  }
  static bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  // Through the helper itself: the test folder is the test's own.
  static void RemoveTree(const std::string& dir) {
    CHeldFolder parent;
    const size_t sep = dir.rfind('\\');
    if (parent.Open(dir.substr(0, sep).c_str())) parent.DeleteChildTree(dir.c_str() + sep + 1);
  }

  std::string root_, dir_, outside_;
};

TEST_F(WinHeldFolder, DeletesOnlyPlainFilesThroughCheckedHandles) {
  Put(dir_ + "\\plain.log");
  Put(dir_ + "\\in-use.log");
  ASSERT_TRUE(CreateDirectoryA((dir_ + "\\folder.log").c_str(), nullptr));
  struct Case {
    const char* name;
    bool deleted;
    DWORD error;
  };
  FILE* pInUse = fopen((dir_ + "\\in-use.log").c_str(), "ab");  // shares no deletion
  ASSERT_NE(pInUse, nullptr);
  const std::vector<Case> cases = {
      {"PLAIN.LOG", true, 0},
      {"folder.log", false, ERROR_CANT_ACCESS_FILE},
      {"in-use.log", false, ERROR_SHARING_VIOLATION},
      {"..\\outside\\CBS.log", false, ERROR_INVALID_NAME},
      {"missing.log", false, ERROR_FILE_NOT_FOUND},
  };
  CHeldFolder folder;
  ASSERT_TRUE(folder.Open(dir_.c_str()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(0);
    EXPECT_EQ(folder.DeleteChildFile(c.name) != FALSE, c.deleted);
    EXPECT_EQ(GetLastError(), c.deleted ? 0u : c.error);
  }
  fclose(pInUse);
  EXPECT_FALSE(Exists(dir_ + "\\plain.log"));
  EXPECT_TRUE(Exists(dir_ + "\\in-use.log"));
  EXPECT_TRUE(Exists(dir_ + "\\folder.log"));
  EXPECT_EQ(Read(outside_ + "\\CBS.log"), "system");
}

TEST_F(WinHeldFolder, HeldFolderCannotBeMovedAndTreesGo) {
  CHeldFolder folder;
  ASSERT_TRUE(folder.Open(dir_.c_str()));
  // Held without delete sharing, and so is every folder above it: nobody
  // swaps it, or the path to it, for another folder.
  EXPECT_FALSE(MoveFileA(dir_.c_str(), (root_ + "\\moved").c_str()));
  EXPECT_FALSE(MoveFileA(root_.c_str(), (root_ + "-moved").c_str()));
  ASSERT_TRUE(CreateDirectoryA((dir_ + "\\cache").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((dir_ + "\\cache\\sub").c_str(), nullptr));
  Put(dir_ + "\\cache\\a.exe");
  Put(dir_ + "\\cache\\sub\\b.dat");
  EXPECT_TRUE(folder.DeleteChildTree("cache"));
  EXPECT_FALSE(Exists(dir_ + "\\cache"));
  EXPECT_TRUE(folder.AppendToChildFile("day.log", "ab", 2));
  EXPECT_TRUE(folder.AppendToChildFile("day.log", "c", 1));
  EXPECT_EQ(Read(dir_ + "\\day.log"), "abc");
  std::vector<PlatFolderEntry> entries;
  ASSERT_TRUE(folder.List(&entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].strName, "day.log");
  EXPECT_EQ(entries[0].ullSize, 3u);
  EXPECT_FALSE(entries[0].bIsLink || entries[0].bIsDir);
}

// A junction made the way Windows tools make one: FSCTL_SET_REPARSE_POINT
// with a mount point naming "\??\<target>".
bool MakeJunction(const std::string& link, const std::string& target) {
  if (!CreateDirectoryA(link.c_str(), nullptr)) return false;
  HANDLE h = CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::wstring sub = L"\\??\\", print;
  for (char c : target) print += static_cast<wchar_t>(c);
  sub += print;
  const size_t cbSub = sub.size() * 2, cbPrint = print.size() * 2;
  std::vector<BYTE> buf(8 + 8 + cbSub + 2 + cbPrint + 2, 0);
  auto put16 = [&buf](size_t at, size_t v) {
    buf[at] = static_cast<BYTE>(v);
    buf[at + 1] = static_cast<BYTE>(v >> 8);
  };
  const DWORD tag = 0xA0000003;  // IO_REPARSE_TAG_MOUNT_POINT
  memcpy(&buf[0], &tag, 4);
  put16(4, buf.size() - 8);
  put16(8, 0);
  put16(10, cbSub);
  put16(12, cbSub + 2);
  put16(14, cbPrint);
  memcpy(&buf[16], sub.data(), cbSub);
  memcpy(&buf[16 + cbSub + 2], print.data(), cbPrint);
  DWORD dw = 0;
  BOOL ok = DeviceIoControl(h, 0x000900A4 /* FSCTL_SET_REPARSE_POINT */, buf.data(),
                            static_cast<DWORD>(buf.size()), nullptr, 0, &dw, nullptr);
  CloseHandle(h);
  return ok != FALSE;
}

bool IsReparsePoint(const std::string& path) {
  const DWORD dw = GetFileAttributesA(path.c_str());
  return dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A scanner reads a file of the tree, sharing deletion. With POSIX deletes
// (Windows 10 1607 on NTFS) its name goes at once and the folder with it;
// where the system refuses them (Wine 8 refuses the class, as Windows 7
// does) the file goes when the reader closes and the folder at the next
// clean-up. The reader reads what it opened either way.
TEST_F(WinHeldFolder, AFileSomeoneStillReadsGoesAtOnceOrWhenTheReaderCloses) {
  ASSERT_TRUE(CreateDirectoryA((dir_ + "\\run").c_str(), nullptr));
  Put(dir_ + "\\run\\setup.exe", "MZ installer");
  HANDLE reader = CreateFileA((dir_ + "\\run\\setup.exe").c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  CHeldFolder folder;
  ASSERT_TRUE(folder.Open(dir_.c_str()));
  const bool bGone = folder.DeleteChildTree("run") != FALSE;
  EXPECT_EQ(Exists(dir_ + "\\run"), !bGone);
  if (!bGone) {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  }
  char buf[16] = {0};
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(reader, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "MZ installer");
  CloseHandle(reader);
  EXPECT_FALSE(Exists(dir_ + "\\run\\setup.exe"));
  if (!bGone) {
    EXPECT_TRUE(folder.DeleteChildTree("run")) << GetLastError();
  }
  EXPECT_FALSE(Exists(dir_ + "\\run"));
}

TEST_F(WinHeldFolder, LinksTheSystemReportsAreNeverFollowed) {
  const std::string junction = dir_ + "\\junction", fileLink = dir_ + "\\link.log";
  const bool bJunctionMade = MakeJunction(junction, outside_);
  const bool bJunction = bJunctionMade && IsReparsePoint(junction);
  const bool bLinkMade =
      CreateSymbolicLinkA(fileLink.c_str(), (outside_ + "\\CBS.log").c_str(), 0) != FALSE;
  const bool bFileLink = bLinkMade && IsReparsePoint(fileLink);
  if (!bJunction && !bFileLink)
    GTEST_SKIP() << "no reparse point made: junction set " << bJunctionMade
                 << ", symbolic link call " << bLinkMade << " (nothing reported as a link)";
  CHeldFolder folder;
  if (bJunction) {
    EXPECT_FALSE(folder.Open(junction.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_ACCESS_FILE));
  }
  ASSERT_TRUE(folder.Open(dir_.c_str()));
  if (bJunction) {
    EXPECT_FALSE(folder.DeleteChildFile("junction"));
    EXPECT_FALSE(folder.DeleteChildTree("junction"));
  }
  if (bFileLink) {
    EXPECT_FALSE(folder.DeleteChildFile("link.log"));
    EXPECT_FALSE(folder.AppendToChildFile("link.log", "x", 1));
  }
  EXPECT_EQ(Read(outside_ + "\\CBS.log"), "system");
}

}  // namespace
