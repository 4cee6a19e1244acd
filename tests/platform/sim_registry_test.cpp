// The simulated registry's behaviour that the identity and detection code
// relies on: results, the size-then-data protocol, views and permissions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/simctl.h"

namespace {

class SimRegistry : public ::testing::Test {
 protected:
  void SetUp() override { simwin::Reset(); }
  void TearDown() override { simwin::Reset(); }
};

TEST_F(SimRegistry, MissingKeysAndValuesAndBadHandles) {
  HKEY h = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Nope", 0, KEY_READ, &h),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(h, nullptr);
  simwin::CreateRegKey(HKEY_LOCAL_MACHINE, "Software\\Here");
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Here", 0, KEY_READ, &h), ERROR_SUCCESS);
  DWORD cb = 0;
  EXPECT_EQ(RegQueryValueExA(h, "missing", nullptr, nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExA(h, "missing", nullptr, nullptr, nullptr, &cb), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(h, "x", 0, KEY_READ, &h), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Software", 0, KEY_READ, &h), ERROR_BAD_PATHNAME);
  EXPECT_EQ(simwin::OpenRegKeyCount(), 0u);
}

TEST_F(SimRegistry, SizeQueryThenDataQueryAndMoreData) {
  simwin::SetRegValue(HKEY_LOCAL_MACHINE, "Software\\A", "v", REG_EXPAND_SZ,
                      std::string("%TEMP%\\x\0", 9));
  HKEY h;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\a", 0, KEY_READ, &h), ERROR_SUCCESS);
  DWORD type = 0, cb = 0;
  ASSERT_EQ(RegQueryValueExA(h, "V", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, (DWORD)REG_EXPAND_SZ);
  EXPECT_EQ(cb, 9u);
  char small[4] = {'-', '-', '-', '-'};
  DWORD cbSmall = sizeof small;
  EXPECT_EQ(RegQueryValueExA(h, "v", nullptr, nullptr, reinterpret_cast<LPBYTE>(small), &cbSmall),
            ERROR_MORE_DATA);
  EXPECT_EQ(cbSmall, 9u);
  char buf[16];
  std::memset(buf, 'z', sizeof buf);
  cb = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(h, "v", nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(cb, 9u);
  EXPECT_EQ(std::string(buf, 9), std::string("%TEMP%\\x\0", 9));  // stored as is, nothing expanded
  EXPECT_EQ(buf[9], 'z');                                         // nothing written past the value
  EXPECT_EQ(RegQueryValueExA(h, "v", nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), nullptr),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(h);
}

TEST_F(SimRegistry, CreateReportsDispositionAndSetStoresExactBytes) {
  HKEY h;
  DWORD disp = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\P\\Q", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &h, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, (DWORD)REG_CREATED_NEW_KEY);
  const BYTE data[] = {'a', 0, 'b'};
  EXPECT_EQ(RegSetValueExA(h, "raw", 0, REG_BINARY, data, 3), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(h, "null", 0, REG_BINARY, nullptr, 3), ERROR_NOACCESS);
  RegCloseKey(h);
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\p\\q", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &h, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, (DWORD)REG_OPENED_EXISTING_KEY);
  RegCloseKey(h);
  simwin::RegValueData v;
  ASSERT_TRUE(simwin::GetRegValue(HKEY_LOCAL_MACHINE, "Software\\P\\Q", "RAW", &v));
  EXPECT_EQ(v.type, (DWORD)REG_BINARY);
  EXPECT_EQ(v.bytes, std::string("a\0b", 3));
  EXPECT_THAT(simwin::ListRegSubKeys(HKEY_LOCAL_MACHINE, "Software\\P"),
              ::testing::ElementsAre("Q"));
}

TEST_F(SimRegistry, ThirtyTwoBitViewIsTheDefaultUnderSoftware) {
  simwin::SetRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", "where", "64",
                       simwin::RegView::Reg64);
  HKEY h;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", 0, KEY_READ, &h),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", 0, KEY_READ | KEY_WOW64_64KEY, &h),
      ERROR_SUCCESS);
  RegCloseKey(h);
  simwin::SetRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", "where", "32");
  EXPECT_TRUE(simwin::RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\WOW6432Node\\Vendor",
                                   simwin::RegView::Raw));
  ASSERT_EQ(
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", 0, KEY_READ | KEY_WOW64_32KEY, &h),
      ERROR_SUCCESS);
  char buf[8] = {0};
  DWORD cb = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(h, "where", nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), &cb),
            ERROR_SUCCESS);
  EXPECT_STREQ(buf, "32");
  RegCloseKey(h);
  // A native 64-bit process sees the 64-bit view without flags.
  simwin::SetRegWow64Process(false);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", 0, KEY_READ, &h), ERROR_SUCCESS);
  cb = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(h, "where", nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), &cb),
            ERROR_SUCCESS);
  EXPECT_STREQ(buf, "64");
  RegCloseKey(h);
  EXPECT_EQ(simwin::LastRegAccessMask(), (REGSAM)KEY_READ);
}

