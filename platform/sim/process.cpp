// Simulated threads (real std::threads behind kernel handles) and processes
// (recorded launches that end at once with a chosen exit code).
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/sim/core.h"
#include "platform/sim/volume.h"
#include "platform/sim/ctl/process.h"
#include "platform/sim/file.h"
#include "platform/sim/kernel.h"
#include "platform/sim/process.h"

namespace simwin {
namespace {

// Counts the threads that are still inside their start routine.
struct Running {
  std::mutex m;
  std::condition_variable cv;
  size_t count = 0;
};
Running& Live() {
  static Running r;
  return r;
}

struct ThreadState {
  std::mutex m;
  std::condition_variable cv;
  bool registered = false;
  bool resumed = false;
  bool done = false;
  DWORD exitCode = STILL_ACTIVE;
  DWORD id = 0;
};

// The kernel object of a thread. Closing the last handle detaches the
// std::thread; the routine runs on to its end, as on Windows.
struct Thread : core::Object {
  std::shared_ptr<ThreadState> st = std::make_shared<ThreadState>();
  std::thread th;
  const char* Kind() const override { return "thread"; }
  DWORD Wait(DWORD ms) override {
    std::unique_lock<std::mutex> l(st->m);
    auto ended = [&] { return st->done; };
    if (ms == INFINITE) {
      st->cv.wait(l, ended);
    } else if (!st->cv.wait_for(l, std::chrono::milliseconds(ms), ended)) {
      return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
  }
  ~Thread() override {
    if (!th.joinable()) return;
    bool ended;
    {
      std::lock_guard<std::mutex> l(st->m);
      ended = st->done;
    }
    if (ended && th.get_id() != std::this_thread::get_id()) {
      th.join();
    } else {
      th.detach();
    }
  }
};

// A simulated process, or the handle of its primary thread: ended from the start.
struct Process : core::Object {
  const char* kind;
  DWORD exitCode;
  Process(const char* k, DWORD code) : kind(k), exitCode(code) {}
  const char* Kind() const override { return kind; }
  DWORD Wait(DWORD) override { return WAIT_OBJECT_0; }
};

std::vector<std::string> DefaultEnvironment() {
  return {"=C:=C:\\Users\\user\\Downloads", "PATH=C:\\Windows\\system32;C:\\Windows",
          "SystemRoot=C:\\Windows", "TEMP=C:\\Users\\user\\AppData\\Local\\Temp",
          "TMP=C:\\Users\\user\\AppData\\Local\\Temp"};
}

struct State {
  std::mutex m;
  std::vector<ProcessLaunch> launches;
  std::vector<WinExecCall> winExecs;
  DWORD exitCode = 0;
  std::function<DWORD(const ProcessLaunch&)> run;
  DWORD nextPid = 4000;
  std::vector<std::string> environment = DefaultEnvironment();
};
State& S() {
  static State s;
  return s;
}

struct ProcessReset {
  ProcessReset() {
    core::OnReset([] {
      std::lock_guard<std::mutex> g(S().m);
      S().launches.clear();
      S().winExecs.clear();
      S().exitCode = 0;
      S().run = nullptr;
      S().environment = DefaultEnvironment();
    });
  }
};
ProcessReset g_processReset;

bool ZeroAfterCb(const STARTUPINFOA* si) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(si);
  for (size_t i = sizeof(si->cb); i < sizeof(STARTUPINFOA); ++i)
    if (p[i]) return false;
  return true;
}

}  // namespace

std::vector<ProcessLaunch> ProcessLaunches() {
  std::lock_guard<std::mutex> g(S().m);
  return S().launches;
}

void SetProcessExitCode(DWORD code) {
  std::lock_guard<std::mutex> g(S().m);
  S().exitCode = code;
}

void OnProcessRun(std::function<DWORD(const ProcessLaunch&)> run) {
  std::lock_guard<std::mutex> g(S().m);
  S().run = std::move(run);
}

std::vector<WinExecCall> WinExecCalls() {
  std::lock_guard<std::mutex> g(S().m);
  return S().winExecs;
}

size_t RunningThreadCount() {
  std::lock_guard<std::mutex> g(Live().m);
  return Live().count;
}

bool WaitForThreads(unsigned timeoutMs) {
  std::unique_lock<std::mutex> l(Live().m);
  return Live().cv.wait_for(l, std::chrono::milliseconds(timeoutMs),
                            [] { return Live().count == 0; });
}

}  // namespace simwin

