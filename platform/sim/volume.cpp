// The volume core both file areas stand on: drive mappings and Windows path
// rules onto host paths, read-only marks, and the table of open files and
// folders with Windows' sharing rules.
#include "platform/sim/volume.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/core.h"
#include "platform/sim/ctl/fs.h"
#include "platform/sim/file.h"
#include "platform/sim/fs.h"
#include "platform/sim/kernel.h"

namespace simwin {
namespace {

struct Paths {
  std::mutex lock;
  std::map<char, std::string> drives;
  std::string currentDir = "C:\\";
  std::set<std::string> readOnly;     // normalised, folded
  std::map<std::string, DWORD> tags;  // reparse tags by path key
};
Paths& P() {
  static Paths p;
  return p;
}

struct OpenEntry {
  std::string key;
  DWORD access;
  DWORD share;
  uint64_t untilMs;  // another program's open that ends then; 0: until closed
};

// A name deleted while others had it open, without POSIX semantics: it stays
// until the last of them closes.
struct Pending {
  std::string host;
  bool dir;
};

struct Opens {
  std::mutex lock;
  std::map<uint64_t, OpenEntry> entries;
  std::map<std::string, Pending> pending;  // by key
  uint64_t nextId = 1;
  bool posixDeletes = true;
};
Opens& O() {
  static Opens o;
  return o;
}

struct VolumeReset {
  VolumeReset() {
    core::OnReset([] {
      {
        std::lock_guard<std::mutex> g(P().lock);
        P().drives.clear();
        P().currentDir = "C:\\";
        P().readOnly.clear();
        P().tags.clear();
      }
      // A fresh machine has nothing open; handles and streams a test left
      // open no longer count.
      std::lock_guard<std::mutex> g(O().lock);
      O().entries.clear();
      O().pending.clear();
      O().posixDeletes = true;
    });
  }
};
VolumeReset g_volumeReset;

bool Conflicts(const OpenEntry& e, DWORD access, DWORD share) {
  using namespace volume;
  if ((access & kRead) && !(e.share & FILE_SHARE_READ)) return true;
  if ((access & kWrite) && !(e.share & FILE_SHARE_WRITE)) return true;
  if ((access & kDelete) && !(e.share & FILE_SHARE_DELETE)) return true;
  if ((e.access & kRead) && !(share & FILE_SHARE_READ)) return true;
  if ((e.access & kWrite) && !(share & FILE_SHARE_WRITE)) return true;
  if ((e.access & kDelete) && !(share & FILE_SHARE_DELETE)) return true;
  return false;
}

// As Windows checks sharing: an open for none of reading, writing and
// deleting (attributes, the descriptor) is neither checked nor recorded.
// The names whose last open is gone go now.
void FinishPendingLocked() {
  for (auto it = O().pending.begin(); it != O().pending.end();) {
    bool open = false;
    for (const auto& kv : O().entries) open = open || kv.second.key == it->first;
    if (open) {
      ++it;
      continue;
    }
    if (it->second.dir)
      ::rmdir(it->second.host.c_str());
    else
      ::unlink(it->second.host.c_str());
    it = O().pending.erase(it);
  }
}

// Opens of other programs whose time is up end, as if they closed.
void ExpireLocked() {
  const uint64_t now = core::NowMs();
  bool ended = false;
  for (auto it = O().entries.begin(); it != O().entries.end();) {
    if (it->second.untilMs != 0 && now >= it->second.untilMs) {
      it = O().entries.erase(it);
      ended = true;
    } else {
      ++it;
    }
  }
  if (ended) FinishPendingLocked();
}

bool AllowsLocked(const std::string& key, DWORD access, DWORD share) {
  ExpireLocked();
  if (access == 0) return true;
  for (const auto& kv : O().entries) {
    if (kv.second.access == 0) continue;
    if (kv.second.key == key && Conflicts(kv.second, access, share)) return false;
  }
  return true;
}

// Finds an entry of a host folder by Windows name rules.
bool MatchEntry(const std::string& hostDir, const std::string& name, std::string* actual) {
  if (volume::HostExists(hostDir + "/" + name)) {
    *actual = name;
    return true;
  }
  DIR* d = ::opendir(hostDir.c_str());
  if (!d) return false;
  std::string want = volume::Fold(name);
  bool found = false;
  while (dirent* e = ::readdir(d)) {
    if (volume::Fold(e->d_name) == want) {
      *actual = e->d_name;
      found = true;
      break;
    }
  }
  ::closedir(d);
  return found;
}

}  // namespace

namespace volume {

bool IsLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
bool IsSep(char c) { return c == '\\' || c == '/'; }

// ASCII letters fold to upper case; a GBK lead byte and its trail byte stay
// as they are.
std::string Fold(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (IsLead(c) && i + 1 < s.size()) {
      out += s[i];
      out += s[++i];
    } else {
      out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : s[i];
    }
  }
  return out;
}

// Splits at separators; a GBK lead byte and its trail byte are one character,
// so a trail byte 0x5C is not a separator.
std::vector<std::string> SplitComponents(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (IsLead(c) && i + 1 < s.size()) {
      cur += s[i];
      cur += s[++i];
    } else if (IsSep(s[i])) {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += s[i];
    }
  }
  out.push_back(cur);
  return out;
}

