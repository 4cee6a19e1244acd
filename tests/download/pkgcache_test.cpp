// The package cache against the simulated WinInet and file system: what a
// later attempt or run fetches, what it refuses, what the clean-up deletes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "download/pkgcache.h"
#include "log/log.h"
#include "platform/crypto.h"
#include "platform/folders.h"
#include "platform/simctl.h"
#include "tests/config/sim_fixture.h"
#include "tests/support/download_support.h"
#include "update/httpcommtools.h"

namespace fs = std::filesystem;

namespace {

using dltest::g_progress;
using dltest::Progress;
using dltest::Sha256Of;

const char kPkgUrl[] = "http://pkg.example/setup.exe";
const ULONGLONG kDay = 864000000000ull;

class Cache : public ::testing::Test {
 protected:
  fs::path root;
  std::string body;
  std::string sha;

  void SetUp() override {
    simwin::Reset();
    root = pavtest::FreshTestFolder("pavonix-cache");
    fs::create_directories(root / "Temp");
    fs::create_directories(root / "ProgramData");
    simwin::MapDrive('C', root.string());
    simwin::SetTempPath("C:\\Temp\\");
    for (int i = 0; i < 25000; ++i) body.push_back(static_cast<char>(i * 17 + i / 3));
    sha = Sha256Of(body);
    g_nLogLevel = 1;
    snprintf(g_szLogPath, sizeof g_szLogPath, "C:\\cache.log");
    snprintf(g_szLogModule, sizeof g_szLogModule, "PAVONIX");
  }
  void TearDown() override {
    g_nLogLevel = 0;
    g_szLogPath[0] = '\0';
    fs::remove_all(root);
  }
  fs::path CacheDir() { return root / "ProgramData" / "Pavonix" / "PackageCache"; }
  static std::string Read(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  void Serve(size_t cutAfter) {
    simwin::HttpReply r;
    r.body = body;
    r.closeAfter = cutAfter;
    r.headers = {{"ETag", "\"v1\""}};
    simwin::ServeAt("pkg.example", 80, r);
  }
  // One package download as a fresh run makes it.
  int Run() {
    CHTTPCommTools comm;
    EXPECT_EQ(comm.SetExpectedSha256(sha), 0);
    std::string local;
    g_progress.clear();
    return comm.DownloadFile("C:\\Temp\\", kPkgUrl, Progress, &local);
  }
};

TEST_F(Cache, LaterRunsUseWhatIsCachedAndRefuseWhatChanged) {
  // A run that got 10000 bytes, then one that finds them: it asks for the
  // rest only. A third fetches nothing; an entry changed on disk is refused
  // and fetched again; a link in its place is never read.
  Serve(10000);
  EXPECT_EQ(Run(), -1);
  EXPECT_EQ(fs::file_size(CacheDir() / sha), 10000u);
  size_t asked = simwin::HttpRequests().size();

  struct Case {
    const char* name;
    std::function<void()> before;
    size_t requests;
    std::string firstRange;  // of this run's first request
    bool error;              // one ERROR line about the cache
  };
  const fs::path outside = root / "outside.bin";
  // What a row holds open during its run: another elevated instance's lock,
  // or a reader of the entry that shares no writing.
  HANDLE held = INVALID_HANDLE_VALUE;
  auto hold = [&](const fs::path& p, DWORD share) {
    held = CreateFileA(("C:\\ProgramData\\Pavonix\\PackageCache\\" + p.filename().string()).c_str(),
                       GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
  };
  const Case cases[] = {
      {"partial from an earlier run", [&] { Serve(static_cast<size_t>(-1)); }, 1, "bytes=10000-",
       false},
      {"whole and right", [] {}, 0, "", false},
      {"whole, a scanner reads it for a second",
       [&] {
         EXPECT_TRUE(simwin::HoldFileFor("C:\\ProgramData\\Pavonix\\PackageCache\\" + sha, 1000));
       },
       0, "", false},
      {"another instance works on the entry", [&] { hold(CacheDir() / (sha + ".lock"), 0); }, 1, "",
       false},
      {"a partial entry someone holds without write sharing",
       [&] {
         std::ofstream(CacheDir() / sha, std::ios::binary) << body.substr(0, 10000);
         std::ofstream(CacheDir() / (sha + ".state"), std::ios::binary) << "25000\n\"v1\"\n";
         hold(CacheDir() / sha, FILE_SHARE_READ);
       },
       1, "", false},
      {"changed on disk",
       [&] {
         std::string bad = body;
         bad[100] ^= 1;
         std::ofstream(CacheDir() / sha, std::ios::binary) << bad;
       },
       1, "", true},
      {"a link in its place",
       [&] {
         std::ofstream(outside, std::ios::binary) << body;
         fs::remove(CacheDir() / sha);
         fs::create_symlink(outside, CacheDir() / sha);
       },
       1, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(root / "cache.log");
    fs::remove_all(root / "Temp" / "setup.exe");
    c.before();
    asked = simwin::HttpRequests().size();
    EXPECT_EQ(Run(), 0);
    auto reqs = simwin::HttpRequests();
    ASSERT_EQ(reqs.size() - asked, c.requests);
    if (c.requests > 0) {
      EXPECT_EQ(reqs[asked].Header("Range"), c.firstRange);
    }
    EXPECT_EQ(Read(root / "Temp" / "setup.exe"), body);
    // Fetched or cached, the window ends at the whole package.
    ASSERT_FALSE(g_progress.empty());
    EXPECT_EQ(g_progress.back(), (std::pair<int, int>{25000, 25000}));
    EXPECT_EQ(Read(root / "cache.log").find("[ERROR]") != std::string::npos, c.error)
        << Read(root / "cache.log");
    // The run's own lock goes with its work.
    if (held == INVALID_HANDLE_VALUE) {
      EXPECT_FALSE(fs::exists(CacheDir() / (sha + ".lock")));
    }
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    held = INVALID_HANDLE_VALUE;
    fs::remove(CacheDir() / (sha + ".lock"));
  }
  // The link was left as it was, and what it points to untouched.
  EXPECT_TRUE(fs::is_symlink(CacheDir() / sha));
  EXPECT_EQ(Read(outside), body);
}

// The cache folder as it was on disk when the download reported at least
// cbAt bytes: what a program ended at that moment leaves behind.
std::function<void(int)> g_atProgress;
int Snapshotting(int done, int total) {
  if (g_atProgress) g_atProgress(done);
  return Progress(done, total);
}

TEST_F(Cache, ARunThatWasEndedGoesOnFromItsBytes) {
  // at: bytes reported when the program "ends"; 0: after its last byte,
  // before the state file was removed.
  for (int at : {12000, 0}) {
    SCOPED_TRACE(at);
    fs::remove_all(CacheDir());
    fs::remove_all(root / "Temp" / "setup.exe");
    const fs::path saved = root / "saved";
    fs::remove_all(saved);
    g_atProgress = [&](int done) {
      if (at == 0 || done < at || fs::exists(saved)) return;
      fs::create_directories(saved);
      for (const char* suffix : {"", ".state"})
        fs::copy_file(CacheDir() / (sha + suffix), saved / (sha + suffix));
    };
    Serve(static_cast<size_t>(-1));
    CHTTPCommTools first;
    ASSERT_EQ(first.SetExpectedSha256(sha), 0);
    std::string local;
    ASSERT_EQ(first.DownloadFile("C:\\Temp\\", kPkgUrl, Snapshotting, &local), 0);
    g_atProgress = nullptr;
    if (at == 0) {
      fs::create_directories(saved);
      fs::copy_file(CacheDir() / sha, saved / sha);
      std::ofstream(saved / (sha + ".state"), std::ios::binary) << "25000\n\"v1\"\n";
    }
    // The cache as the ended program left it.
    fs::remove_all(CacheDir());
    fs::create_directories(CacheDir());
    fs::copy(saved, CacheDir());
    const uint64_t have = fs::file_size(CacheDir() / sha);
    const size_t asked = simwin::HttpRequests().size();
    EXPECT_EQ(Run(), 0);
    auto reqs = simwin::HttpRequests();
    if (at != 0) {
      ASSERT_GT(have, 0u);
      ASSERT_LT(have, body.size());
      ASSERT_EQ(reqs.size() - asked, 1u);
      EXPECT_EQ(reqs[asked].Header("Range"), "bytes=" + std::to_string(have) + "-");
      EXPECT_EQ(reqs[asked].Header("If-Range"), "\"v1\"");
    } else {
      EXPECT_EQ(reqs.size(), asked);
    }
    EXPECT_EQ(Read(root / "Temp" / "setup.exe"), body);
    EXPECT_FALSE(fs::exists(CacheDir() / (sha + ".state")));
  }
}

TEST_F(Cache, AScannerOnTheStateAsTheFetchEndsCostsNoLaterRunTheEntry) {
  // The scanner opens the state file (just written) as the last bytes
  // arrive; its delete waits that out, so the next run takes the entry.
  Serve(static_cast<size_t>(-1));
  const std::string state = "C:\\ProgramData\\Pavonix\\PackageCache\\" + sha + ".state";
  bool held = false;
  g_atProgress = [&](int done) {
    if (done == 25000 && !held) held = simwin::HoldFileFor(state, 1000);
  };
  CHTTPCommTools first;
  ASSERT_EQ(first.SetExpectedSha256(sha), 0);
  std::string local;
  ASSERT_EQ(first.DownloadFile("C:\\Temp\\", kPkgUrl, Snapshotting, &local), 0);
  g_atProgress = nullptr;
  ASSERT_TRUE(held);
  EXPECT_FALSE(fs::exists(CacheDir() / (sha + ".state")));
  const size_t asked = simwin::HttpRequests().size();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(simwin::HttpRequests().size(), asked);
}

PlatFolderEntry At(const std::string& name, ULONGLONG when, ULONGLONG size, bool link = false,
                   bool dir = false) {
  PlatFolderEntry e;
  e.strName = name;
  e.bIsLink = link;
  e.bIsDir = dir;
  e.ullSize = size;
  e.ftLastWrite.dwLowDateTime = static_cast<DWORD>(when);
  e.ftLastWrite.dwHighDateTime = static_cast<DWORD>(when >> 32);
  return e;
}

TEST(CacheCleanUp, WhatGoes) {
  const ULONGLONG now = 1000 * kDay;
  const std::string a(64, 'a'), b(64, 'b'), c(64, 'c');
  struct Case {
    const char* name;
    std::vector<PlatFolderEntry> entries;
    uint64_t cbMax;
    std::vector<std::string> gone;
  };
  const Case cases[] = {
      {"used within 30 days stays", {At(a, now - 29 * kDay, 5)}, 100, {}},
      {"idle 31 days goes with its state",
       {At(a, now - 31 * kDay, 5), At(a + ".state", now - 31 * kDay, 1)},
       100,
       {a, a + ".state"}},
      {"a recent use keeps an old entry",
       {At(a, now - 40 * kDay, 5), At(a + ".used", now - kDay, 0)},
       100,
       {}},
      {"oldest beyond the size",
       {At(a, now - 3 * kDay, 60), At(b, now - 2 * kDay, 30), At(c, now - kDay, 30)},
       70,
       {a}},
      {"oldest two beyond the size",
       {At(a, now - 3 * kDay, 40), At(b, now - 2 * kDay, 40), At(c, now - kDay, 40)},
       50,
       {a, b}},
      {"strays, links and folders",
       {At("notes.txt", now, 1), At(b, now, 1, true), At(c, now, 0, false, true),
        At(a + ".part", now, 1)},
       100,
       {"notes.txt", b, c, a + ".part"}},
  };
  for (const Case& k : cases) {
    auto got = CacheEntriesToDelete(k.entries, now, k.cbMax);
    std::sort(got.begin(), got.end());
    auto want = k.gone;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << k.name;
  }
  const std::string run = "pavonix-0123456789abcdef0123456789abcdef";
  EXPECT_EQ(
      RunFoldersToDelete({At(run, now - 8 * kDay, 0, false, true),
                          At("pavonix-" + std::string(32, 'f'), now - 6 * kDay, 0, false, true),
                          At("pavonix-" + std::string(32, 'g'), now - 9 * kDay, 0, false, true),
                          At("pavonix-" + std::string(32, 'e'), now - 9 * kDay, 0, true, true),
                          At("other", now - 9 * kDay, 0, false, true)},
                         now),
      std::vector<std::string>{run});
}

TEST_F(Cache, CleanUpDeletesThroughTheHeldFolderOnly) {
  Serve(static_cast<size_t>(-1));
  ASSERT_EQ(Run(), 0);
  CPackageCache cache;
  ASSERT_TRUE(cache.Open());
  // An idle entry, and a stray link to a file outside: the entry goes; the
  // link is not followed, so the file it names stays.
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 31);
  fs::last_write_time(CacheDir() / sha, old);
  fs::remove(CacheDir() / (sha + ".used"));
  std::ofstream(root / "keep.bin") << "keep";
  fs::create_symlink(root / "keep.bin", CacheDir() / "link");
  // Run folders, under the Windows folder's Temp and the user's: those a
  // week and a day old go, a fresh one stays.
  const fs::path oldRun = root / "Temp" / ("pavonix-" + std::string(32, 'a'));
  const fs::path oldWinRun = root / "Windows" / "Temp" / ("pavonix-" + std::string(32, 'c'));
  const fs::path newRun = root / "Temp" / ("pavonix-" + std::string(32, 'b'));
  for (const fs::path& p : {oldRun, oldWinRun, newRun}) fs::create_directories(p);
  for (const fs::path& p : {oldRun, oldWinRun}) {
    std::ofstream(p / "setup.exe") << "x";
    fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::hours(24 * 8));
  }
  CleanUpEarlierRuns();
  EXPECT_FALSE(fs::exists(CacheDir() / sha));
  EXPECT_EQ(Read(root / "keep.bin"), "keep");
  EXPECT_FALSE(fs::exists(oldRun));
  EXPECT_FALSE(fs::exists(oldWinRun));
  EXPECT_TRUE(fs::exists(newRun));
  // A file of an old run folder that a scanner reads: the clean-up does not
  // wait for it. With POSIX deletes the folder goes all the same; without,
  // the file is delete pending and its folder left for a later start.
  for (bool posix : {true, false}) {
    SCOPED_TRACE(posix ? "POSIX deletes" : "no POSIX deletes");
    simwin::SetPosixDeletes(posix);
    fs::create_directories(oldRun);
    std::ofstream(oldRun / "setup.exe") << "x";
    fs::last_write_time(oldRun, fs::file_time_type::clock::now() - std::chrono::hours(24 * 8));
    const std::string file = "C:\\Temp\\" + oldRun.filename().string() + "\\setup.exe";
    ASSERT_TRUE(
        simwin::HoldFileFor(file, 5000, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    const DWORD start = GetTickCount();
    CleanUpEarlierRuns();
    EXPECT_EQ(GetTickCount(), start);
    EXPECT_EQ(fs::exists(oldRun), !posix);
    Sleep(5000);  // the scanner lets go
    EXPECT_EQ(simwin::OpenFileCount(file), 0u);
    EXPECT_FALSE(fs::exists(oldRun / "setup.exe"));
    // A later start, when the emptied folder is a week and a day old again.
    if (!posix) {
      fs::last_write_time(oldRun, fs::file_time_type::clock::now() - std::chrono::hours(24 * 8));
    }
    CleanUpEarlierRuns();
    EXPECT_FALSE(fs::exists(oldRun));
  }
  // On a machine without a cache the clean-up makes none.
  fs::remove_all(root / "ProgramData" / "Pavonix");
  CleanUpEarlierRuns();
  EXPECT_FALSE(fs::exists(root / "ProgramData" / "Pavonix"));
}

}  // namespace
