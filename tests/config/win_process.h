// Helpers of the Wine suites: run a program with its output in a file, and
// save / restore registry values the suites touch.
#pragma once
#include <cstdio>
#include <string>

#include "platform/win.h"

namespace pavtest {

// Runs `cmdline` with stdout and stderr going to `outFile`; returns the exit
// code, or -1 when it did not start or did not end within `timeoutMs`.
inline int RunCapture(const std::string& cmdline, const std::string& outFile,
                      DWORD timeoutMs = 120000) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
  HANDLE hOut = CreateFileA(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (hOut == INVALID_HANDLE_VALUE) return -1;
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = hOut;
  si.hStdError = hOut;
  PROCESS_INFORMATION pi = {};
  std::string cmd = cmdline;
  BOOL ok = CreateProcessA(NULL, &cmd[0], NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL, NULL, &si, &pi);
  CloseHandle(hOut);
  if (!ok) return -1;
  int code = -1;
  if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
    DWORD exitCode = 0;
    if (GetExitCodeProcess(pi.hProcess, &exitCode)) code = static_cast<int>(exitCode);
  } else {
    TerminateProcess(pi.hProcess, 1);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

inline std::string ReadWholeFile(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

// One registry value as it was before a test, put back afterwards.
class SavedRegValue {
 public:
  SavedRegValue(const std::string& key, const std::string& name, REGSAM view)
      : key_(key), name_(name), view_(view) {
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &h) != ERROR_SUCCESS)
      return;
    keyExisted_ = true;
    DWORD cb = 0;
    if (RegQueryValueExA(h, name.c_str(), NULL, &type_, NULL, &cb) == ERROR_SUCCESS) {
      data_.resize(cb);
      if (RegQueryValueExA(h, name.c_str(), NULL, &type_, reinterpret_cast<LPBYTE>(&data_[0]),
                           &cb) == ERROR_SUCCESS) {
        data_.resize(cb);
        existed_ = true;
      }
    }
    RegCloseKey(h);
  }
  bool Existed() const { return existed_; }
  bool KeyExisted() const { return keyExisted_; }
  void Remove() const {
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_ALL_ACCESS | view_, &h) !=
        ERROR_SUCCESS)
      return;
    RegDeleteValueA(h, name_.c_str());
    RegCloseKey(h);
  }
  void Restore() const {
    if (!existed_) {
      Remove();
      return;
    }
    HKEY h;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, NULL, 0, KEY_ALL_ACCESS | view_, NULL,
                        &h, NULL) != ERROR_SUCCESS)
      return;
    RegSetValueExA(h, name_.c_str(), 0, type_, reinterpret_cast<const BYTE*>(data_.data()),
                   static_cast<DWORD>(data_.size()));
    RegCloseKey(h);
  }

 private:
  std::string key_, name_;
  REGSAM view_;
  bool keyExisted_ = false;
  bool existed_ = false;
  DWORD type_ = REG_NONE;
  std::string data_;
};

// Deletes a key path created by a test, deepest first, down to (not
// including) the first component that existed before.
inline void DeleteKeyChain(const std::string& key, size_t keepComponents, REGSAM view) {
  std::string k = key;
  size_t depth = 1;
  for (char c : key) depth += c == '\\';
  while (depth > keepComponents) {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, k.c_str(), view, 0);
    size_t p = k.rfind('\\');
    if (p == std::string::npos) break;
    k.erase(p);
    --depth;
  }
}

}  // namespace pavtest