// Index of the last separator, GBK-aware; npos when none.
size_t LastSep(const std::string& s) {
  size_t last = std::string::npos;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (IsLead(c) && i + 1 < s.size())
      ++i;
    else if (IsSep(s[i]))
      last = i;
  }
  return last;
}

bool IsDriveSpec(const std::string& s) {
  return s.size() >= 2 && s[1] == ':' &&
         ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'));
}
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

std::string Normalize(const std::string& in, const std::string& currentDir) {
  if (in.empty()) return "";
  if (in.size() >= 2 && IsSep(in[0]) && IsSep(in[1])) return "";  // UNC and device paths
  std::string full;
  if (IsDriveSpec(in)) {
    full = in.size() > 2 && IsSep(in[2]) ? in : std::string(in, 0, 2) + "\\" + in.substr(2);
  } else if (IsSep(in[0])) {
    full = currentDir.substr(0, 2) + in;
  } else {
    full = currentDir + "\\" + in;
  }
  char drive = Upper(full[0]);
  std::vector<std::string> parts = SplitComponents(full.substr(2));
  std::vector<std::string> stack;
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string p = parts[i];
    const bool last = i + 1 == parts.size();
    if (p == "." || p.empty()) continue;
    if (p == "..") {
      if (!stack.empty()) stack.pop_back();
      continue;
    }
    if (last) {
      while (!p.empty() && (p.back() == '.' || p.back() == ' ')) p.pop_back();
      if (p.empty()) continue;
    }
    stack.push_back(p);
  }
  std::string out(1, drive);
  out += ":\\";
  for (size_t i = 0; i < stack.size(); ++i) {
    if (i) out += '\\';
    out += stack[i];
  }
  return out;
}

bool HostExists(const std::string& host, struct stat* st) {
  struct stat tmp;
  return ::stat(host.c_str(), st ? st : &tmp) == 0;
}

std::string NormalizePath(const std::string& winPath) {
  std::lock_guard<std::mutex> g(P().lock);
  return Normalize(winPath, P().currentDir);
}

