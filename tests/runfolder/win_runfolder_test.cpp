// The run folder and the installer's start on the real platform (under Wine):
// the folder under the Windows folder's Temp, the test installer started with
// its quoted path, the run folder as current folder and a TEMP of its own, and
// an installer whose bytes changed after their check never started.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/safefs.h"
#include "runfolder/dlfolder.h"

namespace {

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at; (at = text.find(sep, start)) != std::string::npos; start = at + 1)
    parts.push_back(text.substr(start, at - start));
  parts.push_back(text.substr(start));
  return parts;
}

// The build's host path as Wine names it.
std::string WinPath(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return "Z:" + path;
}

// The test installer's settings beside this program, which starts it: the
// installer gets the machine's environment, never this process's. Removed
// again when the holder ends.
struct InstallerSettings {
  std::string path;
  explicit InstallerSettings(const std::string& text) {
    char szSelf[MAX_PATH] = {0};
    const DWORD n = GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    path = std::string(szSelf, n);
    path = path.substr(0, path.rfind('\\') + 1) + "pavonix-installer-settings.txt";
    FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr) << path;
    if (f) {
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
    }
  }
  ~InstallerSettings() { DeleteFileA(path.c_str()); }
};

std::string ReadAll(const std::string& path) {
  std::string data;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return data;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  std::fclose(f);
  return data;
}

