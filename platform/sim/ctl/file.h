// Test controls of the simulated file handles and file security.
#pragma once
#include <string>

#include "platform/sim/wintypes.h"

namespace simwin {

// The descriptor (SDDL) GetHandleSecurity reads for a file or folder. One
// not given any reads as the user's own: kUserOwnedSddl.
extern const char kUserOwnedSddl[];
void SetFileSecurity(const std::string& winPath, const std::string& sddl);
std::string FileSecuritySddl(const std::string& winPath);
// Off: a system that keeps no descriptors (Wine): CreateDirectoryWithSddlA
// drops the descriptor and PlatKeepsFileSecurity is FALSE. On by default.
void SetFileSecurityKept(bool kept);

// CreateFileA handles and fopen streams open on a path now.
size_t OpenFileCount(const std::string& winPath);

// A kernel file handle (kind "file") reading the given bytes, for uploads.
// GetFileSize reports `size` when set (default: the bytes' length), so a test
// can make a file shorter than it claims; closed with CloseHandle.
HANDLE MemoryFile(const std::string& bytes, DWORD reportedSize = 0xFFFFFFFFu);

}  // namespace simwin

// Fault injection by Windows name: "CreateFileA", "CreateDirectoryA" (also
// inside CreateDirectoryWithSddlA), "GetSecurityInfo", "ReadFile", "GetFileSize".
