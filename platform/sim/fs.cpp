// Simulated file system: the attribute, search, delete and folder calls over
// the volume core (volume.h), with Windows results and last errors for each
// call, and the C runtime file seam (text mode writes CR LF like the Windows
// runtime).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/core.h"
#include "platform/sim/file.h"
#include "platform/sim/ctl/fs.h"
#include "platform/sim/fs.h"
#include "platform/sim/kernel.h"
#include "platform/sim/volume.h"

namespace simwin {
using namespace volume;
namespace {

const char kDefaultModule[] = "C:\\Program Files (x86)\\Pavonix\\pavonix.exe";
const char kDefaultTemp[] = "C:\\Users\\user\\AppData\\Local\\Temp\\";
const char kDefaultSystem[] = "C:\\Windows\\system32";
const char kDefaultWindows[] = "C:\\Windows";

struct State {
  std::mutex lock;
  std::string modulePath = kDefaultModule;
  std::string tempPath = kDefaultTemp;
  std::string systemDir = kDefaultSystem;
  std::string windowsDir = kDefaultWindows;
  std::map<char, UINT> driveTypes;
  bool shortNames = false;
};
State& S() {
  static State s;
  return s;
}

// Windows wildcards as FindFirstFileA applies them: '?' and '*' are turned
// into their DOS forms so that "*.*" also matches names without a dot and
// "*.log" matches up to the last period only.
enum : int { kStar = -1, kQm = -2, kDosStar = -3, kDosQm = -4, kDosDot = -5 };

// Characters as units: a GBK pair is one unit; letters fold to upper case.
std::vector<int> Units(const std::string& s) {
  std::vector<int> u;
  std::string f = Fold(s);
  for (size_t i = 0; i < f.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(f[i]);
    if (IsLead(c) && i + 1 < f.size()) {
      u.push_back((c << 8) | static_cast<unsigned char>(f[i + 1]));
      ++i;
    } else {
      u.push_back(c);
    }
  }
  return u;
}

std::vector<int> CompilePattern(const std::string& pattern) {
  if (pattern == "*.*") return {kStar};
  std::vector<int> raw = Units(pattern);
  std::vector<int> out;
  for (size_t i = 0; i < raw.size(); ++i) {
    int c = raw[i];
    int next = i + 1 < raw.size() ? raw[i + 1] : 0;
    if (c == '?')
      out.push_back(kDosQm);
    else if (c == '*')
      out.push_back(next == '.' ? kDosStar : kStar);
    else if (c == '.' && (next == '?' || next == '*'))
      out.push_back(kDosDot);
    else
      out.push_back(c);
  }
  return out;
}

bool MatchUnits(const std::vector<int>& e, size_t ei, const std::vector<int>& n, size_t ni) {
  if (ei == e.size()) return ni == n.size();
  int c = e[ei];
  switch (c) {
    case kStar:
      for (size_t k = ni; k <= n.size(); ++k)
        if (MatchUnits(e, ei + 1, n, k)) return true;
      return false;
    case kDosStar: {
      size_t lastDot = n.size();
      for (size_t k = n.size(); k > ni; --k)
        if (n[k - 1] == '.') {
          lastDot = k - 1;
          break;
        }
      for (size_t k = ni; k <= lastDot; ++k)
        if (MatchUnits(e, ei + 1, n, k)) return true;
      return false;
    }
    case kQm:
      return ni < n.size() && MatchUnits(e, ei + 1, n, ni + 1);
    case kDosQm:
      if (ni < n.size() && n[ni] != '.') return MatchUnits(e, ei + 1, n, ni + 1);
      return MatchUnits(e, ei + 1, n, ni);
    case kDosDot:
      if (ni < n.size() && n[ni] == '.') return MatchUnits(e, ei + 1, n, ni + 1);
      return ni == n.size() && MatchUnits(e, ei + 1, n, ni);
    default:
      if (ni < n.size() && n[ni] == c) return MatchUnits(e, ei + 1, n, ni + 1);
      // A trailing period of the pattern matches the end of a name without one.
      return c == '.' && ni == n.size() && ei + 1 == e.size();
  }
}

bool WildcardMatch(const std::string& pattern, const std::string& name) {
  return MatchUnits(CompilePattern(pattern), 0, Units(name), 0);
}

FILETIME ToFileTime(time_t t, long nsec) {
  // 100 ns intervals since 1601-01-01.
  uint64_t v =
      (static_cast<uint64_t>(t) + 11644473600ull) * 10000000ull + static_cast<uint64_t>(nsec / 100);
  return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

// A host symbolic link is a reparse point (junction or symbolic link); the
// other attributes are its target's, as Windows reports for a link to a
// folder.
DWORD AttributesOf(const std::string& norm, const std::string& host, const struct stat& st) {
  DWORD a = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
  struct stat ls;
  if ((::lstat(host.c_str(), &ls) == 0 && S_ISLNK(ls.st_mode)) || volume::ReparseTag(norm) != 0)
    a |= FILE_ATTRIBUTE_REPARSE_POINT;
  if (IsMarkedReadOnly(norm)) a |= FILE_ATTRIBUTE_READONLY;
  return a ? a : FILE_ATTRIBUTE_NORMAL;
}

struct FindObject : core::Object {
  std::vector<WIN32_FIND_DATAA> entries;
  size_t next = 0;
  const char* Kind() const override { return "find"; }
};

bool Fault(const char* api) {
  DWORD err;
  if (!core::TakeFault(api, &err)) return false;
  SetLastError(err);
  return true;
}

// The 8.3 name NTFS would give a long name ("" when the name is already 8.3):
// up to six characters of the base, "~1", and up to three of the extension.
std::string ShortName(const std::string& name) {
  if (name == "." || name == "..") return "";
  size_t dot = name.rfind('.');
  std::string base = dot == std::string::npos ? name : name.substr(0, dot);
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  const bool fits = !base.empty() && base.size() <= 8 && ext.size() <= 3 &&
                    name.find(' ') == std::string::npos && base.find('.') == std::string::npos;
  if (fits) return "";
  std::string b;
  for (char c : base)
    if (c != ' ' && c != '.') b += c;
  std::string out = Fold(b.substr(0, 6)) + "~1";
  std::string e;
  for (char c : ext)
    if (c != ' ') e += c;
  if (!e.empty()) out += "." + Fold(e.substr(0, 3));
  return out;
}

struct FsReset {
  FsReset() {
    core::OnReset([] {
      std::lock_guard<std::mutex> g(S().lock);
      S().modulePath = kDefaultModule;
      S().tempPath = kDefaultTemp;
      S().systemDir = kDefaultSystem;
      S().windowsDir = kDefaultWindows;
      S().driveTypes.clear();
      S().shortNames = false;
    });
  }
};
FsReset g_fsReset;

}  // namespace

void SetModulePath(const std::string& winPath) {
  std::lock_guard<std::mutex> g(S().lock);
  S().modulePath = winPath;
}

void SetTempPath(const std::string& winPath) {
  std::lock_guard<std::mutex> g(S().lock);
  S().tempPath = winPath;
  if (S().tempPath.empty() || S().tempPath.back() != '\\') S().tempPath += '\\';
}

void SetSystemDir(const std::string& winPath) {
  std::lock_guard<std::mutex> g(S().lock);
  S().systemDir = winPath;
}

void SetWindowsDir(const std::string& winPath) {
  std::lock_guard<std::mutex> g(S().lock);
  S().windowsDir = winPath;
}

void SetDriveType(char letter, UINT type) {
  std::lock_guard<std::mutex> g(S().lock);
  S().driveTypes[Upper(letter)] = type;
}

void SetShortNames(bool enabled) {
  std::lock_guard<std::mutex> g(S().lock);
  S().shortNames = enabled;
}

}  // namespace simwin

using namespace simwin;

DWORD GetFileAttributesA(LPCSTR lpFileName) {
  if (Fault("GetFileAttributesA")) return INVALID_FILE_ATTRIBUTES;
  if (!lpFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::string norm = NormalizePath(lpFileName);
  if (norm.empty() || HasWildcard(norm)) {
    SetLastError(norm.empty() ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::string host = ToHost(norm);
  struct stat st;
  if (host.empty() || ::stat(host.c_str(), &st) != 0) {
    SetLastError(host.empty() ? ERROR_PATH_NOT_FOUND : MissingError(norm));
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(norm, host, st);
}

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  if (Fault("FindFirstFileA")) return INVALID_HANDLE_VALUE;
  if (!lpFileName || !lpFindFileData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string raw = lpFileName;
  size_t sep = LastSep(raw);
  std::string dirPart, pattern;
  if (sep == std::string::npos) {
    if (IsDriveSpec(raw)) {
      dirPart = raw.substr(0, 2) + "\\";
      pattern = raw.substr(2);
    } else {
      dirPart = ".";
      pattern = raw;
    }
  } else {
    dirPart = raw.substr(0, sep + 1);
    pattern = raw.substr(sep + 1);
  }
  if (pattern.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::string dirNorm = NormalizePath(dirPart);
  std::string host = dirNorm.empty() ? "" : ToHost(dirNorm);
  struct stat st;
  if (host.empty() || ::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  DIR* d = ::opendir(host.c_str());
  if (!d) {
    SetLastError(ErrnoToWin(errno));
    return INVALID_HANDLE_VALUE;
  }
  std::vector<std::string> names;
  const bool root = dirNorm.size() == 3;
  if (!root) {
    names.push_back(".");
    names.push_back("..");
  }
  std::vector<std::string> found;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == ".." || LastSep(n) != std::string::npos || n.size() >= MAX_PATH) continue;
    found.push_back(n);
  }
  ::closedir(d);
  std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
    std::string fa = Fold(a), fb = Fold(b);
    return fa != fb ? fa < fb : a < b;
  });
  names.insert(names.end(), found.begin(), found.end());

  auto obj = std::make_shared<FindObject>();
  const std::string dirPrefix = root ? dirNorm : dirNorm + "\\";
  bool shortNames;
  {
    std::lock_guard<std::mutex> g(S().lock);
    shortNames = S().shortNames;
  }
  for (const std::string& n : names) {
    const std::string shortName = shortNames ? ShortName(n) : "";
    if (!WildcardMatch(pattern, n) && (shortName.empty() || !WildcardMatch(pattern, shortName)))
      continue;
    std::string entryHost = (n == "." || n == "..") ? host : host + "/" + n;
    struct stat es;
    if (::stat(entryHost.c_str(), &es) != 0) continue;
    WIN32_FIND_DATAA fd;
    std::memset(&fd, 0, sizeof fd);
    fd.dwFileAttributes = AttributesOf(dirPrefix + n, entryHost, es);
    fd.ftCreationTime = ToFileTime(es.st_ctim.tv_sec, es.st_ctim.tv_nsec);
    fd.ftLastAccessTime = ToFileTime(es.st_atim.tv_sec, es.st_atim.tv_nsec);
    fd.ftLastWriteTime = ToFileTime(es.st_mtim.tv_sec, es.st_mtim.tv_nsec);
    uint64_t size = S_ISDIR(es.st_mode) ? 0 : static_cast<uint64_t>(es.st_size);
    fd.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    fd.nFileSizeLow = static_cast<DWORD>(size);
    std::memcpy(fd.cFileName, n.data(), n.size());
    if (shortName.size() < sizeof fd.cAlternateFileName)
      std::memcpy(fd.cAlternateFileName, shortName.data(), shortName.size());
    obj->entries.push_back(fd);
  }
  if (obj->entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *lpFindFileData = obj->entries[0];
  obj->next = 1;
  SetLastError(ERROR_SUCCESS);
  return core::AddHandle(obj);
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  if (Fault("FindNextFileA")) return FALSE;
  auto obj = core::FindHandleAs<FindObject>(hFindFile);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!lpFindFileData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (obj->next >= obj->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *lpFindFileData = obj->entries[obj->next++];
  return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
  if (Fault("FindClose")) return FALSE;
  if (!core::FindHandleAs<FindObject>(hFindFile) || !core::RemoveHandle(hFindFile)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL DeleteFileA(LPCSTR lpFileName) {
  if (Fault("DeleteFileA")) return FALSE;
  std::string norm, host;
  if (!Resolve(lpFileName, &norm, &host)) return FALSE;
  struct stat st;
  if (::stat(host.c_str(), &st) != 0) {
    SetLastError(MissingError(norm));
    return FALSE;
  }
  if (S_ISDIR(st.st_mode) || !CanModify(norm)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!volume::Allows(Fold(norm), volume::kDelete,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (::unlink(host.c_str()) != 0) {
    SetLastError(ErrnoToWin(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  if (Fault("CreateDirectoryA")) return FALSE;
  return volume::MakeFolder(lpPathName);
}

BOOL RemoveDirectoryA(LPCSTR lpPathName) {
  if (Fault("RemoveDirectoryA")) return FALSE;
  std::string norm, host;
  if (!Resolve(lpPathName, &norm, &host)) return FALSE;
  struct stat st;
  if (::stat(host.c_str(), &st) != 0) {
    SetLastError(MissingError(norm));
    return FALSE;
  }
  if (!S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_DIRECTORY);
    return FALSE;
  }
  if (norm.size() == 3 || !CanModify(norm)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!volume::Allows(Fold(norm), volume::kDelete,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (::rmdir(host.c_str()) != 0) {
    SetLastError(ErrnoToWin(errno));
    return FALSE;
  }
  return TRUE;
}

DWORD GetModuleFileNameA(HMODULE, LPSTR lpFilename, DWORD nSize) {
  if (Fault("GetModuleFileNameA")) return 0;
  std::string path;
  {
    std::lock_guard<std::mutex> g(S().lock);
    path = S().modulePath;
  }
  if (!lpFilename || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() < nSize) {
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
  }
  // Too small: truncated to nSize characters including the terminator.
  std::memcpy(lpFilename, path.data(), nSize - 1);
  lpFilename[nSize - 1] = '\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
  if (Fault("GetTempPathA")) return 0;
  std::string path;
  {
    std::lock_guard<std::mutex> g(S().lock);
    path = S().tempPath;
  }
  if (!lpBuffer || nBufferLength <= path.size()) return static_cast<DWORD>(path.size() + 1);
  std::memcpy(lpBuffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  if (Fault("GetSystemDirectoryA")) return 0;
  std::string path;
  {
    std::lock_guard<std::mutex> g(S().lock);
    path = S().systemDir;
  }
  // Too small: the size needed, terminator included, and nothing copied.
  if (!lpBuffer || uSize <= path.size()) return static_cast<UINT>(path.size() + 1);
  std::memcpy(lpBuffer, path.c_str(), path.size() + 1);
  return static_cast<UINT>(path.size());
}

UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  if (Fault("GetWindowsDirectoryA")) return 0;
  std::string path;
  {
    std::lock_guard<std::mutex> g(S().lock);
    path = S().windowsDir;
  }
  if (!lpBuffer || uSize <= path.size()) return static_cast<UINT>(path.size() + 1);
  std::memcpy(lpBuffer, path.c_str(), path.size() + 1);
  return static_cast<UINT>(path.size());
}

UINT GetDriveTypeA(LPCSTR lpRootPathName) {
  if (!lpRootPathName) return DRIVE_NO_ROOT_DIR;
  const std::string root = lpRootPathName;
  if (root.size() >= 2 && IsSep(root[0]) && IsSep(root[1])) return DRIVE_REMOTE;
  if (!IsDriveSpec(root) || (root.size() > 2 && (root.size() != 3 || !IsSep(root[2]))))
    return DRIVE_NO_ROOT_DIR;
  {
    std::lock_guard<std::mutex> g(S().lock);
    auto t = S().driveTypes.find(Upper(root[0]));
    if (t != S().driveTypes.end()) return t->second;
  }
  return volume::DriveMapped(root[0]) ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
}

BOOL SetCurrentDirectoryA(LPCSTR lpPathName) {
  if (Fault("SetCurrentDirectoryA")) return FALSE;
  std::string norm, host;
  if (!Resolve(lpPathName, &norm, &host)) return FALSE;
  struct stat st;
  if (::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_DIRECTORY);
    return FALSE;
  }
  volume::SetCurrentFolder(norm);
  return TRUE;
}

DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
  std::string path = volume::CurrentFolder();
  if (path.size() == 2) path += "\\";
  if (!lpBuffer || nBufferLength <= path.size()) return static_cast<DWORD>(path.size() + 1);
  std::memcpy(lpBuffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

// ---- C runtime seam -------------------------------------------------------

namespace {

// A text-mode stream over a host file: "\n" is written as CR LF, and CR LF
// reads back as "\n", as the Windows runtime does.
struct TextCookie {
  FILE* host;
};

ssize_t TextWrite(void* c, const char* buf, size_t size) {
  FILE* host = static_cast<TextCookie*>(c)->host;
  size_t start = 0;
  for (size_t i = 0; i < size; ++i) {
    if (buf[i] != '\n') continue;
    if (i > start && std::fwrite(buf + start, 1, i - start, host) != i - start) return -1;
    if (std::fwrite("\r\n", 1, 2, host) != 2) return -1;
    start = i + 1;
  }
  if (size > start && std::fwrite(buf + start, 1, size - start, host) != size - start) return -1;
  return static_cast<ssize_t>(size);
}

ssize_t TextRead(void* c, char* buf, size_t size) {
  FILE* host = static_cast<TextCookie*>(c)->host;
  size_t n = 0;
  while (n < size) {
    int ch = std::fgetc(host);
    if (ch == EOF) break;
    if (ch == '\r') {
      int next = std::fgetc(host);
      if (next == '\n') {
        ch = '\n';
      } else if (next != EOF) {
        std::ungetc(next, host);
      }
    }
    buf[n++] = static_cast<char>(ch);
  }
  if (n == 0 && std::ferror(host)) return -1;
  return static_cast<ssize_t>(n);
}

int TextSeek(void* c, off64_t* pos, int whence) {
  FILE* host = static_cast<TextCookie*>(c)->host;
  if (fseeko(host, *pos, whence) != 0) return -1;
  *pos = ftello(host);
  return 0;
}

int TextClose(void* c) {
  auto* cookie = static_cast<TextCookie*>(c);
  int r = std::fclose(cookie->host);
  delete cookie;
  return r;
}

// The sharing entry of each open stream: the runtime opens files sharing
// reading and writing, never deletion.
std::mutex g_streamLock;
std::map<FILE*, uint64_t> g_streams;

struct StreamReset {
  StreamReset() {
    core::OnReset([] {
      std::lock_guard<std::mutex> g(g_streamLock);
      g_streams.clear();
    });
  }
};
StreamReset g_streamReset;

void ForgetStream(FILE* f) {
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> g(g_streamLock);
    auto it = g_streams.find(f);
    if (it == g_streams.end()) return;
    id = it->second;
    g_streams.erase(it);
  }
  volume::Close(id);
}

int CrtFault(const char* api) {
  DWORD err;
  return core::TakeFault(api, &err) ? static_cast<int>(err ? err : EIO) : 0;
}

}  // namespace

static FILE* OpenHostStream(const std::string& host, const char* mode, bool plus, bool binary,
                            bool exclusive);

namespace {
thread_local unsigned long t_doserrno = 0;
}  // namespace

unsigned long plat_doserrno() { return t_doserrno; }

FILE* plat_fopen(const char* path, const char* mode) {
  t_doserrno = 0;
  if (int e = CrtFault("fopen")) {
    errno = e;
    return nullptr;
  }
  if (!path || !mode || !*path || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) {
    errno = path && !*path ? ENOENT : EINVAL;
    return nullptr;
  }
  bool plus = false, binary = false, exclusive = false;
  for (const char* m = mode + 1; *m && *m != ','; ++m) {
    if (*m == '+') plus = true;
    if (*m == 'b') binary = true;
    if (*m == 't') binary = false;
    if (*m == 'x') exclusive = true;
  }
  const bool writes = mode[0] != 'r' || plus;
  std::string norm = NormalizePath(path);
  std::string host = norm.empty() || HasWildcard(norm) ? "" : ToHost(norm);
  if (host.empty()) {
    errno = norm.empty() || HasWildcard(norm) ? EINVAL : ENOENT;
    return nullptr;
  }
  struct stat st;
  const bool exists = ::stat(host.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    errno = EACCES;
    return nullptr;
  }
  if (writes && !CanModify(norm)) {
    errno = EACCES;
    return nullptr;
  }
  // Checked before the host file is opened: "w" would empty it first.
  const DWORD access = volume::kRead | (writes ? volume::kWrite : 0);
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  uint64_t openId = 0;
  if (!volume::Open(Fold(norm), access, share, &openId)) {
    // As the Windows runtime: errno EACCES, the system's error kept.
    errno = EACCES;
    t_doserrno = ERROR_SHARING_VIOLATION;
    SetLastError(ERROR_SHARING_VIOLATION);
    return nullptr;
  }
  FILE* f = OpenHostStream(host, mode, plus, binary, exclusive);
  if (!f) {
    volume::Close(openId);
    return nullptr;
  }
  std::lock_guard<std::mutex> g(g_streamLock);
  g_streams[f] = openId;
  return f;
}

static FILE* OpenHostStream(const std::string& host, const char* mode, bool plus, bool binary,
                            bool exclusive) {
  std::string hostMode(1, mode[0]);
  if (plus) hostMode += '+';
  hostMode += 'b';
  if (exclusive) hostMode += 'x';
  FILE* f = std::fopen(host.c_str(), hostMode.c_str());
  if (!f || binary) return f;
  std::string cookieMode(1, mode[0]);
  if (plus) cookieMode += '+';
  cookie_io_functions_t io{TextRead, TextWrite, TextSeek, TextClose};
  auto* cookie = new TextCookie{f};
  FILE* text = fopencookie(cookie, cookieMode.c_str(), io);
  if (!text) {
    std::fclose(f);
    delete cookie;
    errno = ENOMEM;
  }
  return text;
}

size_t plat_fwrite(const void* p, size_t size, size_t n, FILE* f) {
  if (int e = CrtFault("fwrite")) {
    errno = e;
    return 0;
  }
  return std::fwrite(p, size, n, f);
}

size_t plat_fread(void* p, size_t size, size_t n, FILE* f) {
  if (int e = CrtFault("fread")) {
    errno = e;
    return 0;
  }
  return std::fread(p, size, n, f);
}

int plat_fclose(FILE* f) {
  ForgetStream(f);
  if (int e = CrtFault("fclose")) {
    std::fclose(f);  // the stream is gone either way, as with a failed flush
    errno = e;
    return EOF;
  }
  return std::fclose(f);
}

int plat_access(const char* path, int mode) {
  if (int e = CrtFault("_access")) {
    errno = e;
    return -1;
  }
  if (!path || (mode & ~6)) {
    errno = EINVAL;
    return -1;
  }
  std::string norm = NormalizePath(path);
  std::string host = norm.empty() ? "" : ToHost(norm);
  if (host.empty() || !HostExists(host)) {
    errno = ENOENT;
    return -1;
  }
  if ((mode & 2) && IsMarkedReadOnly(norm)) {
    errno = EACCES;
    return -1;
  }
  return 0;
}