TEST_F(SimRegistry, WriteDeniedSubtreeOpensForReadingOnly) {
  simwin::SetRegString(HKEY_LOCAL_MACHINE, "Software\\Locked\\Sub", "v", "x");
  simwin::DenyRegWrite(HKEY_LOCAL_MACHINE, "Software\\Locked");
  HKEY h;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Locked\\Sub", 0, KEY_ALL_ACCESS, &h),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Locked\\New", 0, nullptr, 0, KEY_READ,
                            nullptr, &h, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_FALSE(simwin::RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\Locked\\New"));
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Locked\\Sub", 0, KEY_READ, &h),
            ERROR_SUCCESS);
  const BYTE b = 'y';
  EXPECT_EQ(RegSetValueExA(h, "v", 0, REG_NONE, &b, 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(h, "v"), ERROR_ACCESS_DENIED);
  RegCloseKey(h);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Locked\\Sub"), ERROR_ACCESS_DENIED);

  simwin::DenyRegAccess(HKEY_LOCAL_MACHINE, "Software\\Secret");
  simwin::CreateRegKey(HKEY_LOCAL_MACHINE, "Software\\Secret");
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Secret", 0, KEY_READ, &h),
            ERROR_ACCESS_DENIED);
  simwin::ClearRegPermissions();
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Secret", 0, KEY_READ, &h), ERROR_SUCCESS);
  RegCloseKey(h);
}

TEST_F(SimRegistry, DeleteKeysAndValues) {
  simwin::SetRegString(HKEY_LOCAL_MACHINE, "Software\\D\\Child", "v", "x");
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\D"),
            ERROR_ACCESS_DENIED);  // has a sub-key
  HKEY h;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\D\\Child", 0, KEY_ALL_ACCESS, &h),
            ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(h, "v"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(h, "v"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\D\\Child"), ERROR_SUCCESS);
  const BYTE b = 1;
  EXPECT_EQ(RegSetValueExA(h, "v", 0, REG_NONE, &b, 1), ERROR_KEY_DELETED);
  RegCloseKey(h);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\D\\Child"), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(simwin::DeleteRegTree(HKEY_LOCAL_MACHINE, "Software\\D"));
  EXPECT_FALSE(simwin::RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\D"));
}

TEST_F(SimRegistry, FaultsAndMaskRecordAndHivesApart) {
  simwin::FailCall("RegOpenKeyExA", ERROR_ACCESS_DENIED);
  HKEY h;
  simwin::CreateRegKey(HKEY_CURRENT_USER, "Software\\U");
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\U", 0, KEY_READ | KEY_WOW64_32KEY, &h),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(simwin::LastRegAccessMask(), (REGSAM)(KEY_READ | KEY_WOW64_32KEY));
  // HKCU\Software is not redirected.
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\U", 0, KEY_READ, &h), ERROR_SUCCESS);
  EXPECT_EQ(simwin::OpenRegKeyCount(), 1u);
  RegCloseKey(h);
  EXPECT_FALSE(simwin::RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\U"));
  simwin::FailCall("RegQueryValueExA", ERROR_MORE_DATA, 1, 1);
  simwin::SetRegString(HKEY_LOCAL_MACHINE, "Software\\F", "v", "x");
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\F", 0, KEY_READ, &h), ERROR_SUCCESS);
  DWORD cb = 0;
  EXPECT_EQ(RegQueryValueExA(h, "v", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(h, "v", nullptr, nullptr, nullptr, &cb), ERROR_MORE_DATA);
  EXPECT_EQ(RegQueryValueExA(h, "v", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
  RegCloseKey(h);
}

}  // namespace
