// Simulated file handles with Windows' sharing rules, and file security: each
// file or folder may carry a descriptor (SDDL text) that GetHandleSecurity
// reads back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/filesec.h"
#include "platform/sim/core.h"
#include "platform/sim/ctl/file.h"
#include "platform/sim/ctl/fs.h"
#include "platform/sim/file.h"
#include "platform/sim/kernel.h"
#include "platform/sim/volume.h"

namespace simwin {

const char kUserOwnedSddl[] =
    "O:S-1-5-21-1-1-1-1000D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-1-1-1000)";

namespace {

struct State {
  std::mutex lock;
  std::map<std::string, std::string> sddl;  // by path key
  bool kept = true;
};
State& S() {
  static State s;
  return s;
}

struct FileReset {
  FileReset() {
    core::OnReset([] {
      std::lock_guard<std::mutex> g(S().lock);
      S().sddl.clear();
      S().kept = true;
    });
  }
};
FileReset g_fileReset;

DWORD AccessClasses(DWORD desired) {
  DWORD a = 0;
  if (desired & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE))
    a |= volume::kRead;
  if (desired & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA))
    a |= volume::kWrite;
  if (desired & (GENERIC_ALL | DELETE)) a |= volume::kDelete;
  return a;
}

struct FileObject : core::Object {
  uint64_t id = 0;
  std::string key;
  int fd = -1;  // the host file itself, for reading (not for folders)
  uint64_t pos = 0;
  ~FileObject() override {
    volume::Close(id);
    if (fd >= 0) ::close(fd);
  }
  const char* Kind() const override { return "file"; }
};

// simwin::MemoryFile: bytes in memory, for uploads.
struct MemoryFileObject : core::Object {
  std::string bytes;
  size_t pos = 0;
  DWORD reportedSize = 0;
  const char* Kind() const override { return "file"; }
};

// SDDL as far as the program and its tests write it: "O:" owner, "D:" with
// optional flags, then (type;flags;rights;;;sid) entries of types A and D.
const std::map<std::string, std::string>& SidAliases() {
  static const std::map<std::string, std::string> m = {
      {"BA", "S-1-5-32-544"}, {"SY", "S-1-5-18"}, {"BU", "S-1-5-32-545"}, {"WD", "S-1-1-0"},
      {"AU", "S-1-5-11"},     {"CO", "S-1-3-0"},  {"OW", "S-1-3-4"},      {"IU", "S-1-5-4"}};
  return m;
}

bool ParseSid(const std::string& text, std::string* sid) {
  auto it = SidAliases().find(text);
  if (it != SidAliases().end()) {
    *sid = it->second;
    return true;
  }
  if (text.compare(0, 4, "S-1-") != 0) return false;
  *sid = text;
  return true;
}

bool ParseRights(const std::string& text, DWORD* mask) {
  if (text.compare(0, 2, "0x") == 0) {
    char* end = nullptr;
    *mask = static_cast<DWORD>(std::strtoul(text.c_str() + 2, &end, 16));
    return end && *end == '\0' && text.size() > 2;
  }
  static const std::map<std::string, DWORD> codes = {
      {"FA", 0x1F01FF},    {"FR", 0x120089},    {"FW", 0x120116},    {"FX", 0x1200A0},
      {"GA", 0x10000000u}, {"GR", 0x80000000u}, {"GW", 0x40000000u}, {"GX", 0x20000000u},
      {"SD", 0x10000},     {"RC", 0x20000},     {"WD", 0x40000},     {"WO", 0x80000}};
  *mask = 0;
  if (text.empty() || text.size() % 2) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    auto it = codes.find(text.substr(i, 2));
    if (it == codes.end()) return false;
    *mask |= it->second;
  }
  return true;
}