using namespace simwin;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD threadId) {
  DWORD err;
  if (core::TakeFault("CreateThread", &err)) {
    SetLastError(err);
    return nullptr;
  }
  if (!start) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto obj = std::make_shared<Thread>();
  std::shared_ptr<ThreadState> st = obj->st;
  {
    std::lock_guard<std::mutex> l(Live().m);
    ++Live().count;
  }
  bool suspended = (flags & CREATE_SUSPENDED) != 0;
  st->resumed = !suspended;
  obj->th = std::thread([st, start, parameter] {
    {
      std::unique_lock<std::mutex> l(st->m);
      st->id = GetCurrentThreadId();
      st->registered = true;
      st->cv.notify_all();
      st->cv.wait(l, [&] { return st->resumed; });
    }
    DWORD code = start(parameter);
    {
      std::lock_guard<std::mutex> l(st->m);
      st->exitCode = code;
      st->done = true;
      st->cv.notify_all();
    }
    std::lock_guard<std::mutex> l(Live().m);
    if (--Live().count == 0) Live().cv.notify_all();
  });
  DWORD id;
  {
    // The id the thread itself sees is known before CreateThread returns.
    std::unique_lock<std::mutex> l(st->m);
    st->cv.wait(l, [&] { return st->registered; });
    id = st->id;
  }
  if (threadId) *threadId = id;
  return core::AddHandle(obj);
}