std::string ToHost(const std::string& norm) {
  std::string root;
  {
    std::lock_guard<std::mutex> g(P().lock);
    if (norm.size() < 3) return "";
    auto it = P().drives.find(Upper(norm[0]));
    if (it == P().drives.end()) return "";
    root = it->second;
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::string host = root;
  if (norm.size() == 3) return host;
  bool resolving = true;
  for (const std::string& part : SplitComponents(norm.substr(3))) {
    std::string actual = part;
    if (resolving && !MatchEntry(host, part, &actual)) resolving = false;
    host += "/" + actual;
  }
  return host;
}

DWORD MissingError(const std::string& norm) {
  size_t sep = LastSep(norm);
  if (sep == std::string::npos || sep < 2) return ERROR_PATH_NOT_FOUND;
  std::string parent = sep == 2 ? norm.substr(0, 3) : norm.substr(0, sep);
  std::string host = ToHost(parent);
  struct stat st;
  if (!host.empty() && HostExists(host, &st) && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

bool IsMarkedReadOnly(const std::string& norm) {
  std::lock_guard<std::mutex> g(P().lock);
  return P().readOnly.count(Fold(norm)) > 0;
}

bool CanModify(const std::string& norm) {
  std::lock_guard<std::mutex> g(P().lock);
  std::string f = Fold(norm);
  for (const std::string& ro : P().readOnly) {
    if (f == ro) return false;
    std::string dir = ro.back() == '\\' ? ro : ro + "\\";
    if (f.compare(0, dir.size(), dir) == 0) return false;
  }
  return true;
}

DWORD ErrnoToWin(int e) {
  switch (e) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG:
      return ERROR_INVALID_NAME;
    case ENOSPC:
      return 112;  // ERROR_DISK_FULL
    default:
      return ERROR_ACCESS_DENIED;
  }
}
bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// Resolves a path argument of the file calls; false with the last error set.
bool Resolve(LPCSTR path, std::string* norm, std::string* host) {
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *norm = NormalizePath(path);
  if (norm->empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  if (HasWildcard(*norm)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  *host = ToHost(*norm);
  if (host->empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

BOOL MakeFolder(LPCSTR lpPathName) {
  std::string norm, host;
  if (!Resolve(lpPathName, &norm, &host)) return FALSE;
  if (HostExists(host)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (MissingError(norm) == ERROR_PATH_NOT_FOUND) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (!CanModify(norm)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (::mkdir(host.c_str(), 0777) != 0) {
    SetLastError(ErrnoToWin(errno));
    return FALSE;
  }
  return TRUE;
}

bool DriveMapped(char letter) {
  std::lock_guard<std::mutex> g(P().lock);
  return P().drives.count(Upper(letter)) > 0;
}

std::string CurrentFolder() {
  std::lock_guard<std::mutex> g(P().lock);
  return P().currentDir;
}

void SetCurrentFolder(const std::string& norm) {
  std::lock_guard<std::mutex> g(P().lock);
  P().currentDir = norm.size() > 3 ? norm : norm.substr(0, 2);
}

std::string PathKey(const std::string& winPath) {
  std::string n = NormalizePath(winPath);
  return n.empty() ? n : Fold(n);
}

bool PathWritable(const std::string& winPath) {
  std::string n = NormalizePath(winPath);
  return !n.empty() && CanModify(n);
}

bool Open(const std::string& key, DWORD access, DWORD share, uint64_t* id) {
  std::lock_guard<std::mutex> g(O().lock);
  if (!AllowsLocked(key, access, share)) return false;
  *id = O().nextId++;
  O().entries[*id] = OpenEntry{key, access, share, 0};
  return true;
}

void Close(uint64_t id) {
  std::lock_guard<std::mutex> g(O().lock);
  if (O().entries.erase(id) != 0) FinishPendingLocked();
}

bool DeferDelete(const std::string& key, const std::string& host, bool dir) {
  std::lock_guard<std::mutex> g(O().lock);
  ExpireLocked();
  if (O().posixDeletes) return false;
  bool open = false;
  for (const auto& kv : O().entries) open = open || kv.second.key == key;
  if (!open) return false;
  O().pending[key] = Pending{host, dir};
  return true;
}

bool DeletePending(const std::string& key) {
  std::lock_guard<std::mutex> g(O().lock);
  ExpireLocked();
  return O().pending.count(key) != 0;
}

DWORD ReparseTag(const std::string& winPath) {
  const std::string key = PathKey(winPath);
  std::lock_guard<std::mutex> g(P().lock);
  auto it = P().tags.find(key);
  return it == P().tags.end() ? 0 : it->second;
}

bool Allows(const std::string& key, DWORD access, DWORD share) {
  std::lock_guard<std::mutex> g(O().lock);
  return AllowsLocked(key, access, share);
}

size_t OpenCount(const std::string& key) {
  std::lock_guard<std::mutex> g(O().lock);
  ExpireLocked();
  size_t n = 0;
  for (const auto& kv : O().entries) n += kv.second.key == key ? 1 : 0;
  return n;
}

}  // namespace volume

// Test controls (ctl/fs.h) over the volume's state.

void MapDrive(char letter, const std::string& hostFolder) {
  std::lock_guard<std::mutex> g(P().lock);
  P().drives[volume::Upper(letter)] = hostFolder;
}

void UnmapDrive(char letter) {
  std::lock_guard<std::mutex> g(P().lock);
  P().drives.erase(volume::Upper(letter));
}

void SetCurrentDir(const std::string& winPath) {
  std::lock_guard<std::mutex> g(P().lock);
  std::string n = volume::Normalize(winPath, P().currentDir);
  if (!n.empty()) P().currentDir = n.size() > 3 ? n : n.substr(0, 2);
}

std::string NormalizeWinPath(const std::string& winPath) { return volume::NormalizePath(winPath); }

std::string HostPath(const std::string& winPath) {
  std::string n = volume::NormalizePath(winPath);
  return n.empty() ? "" : volume::ToHost(n);
}

void SetReadOnly(const std::string& winPath, bool readOnly) {
  std::string n = volume::NormalizePath(winPath);
  std::lock_guard<std::mutex> g(P().lock);
  if (readOnly)
    P().readOnly.insert(volume::Fold(n));
  else
    P().readOnly.erase(volume::Fold(n));
}

void ClearReadOnly() {
  std::lock_guard<std::mutex> g(P().lock);
  P().readOnly.clear();
}

void SetReparseTag(const std::string& winPath, DWORD tag) {
  const std::string key = volume::PathKey(winPath);
  std::lock_guard<std::mutex> g(P().lock);
  if (tag == 0)
    P().tags.erase(key);
  else
    P().tags[key] = tag;
}

bool HoldFileFor(const std::string& winPath, DWORD ms, DWORD share) {
  const std::string key = volume::PathKey(winPath);
  std::lock_guard<std::mutex> g(O().lock);
  if (key.empty() || !AllowsLocked(key, volume::kRead, share & 7)) return false;
  O().entries[O().nextId++] = OpenEntry{key, volume::kRead, share & 7, core::NowMs() + ms};
  return true;
}

void SetPosixDeletes(bool available) {
  std::lock_guard<std::mutex> g(O().lock);
  O().posixDeletes = available;
}

bool MakeLink(const std::string& linkWinPath, const std::string& targetWinPath) {
  std::string link = HostPath(linkWinPath);
  std::string target = HostPath(targetWinPath);
  return !link.empty() && !target.empty() && ::symlink(target.c_str(), link.c_str()) == 0;
}

}  // namespace simwin
