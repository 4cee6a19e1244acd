// Whole install runs of the worker on the simulated platform: detection in
// the simulated registry and file system, the local service, the update
// service and the package server in the simulated WinInet, installers as
// simulated processes, the dialogs as test windows.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <json/json.h>

#include "app/worker.h"
#include "config/sysconfig.h"
#include "platform/simctl.h"
#include "tests/config/sim_fixture.h"

namespace fs = std::filesystem;

namespace {

const char kTemp[] = "C:\\Temp\\";
const char kPkgHost[] = "pkg.example";
const char kUKeyClient[] =
    "C:\\Program Files "
    "(x86)\\\xD4\xF6\xD6\xB5\xCB\xB0\xB7\xA2\xC6\xB1\xBF\xAA\xC6\xB1\xC8\xED\xBC\xFE"
    "\xA3\xA8\xCB\xB0\xCE\xF1UKey\xB0\xE6\xA3\xA9";

std::string FormValue(const std::string& body, const std::string& name) {
  size_t at = body.find(name + "=");
  if (at == std::string::npos) return "";
  std::string enc = body.substr(at + name.size() + 1);
  enc = enc.substr(0, enc.find('&'));
  std::string out;
  for (size_t i = 0; i < enc.size(); ++i) {
    if (enc[i] == '+') {
      out += ' ';
    } else if (enc[i] == '%' && i + 2 < enc.size()) {
      out += static_cast<char>(std::stoi(enc.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += enc[i];
    }
  }
  return out;
}

struct Package {
  std::string name;
  bool run;
};

struct Seen {
  UINT msg;
  WPARAM wParam;
  int result;  // g_nInstallResult when the message was handled
};

int Ms(const SYSTEMTIME& t) {
  return ((t.wHour * 60 + t.wMinute) * 60 + t.wSecond) * 1000 + t.wMilliseconds;
}

class Flow : public ::testing::Test {
 protected:
  fs::path root;
  HWND main = nullptr, progress = nullptr, bar = nullptr, percent = nullptr;
  CPavonixSysConfig* cfg = nullptr;

  std::mutex lock;
  std::vector<Seen> seen;
  std::vector<std::string> asked;  // product codes the update service was asked for
  std::vector<int> askedAtMs;      // simulated clock of each request
  std::map<std::string, std::vector<Package>> catalogue;
  std::map<std::string, DWORD> updateStatus;  // product -> status other than 200
  int startMs = 0;

  void SetUp() override {
    simwin::Reset();
    root = pavtest::FreshTestFolder("pavonix-flow");
    fs::create_directories(root / "Temp");
    simwin::MapDrive('C', root.string());
    simwin::SetTempPath(kTemp);
    ResetSysConfigForTests();
    cfg = CPavonixSysConfig::GetInstance();

    main = simwin::CreateTestWindow("main", [this](HWND, UINT m, WPARAM w, LPARAM) -> LRESULT {
      std::lock_guard<std::mutex> g(lock);
      seen.push_back({m, w, g_nInstallResult});
      return 0;
    });
    progress = simwin::CreateTestWindow("progress");
    bar = simwin::AddDlgItem(progress, 1004);
    percent = simwin::AddDlgItem(progress, 1031);
    g_hMainDlg = main;
    g_hProgressDlg = progress;
    g_nInstallResult = 0;
    g_hAnimThread = nullptr;
    // Neither 0 nor 1: a check of the flag sees what the run set.
    g_bAnimStop = 2;

    catalogue[cfg->m_strClientType] = {{"levy-setup.exe", true}};
    catalogue[cfg->m_strVendorCode] = {{"harbolt-setup.exe", true}, {"harbolt-readme.txt", false}};
    simwin::ServeAt(cfg->m_strServerHost, static_cast<INTERNET_PORT>(cfg->m_nServerPort),
                    [this](const simwin::HttpRequestRecord& q) { return UpdateService(q); });
    simwin::ServeAt(kPkgHost, 80, [](const simwin::HttpRequestRecord& q) {
      simwin::HttpReply r;
      r.body = "MZ package " + q.object + std::string(15000, 'x');
      return r;
    });
  }

  void TearDown() override {
    g_bAnimStop = 1;
    EXPECT_TRUE(simwin::WaitForThreads(5000));
    if (g_hAnimThread) CloseHandle(g_hAnimThread);
    g_hAnimThread = nullptr;
    g_hMainDlg = g_hProgressDlg = g_hNotifyWnd = nullptr;
    fs::remove_all(root);
  }

  simwin::HttpReply UpdateService(const simwin::HttpRequestRecord& q) {
    Json::Value req;
    std::istringstream in(FormValue(q.body, "requestStr"));
    std::string errs;
    Json::CharReaderBuilder b;
    Json::parseFromStream(b, in, &req, &errs);
    std::string soft = req["data"]["softList"][0]["soft"].asString();
    std::lock_guard<std::mutex> g(lock);
    asked.push_back(soft);
    askedAtMs.push_back(Ms(simwin::LocalTime()));
    simwin::HttpReply r;
    if (updateStatus.count(soft)) {
      r.status = updateStatus[soft];
      r.body = "down";
      return r;
    }
    Json::Value list(Json::arrayValue);
    for (const Package& p : catalogue[soft]) {
      Json::Value e;
      e["address"] = std::string("http://") + kPkgHost + "/" + soft + "/" + p.name;
      e["version"] = "1";
      e["soft"] = soft;
      e["excuteExe"] = p.run;
      list.append(e);
    }
    Json::Value root;
    root["code"] = "0";
    root["data"]["softList"] = list;
    r.body = Json::writeString(Json::StreamWriterBuilder(), root);
    return r;
  }

  void LocalService(const std::string& body) {
    simwin::HttpReply r;
    r.body = body;
    simwin::ServeAt("127.0.0.1", 28000, r);
  }
  void LocalServiceHealthy() { LocalService("{\"code\":0,\"msg\":\"ok\",\"version\":\"1.2\"}"); }
  void FwkpInstalled() {
    simwin::SetRegString(HKEY_LOCAL_MACHINE,
                         "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\fwkp.exe",
                         "Path", "C:\\fwkp");
  }

  // notify: the window named in the thread parameter (the main dialog when
  // null).
  int Run(HWND notify = nullptr) {
    startMs = Ms(simwin::LocalTime());
    InstallThreadParam* p = new InstallThreadParam{kTemp, notify ? notify : main};
    HANDLE h = CreateThread(nullptr, 0, InstallWorkerProc, p, 0, nullptr);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 30000), WAIT_OBJECT_0);
    DWORD code = 12345;
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    CloseHandle(h);
    return static_cast<int>(code);
  }

  std::vector<UINT> Finals() {
    std::vector<UINT> out;
    std::lock_guard<std::mutex> g(lock);
    for (const Seen& s : seen)
      if (s.msg != WM_DOWNLOAD_PROGRESS) out.push_back(s.msg);
    return out;
  }
  std::vector<std::string> Launched() {
    std::vector<std::string> out;
    for (const auto& l : simwin::ProcessLaunches()) out.push_back(l.applicationName);
    return out;
  }
  // The run ended with FAILED then SHOW_FAIL_REASON, the code set before both.
  void ExpectFailure(int code) {
    std::lock_guard<std::mutex> g(lock);
    ASSERT_GE(seen.size(), 2u);
    const Seen& a = seen[seen.size() - 2];
    const Seen& b = seen.back();
    EXPECT_EQ(a.msg, (UINT)WM_INSTALL_FAILED);
    EXPECT_EQ(b.msg, (UINT)WM_SHOW_FAIL_REASON);
    EXPECT_EQ(a.result, code);
    EXPECT_EQ(b.result, code);
    for (size_t i = 0; i + 2 < seen.size(); ++i) {
      EXPECT_NE(seen[i].msg, (UINT)WM_INSTALL_FAILED);
      EXPECT_NE(seen[i].msg, (UINT)WM_SHOW_FAIL_REASON);
      EXPECT_NE(seen[i].msg, (UINT)WM_INSTALL_DONE);
    }
    EXPECT_EQ(g_nInstallResult, code);
  }
  // The path of a downloaded file: in a download folder of its own under
  // the temporary folder.
  std::string Temp(const std::string& name) {
    for (const auto& e : fs::directory_iterator(root / "Temp")) {
      std::string folder = e.path().filename().string();
      if (e.is_directory() && folder.rfind("pavonix-", 0) == 0 && fs::exists(e.path() / name))
        return std::string(kTemp) + folder + "\\" + name;
    }
    return "(not downloaded) " + name;
  }
  bool TempHas(const std::string& name) { return Temp(name).rfind(kTemp, 0) == 0; }
};

TEST_F(Flow, NotAnInvoicingPcSendsNothingToTheNetwork) {
  LocalServiceHealthy();
  EXPECT_EQ(Run(), -2);
  ExpectFailure(INSTALL_RESULT_NOT_INVOICING_PC);
  EXPECT_EQ(Finals(), (std::vector<UINT>{WM_INSTALL_FAILED, WM_SHOW_FAIL_REASON}));
  EXPECT_TRUE(simwin::HttpRequests().empty());
  EXPECT_TRUE(simwin::SentMessages(bar).empty());
  EXPECT_EQ(g_bFoundFwkp, 0);
  EXPECT_EQ(g_bFoundSkfp, 0);
  EXPECT_EQ(g_bFoundUKey, 0);
  EXPECT_EQ(g_bAnimStop.load(), 1);
  EXPECT_EQ(g_hNotifyWnd, main);
}

TEST_F(Flow, HealthyServiceInstallsOnlyTheVendorAfterAPause) {
  FwkpInstalled();
  LocalServiceHealthy();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(g_bFoundFwkp, 1);
  EXPECT_EQ(asked, std::vector<std::string>{cfg->m_strVendorCode});
  ASSERT_EQ(askedAtMs.size(), 1u);
  EXPECT_EQ(askedAtMs[0] - startMs, 3000);
  EXPECT_EQ(Finals(), (std::vector<UINT>{WM_INSTALL_STARTED, WM_INSTALL_DONE}));
  EXPECT_EQ(g_nInstallResult, 0);
  EXPECT_EQ(Launched(), std::vector<std::string>{Temp("harbolt-setup.exe")});
  EXPECT_TRUE(TempHas("harbolt-setup.exe"));
  EXPECT_TRUE(TempHas("harbolt-readme.txt"));
  // The local service was asked first, then the update service, then the files.
  auto reqs = simwin::HttpRequests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(reqs[0].port, 28000);
  EXPECT_EQ(reqs[0].object, "/api/getVersion");
  EXPECT_EQ(reqs[1].verb, "POST");
  EXPECT_EQ(reqs[1].object, "//softServer/req");
  EXPECT_EQ(reqs[2].object, "/ZYN-HARBOLT/harbolt-setup.exe");
  EXPECT_EQ(reqs[3].object, "/ZYN-HARBOLT/harbolt-readme.txt");
  // The request carries this installation's identity.
  EXPECT_NE(FormValue(reqs[1].body, "requestStr").find("\"uid\":\"" + cfg->m_strUniqueId + "\""),
            std::string::npos);
}

TEST_F(Flow, ProgressBarIsResetBeforeEachProduct) {
  FwkpInstalled();  // local service down: both products
  EXPECT_EQ(Run(), 0);
  auto msgs = simwin::SentMessages(bar);
  ASSERT_EQ(msgs.size(), 6u);
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(msgs[3 * k].msg, (UINT)PBM_SETSTEP);
    EXPECT_EQ(msgs[3 * k].wParam, 1000u);
    EXPECT_EQ(msgs[3 * k].lParam, 1);
    EXPECT_EQ(msgs[3 * k + 1].msg, (UINT)PBM_STEPIT);
    EXPECT_EQ(msgs[3 * k + 1].wParam, 0u);
    EXPECT_EQ(msgs[3 * k + 1].lParam, 1);
    EXPECT_EQ(msgs[3 * k + 2].msg, (UINT)PBM_SETPOS);
    EXPECT_EQ(msgs[3 * k + 2].wParam, 0u);
  }
  EXPECT_EQ(simwin::ProgressPos(bar), 0);
  // Each reset comes before that product's first download progress.
  auto all = simwin::SentMessages();
  auto firstProgressAfter = [&](uint64_t seq) {
    for (const auto& m : all)
      if (m.seq > seq && m.msg == WM_DOWNLOAD_PROGRESS) return m.seq;
    return uint64_t{0};
  };
  EXPECT_NE(firstProgressAfter(msgs[2].seq), 0u);
  EXPECT_NE(firstProgressAfter(msgs[5].seq), 0u);
}

