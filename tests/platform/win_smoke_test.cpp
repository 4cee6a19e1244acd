// Checks the real Windows platform the Windows tests run on (Wine in the
// project's prefixes: win64 natively, win32 under WoW64): code page, C
// runtime text mode, the 32-bit registry view, the temporary folder, GBK file
// names, a usable desktop, and where the two builds must differ.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/sysinfo.h"
#include "platform/win.h"

namespace {

std::string TempDir() {
  char buf[MAX_PATH + 1] = {};
  DWORD n = GetTempPathA(sizeof buf, buf);
  return std::string(buf, n);
}

std::string Unique(const char* stem) {
  return std::string(stem) + "-" + std::to_string((unsigned long)GetCurrentProcessId()) + "-" +
         std::to_string((unsigned long)GetTickCount());
}

std::string ReadAll(const std::string& path) {
  std::string out;
  FILE* f = plat_fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  plat_fclose(f);
  return out;
}

TEST(WinSmoke, AnsiCodePageIsGbk) {
  EXPECT_EQ(GetACP(), 936u);
  // A GBK double-byte lead byte must be recognised as such.
  EXPECT_TRUE(IsDBCSLeadByte(static_cast<BYTE>(0xD6)));
}

// The installer run fills STARTUPINFOA.cb with the structure's size: 68 bytes
// in the shipped 32-bit program, 104 in the 64-bit build.
static_assert(sizeof(STARTUPINFOA) == (sizeof(void*) == 4 ? 68u : 104u), "STARTUPINFOA size");

// What the simulated mutex models: a holder that ends without releasing
// abandons the mutex to the next waiter.
TEST(WinSmoke, MutexOfAThreadThatEndedIsAbandonedToTheNextWaiter) {
  HANDLE m = CreateMutexA(nullptr, FALSE, Unique("pavonix-abandoned").c_str());
  ASSERT_NE(m, nullptr);
  std::thread holder([m] { EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0); });
  holder.join();
  EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(m));
  CloseHandle(m);
}

