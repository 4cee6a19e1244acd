// A stand-in installer for tests and the demo. It reads no arguments:
// everything it needs comes from its file name or from these settings, each
// taken from its own environment, else from the line "NAME=value" of
// pavonix-installer-settings.txt beside the program of the process that
// started it (the program starts installers with the machine's environment,
// never with the one the tests gave it):
//   PAVONIX_INSTALLER_RECORD   record file (default: pavonix-installer-record.txt
//                              beside the executable)
//   PAVONIX_INSTALLER_EXIT     exit code (default: N from a name ending in
//                              "_exitN.exe", else 0)
//   PAVONIX_INSTALLER_SLEEP_MS time to spend "installing" (at most 10 minutes)
//   PAVONIX_INSTALLER_REMOVE   a plain file name beside the installer to delete
//                              before it ends (never itself), so that a later
//                              installer of the same run is missing
//   PAVONIX_INSTALLER_CONTEXT  a file to which it appends how it was started:
//                              <full path>\t<command line>\t<current folder>
//                              \t<TEMP>\t<TMP>\r\n (an unset variable as "-")
//   PAVONIX_INSTALLER_ENVIRONMENT  a file to which it appends its own
//                              environment, one "NAME=value" a line, then an
//                              empty line
// When it ends it appends one line to the record file:
//   <full path>\t<start time>\t<end time>\t<process id>\t<exit code>\r\n
// with times as "YYYY-MM-DD hh:mm:ss.mmm" (local time).

#include "platform/win.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const DWORD kMaxSleepMs = 10u * 60u * 1000u;
const char kRecordName[] = "pavonix-installer-record.txt";
const char kSettingsName[] = "pavonix-installer-settings.txt";

// Variable of this process's own environment; false when unset.
bool GetOwnEnv(const char* name, std::string* value) {
  std::string buf(256, '\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD n = GetEnvironmentVariableA(name, &buf[0], static_cast<DWORD>(buf.size()));
    if (n == 0) {
      return false;
    }
    if (n < buf.size()) {
      value->assign(buf.data(), n);
      return true;
    }
    buf.assign(n, '\0');  // n is the size needed, terminator included
  }
  return false;
}

// PROCESS_BASIC_INFORMATION, the padded fields as pointer-sized integers.
struct BasicInfo {
  LONG_PTR exitStatus;
  PVOID peb;
  ULONG_PTR affinity;
  LONG_PTR priority;
  ULONG_PTR pid;
  ULONG_PTR parentPid;
};
typedef LONG(WINAPI* QueryProcessFn)(HANDLE, int, PVOID, ULONG, PULONG);

// The lines of the settings file beside the program of the process that
// started this one: "NAME=value" a line; empty when there is none.
const std::vector<std::string>& StarterSettings() {
  static std::vector<std::string> lines;
  static bool read = false;
  if (read) {
    return lines;
  }
  read = true;
  QueryProcessFn query = reinterpret_cast<QueryProcessFn>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
  BasicInfo own = {};
  if (query == nullptr || query(GetCurrentProcess(), 0, &own, sizeof own, nullptr) < 0) {
    return lines;
  }
  HANDLE parent =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(own.parentPid));
  char image[MAX_PATH + 1] = {0};
  DWORD cch = MAX_PATH;
  const bool named = parent != nullptr && QueryFullProcessImageNameA(parent, 0, image, &cch);
  if (parent != nullptr) {
    CloseHandle(parent);
  }
  if (!named) {
    return lines;
  }
  std::string path(image, cch);
  size_t slash = path.find_last_of('\\');
  path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + kSettingsName;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    return lines;
  }
  char buf[4096];
  std::string text;
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    text.append(buf, n);
  }
  std::fclose(f);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (!line.empty()) {
      lines.push_back(line);
    }
    at = end + 1;
  }
  return lines;
}

// A setting of the tests: the own environment's, else the starter's.
bool GetEnv(const char* name, std::string* value) {
  if (GetOwnEnv(name, value)) {
    return true;
  }
  const std::string want = std::string(name) + "=";
  for (const std::string& e : StarterSettings()) {
    if (e.size() >= want.size() && lstrcmpiA(e.substr(0, want.size()).c_str(), want.c_str()) == 0) {
      value->assign(e.substr(want.size()));
      return true;
    }
  }
  return false;
}

// Decimal number with an optional leading '-', no other characters.
bool ParseNumber(const std::string& text, long long* out) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  if (i == text.size() || text.size() - i > 10) {
    return false;
  }
  long long v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return false;
    }
    v = v * 10 + (text[i] - '0');
  }
  *out = negative ? -v : v;
  return true;
}

// Exit code taken from a file name ending in "_exitN.exe" (case-insensitive).
bool ExitCodeFromName(const std::string& path, long long* out) {
  size_t slash = path.find_last_of("\\/");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  const std::string tail = ".exe";
  if (name.size() <= tail.size() ||
      name.compare(name.size() - tail.size(), tail.size(), tail) != 0) {
    return false;
  }
  std::string stem = name.substr(0, name.size() - tail.size());
  size_t at = stem.rfind("_exit");
  if (at == std::string::npos) {
    return false;
  }
  return ParseNumber(stem.substr(at + 5), out);
}