TEST_F(Flow, MissingServiceInstallsClientThenVendor) {
  FwkpInstalled();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(asked, (std::vector<std::string>{cfg->m_strClientType, cfg->m_strVendorCode}));
  EXPECT_EQ(Finals(), (std::vector<UINT>{WM_INSTALL_STARTED, WM_INSTALL_STARTED, WM_INSTALL_DONE}));
  EXPECT_EQ(Launched(),
            (std::vector<std::string>{Temp("levy-setup.exe"), Temp("harbolt-setup.exe")}));
  // The vendor run starts at least 3000 ms after the client's request.
  ASSERT_EQ(askedAtMs.size(), 2u);
  EXPECT_GE(askedAtMs[1] - askedAtMs[0], 3000);
  // Progress reached 100 for each file.
  std::lock_guard<std::mutex> g(lock);
  int hundreds = 0;
  for (const Seen& s : seen) hundreds += s.msg == WM_DOWNLOAD_PROGRESS && s.wParam == 100;
  EXPECT_EQ(hundreds, 3);
}

TEST_F(Flow, NotifyWindowAndMainDialogEachGetTheirOwnMessages) {
  // Two windows: the start notices and the progress go to the window of the
  // thread parameter, the outcome to the main dialog.
  HWND notify = simwin::CreateTestWindow("notify");
  FwkpInstalled();
  EXPECT_EQ(Run(notify), 0);
  EXPECT_EQ(Finals(), std::vector<UINT>{WM_INSTALL_DONE});
  EXPECT_EQ(simwin::SentMessages(main).size(), 1u) << "no progress to the main dialog";
  std::vector<UINT> toNotify;
  for (const auto& m : simwin::SentMessages(notify))
    if (m.msg != WM_DOWNLOAD_PROGRESS) toNotify.push_back(m.msg);
  EXPECT_EQ(toNotify, (std::vector<UINT>{WM_INSTALL_STARTED, WM_INSTALL_STARTED}));
  size_t progress = 0;
  for (const auto& m : simwin::SentMessages(notify)) progress += m.msg == WM_DOWNLOAD_PROGRESS;
  EXPECT_GT(progress, 0u);

  // A failed run: the outcome to the main dialog only.
  {
    std::lock_guard<std::mutex> g(lock);
    seen.clear();
  }
  simwin::ClearSentMessages();
  simwin::StopServing(cfg->m_strServerHost, static_cast<INTERNET_PORT>(cfg->m_nServerPort));
  EXPECT_EQ(Run(notify), -1);
  EXPECT_EQ(Finals(), (std::vector<UINT>{WM_INSTALL_FAILED, WM_SHOW_FAIL_REASON}));
  EXPECT_TRUE(simwin::SentMessages(notify).empty());
}

