// The test installer, started the way the installer's update driver starts a
// package: CreateProcessA with no command line and the caller's environment.

#include "platform/win.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Dir(const std::string& path) { return path.substr(0, path.find_last_of('\\')); }

std::string Self() {
  char buf[MAX_PATH] = {0};
  DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  return std::string(buf, n);
}

std::string Installer() { return Dir(Self()) + "\\pavonix_testinstaller.exe"; }

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) {
      return parts;
    }
    start = at + 1;
  }
}

std::string ReadFile(const std::string& path) {
  std::string data;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    return data;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    data.append(buf, n);
  }
  std::fclose(f);
  return data;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// "YYYY-MM-DD hh:mm:ss.mmm" to milliseconds since midnight; -1 if malformed.
long TimeOfDayMs(const std::string& t) {
  int y, mo, d, h, mi, s, ms;
  char tail;
  if (t.size() != 23 || std::sscanf(t.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d%c", &y, &mo, &d, &h,
                                    &mi, &s, &ms, &tail) != 7) {
    return -1;
  }
  return ((h * 60L + mi) * 60L + s) * 1000L + ms;
}

struct Record {
  std::string path, start, end;
  unsigned long pid = 0, code = 0;
};

std::vector<Record> ReadRecords(const std::string& file) {
  std::vector<Record> out;
  std::string text = ReadFile(file);
  for (const std::string& line : Split(text, '\n')) {
    if (line.empty()) {
      continue;
    }
    EXPECT_EQ(line.back(), '\r') << line;
    std::vector<std::string> f = Split(line.substr(0, line.size() - 1), '\t');
    EXPECT_EQ(f.size(), 5u) << line;
    if (f.size() != 5) {
      continue;
    }
    Record r;
    r.path = f[0];
    r.start = f[1];
    r.end = f[2];
    r.pid = std::strtoul(f[3].c_str(), nullptr, 10);
    r.code = std::strtoul(f[4].c_str(), nullptr, 10);
    out.push_back(r);
  }
  return out;
}

class TestInstaller : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Exists(Installer())) << Installer();
    char tmp[MAX_PATH] = {0};
    ASSERT_GT(GetTempPathA(MAX_PATH, tmp), 0u);
    char name[64];
    std::snprintf(name, sizeof name, "pavonix-ti-%lu-%lu",
                  static_cast<unsigned long>(GetCurrentProcessId()),
                  static_cast<unsigned long>(GetTickCount()));
    dir_ = std::string(tmp) + name;
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr)) << dir_;
    for (const char* v : {"PAVONIX_INSTALLER_RECORD", "PAVONIX_INSTALLER_EXIT",
                          "PAVONIX_INSTALLER_SLEEP_MS", "PAVONIX_INSTALLER_REMOVE"}) {
      SetEnvironmentVariableA(v, nullptr);
    }
  }

  void TearDown() override {
    for (const char* v : {"PAVONIX_INSTALLER_RECORD", "PAVONIX_INSTALLER_EXIT",
                          "PAVONIX_INSTALLER_SLEEP_MS", "PAVONIX_INSTALLER_REMOVE"}) {
      SetEnvironmentVariableA(v, nullptr);
    }
    WIN32_FIND_DATAA fd;
    std::vector<std::string> subdirs{dir_};
    for (size_t i = 0; i < subdirs.size(); ++i) {
      HANDLE h = FindFirstFileA((subdirs[i] + "\\*").c_str(), &fd);
      if (h == INVALID_HANDLE_VALUE) {
        continue;
      }
      do {
        std::string n = fd.cFileName;
        if (n == "." || n == "..") {
          continue;
        }
        std::string p = subdirs[i] + "\\" + n;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          subdirs.push_back(p);
        } else {
          DeleteFileA(p.c_str());
        }
      } while (FindNextFileA(h, &fd));
      FindClose(h);
    }
    for (size_t i = subdirs.size(); i-- > 0;) {
      RemoveDirectoryA(subdirs[i].c_str());
    }
  }

  // A copy of the installer under `name` in the test folder.
  std::string Place(const std::string& name) {
    std::string path = dir_ + "\\" + name;
    std::string folder = Dir(path);
    if (folder != dir_) {
      CreateDirectoryA(folder.c_str(), nullptr);
    }
    EXPECT_TRUE(CopyFileA(Installer().c_str(), path.c_str(), FALSE)) << path;
    return path;
  }

  // Starts it as the update driver does; returns the process, or null.
  HANDLE Start(const std::string& path, DWORD* pid) {
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    if (!CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
      return nullptr;
    }
    CloseHandle(pi.hThread);
    *pid = pi.dwProcessId;
    return pi.hProcess;
  }

  // Runs it to the end (bounded); returns the exit code, or -1.
  long long Run(const std::string& path, DWORD* pid = nullptr) {
    DWORD dummy = 0;
    HANDLE h = Start(path, pid ? pid : &dummy);
    EXPECT_NE(h, nullptr) << "CreateProcessA failed: " << GetLastError();
    if (!h) {
      return -1;
    }
    EXPECT_EQ(WaitForSingleObject(h, 60000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(h, &code));
    CloseHandle(h);
    return code;
  }

  std::string BesideRecord(const std::string& exe) {
    return Dir(exe) + "\\pavonix-installer-record.txt";
  }

  std::string dir_;
};

TEST_F(TestInstaller, RecordsItsRunBesideItselfAndExitsZero) {
  std::string exe = Place("setup.exe");
  DWORD pid = 0;
  EXPECT_EQ(Run(exe, &pid), 0);
  std::vector<Record> records = ReadRecords(BesideRecord(exe));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].path, exe);
  EXPECT_EQ(records[0].pid, pid);
  EXPECT_EQ(records[0].code, 0u);
  long start = TimeOfDayMs(records[0].start), end = TimeOfDayMs(records[0].end);
  EXPECT_GE(start, 0) << records[0].start;
  EXPECT_GE(end, start);

  // a second run appends
  EXPECT_EQ(Run(exe), 0);
  EXPECT_EQ(ReadRecords(BesideRecord(exe)).size(), 2u);
}