DWORD ResumeThread(HANDLE thread) {
  auto t = core::FindHandleAs<Thread>(thread);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  std::lock_guard<std::mutex> l(t->st->m);
  DWORD prev = t->st->resumed ? 0 : 1;
  t->st->resumed = true;
  t->st->cv.notify_all();
  return prev;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  DWORD err;
  if (core::TakeFault("GetExitCodeThread", &err)) {
    SetLastError(err);
    return FALSE;
  }
  auto obj = core::FindHandle(thread);
  if (auto t = std::dynamic_pointer_cast<Thread>(obj)) {
    std::lock_guard<std::mutex> l(t->st->m);
    if (exitCode) *exitCode = t->st->exitCode;
    return TRUE;
  }
  auto p = std::dynamic_pointer_cast<Process>(obj);
  if (p && std::strcmp(p->kind, "thread") == 0) {
    if (exitCode) *exitCode = p->exitCode;
    return TRUE;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                    LPPROCESS_INFORMATION processInformation) {
  ProcessLaunch rec{};
  rec.hasApplicationName = applicationName != nullptr;
  rec.applicationName = applicationName ? applicationName : "";
  rec.hasCommandLine = commandLine != nullptr;
  rec.commandLine = commandLine ? commandLine : "";
  rec.hasProcessAttributes = processAttributes != nullptr;
  rec.hasThreadAttributes = threadAttributes != nullptr;
  rec.inheritHandles = inheritHandles;
  rec.creationFlags = creationFlags;
  rec.hasEnvironment = environment != nullptr;
  for (const char* p = static_cast<const char*>(environment); p && *p; p += std::strlen(p) + 1)
    rec.environment.push_back(p);
  rec.hasCurrentDirectory = currentDirectory != nullptr;
  rec.currentDirectory = currentDirectory ? currentDirectory : "";
  rec.startupInfoCb = startupInfo ? startupInfo->cb : 0;
  rec.startupInfoZeroed = startupInfo ? ZeroAfterCb(startupInfo) : false;
  rec.threadId = GetCurrentThreadId();

  DWORD err = 0;
  bool fail = core::TakeFault("CreateProcessA", &err);
  if (!fail && (!startupInfo || !processInformation)) {
    fail = true;
    err = ERROR_NOACCESS;
  }
  if (!fail && !applicationName && !commandLine) {
    fail = true;
    err = ERROR_INVALID_PARAMETER;
  }
  // Windows opens the image for reading and execution, sharing reading and
  // deletion: a program that holds it without read sharing, or writes it,
  // refuses the start.
  if (!fail && applicationName &&
      !volume::Allows(volume::PathKey(applicationName), volume::kRead,
                      FILE_SHARE_READ | FILE_SHARE_DELETE)) {
    fail = true;
    err = ERROR_SHARING_VIOLATION;
  }
  std::function<DWORD(const ProcessLaunch&)> run;
  DWORD code;
  DWORD pid;
  {
    std::lock_guard<std::mutex> g(S().m);
    rec.started = !fail;
    S().launches.push_back(rec);
    run = S().run;
    code = S().exitCode;
    pid = S().nextPid;
    S().nextPid += 8;
  }
  if (fail) {
    SetLastError(err);
    return FALSE;
  }
  if (run) code = run(rec);
  processInformation->hProcess = core::AddHandle(std::make_shared<Process>("process", code));
  processInformation->hThread = core::AddHandle(std::make_shared<Process>("thread", code));
  processInformation->dwProcessId = pid;
  processInformation->dwThreadId = pid + 4;
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  DWORD err;
  if (core::TakeFault("GetExitCodeProcess", &err)) {
    SetLastError(err);
    return FALSE;
  }
  auto p = core::FindHandleAs<Process>(process);
  if (!p || std::strcmp(p->kind, "process") != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (exitCode) *exitCode = p->exitCode;
  return TRUE;
}

UINT WinExec(LPCSTR cmdLine, UINT cmdShow) {
  {
    std::lock_guard<std::mutex> g(S().m);
    S().winExecs.push_back(WinExecCall{cmdLine ? cmdLine : "", cmdShow});
  }
  DWORD err;
  if (core::TakeFault("WinExec", &err)) {
    SetLastError(err);
    return err > 31 ? 0 : err;  // a value of 31 or less reports the failure
  }
  return 33;
}

namespace simwin {

void SetEnvironment(const std::vector<std::string>& entries) {
  std::lock_guard<std::mutex> g(S().m);
  S().environment = entries;
}

}  // namespace simwin

LPCH GetEnvironmentStringsA() {
  DWORD err;
  if (core::TakeFault("GetEnvironmentStringsA", &err)) {
    SetLastError(err);
    return nullptr;
  }
  std::string block;
  {
    std::lock_guard<std::mutex> g(S().m);
    for (const std::string& e : S().environment) block += e + '\0';
  }
  block += '\0';
  char* p = new char[block.size()];
  std::memcpy(p, block.data(), block.size());
  return p;
}

BOOL FreeEnvironmentStringsA(LPCH block) {
  delete[] block;
  return TRUE;
}

BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
  DWORD err;
  if (core::TakeFault("SetEnvironmentVariableA", &err)) {
    SetLastError(err);
    return FALSE;
  }
  if (!lpName || !*lpName || std::strchr(lpName + 1, '=')) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto fold = [](std::string s) {
    for (char& c : s)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
  };
  const std::string name = fold(lpName);
  std::lock_guard<std::mutex> g(S().m);
  auto& env = S().environment;
  auto it = env.begin();
  for (; it != env.end(); ++it)
    if (fold(it->substr(0, it->find('=', 1))) == name) break;
  if (!lpValue) {
    if (it != env.end()) env.erase(it);
  } else if (it != env.end()) {
    *it = it->substr(0, it->find('=', 1)) + "=" + lpValue;
  } else {
    env.push_back(std::string(lpName) + "=" + lpValue);
  }
  return TRUE;
}