TEST_F(Flow, UnhealthyServiceRepliesAddTheClientRun) {
  FwkpInstalled();
  for (const char* reply :
       {"{\"code\":1,\"msg\":\"stopped\"}", "<html>no</html>", "{\"code\":0,\"msg\":\"ok\"}"}) {
    asked.clear();
    LocalService(reply);
    EXPECT_EQ(Run(), 0) << reply;
    EXPECT_EQ(asked, (std::vector<std::string>{cfg->m_strClientType, cfg->m_strVendorCode}))
        << reply;
  }
}

TEST_F(Flow, ServiceAndUpdateServiceDownIsANetworkError) {
  FwkpInstalled();
  simwin::StopServing(cfg->m_strServerHost, static_cast<INTERNET_PORT>(cfg->m_nServerPort));
  EXPECT_EQ(Run(), -1);
  ExpectFailure(INSTALL_RESULT_NETWORK_ERROR);
  EXPECT_EQ(Finals(), (std::vector<UINT>{WM_INSTALL_FAILED, WM_SHOW_FAIL_REASON}));
  // The local query, then three attempts for the client (refused before any
  // body byte); the vendor is not tried.
  auto reqs = simwin::HttpRequests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(reqs[0].port, 28000);
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(reqs[i].port, cfg->m_nServerPort);
    EXPECT_EQ(reqs[i].announcedLength, reqs[1].announcedLength);
  }
  EXPECT_TRUE(simwin::ProcessLaunches().empty());
}