bool ParseSddl(const std::string& sddl, PlatSecurity* out) {
  *out = PlatSecurity{};
  size_t at = 0;
  if (sddl.compare(0, 2, "O:") != 0) return false;
  size_t d = sddl.find("D:");
  if (!ParseSid(sddl.substr(2, (d == std::string::npos ? sddl.size() : d) - 2), &out->strOwner))
    return false;
  if (d == std::string::npos) return true;
  out->bHasDacl = true;
  at = sddl.find('(', d);
  while (at != std::string::npos) {
    size_t close = sddl.find(')', at);
    if (close == std::string::npos) return false;
    std::vector<std::string> f;
    std::string ace = sddl.substr(at + 1, close - at - 1);
    for (size_t s = 0;;) {
      size_t semi = ace.find(';', s);
      f.push_back(ace.substr(s, semi == std::string::npos ? std::string::npos : semi - s));
      if (semi == std::string::npos) break;
      s = semi + 1;
    }
    PlatAce a;
    if (f.size() != 6 || (f[0] != "A" && f[0] != "D")) return false;
    a.bAllow = f[0] == "A";
    if (!ParseRights(f[2], &a.dwMask) || !ParseSid(f[5], &a.strSid)) return false;
    out->aces.push_back(a);
    at = close + 1 < sddl.size() && sddl[close + 1] == '(' ? close + 1 : std::string::npos;
  }
  return true;
}

}  // namespace

void SetFileSecurity(const std::string& winPath, const std::string& sddl) {
  std::string key = volume::PathKey(winPath);
  std::lock_guard<std::mutex> g(S().lock);
  S().sddl[key] = sddl;
}

std::string FileSecuritySddl(const std::string& winPath) {
  std::string key = volume::PathKey(winPath);
  std::lock_guard<std::mutex> g(S().lock);
  auto it = S().sddl.find(key);
  return it == S().sddl.end() ? kUserOwnedSddl : it->second;
}

void SetFileSecurityKept(bool kept) {
  std::lock_guard<std::mutex> g(S().lock);
  S().kept = kept;
}

size_t OpenFileCount(const std::string& winPath) {
  return volume::OpenCount(volume::PathKey(winPath));
}

HANDLE MemoryFile(const std::string& bytes, DWORD reportedSize) {
  auto f = std::make_shared<MemoryFileObject>();
  f->bytes = bytes;
  f->reportedSize = reportedSize == 0xFFFFFFFFu ? static_cast<DWORD>(bytes.size()) : reportedSize;
  return core::AddHandle(f);
}

}  // namespace simwin

