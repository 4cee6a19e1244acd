// The update driver and the package download over a scripted communication
// object, on the simulated platform.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include "app/contract.h"
#include "fakecomm.h"
#include "log/log.h"
#include "platform/environ.h"
#include "platform/simctl.h"
#include "tests/config/sim_fixture.h"
#include "update/softupdate.h"
#include "update/updater.h"

namespace fs = std::filesystem;

namespace {

const char kTemp[] = "C:\\Users\\user\\AppData\\Local\\Temp\\";

std::string Reply(const std::vector<std::pair<std::string, std::string>>& pkgs) {
  std::string s = "{\"code\":\"0\",\"data\":{\"softList\":[";
  for (size_t i = 0; i < pkgs.size(); ++i) {
    if (i) s += ",";
    s += "{\"address\":\"" + pkgs[i].first + "\",\"version\":\"1\",\"soft\":\"S\"" +
         pkgs[i].second + "}";
  }
  return s + "]}}";
}

class Driver : public ::testing::Test {
 protected:
  FakeComm comm;
  HWND main = nullptr;
  HWND progress = nullptr;
  HWND percent = nullptr;
  fs::path root;

  void SetUp() override {
    simwin::Reset();
    root = pavtest::FreshTestFolder("pavonix-driver");
    fs::create_directories(root / "Users" / "user" / "AppData" / "Local" / "Temp");
    simwin::MapDrive('C', root.string());
    main = simwin::CreateTestWindow("main");
    progress = simwin::CreateTestWindow("progress");
    percent = simwin::AddDlgItem(progress, IDC_PROGRESS_PERCENT);
    g_hNotifyWnd = main;
    g_hMainDlg = main;
    g_hProgressDlg = progress;
    g_hAnimThread = nullptr;
    // Neither 0 nor 1: a check of the flag sees what the run set.
    g_bAnimStop = 2;
  }
  void TearDown() override {
    g_bAnimStop = 1;
    EXPECT_TRUE(simwin::WaitForThreads(5000));
    if (g_hAnimThread) CloseHandle(g_hAnimThread);
    g_hAnimThread = nullptr;
    g_hNotifyWnd = g_hMainDlg = g_hProgressDlg = nullptr;
    fs::remove_all(root);
  }
  // The download folder of the run: a fresh one under the temporary folder,
  // the same for every package and attempt of it.
  std::string Folder() {
    std::string folder = comm.downloads.empty() ? "" : comm.downloads[0].folder;
    EXPECT_EQ(folder.size(), std::strlen(kTemp) + 41) << folder;
    EXPECT_EQ(folder.compare(0, std::strlen(kTemp) + 8, std::string(kTemp) + "pavonix-"), 0);
    EXPECT_EQ(folder.back(), '\\');
    for (const auto& d : comm.downloads) EXPECT_EQ(d.folder, folder);
    return folder;
  }
  int Run() {
    return RunProductUpdate(&comm, "http://up:9006//softServer/req", "UID-1", "levyDesk", "V1.0");
  }
  std::vector<std::string> Launched() {
    std::vector<std::string> out;
    for (const auto& l : simwin::ProcessLaunches()) out.push_back(l.applicationName);
    return out;
  }
  std::vector<UINT> MainMessages() {
    std::vector<UINT> out;
    for (const auto& m : simwin::SentMessages(main)) out.push_back(m.msg);
    return out;
  }
};

TEST_F(Driver, DownloadsIntoTempThenRunsInstallersInOrder) {
  comm.answers = {{0, Reply({{"http://p/a/setup.exe", ",\"excuteExe\":true"},
                             {"http://p/readme.txt", ",\"excuteExe\":false"},
                             {"http://p/b.exe", ""}})}};
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(comm.posted.size(), 1u);
  ASSERT_EQ(comm.downloads.size(), 3u);
  for (const auto& d : comm.downloads) EXPECT_TRUE(d.hasProgress);
  EXPECT_EQ(Launched(), (std::vector<std::string>{Folder() + "setup.exe", Folder() + "b.exe"}));
  for (const auto& l : simwin::ProcessLaunches()) {
    EXPECT_EQ(l.commandLine, "\"" + l.applicationName + "\"");
    EXPECT_EQ(l.currentDirectory + "\\", Folder());
    EXPECT_FALSE(l.hasProcessAttributes);
    EXPECT_FALSE(l.hasThreadAttributes);
    EXPECT_EQ(l.inheritHandles, FALSE);
    EXPECT_EQ(l.creationFlags, 0u);
    EXPECT_EQ(l.startupInfoCb, sizeof(STARTUPINFOA));
    EXPECT_TRUE(l.startupInfoZeroed);
  }
  // Progress of each file, then the installing notice.
  std::vector<UINT> msgs = MainMessages();
  ASSERT_EQ(msgs.size(), 7u);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(msgs[i], (UINT)WM_DOWNLOAD_PROGRESS);
  EXPECT_EQ(msgs[6], (UINT)WM_INSTALL_STARTED);
  EXPECT_EQ(g_bAnimStop.load(), 1);
  EXPECT_NE(g_hAnimThread, nullptr);
  // Every process handle was closed; only the animation thread's remains.
  EXPECT_EQ(simwin::OpenHandleCount("process"), 0u);
}

TEST_F(Driver, InstallStartedComesAfterDownloadsAndBeforeProcesses) {
  comm.answers = {{0, Reply({{"http://p/a.exe", ""}})}};
  uint64_t startedSeq = 0;
  simwin::SetMessageHandler(main, [&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
    if (m == WM_INSTALL_STARTED) {
      EXPECT_EQ(g_bAnimStop.load(), 0);  // cleared before the notice
      EXPECT_TRUE(simwin::ProcessLaunches().empty());
      EXPECT_EQ(comm.downloads.size(), 1u);
      startedSeq = simwin::SentMessages().back().seq;
    }
    return 0;
  });
  simwin::OnProcessRun([&](const simwin::ProcessLaunch&) -> DWORD {
    EXPECT_EQ(g_bAnimStop.load(), 0);  // the animation runs while installers run
    return 0;
  });
  EXPECT_EQ(Run(), 0);
  EXPECT_NE(startedSeq, 0u);
  EXPECT_EQ(g_bAnimStop.load(), 1);
}

TEST_F(Driver, EmptyListStillSendsInstallStarted) {
  for (const char* reply :
       {"{\"code\":\"0\",\"data\":{\"softList\":[]}}", "{\"code\":\"5\"}", "null"}) {
    simwin::ClearSentMessages();
    comm.answers = {{0, reply}};
    EXPECT_EQ(Run(), 0) << reply;
    EXPECT_EQ(MainMessages(), std::vector<UINT>{WM_INSTALL_STARTED}) << reply;
    EXPECT_EQ(g_bAnimStop.load(), 1);
  }
  EXPECT_TRUE(comm.downloads.empty());
  EXPECT_TRUE(simwin::ProcessLaunches().empty());
  // Each run started its own animation; the older handles were let go.
  EXPECT_LE(simwin::OpenHandleCount("thread"), 1u);
}

TEST_F(Driver, ExitCodeOfAnInstallerDoesNotMatter) {
  comm.answers = {{0, Reply({{"http://p/a.exe", ""}, {"http://p/b.exe", ""}})}};
  simwin::SetProcessExitCode(1603);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Launched().size(), 2u);
}