TEST_F(TestInstaller, ExitCodeFromItsFileName) {
  struct Case {
    const char* name;
    DWORD code;
  } cases[] = {{"client_exit3.exe", 3},     {"VENDOR_EXIT12.EXE", 12}, {"a_exit0.exe", 0},
               {"a_exitz.exe", 0},          {"exit7.exe", 0},          {"a_exit4_b.exe", 0},
               {"x_exit1_exit250.exe", 250}};
  for (const Case& c : cases) {
    std::string exe = Place(c.name);
    EXPECT_EQ(Run(exe), c.code) << c.name;
    std::vector<Record> records = ReadRecords(BesideRecord(exe));
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().code, c.code) << c.name;
    EXPECT_EQ(records.back().path, exe);
  }
}

TEST_F(TestInstaller, EnvironmentChoosesExitCodeAndRecordFile) {
  std::string exe = Place("setup_exit3.exe");
  std::string record = dir_ + "\\elsewhere record.txt";
  SetEnvironmentVariableA("PAVONIX_INSTALLER_RECORD", record.c_str());
  SetEnvironmentVariableA("PAVONIX_INSTALLER_EXIT", "5");
  EXPECT_EQ(Run(exe), 5);
  SetEnvironmentVariableA("PAVONIX_INSTALLER_EXIT", "not a number");
  EXPECT_EQ(Run(exe), 3);
  SetEnvironmentVariableA("PAVONIX_INSTALLER_EXIT", "-1");
  EXPECT_EQ(Run(exe), 0xFFFFFFFFu);
  std::vector<Record> records = ReadRecords(record);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].code, 5u);
  EXPECT_EQ(records[1].code, 3u);
  EXPECT_FALSE(Exists(BesideRecord(exe)));
}

TEST_F(TestInstaller, RemovesOnlyAPlainSiblingOtherThanItself) {
  std::string first = Place("first.exe");
  std::string later = Place("Later.exe");
  std::string outside = Place("sub\\kept.exe");
  SetEnvironmentVariableA("PAVONIX_INSTALLER_REMOVE", "first.exe");
  EXPECT_EQ(Run(first), 0);
  EXPECT_TRUE(Exists(first)) << "it must never delete itself";
  for (const char* name : {"sub\\kept.exe", "..\\Later.exe", "C:kept.exe", "sub/kept.exe", "."}) {
    SetEnvironmentVariableA("PAVONIX_INSTALLER_REMOVE", name);
    EXPECT_EQ(Run(first), 0) << name;
    EXPECT_EQ(Run(outside), 0) << name;  // "..\\Later.exe" from sub would hit Later.exe
  }
  EXPECT_TRUE(Exists(outside));
  EXPECT_TRUE(Exists(later));
  SetEnvironmentVariableA("PAVONIX_INSTALLER_REMOVE", "later.EXE");
  EXPECT_EQ(Run(first), 0);
  EXPECT_FALSE(Exists(later));
  // A name that is not there is no error.
  EXPECT_EQ(Run(first), 0);
  EXPECT_EQ(ReadRecords(BesideRecord(first)).size(), 8u);
  EXPECT_EQ(ReadRecords(BesideRecord(outside)).size(), 5u);
}

TEST_F(TestInstaller, SleepsWhenAsked) {
  std::string exe = Place("with space\\slow setup.exe");
  SetEnvironmentVariableA("PAVONIX_INSTALLER_SLEEP_MS", "400");
  DWORD before = GetTickCount();
  EXPECT_EQ(Run(exe), 0);
  EXPECT_GE(GetTickCount() - before, 390u);
  std::vector<Record> records = ReadRecords(BesideRecord(exe));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].path, exe);
  long start = TimeOfDayMs(records[0].start), end = TimeOfDayMs(records[0].end);
  if (end >= start) {  // not across midnight
    EXPECT_GE(end - start, 390);
  }
}

TEST_F(TestInstaller, RunsAtTheSameTimeAppendWholeLines) {
  std::string exe = Place("parallel.exe");
  SetEnvironmentVariableA("PAVONIX_INSTALLER_SLEEP_MS", "100");
  const int kRuns = 8;
  std::vector<HANDLE> procs;
  std::vector<DWORD> pids;
  for (int i = 0; i < kRuns; ++i) {
    DWORD pid = 0;
    HANDLE h = Start(exe, &pid);
    ASSERT_NE(h, nullptr);
    procs.push_back(h);
    pids.push_back(pid);
  }
  for (HANDLE h : procs) {
    EXPECT_EQ(WaitForSingleObject(h, 60000), WAIT_OBJECT_0);
    CloseHandle(h);
  }
  std::vector<Record> records = ReadRecords(BesideRecord(exe));
  ASSERT_EQ(records.size(), static_cast<size_t>(kRuns));
  for (DWORD pid : pids) {
    int seen = 0;
    for (const Record& r : records) {
      seen += r.pid == pid && r.path == exe;
    }
    EXPECT_EQ(seen, 1) << pid;
  }
}

TEST_F(TestInstaller, UnwritableRecordStillExitsWithTheChosenCode) {
  std::string exe = Place("setup_exit9.exe");
  SetEnvironmentVariableA("PAVONIX_INSTALLER_RECORD",
                          (dir_ + "\\no such folder\\record.txt").c_str());
  EXPECT_EQ(Run(exe), 9);
}

}  // namespace
