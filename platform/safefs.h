// Deleting and writing inside a folder we hold, never through a link.
//
// The program runs elevated and often beside or under folders the user
// controls. A path names whatever it resolves to when it is used: a junction,
// symbolic link or mount point put in the path between a scan and a delete
// would turn "delete this log file" into "delete any file as administrator".
// CHeldFolder opens a folder once, refusing it when it is itself a link, and
// keeps it open so that it cannot be renamed, moved or removed while held.
// Every later operation names a plain child of that very folder and acts on
// the child that is there at that moment, through a handle to it.
//
// Windows: the folder is opened with FILE_FLAG_OPEN_REPARSE_POINT |
// FILE_FLAG_BACKUP_SEMANTICS and without FILE_SHARE_DELETE, its attributes
// checked (a folder, no reparse point). A child is opened without following a
// reparse point and without FILE_SHARE_DELETE (so it cannot be renamed away),
// checked to be a plain file (no reparse point, no folder, one link only) and
// to be an entry of the held folder by its file identity (volume serial and
// file index against the held handle's own listing), then deleted through that
// handle (SetFileInformationByHandle, FileDispositionInfo).
// Simulated platform: the same rules over the host's descriptor-relative calls
// (openat, fstatat, unlinkat with O_NOFOLLOW / AT_SYMLINK_NOFOLLOW), the held
// folder being a host directory descriptor.
#pragma once
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
  bool bIsLink;         // a reparse point: junction, symbolic link, mount point
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

  // Opens and holds the folder. FALSE with the last error when it is missing
  // or no folder, and ERROR_CANT_ACCESS_FILE when it is itself a junction,
  // symbolic link or mount point. A held folder is let go first.
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
  DWORD m_dwVolume;
#else
  int m_fd;
#endif
};

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