TEST(WinSmoke, TempPathEndsWithBackslashAndExists) {
  char buf[MAX_PATH + 1] = {};
  DWORD n = GetTempPathA(sizeof buf, buf);
  ASSERT_GT(n, 0u);
  ASSERT_LT(n, sizeof buf);
  EXPECT_EQ(n, std::strlen(buf));
  EXPECT_EQ(buf[n - 1], '\\');
  DWORD attr = GetFileAttributesA(buf);
  ASSERT_NE(attr, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attr & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(WinSmoke, TextModeWritesCrLfAndBinaryDoesNot) {
  const std::string text = TempDir() + Unique("pavonix-text") + ".txt";
  const std::string bin = TempDir() + Unique("pavonix-bin") + ".txt";
  const char line[] = "one\ntwo\n";

  FILE* f = plat_fopen(text.c_str(), "w");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(plat_fwrite(line, 1, sizeof line - 1, f), sizeof line - 1);
  EXPECT_EQ(plat_fclose(f), 0);
  EXPECT_EQ(ReadAll(text), "one\r\ntwo\r\n");

  f = plat_fopen(bin.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(plat_fwrite(line, 1, sizeof line - 1, f), sizeof line - 1);
  EXPECT_EQ(plat_fclose(f), 0);
  EXPECT_EQ(ReadAll(bin), "one\ntwo\n");

  EXPECT_EQ(plat_access(text.c_str(), 0), 0);
  EXPECT_TRUE(DeleteFileA(text.c_str()));
  EXPECT_TRUE(DeleteFileA(bin.c_str()));
  EXPECT_EQ(plat_access(text.c_str(), 0), -1);
}

TEST(WinSmoke, GbkFileNameRoundTrips) {
  // "中文" in GBK: the bytes the program's own folder names are made of.
  const std::string name = Unique("pavonix-\xD6\xD0\xCE\xC4") + ".txt";
  const std::string path = TempDir() + name;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << "last error " << (unsigned long)GetLastError();
  CloseHandle(h);

  WIN32_FIND_DATAA fd;
  HANDLE find = FindFirstFileA(path.c_str(), &fd);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::string(fd.cFileName), name);
  FindClose(find);
  EXPECT_TRUE(DeleteFileA(path.c_str()));
}

class WinSmokeRegistry : public ::testing::Test {
 protected:
  void SetUp() override { sub_ = "Software\\PavonixSmoke\\" + Unique("key"); }
  void TearDown() override {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, sub_.c_str(), PAVONIX_REG_VIEW, 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\PavonixSmoke", PAVONIX_REG_VIEW, 0);
  }
  std::string sub_;
};

TEST_F(WinSmokeRegistry, ValueWrittenInProgramViewIsReadBack) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, sub_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_READ | KEY_WRITE | PAVONIX_REG_VIEW, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
  const char data[] = "ABC-123";
  ASSERT_EQ(RegSetValueExA(key, "Probe", 0, REG_NONE, reinterpret_cast<const BYTE*>(data),
                           sizeof data - 1),
            ERROR_SUCCESS);
  RegCloseKey(key);

  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub_.c_str(), 0, KEY_READ | PAVONIX_REG_VIEW, &key),
            ERROR_SUCCESS);
  // Size first, then data: the protocol the program's registry code uses.
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Probe", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, (DWORD)REG_NONE);
  ASSERT_EQ(size, sizeof data - 1);
  char buf[32] = {};
  ASSERT_EQ(RegQueryValueExA(key, "Probe", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(buf, size), "ABC-123");
  EXPECT_EQ(RegQueryValueExA(key, "Absent", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(WinSmokeRegistry, ProgramViewIsTheThirtyTwoBitView) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, sub_.c_str(), 0, nullptr, 0,
                            KEY_WRITE | PAVONIX_REG_VIEW, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char data[] = "seen";
  ASSERT_EQ(
      RegSetValueExA(key, "View", 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof data),
      ERROR_SUCCESS);
  RegCloseKey(key);

  // From the 64-bit side the key lives under Wow6432Node ...
  const std::string wow = "Software\\Wow6432Node\\" + sub_.substr(std::strlen("Software\\"));
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, wow.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key),
            ERROR_SUCCESS);
  char buf[16] = {};
  DWORD size = sizeof buf, type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "View", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, (DWORD)REG_SZ);
  EXPECT_STREQ(buf, "seen");
  RegCloseKey(key);

  // ... and not at its plain path.
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub_.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key),
            ERROR_FILE_NOT_FOUND);
}

// A plain access mask lands in the process's own view: the 32-bit program
// meets the registry redirector, the 64-bit build does not (and so asks for
// the 32-bit view with PAVONIX_REG_VIEW).
TEST_F(WinSmokeRegistry, PlainMaskMeetsTheRedirectorOnlyInThe32BitBuild) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, sub_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  const std::string wow = "Software\\Wow6432Node\\" + sub_.substr(std::strlen("Software\\"));
  const LONG atWow =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, wow.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key);
  if (atWow == ERROR_SUCCESS) RegCloseKey(key);
  const LONG atPlain =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub_.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key);
  if (atPlain == ERROR_SUCCESS) RegCloseKey(key);
#if defined(_WIN64)
  EXPECT_EQ(atPlain, ERROR_SUCCESS);
  EXPECT_EQ(atWow, ERROR_FILE_NOT_FOUND);
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, sub_.c_str(), KEY_WOW64_64KEY, 0);
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\PavonixSmoke", KEY_WOW64_64KEY, 0);
#else
  EXPECT_EQ(atWow, ERROR_SUCCESS);
  EXPECT_EQ(atPlain, ERROR_FILE_NOT_FOUND);
#endif
}

