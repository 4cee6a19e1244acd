// Downloads on the real platform under Wine: the listed SHA-256 checked by
// CNG against the bundled package server on loopback (started by a ctest
// fixture, state folder in PAVONIX_TOOLS_STATE), the protected download
// folder and the held installer, as far as Wine goes.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "platform/win.h"
#include "runfolder/dlfolder.h"
#include "update/httpcommtools.h"

// jsoncpp's reader is marked deprecated; it reads the fixture's ready file.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

// SHA-256 of the fixture's pkg.bin ("0123456789" ten thousand times).
const char kPkgSha256[] = "aca9e593cc629cbaa94cd5a07dc029424aad93e5129e5d11f8dcd2f139c16cc0";
const size_t kPkgSize = 100000;

std::string ReadFile(const std::string& path) {
  std::string data;
  FILE* f = plat_fopen(path.c_str(), "rb");
  if (!f) return data;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  plat_fclose(f);
  return data;
}

std::string PackagesUrl() {
  char buf[MAX_PATH] = {0};
  DWORD n = GetEnvironmentVariableA("PAVONIX_TOOLS_STATE", buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  Json::Value root;
  Json::Reader reader;
  if (!reader.parse(ReadFile(std::string(buf, n) + "\\ready.json"), root) || !root.isObject())
    return std::string();
  return root["package-server"]["url"].asString();
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

TEST(WineDownload, ListedHashCheckedAgainstTheLoopbackPackageServer) {
  const std::string url = PackagesUrl();
  ASSERT_FALSE(url.empty()) << "no ready.json of the services";
  CDownloadFolder folder;
  const std::string dir = folder.Path();
  ASSERT_FALSE(dir.empty());
  CHTTPCommTools comm;
  std::string local;

  ASSERT_EQ(comm.SetExpectedSha256(kPkgSha256), 0);
  EXPECT_EQ(comm.DownloadFile(dir, url + "/pkg.bin", nullptr, &local), 0);
  EXPECT_EQ(local, dir + "pkg.bin");
  EXPECT_EQ(ReadFile(local).size(), kPkgSize);

  ASSERT_EQ(comm.SetExpectedSha256(Upper(kPkgSha256)), 0);
  EXPECT_EQ(comm.DownloadFile(dir, url + "/pkg.bin", nullptr, &local), 0);

  // The listed digest of another file: the whole file arrives, is refused and
  // is not kept.
  std::string other = kPkgSha256;
  other[63] = other[63] == '0' ? '1' : '0';
  ASSERT_EQ(comm.SetExpectedSha256(other), 0);
  EXPECT_EQ(comm.DownloadFile(dir, url + "/pkg.bin", nullptr, &local), -1);
  EXPECT_EQ(local, dir + "pkg.bin");
  EXPECT_EQ(GetFileAttributesA(local.c_str()), INVALID_FILE_ATTRIBUTES);

  EXPECT_EQ(comm.SetExpectedSha256(std::string(kPkgSha256).substr(1)), -1);
  EXPECT_EQ(comm.SetExpectedSha256(std::string(kPkgSha256) + "0"), -1);
  // Without an expectation the same download counts again.
  EXPECT_EQ(comm.DownloadFile(dir, url + "/pkg.bin", nullptr, &local), 0);
}

TEST(WineDownload, FolderIsMadeReadBackAndHeldAgainstRenaming) {
  CDownloadFolder folder;
  const std::string dir = folder.Path();
  ASSERT_FALSE(dir.empty());
  const std::string path = dir.substr(0, dir.size() - 1);
  // Wine keeps no descriptors: what GetSecurityInfo reports is made up from
  // the Unix mode bits, so the program does not judge it there.
  EXPECT_FALSE(PlatKeepsFileSecurity());
  HANDLE h = CreateFileA(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  PlatSecurity sec;
  ASSERT_TRUE(GetHandleSecurity(h, &sec));
  CloseHandle(h);
  EXPECT_EQ(sec.strOwner.compare(0, 4, "S-1-"), 0) << sec.strOwner;
  EXPECT_TRUE(sec.bHasDacl);
  EXPECT_FALSE(sec.aces.empty());

  // The folder is held without delete sharing: no rename, no removal.
  EXPECT_FALSE(MoveFileA(path.c_str(), (path + "-moved").c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(RemoveDirectoryA(path.c_str()));

  // A name that exists already is refused, whoever made it.
  EXPECT_FALSE(CreateDirectoryWithSddlA(path.c_str(), DOWNLOAD_FOLDER_SDDL));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  // SDDL the system cannot read makes nothing.
  EXPECT_FALSE(CreateDirectoryWithSddlA((path + "-bad").c_str(), "O:BAD:(X;;;;;nobody)"));
  EXPECT_EQ(GetFileAttributesA((path + "-bad").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(WineDownload, HeldInstallerRefusesASecondWriterAndStillRuns) {
  CDownloadFolder folder;
  const std::string dir = folder.Path();
  ASSERT_FALSE(dir.empty());
  // A program to hold and run: the system's own.
  char szSystem[MAX_PATH] = {0};
  ASSERT_GT(GetSystemDirectoryA(szSystem, MAX_PATH), 0u);
  const std::string exe = dir + "hold.exe";
  ASSERT_TRUE(CopyFileA((std::string(szSystem) + "\\hostname.exe").c_str(), exe.c_str(), FALSE));
  ASSERT_TRUE(folder.Hold(exe));

  EXPECT_EQ(plat_fopen(exe.c_str(), "wb"), nullptr);
  EXPECT_EQ(CreateFileA(exe.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(DeleteFileA(exe.c_str()));
  EXPECT_FALSE(MoveFileA(exe.c_str(), (exe + ".old").c_str()));

  // Held, it can still be started, as the run starts it.
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(
      CreateProcessA(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
      << GetLastError();
  folder.Release(exe);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  // Released, it is an ordinary file again: once the ended process's image
  // is unmapped too, which Wine does a little after the process signals.
  FILE* f = nullptr;
  for (int i = 0; i < 50 && f == nullptr; ++i) {
    f = plat_fopen(exe.c_str(), "ab");
    if (f == nullptr) Sleep(100);
  }
  EXPECT_NE(f, nullptr);
  if (f) plat_fclose(f);
}

}  // namespace
