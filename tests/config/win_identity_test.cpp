// The installation identity in the real registry (under Wine): created once,
// read back by a second process, stored in the 32-bit view.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <regex>
#include <string>

#include "config/installid.h"
#include "config/moduledir.h"
#include "config/sysconfig.h"
#include "tests/config/win_process.h"

namespace {

const char kKey[] = "Software\\ZYN\\DA";

struct Raw {
  bool found = false;
  DWORD type = 0xFFFF;
  std::string bytes;
};

Raw ReadRaw(const char* name, REGSAM view) {
  Raw r;
  HKEY h;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | view, &h) != ERROR_SUCCESS) return r;
  char buf[256];
  DWORD cb = sizeof buf;
  if (RegQueryValueExA(h, name, NULL, &r.type, reinterpret_cast<LPBYTE>(buf), &cb) ==
      ERROR_SUCCESS) {
    r.found = true;
    r.bytes.assign(buf, cb);
  }
  RegCloseKey(h);
  return r;
}

class WinIdentity : public ::testing::Test {
 protected:
  WinIdentity()
      : id_(kKey, "UniqueID", KEY_WOW64_32KEY),
        time_(kKey, "InstallTime", KEY_WOW64_32KEY),
        key64Existed_(Open64()) {}
  void SetUp() override {
    id_.Remove();
    time_.Remove();
    ResetSysConfigForTests();
  }
  void TearDown() override {
    ResetSysConfigForTests();
    id_.Restore();
    time_.Restore();
    if (!id_.KeyExisted()) pavtest::DeleteKeyChain(kKey, 1, KEY_WOW64_32KEY);
  }
  static bool Open64() {
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | KEY_WOW64_64KEY, &h) != ERROR_SUCCESS)
      return false;
    RegCloseKey(h);
    return true;
  }
  pavtest::SavedRegValue id_, time_;
  bool key64Existed_;
};

TEST_F(WinIdentity, CreatedOnceAndReadBackByASecondProcess) {
  std::string id = CPavonixSysConfig::GetInstance()->m_strUniqueId;
  ASSERT_TRUE(std::regex_match(id, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}"))) << id;

  Raw stored = ReadRaw("UniqueID", KEY_WOW64_32KEY);
  ASSERT_TRUE(stored.found);
  EXPECT_EQ(stored.type, (DWORD)REG_NONE);
  EXPECT_EQ(stored.bytes, id);  // 36 bytes, no terminator
  Raw time = ReadRaw("InstallTime", KEY_WOW64_32KEY);
  ASSERT_TRUE(time.found);
  EXPECT_EQ(time.type, (DWORD)REG_NONE);
  EXPECT_EQ(time.bytes.size(), 17u);
  EXPECT_TRUE(std::regex_match(time.bytes, std::regex("\\d{8} \\d\\d:\\d\\d:\\d\\d")))
      << time.bytes;

  std::string out = GetModuleDir() + "\\identity_probe.out";
  int rc = pavtest::RunCapture("\"" + GetModuleDir() + "\\identity_probe.exe\" \"" + out + "\"",
                               GetModuleDir() + "\\identity_probe.log");
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(pavtest::ReadWholeFile(out), id);
  DeleteFileA(out.c_str());
  DeleteFileA((GetModuleDir() + "\\identity_probe.log").c_str());
  // The second start left the stored time alone.
  EXPECT_EQ(ReadRaw("InstallTime", KEY_WOW64_32KEY).bytes, time.bytes);
}

TEST_F(WinIdentity, StoredInTheThirtyTwoBitView) {
  std::string id = CPavonixSysConfig::GetInstance()->m_strUniqueId;
  char sysDir[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryA(sysDir, MAX_PATH), 0u);
  std::string out = GetModuleDir() + "\\reg_query.out";
  int rc = pavtest::RunCapture(
      std::string(sysDir) + "\\reg.exe query \"HKLM\\Software\\Wow6432Node\\ZYN\\DA\"", out);
  std::string text = pavtest::ReadWholeFile(out);
  DeleteFileA(out.c_str());
  EXPECT_EQ(rc, 0) << text;
  EXPECT_THAT(text, ::testing::HasSubstr("UniqueID"));
  EXPECT_THAT(text, ::testing::HasSubstr("InstallTime"));
  EXPECT_THAT(text, ::testing::HasSubstr("REG_NONE"));
  // reg shows REG_NONE data as hexadecimal bytes: the 36 characters, no terminator.
  std::string hex;
  char two[3];
  for (unsigned char c : id) {
    snprintf(two, sizeof two, "%02X", c);
    hex += two;
  }
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  EXPECT_THAT(text, ::testing::HasSubstr(hex + "\r\n"));
  if (!key64Existed_) {
    EXPECT_FALSE(Open64());
  }
}

TEST_F(WinIdentity, LaterLoadsKeepTheIdentity) {
  std::string first = GetInstallId();
  EXPECT_EQ(GetInstallId(), first);
  std::string out;
  EXPECT_EQ(ReadRegString(kKey, "UniqueID", out), 0);
  EXPECT_EQ(out, first);
  // REG_SZ with its terminator written by someone else reads the same.
  HKEY h;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &h),
            ERROR_SUCCESS);
  const char text[] = "set-as-reg-sz";
  RegSetValueExA(h, "UniqueID", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
  RegCloseKey(h);
  EXPECT_EQ(GetInstallId(), "set-as-reg-sz");
}

}  // namespace