TEST_F(Driver, InstallerThatCannotStartStopsTheRun) {
  comm.answers = {
      {0, Reply({{"http://p/a.exe", ""}, {"http://p/b.exe", ""}, {"http://p/c.exe", ""}})}};
  simwin::FailCall("CreateProcessA", ERROR_BAD_EXE_FORMAT, 1, 1);
  EXPECT_EQ(Run(), -2);
  auto l = simwin::ProcessLaunches();
  ASSERT_EQ(l.size(), 2u);  // c.exe is not tried
  EXPECT_TRUE(l[0].started);
  EXPECT_FALSE(l[1].started);
  EXPECT_EQ(comm.posted.size(), 1u);  // no retry
  EXPECT_EQ(g_bAnimStop.load(), 1);
}

TEST_F(Driver, ThreeFailedAttemptsGiveMinusOne) {
  comm.answers = {{-1, ""}};
  EXPECT_EQ(Run(), -1);
  EXPECT_EQ(comm.posted.size(), 3u);
  EXPECT_TRUE(MainMessages().empty());
  EXPECT_EQ(g_hAnimThread, nullptr);
  EXPECT_EQ(simwin::RunningThreadCount(), 0u);
}

TEST_F(Driver, RepliesThatAreNotJsonAreRetriedThenGiveMinusOne) {
  // An error page sent with status 200 is no list: three attempts, no
  // install notice, no installer, and then the first good reply is used.
  comm.answers = {{0, "<html><body>Service temporarily unavailable</body></html>"}};
  EXPECT_EQ(Run(), -1);
  EXPECT_EQ(comm.posted.size(), 3u);
  EXPECT_TRUE(MainMessages().empty());
  EXPECT_TRUE(simwin::ProcessLaunches().empty());
  comm.posted.clear();
  comm.answers = {{0, "{\"code\":\"0\",\"data\":{\"softList\":[{\"address\""},
                  {0, Reply({{"http://p/a.exe", ""}})}};
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(comm.posted.size(), 2u);
  EXPECT_EQ(Launched().size(), 1u);
}

