// The held folder on the simulated platform: deletes and writes reach only
// plain files of the folder that was opened, never through a link.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/safefs.h"
#include "tests/config/sim_fixture.h"

namespace {

const char kDir[] = "C:\\App\\log";
const char kOutside[] = "C:\\Windows\\Logs";

class HeldFolder : public pavtest::SimMachine {
 protected:
  void SetUp() override {
    SimMachine::SetUp();
    MakeDirs(kDir);
    WriteHostFile(Out("CBS.log"), "system");
  }
  static std::string In(const std::string& name) { return std::string(kDir) + "\\" + name; }
  static std::string Out(const std::string& name) { return std::string(kOutside) + "\\" + name; }
};

enum class Entry { kFile, kLinkToFile, kLinkToFolder, kFolder, kSecondName, kInUse, kReadOnly };

TEST_F(HeldFolder, DeletesOnlyPlainFilesOfTheFolder) {
  struct Case {
    const char* what;
    Entry entry;  // what "x.log" is
    const char* name;
    bool deleted;
    DWORD error;
  };
  const std::vector<Case> cases = {
      {"regular file", Entry::kFile, "x.log", true, 0},
      {"other case of its name", Entry::kFile, "X.LOG", true, 0},
      {"link to a file outside", Entry::kLinkToFile, "x.log", false, ERROR_CANT_ACCESS_FILE},
      {"link to a folder outside", Entry::kLinkToFolder, "x.log", false, ERROR_CANT_ACCESS_FILE},
      {"folder", Entry::kFolder, "x.log", false, ERROR_CANT_ACCESS_FILE},
      {"second name of a file outside", Entry::kSecondName, "x.log", false, ERROR_CANT_ACCESS_FILE},
      {"name leaving the folder", Entry::kFile, "..\\..\\Windows\\Logs\\CBS.log", false,
       ERROR_INVALID_NAME},
      {"stream of a file", Entry::kFile, "x.log:s", false, ERROR_INVALID_NAME},
      {"trailing dot", Entry::kFile, "x.log.", false, ERROR_INVALID_NAME},
      {"open without delete sharing", Entry::kInUse, "x.log", false, ERROR_SHARING_VIOLATION},
      {"read-only", Entry::kReadOnly, "x.log", false, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    simwin::Reset();
    simwin::MapDrive('C', drive_);
    std::filesystem::remove_all(Host(kDir));
    MakeDirs(kDir);
    const std::string x = In("x.log");
    switch (c.entry) {
      case Entry::kLinkToFile:
        ASSERT_TRUE(simwin::MakeLink(x, Out("CBS.log")));
        break;
      case Entry::kLinkToFolder:
        ASSERT_TRUE(simwin::MakeLink(x, kOutside));
        break;
      case Entry::kFolder:
        MakeDirs(x);
        break;
      case Entry::kSecondName:
        ASSERT_EQ(::link(Host(Out("CBS.log")).c_str(), Host(x).c_str()), 0);
        break;
      default:
        WriteHostFile(x);
    }
    if (c.entry == Entry::kReadOnly) simwin::SetReadOnly(x);
    if (c.entry == Entry::kInUse) {
      ASSERT_NE(
          CreateFileA(x.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
          INVALID_HANDLE_VALUE);
    }
    CHeldFolder folder;
    ASSERT_TRUE(folder.Open(kDir));
    SetLastError(0);
    EXPECT_EQ(folder.DeleteChildFile(c.name) != FALSE, c.deleted);
    EXPECT_EQ(GetLastError(), c.deleted ? 0u : c.error);
    EXPECT_EQ(
        std::filesystem::symlink_status(Host(x)).type() == std::filesystem::file_type::not_found,
        c.deleted);
    EXPECT_EQ(ReadHostFile(Out("CBS.log")), "system");
  }
}

TEST_F(HeldFolder, OpensOnlyARealFolder) {
  struct Case {
    const char* what;
    std::string path;
    bool opens;
    DWORD error;
  };
  MakeDirs("C:\\App\\real");
  WriteHostFile("C:\\App\\file.txt");
  ASSERT_TRUE(simwin::MakeLink("C:\\App\\junction", kOutside));
  MakeDirs(std::string(kOutside) + "\\sub");
  const std::vector<Case> cases = {
      {"folder", "C:\\App\\real", true, 0},
      {"folder with trailing backslash", "C:\\App\\real\\", true, 0},
      {"junction or symbolic link", "C:\\App\\junction", false, ERROR_CANT_ACCESS_FILE},
      {"folder below a junction", "C:\\App\\junction\\sub", false, ERROR_CANT_ACCESS_FILE},
      {"file", "C:\\App\\file.txt", false, ERROR_DIRECTORY},
      {"missing", "C:\\App\\none", false, ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CHeldFolder folder;
    SetLastError(0);
    EXPECT_EQ(folder.Open(c.path.c_str()) != FALSE, c.opens);
    EXPECT_EQ(folder.IsOpen(), c.opens);
    EXPECT_EQ(GetLastError(), c.opens ? 0u : c.error);
  }
}

TEST_F(HeldFolder, AFolderSwappedForALinkAfterTheOpenIsNotFollowed) {
  WriteHostFile(In("20200101-pavonix.log"));
  WriteHostFile(Out("20200101-pavonix.log"), "system");
  CHeldFolder folder;
  ASSERT_TRUE(folder.Open(kDir));
  // The path now names another folder; the held one moved away.
  std::filesystem::rename(Host(kDir), Host("C:\\App\\moved"));
  ASSERT_TRUE(simwin::MakeLink(kDir, kOutside));
  EXPECT_TRUE(folder.DeleteChildFile("20200101-pavonix.log"));
  EXPECT_FALSE(folder.DeleteChildFile("CBS.log"));
  EXPECT_EQ(ReadHostFile(Out("20200101-pavonix.log")), "system");
  EXPECT_EQ(ReadHostFile(Out("CBS.log")), "system");
  EXPECT_FALSE(HostExists("C:\\App\\moved\\20200101-pavonix.log"));
  EXPECT_TRUE(folder.AppendToChildFile("CBS.log", "x", 1));
  EXPECT_EQ(ReadHostFile("C:\\App\\moved\\CBS.log"), "x");
  EXPECT_EQ(ReadHostFile(Out("CBS.log")), "system");
}

TEST_F(HeldFolder, TreeGoesWithoutEnteringLinksAndKeepsWhatIsInUse) {
  WriteHostFile(In("cache\\a.exe"));
  WriteHostFile(In("cache\\sub\\b.dat"));
  WriteHostFile(In("cache\\sub\\deeper\\c.dat"));
  ASSERT_TRUE(simwin::MakeLink(In("cache\\sub\\to-folder"), kOutside));
  ASSERT_TRUE(simwin::MakeLink(In("cache\\to-file"), Out("CBS.log")));
  CHeldFolder folder;
  ASSERT_TRUE(folder.Open(kDir));
  HANDLE h = CreateFileA(In("cache\\sub\\b.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(folder.DeleteChildTree("cache"));
  EXPECT_TRUE(HostExists(In("cache\\sub\\b.dat")));
  EXPECT_FALSE(HostExists(In("cache\\a.exe")));
  EXPECT_FALSE(HostExists(In("cache\\sub\\deeper")));
  CloseHandle(h);
  EXPECT_TRUE(folder.DeleteChildTree("cache"));
  EXPECT_FALSE(HostExists(In("cache")));
  EXPECT_EQ(ReadHostFile(Out("CBS.log")), "system");
  // A link as the tree itself is refused, its target kept.
  ASSERT_TRUE(simwin::MakeLink(In("linked"), kOutside));
  EXPECT_FALSE(folder.DeleteChildTree("linked"));
  EXPECT_EQ(ReadHostFile(Out("CBS.log")), "system");
}

// Only reparse points that stand for another name are links; cloud files
// and folders (a synced Desktop or Documents) are plain ones.
TEST_F(HeldFolder, RefusesNameSurrogatesAndLetsCloudFilesPass) {
  struct Case {
    const char* what;
    DWORD tag;
    bool folder = true;     // x is a folder (else a file)
    bool hostLink = false;  // x is a link to a folder or file outside
    bool refused = true;
  };
  const std::vector<Case> cases = {
      {"junction", IO_REPARSE_TAG_MOUNT_POINT, true, true},
      {"symbolic link to a folder", IO_REPARSE_TAG_SYMLINK, true, true},
      {"symbolic link to a file", IO_REPARSE_TAG_SYMLINK, false, true},
      {"mount point", IO_REPARSE_TAG_MOUNT_POINT},
      {"symbolic link tag on a file", IO_REPARSE_TAG_SYMLINK, false},
      {"cloud folder", IO_REPARSE_TAG_CLOUD, true, false, false},
      {"cloud file", IO_REPARSE_TAG_CLOUD_1, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Host(kDir));
    std::filesystem::remove_all(Host(kOutside));
    MakeDirs(kDir);
    WriteHostFile(Out("CBS.log"), "system");
    const std::string x = In("x");
    if (c.hostLink) {
      ASSERT_TRUE(simwin::MakeLink(x, c.folder ? std::string(kOutside) : Out("CBS.log")));
    } else if (c.folder) {
      WriteHostFile(x + "\\CBS.log", "system");  // a mount point's volume, or the cloud's
    } else {
      WriteHostFile(x, "system");
    }
    simwin::SetReparseTag(x, c.tag);
    CHeldFolder folder;
    ASSERT_TRUE(folder.Open(kDir));
    std::vector<PlatFolderEntry> entries;
    ASSERT_TRUE(folder.List(&entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].bIsLink, c.refused);
    EXPECT_EQ(entries[0].bIsDir, c.folder);
    const std::string inner = c.folder ? x + "\\CBS.log" : Out("CBS.log");
    SetLastError(0);
    if (c.folder) {
      CHeldFolder below;
      EXPECT_EQ(below.Open(x.c_str()) != FALSE, !c.refused);
      EXPECT_EQ(GetLastError(), c.refused ? static_cast<DWORD>(ERROR_CANT_ACCESS_FILE) : 0u);
      below.Close();
      EXPECT_EQ(folder.DeleteChildTree("x") != FALSE, !c.refused);
    } else {
      EXPECT_EQ(folder.AppendToChildFile("x", "+", 1) != FALSE, !c.refused);
      EXPECT_EQ(ReadHostFile(c.hostLink ? Out("CBS.log") : x), c.refused ? "system" : "system+");
      EXPECT_EQ(folder.DeleteChildFile("x") != FALSE, !c.refused);
    }
    if (c.refused) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_ACCESS_FILE));
      EXPECT_EQ(ReadHostFile(c.hostLink ? Out("CBS.log") : (c.folder ? inner : x)), "system");
    } else {
      EXPECT_FALSE(HostExists(x));
    }
  }
}

TEST_F(HeldFolder, ListsTheHeldFolderWithLinksAndFoldersMarked) {
  WriteHostFile(In("a.log"), "12345");
  MakeDirs(In("sub"));
  ASSERT_TRUE(simwin::MakeLink(In("j"), kOutside));
  ASSERT_TRUE(simwin::MakeLink(In("f"), Out("CBS.log")));
  CHeldFolder folder;
  ASSERT_TRUE(folder.Open(kDir));
  std::vector<PlatFolderEntry> entries;
  ASSERT_TRUE(folder.List(&entries));
  std::map<std::string, std::string> seen;
  for (const PlatFolderEntry& e : entries)
    seen[e.strName] = std::string(e.bIsLink ? "link " : "") + (e.bIsDir ? "dir " : "") +
                      std::to_string(e.ullSize);
  EXPECT_EQ(seen, (std::map<std::string, std::string>{
                      {"a.log", "5"}, {"sub", "dir 0"}, {"j", "link dir 0"}, {"f", "link 0"}}));
  EXPECT_EQ(GetFileAttributesA(In("j").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT,
            static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));
}

}  // namespace
