// The volume core of the simulated file system, shared by its areas (fs.cpp,
// file.cpp, safefs.cpp): Windows paths onto host paths, read-only marks, and
// the sharing rules of open files and folders. Not for the logic.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/wintypes.h"

namespace simwin {
namespace volume {

// Path text. A GBK lead byte and its trail byte are one character, so a
// trail byte 0x5C is not a separator.
bool IsLead(unsigned char c);
bool IsSep(char c);
// ASCII letters fold to upper case; a GBK pair stays as it is.
std::string Fold(const std::string& s);
std::vector<std::string> SplitComponents(const std::string& s);
// Index of the last separator; npos when none.
size_t LastSep(const std::string& s);
bool IsDriveSpec(const std::string& s);
char Upper(char c);
bool HasWildcard(const std::string& s);

// Windows normalisation against currentDir; empty for UNC and device paths.
std::string Normalize(const std::string& in, const std::string& currentDir);
// Normalize against the current folder.
std::string NormalizePath(const std::string& winPath);
// Host path of a normalised path ("" when its drive is not mapped).
std::string ToHost(const std::string& norm);
bool HostExists(const std::string& host, struct stat* st = nullptr);
// ERROR_FILE_NOT_FOUND when the parent folder exists, else ERROR_PATH_NOT_FOUND.
DWORD MissingError(const std::string& norm);
DWORD ErrnoToWin(int e);
// Normalises and maps a path argument; false with the last error set.
bool Resolve(LPCSTR path, std::string* norm, std::string* host);
// CreateDirectoryA without its fault point.
BOOL MakeFolder(LPCSTR lpPathName);

bool DriveMapped(char letter);
// The current folder ("C:" for a drive's root) and its setter (normalised).
std::string CurrentFolder();
void SetCurrentFolder(const std::string& norm);

// Read-only marks of a normalised path: on the path itself, or on it or a
// folder above it.
bool IsMarkedReadOnly(const std::string& norm);
bool CanModify(const std::string& norm);

// Normalised, case-folded Windows path: one key per file whatever the
// spelling. Empty for a path the simulation does not support.
std::string PathKey(const std::string& winPath);
// False when a read-only mark covers the path (see SetReadOnly).
bool PathWritable(const std::string& winPath);

// Data access classes of an open, as Windows checks sharing.
const DWORD kRead = 1, kWrite = 2, kDelete = 4;

// Records an open of key with access classes and share mode (FILE_SHARE_*
// bits); false, recording nothing, when an open already there refuses it or
// it refuses one already there.
bool Open(const std::string& key, DWORD access, DWORD share, uint64_t* id);
void Close(uint64_t id);
// Whether an open with these access classes and share mode would be allowed.
bool Allows(const std::string& key, DWORD access, DWORD share);
// Opens of key now.
size_t OpenCount(const std::string& key);

// A delete through a handle while others have key open: without POSIX
// semantics (SetPosixDeletes) the name stays, delete pending, until the last
// of them closes, and true is returned (the host entry host, a folder when
// dir, goes then); false when the name is to go now.
bool DeferDelete(const std::string& key, const std::string& host, bool dir);
bool DeletePending(const std::string& key);

// The reparse tag SetReparseTag gave the path; 0 when none.
DWORD ReparseTag(const std::string& winPath);

}  // namespace volume
}  // namespace simwin