TEST_F(Driver, RetryAfterAFailedDownloadFetchesEverythingAgain) {
  comm.answers = {{0, Reply({{"http://p/a.exe", ""}, {"http://p/b.exe", ""}})}};
  // The first attempt gets a.exe, then b.exe fails; the second gets both.
  comm.downloadResult = [](const std::string&, int n) { return n == 2 ? -1 : 0; };
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(comm.posted.size(), 2u);
  ASSERT_EQ(comm.downloads.size(), 4u);
  EXPECT_EQ(comm.downloads[2].url, "http://p/a.exe");
  EXPECT_EQ(comm.downloads[3].url, "http://p/b.exe");
  EXPECT_EQ(Launched(), (std::vector<std::string>{Folder() + "a.exe", Folder() + "b.exe"}));
}

TEST_F(Driver, PackageWithoutAddressFailsTheAttempt) {
  comm.answers = {{0, Reply({{"http://p/a.exe", ""}, {"", ""}, {"http://p/c.exe", ""}})},
                  {0, Reply({{"http://p/a.exe", ""}})}};
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(comm.posted.size(), 2u);
  // c.exe of the first reply was never fetched.
  ASSERT_EQ(comm.downloads.size(), 2u);
  EXPECT_EQ(Launched(), std::vector<std::string>{Folder() + "a.exe"});
}

TEST_F(Driver, SameFileNameTwiceRunsThatPathTwice) {
  comm.answers = {{0, Reply({{"http://p/one/setup.exe", ""}, {"http://q/two/setup.exe", ""}})}};
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Launched(), (std::vector<std::string>{Folder() + "setup.exe", Folder() + "setup.exe"}));
}

TEST_F(Driver, AnimationShowsDotsWhileInstallersRun) {
  comm.answers = {{0, Reply({{"http://p/a.exe", ""}})}};
  simwin::OnProcessRun([&](const simwin::ProcessLaunch&) -> DWORD {
    // Wait (real time) until the animation has shown its first steps.
    for (int i = 0; i < 5000 && simwin::TextSetCount(percent) < 3; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
  });
  EXPECT_EQ(Run(), 0);
  ASSERT_NE(g_hAnimThread, nullptr);
  EXPECT_EQ(WaitForSingleObject(g_hAnimThread, 5000), WAIT_OBJECT_0);
  auto texts = simwin::WindowTexts(percent);
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts[0], ".");
  EXPECT_EQ(texts[1], "..");
  EXPECT_EQ(texts[2], "...");
}