TEST_F(Flow, VendorUpdateFailingIsANetworkError) {
  FwkpInstalled();
  LocalServiceHealthy();
  updateStatus[cfg->m_strVendorCode] = 503;
  EXPECT_EQ(Run(), -1);
  ExpectFailure(INSTALL_RESULT_NETWORK_ERROR);
  EXPECT_EQ(asked.size(), 3u);
}

TEST_F(Flow, ClientInstallerThatCannotStartIsAControlFailure) {
  FwkpInstalled();
  simwin::FailCall("CreateProcessA", ERROR_BAD_EXE_FORMAT);
  EXPECT_EQ(Run(), -1);
  ExpectFailure(INSTALL_RESULT_CONTROL_FAILED);
  EXPECT_EQ(asked, std::vector<std::string>{cfg->m_strClientType});
  EXPECT_EQ(Finals(),
            (std::vector<UINT>{WM_INSTALL_STARTED, WM_INSTALL_FAILED, WM_SHOW_FAIL_REASON}));
}

TEST_F(Flow, VendorInstallerThatCannotStartIsAnAuthFailure) {
  FwkpInstalled();
  simwin::FailCall("CreateProcessA", ERROR_FILE_NOT_FOUND, 1, 1);
  EXPECT_EQ(Run(), -1);
  ExpectFailure(INSTALL_RESULT_AUTH_FAILED);
  EXPECT_EQ(Finals(), (std::vector<UINT>{WM_INSTALL_STARTED, WM_INSTALL_STARTED, WM_INSTALL_FAILED,
                                         WM_SHOW_FAIL_REASON}));
}

