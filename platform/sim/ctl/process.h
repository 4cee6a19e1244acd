// Test controls of the simulated process area: what CreateProcessA and
// WinExec were asked to do, the exit codes of the simulated processes, and
// the threads made with CreateThread.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include "platform/sim/wintypes.h"

namespace simwin {

struct ProcessLaunch {
  bool hasApplicationName;
  std::string applicationName;
  bool hasCommandLine;
  std::string commandLine;
  bool hasProcessAttributes;
  bool hasThreadAttributes;
  BOOL inheritHandles;
  DWORD creationFlags;
  bool hasEnvironment;
  std::vector<std::string> environment;  // the block's strings, in order
  bool hasCurrentDirectory;
  std::string currentDirectory;
  DWORD startupInfoCb;     // cb of the STARTUPINFOA passed
  bool startupInfoZeroed;  // every member after cb is zero
  bool started;            // false when the call failed
  DWORD threadId;          // caller's thread
};

// Every CreateProcessA call, in order, failed ones included.
std::vector<ProcessLaunch> ProcessLaunches();

// The program's environment, "NAME=value" strings in order (default: a
// per-drive folder "=C:=C:\Users\user\Downloads", PATH, SystemRoot, and TEMP
// and TMP naming the user's temporary folder).
void SetEnvironment(const std::vector<std::string>& entries);

// Exit code of every process started from now on (default 0).
void SetProcessExitCode(DWORD code);
// Runs inside CreateProcessA for each process that starts, on the caller's
// thread, as the "program": its result becomes the exit code.
void OnProcessRun(std::function<DWORD(const ProcessLaunch&)> run);

struct WinExecCall {
  std::string cmdLine;
  UINT cmdShow;
};
std::vector<WinExecCall> WinExecCalls();

// Threads made with CreateThread that have not yet returned.
size_t RunningThreadCount();
// Waits (real time) until every such thread has returned; false on time-out.
bool WaitForThreads(unsigned timeoutMs);

}  // namespace simwin
