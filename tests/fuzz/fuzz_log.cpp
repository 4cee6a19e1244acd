// The log: lines with arbitrary messages (through "%s") into the day file,
// and the purge's reading of dates from arbitrary file names, on the
// simulated file system.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "config/moduledir.h"
#include "log/log.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const char kLogDir[] = "C:\\App\\log";

std::string ReadAll(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void FuzzLine(const std::string& msg, bool bDebug) {
  const std::string host = simwin::HostPath(g_szLogPath);
  FUZZ_CHECK(!host.empty());
  unlink(host.c_str());
  if (bDebug)
    LogDebug("%s", msg.c_str());
  else
    LogError("%s", msg.c_str());
  const std::string text = ReadAll(host);
  unlink(host.c_str());
  const std::string shown = msg.c_str();  // up to the first NUL
  const std::string tag = bDebug ? "[DEBUG][PAVONIX](" : "[ERROR][PAVONIX](";
  FUZZ_CHECK(text.size() > 0 && text.back() == '\n');
  FUZZ_CHECK(text.size() <= LOG_LINE_BUFFER + 2);
  FUZZ_CHECK(text.find(tag) != std::string::npos);
  // The file is in text mode: every line feed goes out as CR LF.
  FUZZ_CHECK(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
  std::string expected;
  for (char c : shown) {
    if (c == '\n') expected.push_back('\r');
    expected.push_back(c);
  }
  // A message that fits the line is written whole.
  if (shown.size() < 60000) FUZZ_CHECK(text.find(expected) != std::string::npos);
}

// Names Windows can give a file inside the log folder: no separator,
// refused character or control character, no trailing dot or blank (Windows
// drops those when it makes the file).
bool WindowsFileName(const std::string& name) {
  if (name.empty() || name.size() > 200 || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr) return false;
  return name.back() != '.' && name.back() != ' ';
}

// Days since 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

// The date of a name "yyyymmdd-..." when it is a real calendar date.
bool NameDate(const std::string& name, int* y, int* m, int* d) {
  if (name.size() < 9 || name[8] != '-') return false;
  for (int i = 0; i < 8; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  const int v = std::stoi(name.substr(0, 8));
  *y = v / 10000, *m = v / 100 % 100, *d = v % 100;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (*y < 1 || *m < 1 || *m > 12 || *d < 1 || *d > kDays[*m - 1]) return false;
  const bool leap = (*y % 4 == 0 && *y % 100 != 0) || *y % 400 == 0;
  return !(*m == 2 && *d == 29 && !leap);
}

void FuzzPurge(const std::string& name, uint8_t control) {
  if (!WindowsFileName(name)) return;
  const std::string winPath = std::string(kLogDir) + "\\" + name;
  const std::string host = simwin::HostPath(winPath);
  FUZZ_CHECK(!host.empty());
  { std::ofstream(host, std::ios::binary) << "x"; }
  const int ty = 2000 + control % 40, tm = 1 + control % 12, td = 1 + control % 28,
            keep = control % 5;
  simwin::SetLocalTime(ty, tm, td);
  CLogCleaner cleaner;
  cleaner.Init(keep, "log");
  cleaner.CollectExpired();
  // Only the file that is there, by its full path, and only a ".log" one.
  FUZZ_CHECK(cleaner.m_lstExpired.size() <= 1);
  if (!cleaner.m_lstExpired.empty()) {
    const std::string& listed = cleaner.m_lstExpired.front();
    FUZZ_CHECK(listed == std::string("C:\\App\\log\\") + name);
    FUZZ_CHECK(name.size() >= 4);
  }
  // A real date is purged exactly when it is more than the keep days old.
  int y = 0, m = 0, d = 0;
  std::string tail = name.size() >= 4 ? name.substr(name.size() - 4) : "";
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  // Only for one-byte names: a lead byte before ".log" makes a double-byte
  // character of the dot, and such a name does not end in ".log".
  bool singleByte = true;
  for (unsigned char c : name) singleByte = singleByte && c < 0x80;
  if (singleByte && tail == ".log" && NameDate(name, &y, &m, &d)) {
    const long long age = DaysFromCivil(ty, tm, td) - DaysFromCivil(y, m, d);
    FUZZ_CHECK(cleaner.m_lstExpired.size() == (age > keep ? 1u : 0u));
  }
  unlink(host.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 70000) return 0;
  static bool once = [] {
    pavfuzz::FreshMachine();
    simwin::SetModulePath("C:\\App\\pavonix.exe");
    simwin::SetLocalTime(2026, 3, 15, 8, 9, 10);
    std::string dir = simwin::HostPath("C:\\App");
    mkdir(dir.c_str(), 0700);
    dir = simwin::HostPath(kLogDir);
    mkdir(dir.c_str(), 0700);
    PrepareLog(GetModuleDir(), 4);
    return true;
  }();
  (void)once;
  const uint8_t control = data[0];
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  simwin::SetLocalTime(2026, 3, 15, 8, 9, 10);
  FuzzLine(rest, (control & 1) != 0);
  FuzzPurge(rest, control);
  return 0;
}
