// Internals of the simulated file system shared by its areas: the key of a
// path and the sharing rules of open files and folders. Not for the logic.
#pragma once
#include <cstdint>
#include <string>

#include "platform/sim/wintypes.h"

namespace simwin {
namespace sharing {

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

// ReadFile of a CreateFileA handle (file.cpp): from the handle's own host
// file at its position.
BOOL ReadDiskFile(HANDLE hFile, void* pBuffer, DWORD cbToRead, DWORD* pcbRead);

}  // namespace sharing
}  // namespace simwin