TEST(WinRunFolder, InstallerStartsCleanFromTheRunFolderUnderWindowsTemp) {
  char szWindows[MAX_PATH] = {0};
  ASSERT_GT(GetWindowsDirectoryA(szWindows, MAX_PATH), 0u);
  char szTemp[MAX_PATH] = {0};
  ASSERT_GT(GetTempPathA(MAX_PATH, szTemp), 0u);
  const std::string context = std::string(szTemp) + "pavonix-runfolder-context-" +
                              std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileA(context.c_str());
  InstallerSettings settings("PAVONIX_INSTALLER_CONTEXT=" + context +
                             "\r\nPAVONIX_INSTALLER_RECORD=" + context + ".record\r\n");

  std::string folder, installer;
  {
    CDownloadFolder run;
    folder = run.Path();
    const std::string parent = std::string(szWindows) + "\\Temp\\pavonix-";
    ASSERT_EQ(Upper(folder.substr(0, parent.size())), Upper(parent)) << folder;
    // A name with a blank: unquoted, it would split into a program and arguments.
    installer = folder + "my setup.exe";
    ASSERT_TRUE(CopyFileA(WinPath(TESTINSTALLER).c_str(), installer.c_str(), TRUE));
    ASSERT_TRUE(run.Hold(installer));
    std::string sha256;
    ASSERT_TRUE(HashFileHandle(run.HeldHandle(installer), &sha256));

    struct Case {
      const char* what;
      std::string sha256;
      bool started;
    };
    const std::vector<Case> cases = {
        {"bytes as listed", sha256, true},
        {"bytes other than listed", std::string(64, '0'), false},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      PROCESS_INFORMATION pi;
      EXPECT_EQ(run.StartInstaller(installer, c.sha256, &pi) != FALSE, c.started);
      if (!c.started) continue;
      EXPECT_EQ(WaitForSingleObject(pi.hProcess, 120000), WAIT_OBJECT_0);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
  }

  const std::string text = ReadAll(context);
  const std::vector<std::string> lines = Split(text, '\n');
  ASSERT_EQ(lines.size(), 2u) << "one start recorded: " << text;
  const std::vector<std::string> f = Split(lines[0].substr(0, lines[0].size() - 1), '\t');
  ASSERT_EQ(f.size(), 5u) << lines[0];
  EXPECT_EQ(Upper(f[0]), Upper(installer));
  EXPECT_EQ(Upper(f[1]), Upper("\"" + installer + "\""));
  const std::string dir = folder.substr(0, folder.size() - 1);
  EXPECT_EQ(Upper(f[2]), Upper(dir));
  EXPECT_EQ(Upper(f[3]), Upper(dir + "\\temp1"));
  EXPECT_EQ(Upper(f[4]), Upper(dir + "\\temp1"));

  // The run folder goes as the package cache would clear it.
  CHeldFolder parent;
  ASSERT_TRUE(parent.Open((std::string(szWindows) + "\\Temp").c_str()));
  const std::string name = dir.substr(dir.rfind('\\') + 1);
  EXPECT_TRUE(parent.DeleteChildTree(name.c_str()));
  EXPECT_EQ(GetFileAttributesA(dir.c_str()), INVALID_FILE_ATTRIBUTES);
  DeleteFileA(context.c_str());
  DeleteFileA((context + ".record").c_str());
}

// What a process of the user wrote into HKCU\\Environment, and so what the
// elevated program was started with: none of it reaches an installer, which
// gets the machine's variables and its own TEMP and TMP. The owning table of
// each variable is Driver.InstallersStartWithTheMachinesEnvironmentNotTheUsers.
TEST(WinRunFolder, InstallerGetsTheMachinesEnvironmentNotTheUsers) {
  char szTemp[MAX_PATH] = {0};
  ASSERT_GT(GetTempPathA(MAX_PATH, szTemp), 0u);
  const std::string record = std::string(szTemp) + "pavonix-runfolder-env-" +
                             std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileA(record.c_str());
  const std::vector<std::pair<std::string, std::string>> user = {
      {"COR_ENABLE_PROFILING", "1"},
      {"COR_PROFILER", "{11111111-2222-3333-4444-555555555555}"},
      {"COR_PROFILER_PATH", "C:\\users\\Public\\p.dll"},
      {"COMPlus_EnableDiagnostics", "1"},
      {"DOTNET_STARTUP_HOOKS", "C:\\users\\Public\\h.dll"},
      {"CORECLR_PROFILER_PATH", "C:\\users\\Public\\c.dll"},
      {"__COMPAT_LAYER", "RunAsInvoker"},
      {"PATH", "C:\\users\\Public\\bin;C:\\windows\\system32"},
      {"ComSpec", "C:\\users\\Public\\cmd.exe"},
      {"windir", "C:\\users\\Public"},
      {"SystemRoot", "C:\\users\\Public"},
      {"PATHEXT", ".EXE;.JS"},
  };
  HKEY hEnv = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Environment", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &hEnv, nullptr),
            ERROR_SUCCESS);
  for (const auto& v : user) {
    RegSetValueExA(hEnv, v.first.c_str(), 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(v.second.c_str()),
                   static_cast<DWORD>(v.second.size() + 1));
    SetEnvironmentVariableA(v.first.c_str(), v.second.c_str());
  }
  std::string folder;
  {
    InstallerSettings settings("PAVONIX_INSTALLER_ENVIRONMENT=" + record + "\r\n");
    CDownloadFolder run;
    folder = run.Path();
    ASSERT_FALSE(folder.empty());
    const std::string installer = folder + "setup.exe";
    ASSERT_TRUE(CopyFileA(WinPath(TESTINSTALLER).c_str(), installer.c_str(), TRUE));
    ASSERT_TRUE(run.Hold(installer));
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(run.StartInstaller(installer, "", &pi));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 120000), WAIT_OBJECT_0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  for (const auto& v : user) RegDeleteValueA(hEnv, v.first.c_str());
  RegCloseKey(hEnv);

  std::map<std::string, std::string> got;
  const std::string recorded = ReadAll(record);
  for (std::string line : Split(recorded, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=', 1);
    if (eq != std::string::npos) got[Upper(line.substr(0, eq))] = line.substr(eq + 1);
  }
  ASSERT_FALSE(got.empty()) << "the installer recorded no environment";
  for (const auto& v : user) {
    SCOPED_TRACE(v.first);
    const auto it = got.find(Upper(v.first));
    if (it != got.end()) {
      EXPECT_NE(it->second, v.second) << recorded;
    }
  }
  EXPECT_TRUE(got.count("USERPROFILE") && got.count("USERNAME") && got.count("SYSTEMROOT"));
  const std::string dir = folder.substr(0, folder.size() - 1);
  EXPECT_EQ(Upper(got["TEMP"]), Upper(dir + "\\temp1"));
  DeleteFileA(record.c_str());
  CHeldFolder parent;
  const size_t sep = dir.rfind('\\');
  if (parent.Open(dir.substr(0, sep).c_str())) parent.DeleteChildTree(dir.c_str() + sep + 1);
}

}  // namespace