TEST_F(Flow, EmptyPackageListCountsAsSuccess) {
  FwkpInstalled();
  LocalServiceHealthy();
  catalogue[cfg->m_strVendorCode].clear();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Finals(), (std::vector<UINT>{WM_INSTALL_STARTED, WM_INSTALL_DONE}));
  EXPECT_TRUE(simwin::ProcessLaunches().empty());
}

TEST_F(Flow, InstallerExitCodesDoNotMatter) {
  FwkpInstalled();
  simwin::SetProcessExitCode(1603);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Launched().size(), 2u);
}

TEST_F(Flow, AnyOneProbeIsEnough) {
  LocalServiceHealthy();
  simwin::SetRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\skfpkprj\\skfpkprj", "installdir", "");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(g_bFoundFwkp, 0);
  EXPECT_EQ(g_bFoundSkfp, 1);
  EXPECT_EQ(g_bFoundUKey, 0);
}

TEST_F(Flow, OnlyTheUKeyClientIsEnough) {
  LocalServiceHealthy();
  fs::create_directories(root / "Program Files (x86)" / "SWUKey");
  std::ofstream(root / "Program Files (x86)" / "SWUKey" / "SWUKey_Tool.exe") << "MZ";
  std::string client = simwin::HostPath(kUKeyClient);
  ASSERT_FALSE(client.empty());
  fs::create_directories(client);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(g_bFoundUKey, 1);
  EXPECT_EQ(g_bFoundFwkp, 0);
  EXPECT_EQ(g_bFoundSkfp, 0);
}

TEST_F(Flow, DotsRunWhileInstallersRunAndStopAfterwards) {
  FwkpInstalled();
  LocalServiceHealthy();
  simwin::OnProcessRun([this](const simwin::ProcessLaunch&) -> DWORD {
    for (int i = 0; i < 5000 && simwin::TextSetCount(percent) < 2; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
  });
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(simwin::WaitForThreads(5000));
  auto texts = simwin::WindowTexts(percent);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[0], ".");
  EXPECT_EQ(texts[1], "..");
  // The worker let go of the animation thread's handle.
  EXPECT_EQ(g_hAnimThread, nullptr);
  EXPECT_EQ(simwin::OpenHandleCount("thread"), 0u);
}

TEST_F(Flow, NoThreadHandleIsLeftAfterTwoProducts) {
  FwkpInstalled();
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(simwin::WaitForThreads(5000));
  EXPECT_EQ(simwin::OpenHandleCount("thread"), 0u);
  EXPECT_EQ(simwin::OpenHandleCount("process"), 0u);
  EXPECT_TRUE(simwin::OpenInternetHandles().empty());
}

}  // namespace