using namespace simwin;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE) {
  DWORD err;
  if (core::TakeFault("CreateFileA", &err)) {
    SetLastError(err);
    return INVALID_HANDLE_VALUE;
  }
  std::string key = lpFileName ? volume::PathKey(lpFileName) : "";
  std::string host = lpFileName ? HostPath(lpFileName) : "";
  if (key.empty() || host.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  const bool exists = ::stat(host.c_str(), &st) == 0;
  const DWORD access = AccessClasses(dwDesiredAccess);
  if (exists && S_ISDIR(st.st_mode)) {
    if (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) ||
        (dwCreationDisposition != OPEN_EXISTING && dwCreationDisposition != OPEN_ALWAYS)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
  } else {
    if (exists && dwCreationDisposition == CREATE_NEW) {
      SetLastError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    if (!exists && dwCreationDisposition == OPEN_EXISTING) {
      const std::string norm = volume::NormalizePath(lpFileName);
      SetLastError(volume::HasWildcard(norm) ? ERROR_INVALID_NAME : volume::MissingError(norm));
      return INVALID_HANDLE_VALUE;
    }
    if (((access & (volume::kWrite | volume::kDelete)) || !exists) &&
        !volume::PathWritable(lpFileName)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
  }
  auto obj = std::make_shared<FileObject>();
  obj->key = key;
  if (!volume::Open(key, access, dwShareMode & 7, &obj->id)) {
    obj->id = 0;
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  if (!(exists && S_ISDIR(st.st_mode)) && (!exists || dwCreationDisposition == CREATE_ALWAYS)) {
    FILE* f = std::fopen(host.c_str(), "wb");
    if (!f) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;  // obj's destructor drops the open
    }
    std::fclose(f);
  }
  if (!(exists && S_ISDIR(st.st_mode)) && (access & volume::kRead))
    obj->fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
  SetLastError(
      exists && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS)
          ? ERROR_ALREADY_EXISTS
          : ERROR_SUCCESS);
  return core::AddHandle(obj);
}

// ReadFile of a CreateFileA handle: from the handle's own host file at its
// position.
static BOOL ReadDiskFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead,
                         DWORD* lpNumberOfBytesRead) {
  auto obj = core::FindHandleAs<FileObject>(hFile);
  if (!obj || obj->fd < 0 || !lpNumberOfBytesRead || (!lpBuffer && nNumberOfBytesToRead)) {
    SetLastError(obj ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ssize_t n = ::pread(obj->fd, lpBuffer, nNumberOfBytesToRead, static_cast<off_t>(obj->pos));
  if (n < 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  obj->pos += static_cast<uint64_t>(n);
  *lpNumberOfBytesRead = static_cast<DWORD>(n);
  return TRUE;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  DWORD err;
  if (core::TakeFault("GetFileSize", &err)) {
    SetLastError(err);
    return INVALID_FILE_SIZE;
  }
  auto f = core::FindHandleAs<MemoryFileObject>(hFile);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  if (lpFileSizeHigh) *lpFileSizeHigh = 0;
  SetLastError(ERROR_SUCCESS);
  return f->reportedSize;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED) {
  DWORD err;
  if (core::TakeFault("ReadFile", &err)) {
    SetLastError(err);
    return FALSE;
  }
  auto f = core::FindHandleAs<MemoryFileObject>(hFile);
  // A CreateFileA handle reads its file on the host.
  if (!f) return ReadDiskFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead);
  size_t n =
      std::min<size_t>(nNumberOfBytesToRead, f->bytes.size() - std::min(f->pos, f->bytes.size()));
  if (n) std::memcpy(lpBuffer, f->bytes.data() + f->pos, n);
  f->pos += n;
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = static_cast<DWORD>(n);
  return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod) {
  auto obj = core::FindHandleAs<FileObject>(hFile);
  if (!obj || dwMoveMethod != FILE_BEGIN || lDistanceToMove < 0 ||
      (lpDistanceToMoveHigh && *lpDistanceToMoveHigh != 0)) {
    SetLastError(obj ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  obj->pos = static_cast<uint64_t>(lDistanceToMove);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(lDistanceToMove);
}

BOOL CreateDirectoryWithSddlA(LPCSTR lpPathName, LPCSTR lpSddl) {
  PlatSecurity parsed;
  if (!lpSddl || !ParseSddl(lpSddl, &parsed)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD err;
  if (core::TakeFault("CreateDirectoryA", &err)) {
    SetLastError(err);
    return FALSE;
  }
  if (!volume::MakeFolder(lpPathName)) return FALSE;
  std::string key = volume::PathKey(lpPathName);
  std::lock_guard<std::mutex> g(S().lock);
  if (S().kept) S().sddl[key] = lpSddl;
  return TRUE;
}

BOOL GetHandleSecurity(HANDLE hObject, PlatSecurity* pSecurity) {
  DWORD err;
  if (core::TakeFault("GetSecurityInfo", &err)) {
    SetLastError(err);
    return FALSE;
  }
  auto obj = core::FindHandleAs<FileObject>(hObject);
  if (!obj || !pSecurity) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::string sddl;
  {
    std::lock_guard<std::mutex> g(S().lock);
    auto it = S().sddl.find(obj->key);
    sddl = it == S().sddl.end() ? kUserOwnedSddl : it->second;
  }
  if (!ParseSddl(sddl, pSecurity)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

BOOL PlatKeepsFileSecurity() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().kept ? TRUE : FALSE;
}
