// The machine's environment on the simulated platform: set by the tests.
#include "platform/environ.h"

#include <mutex>

#include "platform/sim/core.h"
#include "platform/sim/kernel.h"

namespace {

std::vector<std::string> DefaultMachine() {
  return {"ALLUSERSPROFILE=C:\\ProgramData",
          "CommonProgramFiles=C:\\Program Files\\Common Files",
          "ComSpec=C:\\Windows\\system32\\cmd.exe",
          "NUMBER_OF_PROCESSORS=2",
          "OS=Windows_NT",
          "Path=C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem",
          "PATHEXT=.COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC",
          "PROCESSOR_ARCHITECTURE=AMD64",
          "ProgramData=C:\\ProgramData",
          "ProgramFiles=C:\\Program Files",
          "PUBLIC=C:\\Users\\Public",
          "SystemDrive=C:",
          "SystemRoot=C:\\Windows",
          "TEMP=C:\\Windows\\TEMP",
          "TMP=C:\\Windows\\TEMP",
          "USERNAME=SYSTEM",
          "USERPROFILE=C:\\Windows\\system32\\config\\systemprofile",
          "windir=C:\\Windows"};
}

std::vector<std::string> DefaultIdentity() {
  return {"USERNAME=user",
          "USERDOMAIN=PAVONIX-PC",
          "USERPROFILE=C:\\Users\\user",
          "APPDATA=C:\\Users\\user\\AppData\\Roaming",
          "LOCALAPPDATA=C:\\Users\\user\\AppData\\Local",
          "HOMEDRIVE=C:",
          "HOMEPATH=\\Users\\user",
          "PUBLIC=C:\\Users\\Public",
          "ALLUSERSPROFILE=C:\\ProgramData"};
}

struct State {
  std::mutex lock;
  std::vector<std::string> machine = DefaultMachine();
  std::vector<std::string> identity = DefaultIdentity();
};
State& S() {
  static State s;
  return s;
}

struct EnvironReset {
  EnvironReset() {
    simwin::core::OnReset([] {
      std::lock_guard<std::mutex> g(S().lock);
      S().machine = DefaultMachine();
      S().identity = DefaultIdentity();
    });
  }
};
EnvironReset g_environReset;

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

}  // namespace

namespace simwin {

void SetMachineVariables(const std::vector<std::string>& entries) {
  std::lock_guard<std::mutex> g(S().lock);
  S().machine = entries;
}

void SetUserIdentity(const std::vector<std::string>& entries) {
  std::lock_guard<std::mutex> g(S().lock);
  S().identity = entries;
}

}  // namespace simwin

// As the Win32 side builds it: the machine's variables without TEMP, TMP and
// the identity names, then the identity.
BOOL PlatMachineEnvironment(std::vector<std::string>* pEntries) {
  DWORD err;
  if (simwin::core::TakeFault("CreateEnvironmentBlock", &err)) {
    SetLastError(err);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(S().lock);
  pEntries->clear();
  for (const std::string& e : S().machine) {
    const std::string name = Upper(e.substr(0, e.find('=')));
    bool bIdentity = name == "TEMP" || name == "TMP";
    for (const std::string& id : PlatIdentityVariables()) bIdentity = bIdentity || name == id;
    if (!bIdentity) pEntries->push_back(e);
  }
  pEntries->insert(pEntries->end(), S().identity.begin(), S().identity.end());
  return TRUE;
}