std::string FormatTime(const SYSTEMTIME& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u",
                static_cast<unsigned>(t.wYear), static_cast<unsigned>(t.wMonth),
                static_cast<unsigned>(t.wDay), static_cast<unsigned>(t.wHour),
                static_cast<unsigned>(t.wMinute), static_cast<unsigned>(t.wSecond),
                static_cast<unsigned>(t.wMilliseconds));
  return buf;
}

// Appends the line with one write on a handle opened for appending only, so
// that lines of installers running at the same time do not mix.
bool AppendLine(const std::string& file, const std::string& line) {
  HANDLE h = CreateFileA(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  for (int attempt = 0; h == INVALID_HANDLE_VALUE && attempt < 50; ++attempt) {
    if (GetLastError() != ERROR_SHARING_VIOLATION) {
      break;
    }
    Sleep(20);
    h = CreateFileA(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  BOOL ok = WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == line.size();
}

// The file `name` beside `self` is deleted when `name` is a plain file name
// other than the installer's own; anything with a folder part is ignored.
void RemoveSibling(const std::string& self, const std::string& name) {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of("\\/:") != std::string::npos) {
    return;
  }
  size_t slash = self.find_last_of('\\');
  std::string own = slash == std::string::npos ? self : self.substr(slash + 1);
  if (lstrcmpiA(own.c_str(), name.c_str()) == 0) {
    return;
  }
  std::string path =
      (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) + name;
  DeleteFileA(path.c_str());
}

}  // namespace

int main() {
  SYSTEMTIME started;
  GetLocalTime(&started);

  char module[MAX_PATH + 1] = {0};
  DWORD len = GetModuleFileNameA(nullptr, module, MAX_PATH);
  std::string self(module, len);

  long long code = 0;
  std::string text;
  if (!(GetEnv("PAVONIX_INSTALLER_EXIT", &text) && ParseNumber(text, &code))) {
    if (!ExitCodeFromName(self, &code)) {
      code = 0;
    }
  }

  long long sleep_ms = 0;
  if (GetEnv("PAVONIX_INSTALLER_SLEEP_MS", &text) && ParseNumber(text, &sleep_ms) && sleep_ms > 0) {
    Sleep(sleep_ms > kMaxSleepMs ? kMaxSleepMs : static_cast<DWORD>(sleep_ms));
  }

  if (GetEnv("PAVONIX_INSTALLER_REMOVE", &text)) {
    RemoveSibling(self, text);
  }

  std::string context;
  if (GetEnv("PAVONIX_INSTALLER_CONTEXT", &context) && !context.empty()) {
    char cwd[MAX_PATH + 1] = {0};
    DWORD n = GetCurrentDirectoryA(MAX_PATH, cwd);
    std::string temp = "-", tmp = "-";
    GetOwnEnv("TEMP", &temp);
    GetOwnEnv("TMP", &tmp);
    const char* cmd = GetCommandLineA();
    std::string line = self + "\t" + (cmd ? cmd : "") + "\t" +
                       (n > 0 && n <= MAX_PATH ? std::string(cwd, n) : "-") + "\t" + temp + "\t" +
                       tmp + "\r\n";
    if (!AppendLine(context, line)) {
      std::fprintf(stderr, "testinstaller: cannot append to %s (error %lu)\n", context.c_str(),
                   static_cast<unsigned long>(GetLastError()));
    }
  }

  std::string envFile;
  if (GetEnv("PAVONIX_INSTALLER_ENVIRONMENT", &envFile) && !envFile.empty()) {
    std::string lines;
    LPCH block = GetEnvironmentStringsA();
    for (const char* e = block; e != nullptr && *e != '\0'; e += std::strlen(e) + 1) {
      lines += std::string(e) + "\r\n";
    }
    if (block != nullptr) {
      FreeEnvironmentStringsA(block);
    }
    if (!AppendLine(envFile, lines + "\r\n")) {
      std::fprintf(stderr, "testinstaller: cannot append to %s (error %lu)\n", envFile.c_str(),
                   static_cast<unsigned long>(GetLastError()));
    }
  }

  std::string record;
  if (!GetEnv("PAVONIX_INSTALLER_RECORD", &record) || record.empty()) {
    size_t slash = self.find_last_of('\\');
    record = (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) + kRecordName;
  }

  SYSTEMTIME ended;
  GetLocalTime(&ended);
  DWORD exit_code = static_cast<DWORD>(code);
  char tail[64];
  std::snprintf(tail, sizeof tail, "\t%lu\t%lu\r\n",
                static_cast<unsigned long>(GetCurrentProcessId()),
                static_cast<unsigned long>(exit_code));
  std::string line = self + "\t" + FormatTime(started) + "\t" + FormatTime(ended) + tail;
  if (!AppendLine(record, line)) {
    std::fprintf(stderr, "testinstaller: cannot append to %s (error %lu)\n", record.c_str(),
                 static_cast<unsigned long>(GetLastError()));
  }
  return static_cast<int>(exit_code);
}