// Machine field of a PE file's header, 0 when unreadable.
WORD PeMachine(const std::string& path) {
  const std::string bytes = ReadAll(path);
  if (bytes.size() < 0x40) return 0;
  DWORD pe = 0;
  std::memcpy(&pe, bytes.data() + 0x3C, sizeof pe);
  if (pe > bytes.size() - 6 || bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return 0;
  WORD machine = 0;
  std::memcpy(&machine, bytes.data() + pe + 4, sizeof machine);
  return machine;
}

// The shipped 32-bit program runs under WoW64 on the users' 64-bit Windows:
// its system folder is System32 by name but the file system redirector shows
// it SysWOW64's files (the 32-bit DLLs it loads), and the structures it hands
// to the system have the 32-bit layout the system expects.
TEST(WinSmoke, BuildSideMatchesTheProcess) {
  BOOL wow = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow));
  char dir[MAX_PATH] = {};
  const UINT n = GetSystemDirectoryA(dir, MAX_PATH);
  ASSERT_GT(n, 0u);
  ASSERT_LT(n, (UINT)MAX_PATH);
  std::string leaf = std::strrchr(dir, '\\') ? std::strrchr(dir, '\\') + 1 : dir;
  for (char& c : leaf) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(leaf, "system32");

  // What the program reads from its system folder is built for its own side.
  const WORD machine = PeMachine(std::string(dir) + "\\version.dll");

  // The system fills in the structure size it knows for this process.
  STARTUPINFOA si = {};
  GetStartupInfoA(&si);
  EXPECT_EQ(si.cb, (DWORD)sizeof si);
#if defined(_WIN64)
  EXPECT_FALSE(wow);
  EXPECT_EQ(machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(sizeof si, 104u);
#else
  EXPECT_TRUE(wow) << "the 32-bit build must run on a 64-bit (WoW64) Windows";
  EXPECT_EQ(machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(sizeof si, 68u);
  // Past the redirector, System32 holds the 64-bit files.
  PVOID old = nullptr;
  ASSERT_TRUE(Wow64DisableWow64FsRedirection(&old));
  const WORD native = PeMachine(std::string(dir) + "\\version.dll");
  Wow64RevertWow64FsRedirection(old);
  EXPECT_EQ(native, IMAGE_FILE_MACHINE_AMD64);
#endif
}

LRESULT CALLBACK SmokeWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  return DefWindowProcA(hwnd, msg, wp, lp);
}

// The platform's run-time look-ups (WoW64, the Windows folder, the code page),
// and the alias the 32-bit build starts the native system programs (tskill)
// through: Sysnative shows the 64-bit System32, which its own System32 name
// does not.
TEST(WinSmoke, SysnativeIsTheNativeSystemFolderOfTheThirtyTwoBitBuild) {
  EXPECT_EQ(PlatAnsiCodePage(), GetACP());
  std::string windows;
  ASSERT_TRUE(PlatSystemWindowsFolder(&windows));
  ASSERT_FALSE(windows.empty());
  EXPECT_NE(windows.back(), '\\');
#if defined(_WIN64)
  EXPECT_FALSE(PlatIsWow64Process());
#else
  ASSERT_TRUE(PlatIsWow64Process());
  EXPECT_EQ(PeMachine(windows + "\\Sysnative\\version.dll"), IMAGE_FILE_MACHINE_AMD64);
#endif
}

TEST(WinSmoke, DesktopTakesWindows) {
  // The wrapper's private display is 1280x1024; a display-less desktop
  // would report no size and every window test would fail obscurely.
  if (!std::getenv("PAVONIX_WINE_DISPLAY")) {
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1280);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 1024);
  }
  WNDCLASSA wc = {};
  wc.lpfnWndProc = SmokeWndProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "PavonixSmokeWindow";
  ASSERT_NE(RegisterClassA(&wc), 0);
  HWND hwnd = CreateWindowExA(0, wc.lpszClassName, "smoke", WS_OVERLAPPEDWINDOW, 10, 10, 200, 120,
                              nullptr, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(hwnd, nullptr);
  ShowWindow(hwnd, SW_SHOW);
  EXPECT_TRUE(IsWindowVisible(hwnd));
  // Pointer-sized window data survives a round trip.
  SetWindowLongPtrA(hwnd, GWLP_USERDATA, (LONG_PTR)&wc);
  EXPECT_EQ(GetWindowLongPtrA(hwnd, GWLP_USERDATA), (LONG_PTR)&wc);
  EXPECT_TRUE(DestroyWindow(hwnd));
  UnregisterClassA(wc.lpszClassName, wc.hInstance);
}

}  // namespace