TEST_F(Driver, NoAnimationThreadStillInstalls) {
  comm.answers = {{0, Reply({{"http://p/a.exe", ""}})}};
  simwin::FailCall("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(g_hAnimThread, nullptr);
  EXPECT_EQ(Launched().size(), 1u);
}

TEST_F(Driver, InstallersAreHeldAgainstWritersUntilTheirProcessExists) {
  comm.answers = {{0, Reply({{"http://p/a.exe", ""}, {"http://p/b.exe", ""}})}};
  std::vector<std::string> seen;
  simwin::OnProcessRun([&](const simwin::ProcessLaunch& l) -> DWORD {
    // Inside CreateProcessA: this installer and the later ones are held; the
    // earlier ones, whose processes exist, are not.
    seen.push_back(l.applicationName);
    const std::string a = Folder() + "a.exe", b = Folder() + "b.exe";
    const bool aHeld = seen.size() == 1;
    FILE* f = plat_fopen(a.c_str(), "ab");
    EXPECT_EQ(f == nullptr, aHeld) << l.applicationName;
    if (f) plat_fclose(f);
    EXPECT_EQ(plat_fopen(b.c_str(), "wb"), nullptr) << l.applicationName;
    EXPECT_FALSE(DeleteFileA(b.c_str())) << l.applicationName;
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    return 0;
  });
  EXPECT_EQ(Run(), 0);
  ASSERT_EQ(seen.size(), 2u);
  // Afterwards nothing is held; the files and the folder stay.
  EXPECT_EQ(simwin::OpenHandleCount("file"), 0u);
  for (const char* name : {"a.exe", "b.exe"}) {
    std::string path = Folder() + name;
    EXPECT_EQ(simwin::OpenFileCount(path), 0u);
    EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
  }
  EXPECT_EQ(simwin::FileSecuritySddl(Folder()), DOWNLOAD_FOLDER_SDDL);
}

TEST_F(Driver, HeldFilesAreLetGoWhenAnInstallerDoesNotStart) {
  comm.answers = {{0, Reply({{"http://p/a.exe", ""}, {"http://p/b.exe", ""}})}};
  simwin::FailCall("CreateProcessA", ERROR_BAD_EXE_FORMAT);
  EXPECT_EQ(Run(), -2);
  EXPECT_EQ(simwin::OpenHandleCount("file"), 0u);
}

TEST_F(Driver, AnInstallerSomeoneKeepsOpenForWritingIsNeverRun) {
  comm.answers = {{0, Reply({{"http://p/a.exe", ""}})}};
  HANDLE writer = INVALID_HANDLE_VALUE;
  comm.afterWrite = [&](const std::string& path) {
    if (writer == INVALID_HANDLE_VALUE)
      writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  };
  EXPECT_EQ(Run(), -1);
  EXPECT_EQ(comm.downloads.size(), 3u);
  EXPECT_TRUE(Launched().empty());
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  CloseHandle(writer);
}

TEST_F(Driver, InstallersStartWithTheMachinesEnvironmentNotTheUsers) {
  // A user name with a blank: the unquoted path would split there.
  const std::string temp = "C:\\Users\\a b\\AppData\\Local\\Temp\\";
  fs::create_directories(simwin::HostPath(temp));
  simwin::SetTempPath(temp);
  std::vector<std::string> machine;
  ASSERT_TRUE(PlatMachineEnvironment(&machine));
  auto machineValue = [&](const std::string& name) -> std::string {
    for (const std::string& e : machine)
      if (e.compare(0, name.size() + 1, name + "=") == 0) return e.substr(name.size() + 1);
    return "";
  };
  // What the user's HKCU\Environment (or any process of the user) set.
  struct Case {
    std::string name;
    std::string userValue = "C:\\Users\\a b\\evil";
    bool fromMachine = false;  // else absent
  };
  const std::vector<Case> cases = {
      {"COR_ENABLE_PROFILING", "1"},
      {"COR_PROFILER", "{11111111-2222-3333-4444-555555555555}"},
      {"COR_PROFILER_PATH"},
      {"COMPlus_ProfAPI_ProfilerCompatibilitySetting", "EnableV2Profiler"},
      {"DOTNET_STARTUP_HOOKS"},
      {"CORECLR_PROFILER_PATH"},
      {"__COMPAT_LAYER", "RunAsInvoker"},
      {"=C:", "C:\\Users\\a b\\Downloads"},
      {"Path", "C:\\Users\\a b\\bin;C:\\Windows\\system32", true},
      {"ComSpec", "C:\\Users\\a b\\cmd.exe", true},
      {"windir", "C:\\Users\\a b", true},
      {"SystemRoot", "C:\\Users\\a b", true},
      {"PATHEXT", ".EXE;.JS", true},
      {"USERNAME", "admin", true},
      {"USERDOMAIN", "EVIL", true},
      {"USERPROFILE", "C:\\Users\\a b\\evil", true},
      {"APPDATA", "C:\\Users\\a b\\evil", true},
      {"LOCALAPPDATA", "C:\\Users\\a b\\evil", true},
      {"HOMEDRIVE", "D:", true},
      {"HOMEPATH", "\\evil", true},
      {"PUBLIC", "C:\\Users\\a b\\evil", true},
      {"ALLUSERSPROFILE", "C:\\Users\\a b\\evil", true},
  };
  std::vector<std::string> user = {"TEMP=" + temp, "TMP=" + temp};
  for (const Case& c : cases) user.push_back(c.name + "=" + c.userValue);
  simwin::SetEnvironment(user);
  comm.answers = {{0, Reply({{"http://p/a.exe", ""}, {"http://p/b.exe", ""}})}};
  ASSERT_EQ(Run(), 0);
  const std::string folder = comm.downloads.at(0).folder;
  EXPECT_EQ(folder.compare(0, temp.size(), temp), 0) << folder;
  const auto launches = simwin::ProcessLaunches();
  ASSERT_EQ(launches.size(), 2u);
  for (size_t i = 0; i < launches.size(); ++i) {
    const simwin::ProcessLaunch& l = launches[i];
    EXPECT_EQ(l.commandLine, "\"" + l.applicationName + "\"");
    EXPECT_EQ(l.currentDirectory + "\\", folder);
    std::map<std::string, std::string> got;
    for (const std::string& e : l.environment)
      got[e.substr(0, e.find('=', 1))] = e.substr(e.find('=', 1) + 1);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      const auto it = got.find(c.name);
      if (!c.fromMachine) {
        EXPECT_TRUE(it == got.end());
        continue;
      }
      ASSERT_TRUE(it != got.end());
      EXPECT_EQ(it->second, machineValue(c.name));
      EXPECT_NE(it->second, c.userValue);
    }
    // Nothing but the machine's variables and the installer's own TEMP and TMP.
    const std::string own = folder + "temp" + std::to_string(i + 1);
    EXPECT_EQ(got.size(), machine.size() + 2);
    EXPECT_EQ(got["TEMP"], own);
    EXPECT_EQ(got["TMP"], own);
    EXPECT_EQ(simwin::FileSecuritySddl(own), DOWNLOAD_FOLDER_SDDL);
  }
  // Without the machine's variables nothing starts.
  simwin::FailCall("CreateEnvironmentBlock", ERROR_NOT_ENOUGH_MEMORY);
  comm.answers = {{0, Reply({{"http://p/a.exe", ""}})}};
  EXPECT_EQ(Run(), -2);
  EXPECT_EQ(simwin::ProcessLaunches().size(), 2u);
}
TEST_F(Driver, AnInstallerChangedAfterItsDownloadIsNeverStarted) {
  const std::string good = "4bb74138d28eda888006119e0f80a35736db705f684d01080cfbe3316a681583";
  fs::create_directories(root / "App");
  g_nLogLevel = 1;
  snprintf(g_szLogPath, sizeof g_szLogPath, "C:\\App\\driver.log");
  struct Case {
    const char* what;
    std::string sha256;
    bool changed;  // between the download's close and the hold
    int result;
  };
  const std::vector<Case> cases = {
      {"listed hash, unchanged", good, false, 0},
      {"listed hash, changed", good, true, -2},
      {"no hash listed, changed", "", true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    simwin::Reset();
    simwin::MapDrive('C', root.string());
    fs::remove(root / "App" / "driver.log");
    comm.answers = {{0, Reply({{"http://p/a.exe",
                                c.sha256.empty() ? "" : ",\"sha256\":\"" + c.sha256 + "\""}})}};
    comm.afterWrite = [&](const std::string& path) {
      if (!c.changed) return;
      FILE* f = plat_fopen(path.c_str(), "ab");
      ASSERT_NE(f, nullptr);
      plat_fwrite("MZ", 1, 2, f);
      plat_fclose(f);
    };
    EXPECT_EQ(Run(), c.result);
    EXPECT_EQ(Launched().size(), c.result == 0 ? 1u : 0u);
    std::ifstream in(root / "App" / "driver.log", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("does not have its listed sha256") != std::string::npos, c.result != 0)
        << text;
    EXPECT_EQ(simwin::OpenHandleCount("file"), 0u);
  }
  g_nLogLevel = 0;
  g_szLogPath[0] = '\0';
}

TEST_F(Driver, EachProductRunHasItsOwnFolder) {
  comm.answers = {{0, Reply({{"http://p/a.exe", ""}})}};
  EXPECT_EQ(Run(), 0);
  const std::string first = Folder();
  comm.downloads.clear();
  EXPECT_EQ(Run(), 0);
  EXPECT_NE(Folder(), first);
  EXPECT_EQ(Launched(), (std::vector<std::string>{first + "a.exe", Folder() + "a.exe"}));
}

class Download : public Driver {
 protected:
  CSoftUpdateTool tool;
  void SetUp() override {
    Driver::SetUp();
    tool.m_pComm = &comm;
    tool.m_strServerUrl = "http://up/";
  }
};

TEST_F(Download, EmptyListTouchesNothing) {
  EXPECT_EQ(tool.DownloadPackages(), 0);
  EXPECT_TRUE(comm.calls.empty());
}

TEST_F(Download, ResultsAndInstallerList) {
  tool.m_lstSoft = {{"http://p/a.exe", "", "", true}, {"http://p/b.zip", "", "", false}};
  EXPECT_EQ(tool.DownloadPackages(), 0);
  EXPECT_EQ(comm.calls, (std::vector<std::string>{"url", "get", "get"}));
  EXPECT_EQ(comm.serverUrls[0], "http://up/");
  EXPECT_EQ(tool.m_lstInstaller, std::list<std::string>{Folder() + "a.exe"});

  tool.m_lstInstaller.clear();
  tool.m_lstSoft = {
      {"http://p/a.exe", "", "", true}, {"", "", "", true}, {"http://p/c.exe", "", "", true}};
  EXPECT_EQ(tool.DownloadPackages(), ERR_EMPTY_ADDRESS);

  tool.m_lstInstaller.clear();
  tool.m_lstSoft = {{"http://p/a.exe", "", "", true}};
  comm.downloadResult = [](const std::string&, int) { return 404; };
  EXPECT_EQ(tool.DownloadPackages(), ERR_DOWNLOAD_FAILED);
  EXPECT_TRUE(tool.m_lstInstaller.empty());
}

TEST_F(Download, EachPackageCarriesItsOwnHashToItsDownload) {
  const std::string a(64, 'a'), c(64, 'c');
  tool.m_lstSoft = {{"http://p/a.exe", "", "", true, a},
                    {"http://p/b.exe", "", "", true, ""},
                    {"http://p/c.exe", "", "", false, c}};
  EXPECT_EQ(tool.DownloadPackages(), 0);
  ASSERT_EQ(comm.downloads.size(), 3u);
  EXPECT_EQ(comm.downloads[0].sha256, a);
  EXPECT_EQ(comm.downloads[1].sha256, "");
  EXPECT_EQ(comm.downloads[2].sha256, c);
}

// A communication object that cannot check hashes: CCommBase's own answer.
struct UncheckingComm : FakeComm {
  int SetExpectedSha256(const std::string& strHex) override {
    return CCommBase::SetExpectedSha256(strHex);
  }
};

TEST_F(Download, AHashThatCannotBeCheckedLeavesThePackageUnfetched) {
  UncheckingComm plain;
  tool.m_pComm = &plain;
  tool.m_lstSoft = {{"http://p/a.exe", "", "", true, ""}};
  EXPECT_EQ(tool.DownloadPackages(), 0);
  tool.m_lstInstaller.clear();
  tool.m_lstSoft = {{"http://p/a.exe", "", "", true, ""}, {"http://p/b.exe", "", "", true, "ab"}};
  EXPECT_EQ(tool.DownloadPackages(), ERR_DOWNLOAD_FAILED);
  EXPECT_EQ(plain.downloads.size(), 2u);  // a.exe twice; b.exe never
  EXPECT_EQ(plain.downloads.back().url, "http://p/a.exe");
}

TEST_F(Driver, HashesOfTheReplyReachTheDownloadsInLowerCase) {
  // The digest of what the scripted download writes: the address.
  const std::string upper = "4BB74138D28EDA888006119E0F80A35736DB705F684D01080CFBE3316A681583";
  comm.answers = {
      {0, Reply({{"http://p/a.exe", ",\"sha256\":\"" + upper + "\""}, {"http://p/b.exe", ""}})}};
  EXPECT_EQ(Run(), 0);
  ASSERT_EQ(comm.downloads.size(), 2u);
  EXPECT_EQ(comm.downloads[0].sha256,
            "4bb74138d28eda888006119e0f80a35736db705f684d01080cfbe3316a681583");
  EXPECT_EQ(comm.downloads[1].sha256, "");
  // A hash of the wrong length refuses the reply: nothing is fetched, three
  // attempts, the network error.
  comm.downloads.clear();
  comm.posted.clear();
  comm.answers = {{0, Reply({{"http://p/a.exe", ",\"sha256\":\"" + upper.substr(1) + "\""}})}};
  EXPECT_EQ(Run(), -1);
  EXPECT_EQ(comm.posted.size(), 3u);
  EXPECT_TRUE(comm.downloads.empty());
}

TEST_F(Download, NoTempFolderDownloadsNothing) {
  tool.m_lstSoft = {{"http://p/a.exe", "", "", true}};
  simwin::FailCall("GetTempPathA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(tool.DownloadPackages(), ERR_DOWNLOAD_FAILED);
  EXPECT_TRUE(comm.downloads.empty());
}

}  // namespace
