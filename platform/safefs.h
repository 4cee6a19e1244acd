// Deleting and writing inside a folder we hold, never through a link.
//
// The program runs elevated and often beside or under folders the user
// controls. A path names whatever it resolves to when it is used: a junction,
// symbolic link or mount point put in the path between a scan and a delete
// would turn "delete this log file" into "delete any file as administrator".
// CHeldFolder reaches a folder from its volume's root one name at a time,
// each relative to the folder above, refusing any name on the way that is a
// link (a reparse point whose tag is a name surrogate; others, such as the
// cloud files of a synced folder, are plain files and folders), and keeps every folder of that
// chain open so that none can be renamed, moved or removed while held. Every later operation names
// a plain child of that very folder and acts on the child that is there at that moment, opened
// relative to the held folder, through a handle to it.
//
// Windows: the root is opened by path ("\\?\C:\" or the share's root),
// every name below it with NtCreateFile relative to the handle above
// (FILE_OPEN_REPARSE_POINT, without FILE_SHARE_DELETE) and checked to be a
// folder and no link (FileAttributeTagInfo, IsReparseTagNameSurrogate). A
// child is opened the same way relative to the held folder, checked to be a
// plain file (no link, no folder, one name only) where it is changed, and
// deleted through that handle (SetFileInformationByHandle: with POSIX
// semantics where the system has them, else FileDispositionInfo).
// Simulated platform: the same walk over the host's descriptor-relative calls
// (openat, fstatat, unlinkat with O_NOFOLLOW / AT_SYMLINK_NOFOLLOW), each
// folder of the chain a host directory descriptor recorded as an open
// without delete sharing.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/sim/fs.h"
#include "platform/sim/wintypes.h"
#endif

// One entry of a held folder ("." and ".." are never listed).
struct PlatFolderEntry {
  std::string strName;  // in the ANSI code page
  bool bIsLink;         // a junction, symbolic link or mount point (a cloud file is none)
  bool bIsDir;          // a folder (for a link: a link to a folder)
  ULONGLONG ullSize;    // bytes; 0 for folders and links
  FILETIME ftLastWrite;
};

class CHeldFolder {
 public:
  CHeldFolder();
  ~CHeldFolder();
  CHeldFolder(const CHeldFolder&) = delete;
  CHeldFolder& operator=(const CHeldFolder&) = delete;

  // Opens and holds the folder and every folder above it. FALSE with the
  // last error when it is missing or no folder, ERROR_CANT_ACCESS_FILE when
  // it or any folder above it is a junction, symbolic link or mount point,
  // and ERROR_INVALID_NAME for a path that names no folder of a drive or
  // share. A held folder is let go first.
  BOOL Open(LPCSTR szPath);
  void Close();
  bool IsOpen() const;
  // The path given to Open, without a trailing backslash.
  const std::string& Path() const { return m_strPath; }

  // The entries of the held folder itself, whatever its path names now.
  BOOL List(std::vector<PlatFolderEntry>* pEntries) const;

  // Deletes the child szName if it is a regular file. Nothing is deleted,
  // FALSE with the last error, when the name is no plain child name
  // (ERROR_INVALID_NAME), the child is a link or a folder
  // (ERROR_CANT_ACCESS_FILE), another name of the file exists
  // (ERROR_CANT_ACCESS_FILE), it is in use (ERROR_SHARING_VIOLATION), or it
  // is not (or no longer) an entry of the held folder.
  BOOL DeleteChildFile(LPCSTR szName) const;

  // Deletes the child folder szName and everything below it. A link met on
  // the way (the child itself excluded: that is refused like in
  // DeleteChildFile) is removed as a link; what it points to is never
  // entered. What is in use is skipped and the rest deleted; FALSE then.
  BOOL DeleteChildTree(LPCSTR szName) const;

  // Appends cb bytes to the child file szName, made when missing, only when
  // it is a regular file of the held folder (the rules of DeleteChildFile).
  BOOL AppendToChildFile(LPCSTR szName, const void* pData, DWORD cb) const;

 private:
  std::string m_strPath;
#ifdef _WIN32
  HANDLE m_hFolder;
  std::vector<HANDLE> m_vecAbove;  // the volume's root and each folder down to it
#else
  int m_fd;
  std::vector<uint64_t> m_vecOpens;  // the chain's records in the sharing table
#endif
};

// Switches on, where the system offers it (Windows 11 22H2 and Server 2022
// onwards), the process policy that refuses to follow a junction made by a
// non-administrator (ProcessRedirectionTrustPolicy) in any path the process
// opens. FALSE where it is not offered; the simulated platform offers it not.
BOOL PlatRefuseUserJunctions();

// True when szName can name a child of a folder: not empty, not "." or "..",
// no separator, drive or stream colon, wildcard or control character, no
// trailing dot or blank (Windows would drop them and name another entry).
inline bool IsPlainChildName(LPCSTR szName) {
  if (szName == nullptr || *szName == '\0') return false;
  const std::string s = szName;
  if (s == "." || s == ".." || s.back() == '.' || s.back() == ' ') return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    // A GBK lead byte and its trail byte are one character: a trail byte
    // 0x5C is no separator.
    if (c >= 0x81 && c <= 0xFE && i + 1 < s.size()) {
      ++i;
      continue;
    }
    if (c < 0x20 || std::string("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string::npos)
      return false;
  }
  return true;
}

#ifndef ERROR_CANT_ACCESS_FILE
#define ERROR_CANT_ACCESS_FILE 1920L
#endif
