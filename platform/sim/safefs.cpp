// The held folder on the simulated platform, as the Windows one works: the
// folder reached from the drive's root one name at a time, each relative to
// the descriptor of the folder above and refused when it is a link (the
// simulation's junctions and symbolic links are host symbolic links), every
// folder of the chain recorded as open without delete sharing; every child
// reached relative to the held descriptor without following a link. Sharing
// and read-only marks of the simulated files apply as to any other call.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/safefs.h"
#include "platform/sim/core.h"
#include "platform/sim/ctl/fs.h"
#include "platform/sim/file.h"
#include "platform/sim/kernel.h"
#include "platform/sim/volume.h"

using namespace simwin;

namespace {

bool Fault(const char* api) {
  DWORD err;
  if (!core::TakeFault(api, &err)) return false;
  SetLastError(err);
  return true;
}

BOOL Fail(DWORD err) {
  SetLastError(err);
  return FALSE;
}

char FoldChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool SameName(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (FoldChar(*a) != FoldChar(*b)) return false;
  return *a == *b;
}

// The host name of the entry szName names in the folder of fd (Windows
// names ignore ASCII case); false when there is none.
bool FindEntry(int fd, const char* szName, std::string* pActual) {
  struct stat st;
  if (::fstatat(fd, szName, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    *pActual = szName;
    return true;
  }
  int dup = ::dup(fd);
  if (dup < 0) return false;
  DIR* d = ::fdopendir(dup);
  if (!d) {
    ::close(dup);
    return false;
  }
  bool found = false;
  while (dirent* e = ::readdir(d)) {
    if (SameName(e->d_name, szName)) {
      *pActual = e->d_name;
      found = true;
      break;
    }
  }
  ::closedir(d);
  return found;
}

// A link as the held folder refuses it: a host symbolic link (the
// simulation's junctions and symbolic links), or an entry whose reparse tag
// is a name surrogate (a mount point). Other tags (cloud files) pass.
bool IsLink(const struct stat& st, const std::string& winPath) {
  const DWORD tag = volume::ReparseTag(winPath);
  return S_ISLNK(st.st_mode) || (tag != 0 && IsReparseTagNameSurrogate(tag));
}

// Removes the name as a delete through a handle does: at once, or (without
// POSIX semantics, while others have it open) when the last of them closes.
bool RemoveName(int fd, const std::string& name, const std::string& winPath, bool dir) {
  if (volume::DeferDelete(volume::PathKey(winPath), HostPath(winPath), dir)) return true;
  return ::unlinkat(fd, name.c_str(), dir ? AT_REMOVEDIR : 0) == 0;
}

FILETIME ToFileTime(const struct timespec& t) {
  uint64_t v = (static_cast<uint64_t>(t.tv_sec) + 11644473600ull) * 10000000ull +
               static_cast<uint64_t>(t.tv_nsec / 100);
  return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

// The checks of a child that is to be deleted or written: a regular file with
// one name, writable, not open against deletion (or writing).
BOOL CheckPlainFile(const struct stat& st, const std::string& winPath, DWORD access) {
  if (IsLink(st, winPath) || !S_ISREG(st.st_mode) || st.st_nlink != 1)
    return Fail(ERROR_CANT_ACCESS_FILE);
  if (!volume::PathWritable(winPath)) return Fail(ERROR_ACCESS_DENIED);
  const DWORD share = access == volume::kDelete
                          ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                          : FILE_SHARE_READ | FILE_SHARE_WRITE;
  if (!volume::Allows(volume::PathKey(winPath), access, share))
    return Fail(ERROR_SHARING_VIOLATION);
  return TRUE;
}

// Empties the folder of fd (the Windows path winDir names it), entering no
// link; true when everything went.
bool EmptyTree(int fd, const std::string& winDir) {
  int dup = ::dup(fd);
  if (dup < 0) return false;
  DIR* d = ::fdopendir(dup);
  if (!d) {
    ::close(dup);
    return false;
  }
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.push_back(e->d_name);
  }
  ::closedir(d);
  bool bAll = true;
  for (const std::string& name : names) {
    const std::string winPath = winDir + "\\" + name;
    struct stat st;
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      // The link goes, never what it points to.
      if (!volume::PathWritable(winPath) || ::unlinkat(fd, name.c_str(), 0) != 0) bAll = false;
    } else if (S_ISDIR(st.st_mode) && IsLink(st, winPath)) {
      // A mount point goes as itself, never entered: the folder of another
      // volume is not emptied.
      if (!volume::PathWritable(winPath) || !RemoveName(fd, name, winPath, true)) bAll = false;
    } else if (S_ISDIR(st.st_mode)) {
      int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        bAll = false;
        continue;
      }
      const bool bEmpty = EmptyTree(sub, winPath);
      ::close(sub);
      if (!bEmpty || !volume::PathWritable(winPath) ||
          !volume::Allows(volume::PathKey(winPath), volume::kDelete,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) ||
          !RemoveName(fd, name, winPath, true))
        bAll = false;
    } else {
      // Another name of a file is only a name: it goes like a link does.
      if (!volume::PathWritable(winPath) ||
          !volume::Allows(volume::PathKey(winPath), volume::kDelete,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) ||
          !RemoveName(fd, name, winPath, false))
        bAll = false;
    }
  }
  return bAll;
}

}  // namespace

