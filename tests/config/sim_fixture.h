// Shared fixture of the native suites: a fresh simulated machine whose drive
// C is a new host folder, removed again after the test.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/simctl.h"

namespace pavtest {

inline std::string MakeHostTempDir() {
  char tmpl[] = "/tmp/pavonix-core-XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "";
}

// An empty host folder of this test alone: ctest runs each test as a
// process of its own, two at a time, so the name carries both.
inline std::filesystem::path FreshTestFolder(const std::string& prefix) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::filesystem::path p =
      std::filesystem::temp_directory_path() /
      (prefix + "-" + std::to_string(getpid()) + "-" + (info ? info->name() : "none"));
  std::filesystem::remove_all(p);
  std::filesystem::create_directories(p);
  return p;
}

class SimMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    simwin::Reset();
    drive_ = MakeHostTempDir();
    ASSERT_FALSE(drive_.empty());
    simwin::MapDrive('C', drive_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(drive_, ec);
    simwin::Reset();
  }

  // Host path of a Windows path on the mapped drive.
  std::string Host(const std::string& winPath) const { return simwin::HostPath(winPath); }

  void MakeDirs(const std::string& winPath) const {
    std::filesystem::create_directories(Host(winPath));
  }

  void WriteHostFile(const std::string& winPath, const std::string& bytes = "x") const {
    std::filesystem::path p = Host(winPath);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
  }

  bool HostExists(const std::string& winPath) const {
    return std::filesystem::exists(Host(winPath));
  }

  std::string ReadHostFile(const std::string& winPath) const {
    std::ifstream in(Host(winPath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string drive_;
};

}  // namespace pavtest
