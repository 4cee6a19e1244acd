// A stand-in for an on-access virus scanner, for tests: it watches folders
// and their sub-folders and opens each new or changed file without sharing
// for a while right after its writer closed it, reading it, as scanners do.
//
//   pavonix_scanner [--hold-ms N] [--poll-ms N] [--max-seconds N]
//                   [--stop FILE] [--log FILE] FOLDER...
//
// One line per file held ("held <path> <ms> ms <bytes> bytes") goes to the
// log file (appended) or stdout. It ends by itself after --max-seconds
// (default 120), or once the stop file exists.
#include "platform/win.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Seen {
  ULONGLONG ullStamp = 0;  // size and write time of the version last held
  bool bHeld = false;
};

struct Held {
  HANDLE h;
  std::string path;
  DWORD dwSince;
  ULONGLONG ullBytes;
};

ULONGLONG Stamp(const FILETIME& ft, DWORD dwSizeHigh, DWORD dwSizeLow) {
  return ((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) ^
         ((static_cast<ULONGLONG>(dwSizeHigh) << 32) | dwSizeLow) * 0x9E3779B97F4A7C15ull;
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// Every regular file below strDir with its stamp; links are not entered.
void Walk(const std::string& strDir, int nDepth, std::map<std::string, ULONGLONG>* pFiles) {
  if (nDepth > 16) return;
  WIN32_FIND_DATAA fd;
  HANDLE hFind = FindFirstFileA((strDir + "\\*").c_str(), &fd);
  if (hFind == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = fd.cFileName;
    if (name == "." || name == ".." || (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      continue;
    const std::string path = strDir + "\\" + name;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      Walk(path, nDepth + 1, pFiles);
    else
      (*pFiles)[path] = Stamp(fd.ftLastWriteTime, fd.nFileSizeHigh, fd.nFileSizeLow);
  } while (FindNextFileA(hFind, &fd));
  FindClose(hFind);
}

// Opens the file without sharing and reads it through; INVALID_HANDLE_VALUE
// while someone else has it open. *pullStamp: the version opened.
HANDLE OpenAndRead(const std::string& path, ULONGLONG* pullBytes, ULONGLONG* pullStamp) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;
  BY_HANDLE_FILE_INFORMATION info;
  *pullStamp = GetFileInformationByHandle(h, &info)
                   ? Stamp(info.ftLastWriteTime, info.nFileSizeHigh, info.nFileSizeLow)
                   : 0;
  static char buf[64 * 1024];
  DWORD n = 0;
  *pullBytes = 0;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) *pullBytes += n;
  return h;
}

DWORD Number(const char* s) { return static_cast<DWORD>(std::strtoul(s, nullptr, 10)); }

}  // namespace

int main(int argc, char** argv) {
  DWORD dwHoldMs = 1000, dwPollMs = 20, dwMaxSeconds = 120;
  std::string strStop, strLog;
  std::vector<std::string> dirs;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool bValue = i + 1 < argc;
    if (a == "--hold-ms" && bValue)
      dwHoldMs = Number(argv[++i]);
    else if (a == "--poll-ms" && bValue)
      dwPollMs = Number(argv[++i]);
    else if (a == "--max-seconds" && bValue)
      dwMaxSeconds = Number(argv[++i]);
    else if (a == "--stop" && bValue)
      strStop = argv[++i];
    else if (a == "--log" && bValue)
      strLog = argv[++i];
    else if (a.compare(0, 2, "--") == 0)
      return std::fprintf(stderr, "unknown option %s\n", a.c_str()), 2;
    else
      dirs.push_back(a);
  }
  if (dirs.empty() || dwMaxSeconds == 0 || dwMaxSeconds > 3600)
    return std::fprintf(stderr, "usage: %s [options] FOLDER... (max-seconds 1..3600)\n", argv[0]),
           2;
  FILE* out = strLog.empty() ? stdout : std::fopen(strLog.c_str(), "a");
  if (out == nullptr) return std::fprintf(stderr, "cannot open %s\n", strLog.c_str()), 2;
  char szFull[MAX_PATH] = {0};
  const std::string strLogKey =
      strLog.empty() || !GetFullPathNameA(strLog.c_str(), MAX_PATH, szFull, nullptr)
          ? std::string()
          : Upper(szFull);
  std::map<std::string, Seen> seen;
  std::vector<Held> held;
  const DWORD dwStart = GetTickCount();
  while (GetTickCount() - dwStart < dwMaxSeconds * 1000 &&
         (strStop.empty() || GetFileAttributesA(strStop.c_str()) == INVALID_FILE_ATTRIBUTES)) {
    // Let go of what was held long enough.
    for (size_t i = 0; i < held.size();) {
      const DWORD dwHeld = GetTickCount() - held[i].dwSince;
      if (dwHeld < dwHoldMs) {
        ++i;
        continue;
      }
      CloseHandle(held[i].h);
      std::fprintf(out, "held %s %lu ms %llu bytes\n", held[i].path.c_str(),
                   static_cast<unsigned long>(dwHeld), held[i].ullBytes);
      std::fflush(out);
      held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
    }
    std::map<std::string, ULONGLONG> files;
    for (const std::string& d : dirs) Walk(d, 0, &files);
    for (const auto& kv : files) {
      if (!strLogKey.empty() && Upper(kv.first) == strLogKey) continue;
      Seen& s = seen[kv.first];
      if (s.bHeld && s.ullStamp == kv.second) continue;
      bool bHolding = false;
      for (const Held& h : held) bHolding = bHolding || h.path == kv.first;
      if (bHolding) continue;
      // Tried at every round until its writer has closed it.
      ULONGLONG ullBytes = 0, ullStamp = 0;
      HANDLE h = OpenAndRead(kv.first, &ullBytes, &ullStamp);
      if (h == INVALID_HANDLE_VALUE) continue;
      s.bHeld = true;
      s.ullStamp = ullStamp;
      held.push_back(Held{h, kv.first, GetTickCount(), ullBytes});
    }
    Sleep(dwPollMs);
  }
  for (const Held& h : held) {
    CloseHandle(h.h);
    std::fprintf(out, "held %s %lu ms %llu bytes\n", h.path.c_str(),
                 static_cast<unsigned long>(GetTickCount() - h.dwSince), h.ullBytes);
  }
  if (out != stdout) std::fclose(out);
  return 0;
}