CHeldFolder::CHeldFolder() : m_fd(-1) {}

CHeldFolder::~CHeldFolder() { Close(); }

void CHeldFolder::Close() {
  if (m_fd >= 0) ::close(m_fd);
  for (uint64_t id : m_vecOpens) volume::Close(id);
  m_vecOpens.clear();
  m_fd = -1;
  m_strPath.clear();
}

bool CHeldFolder::IsOpen() const { return m_fd >= 0; }

BOOL CHeldFolder::Open(LPCSTR szPath) {
  Close();
  if (Fault("OpenHeldFolder")) return FALSE;
  if (szPath == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const std::string norm = NormalizeWinPath(szPath);
  const std::string rootHost = norm.empty() ? "" : HostPath(norm.substr(0, 3));
  if (rootHost.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  // The drive's root is its mapping, no link.
  int fd = ::open(rootHost.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail(ERROR_PATH_NOT_FOUND);
  std::vector<std::string> names;
  for (const std::string& name : volume::SplitComponents(norm.substr(3)))
    if (!name.empty()) names.push_back(name);
  std::string winPath = norm.substr(0, 2);
  std::vector<uint64_t> opens;
  DWORD err = 0;
  for (size_t i = 0; i < names.size() && err == 0; ++i) {
    const bool bLast = i + 1 == names.size();
    std::string actual;
    struct stat st;
    if (!FindEntry(fd, names[i].c_str(), &actual) ||
        ::fstatat(fd, actual.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      err = bLast ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
      break;
    }
    if (IsLink(st, winPath + "\\" + actual)) {
      err = ERROR_CANT_ACCESS_FILE;
      break;
    }
    if (!S_ISDIR(st.st_mode)) {
      err = bLast ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND;
      break;
    }
    winPath += "\\" + actual;
    // As the Windows chain: each folder open for listing, without delete
    // sharing.
    uint64_t id = 0;
    if (!volume::Open(volume::PathKey(winPath), volume::kRead, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      &id)) {
      err = ERROR_SHARING_VIOLATION;
      break;
    }
    opens.push_back(id);
    const int sub = ::openat(fd, actual.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(fd);
    fd = sub;
    if (fd < 0) err = errno == ELOOP ? ERROR_CANT_ACCESS_FILE : ERROR_ACCESS_DENIED;
  }
  if (err != 0) {
    if (fd >= 0) ::close(fd);
    for (uint64_t id : opens) volume::Close(id);
    return Fail(err);
  }
  m_fd = fd;
  m_vecOpens = opens;
  m_strPath = norm.size() > 3 ? norm : norm.substr(0, 2);
  return TRUE;
}

BOOL CHeldFolder::List(std::vector<PlatFolderEntry>* pEntries) const {
  if (m_fd < 0 || pEntries == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (Fault("ListHeldFolder")) return FALSE;
  pEntries->clear();
  int dup = ::dup(m_fd);
  DIR* d = dup < 0 ? nullptr : ::fdopendir(dup);
  if (!d) {
    if (dup >= 0) ::close(dup);
    return Fail(ERROR_ACCESS_DENIED);
  }
  ::rewinddir(d);
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (::fstatat(m_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    PlatFolderEntry entry;
    entry.strName = e->d_name;
    entry.bIsLink = IsLink(st, m_strPath + "\\" + e->d_name);
    struct stat target;
    entry.bIsDir = entry.bIsLink
                       ? ::fstatat(m_fd, e->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode)
                       : S_ISDIR(st.st_mode);
    entry.ullSize = S_ISREG(st.st_mode) ? static_cast<ULONGLONG>(st.st_size) : 0;
    entry.ftLastWrite = ToFileTime(st.st_mtim);
    pEntries->push_back(entry);
  }
  ::closedir(d);
  return TRUE;
}

BOOL CHeldFolder::DeleteChildFile(LPCSTR szName) const {
  if (m_fd < 0) return Fail(ERROR_INVALID_HANDLE);
  if (!IsPlainChildName(szName)) return Fail(ERROR_INVALID_NAME);
  if (Fault("DeleteChildFile")) return FALSE;
  std::string actual;
  if (!FindEntry(m_fd, szName, &actual)) return Fail(ERROR_FILE_NOT_FOUND);
  struct stat st;
  if (::fstatat(m_fd, actual.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return Fail(ERROR_FILE_NOT_FOUND);
  const std::string winPath = m_strPath + "\\" + actual;
  if (!CheckPlainFile(st, winPath, volume::kDelete)) return FALSE;
  if (!RemoveName(m_fd, actual, winPath, false)) return Fail(ERROR_ACCESS_DENIED);
  return TRUE;
}

BOOL CHeldFolder::DeleteChildTree(LPCSTR szName) const {
  if (m_fd < 0) return Fail(ERROR_INVALID_HANDLE);
  if (!IsPlainChildName(szName)) return Fail(ERROR_INVALID_NAME);
  if (Fault("DeleteChildTree")) return FALSE;
  std::string actual;
  if (!FindEntry(m_fd, szName, &actual)) return Fail(ERROR_FILE_NOT_FOUND);
  struct stat st;
  if (::fstatat(m_fd, actual.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return Fail(ERROR_FILE_NOT_FOUND);
  const std::string winPath = m_strPath + "\\" + actual;
  if (IsLink(st, winPath) || !S_ISDIR(st.st_mode)) return Fail(ERROR_CANT_ACCESS_FILE);
  int sub = ::openat(m_fd, actual.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (sub < 0) return Fail(ERROR_CANT_ACCESS_FILE);
  const bool bEmpty = EmptyTree(sub, winPath);
  ::close(sub);
  if (!bEmpty) return Fail(ERROR_SHARING_VIOLATION);
  if (!volume::PathWritable(winPath)) return Fail(ERROR_ACCESS_DENIED);
  if (!volume::Allows(volume::PathKey(winPath), volume::kDelete,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
    return Fail(ERROR_SHARING_VIOLATION);
  if (!RemoveName(m_fd, actual, winPath, true)) return Fail(ERROR_DIR_NOT_EMPTY);
  return TRUE;
}

BOOL CHeldFolder::AppendToChildFile(LPCSTR szName, const void* pData, DWORD cb) const {
  if (m_fd < 0) return Fail(ERROR_INVALID_HANDLE);
  if (!IsPlainChildName(szName) || (pData == nullptr && cb != 0)) return Fail(ERROR_INVALID_NAME);
  if (Fault("AppendToChildFile")) return FALSE;
  std::string actual = szName;
  struct stat st;
  const bool bExists = FindEntry(m_fd, szName, &actual);
  const std::string winPath = m_strPath + "\\" + actual;
  if (bExists && ::fstatat(m_fd, actual.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!CheckPlainFile(st, winPath, volume::kWrite)) return FALSE;
  } else if (!volume::PathWritable(winPath)) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  int fd =
      ::openat(m_fd, actual.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return Fail(errno == ELOOP ? ERROR_CANT_ACCESS_FILE : ERROR_ACCESS_DENIED);
  // What was opened, not what the name was a moment before.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(fd);
    return Fail(ERROR_CANT_ACCESS_FILE);
  }
  const char* p = static_cast<const char*>(pData);
  DWORD left = cb;
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n <= 0) {
      ::close(fd);
      return Fail(112 /* ERROR_DISK_FULL */);
    }
    p += n;
    left -= static_cast<DWORD>(n);
  }
  ::close(fd);
  return TRUE;
}

// The simulation does not know who made a link: as a system before Windows 11.
BOOL PlatRefuseUserJunctions() { return Fail(ERROR_INVALID_PARAMETER); }
