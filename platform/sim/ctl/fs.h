// Test controls of the simulated file system.
//
// Windows paths resolve through drive mappings: "C:\a\b" is <host folder of
// C>\a\b, each component matched without regard to ASCII case (GBK bytes pass
// through as host file-name bytes). Unmapped drives do not exist.
#pragma once
#include <string>
#include <vector>
#include "platform/sim/wintypes.h"

namespace simwin {

// Drive letter -> existing host folder. Mapping a letter again replaces it.
void MapDrive(char letter, const std::string& hostFolder);
void UnmapDrive(char letter);

// Folder that relative paths and "\x" paths start from (default "C:\").
void SetCurrentDir(const std::string& winPath);

// Lexical Windows normalisation: "/" as "\", "." and ".." folded, repeated
// separators collapsed, trailing dots and blanks of the last name dropped.
// Relative paths are joined to the current folder. Empty for a path the
// simulation does not support (UNC, device names).
std::string NormalizeWinPath(const std::string& winPath);

// Host path of a Windows path (empty when its drive is not mapped). Existing
// components are matched without case; missing ones are taken as written.
std::string HostPath(const std::string& winPath);

// GetModuleFileNameA result (default "C:\Program Files (x86)\Pavonix\pavonix.exe").
void SetModulePath(const std::string& winPath);
// GetTempPathA result; a trailing backslash is added when missing
// (default "C:\Users\user\AppData\Local\Temp\").
void SetTempPath(const std::string& winPath);
// GetSystemDirectoryA result (default "C:\Windows\system32").
void SetSystemDir(const std::string& winPath);
// GetWindowsDirectoryA result (default "C:\Windows").
void SetWindowsDir(const std::string& winPath);
// GetDriveTypeA of a drive letter (DRIVE_* value).
void SetDriveType(char letter, UINT type);

// Read-only marks, like the attribute or a folder without write rights for a
// non-administrator. A read-only file cannot be opened for writing or deleted
// and reports FILE_ATTRIBUTE_READONLY. A read-only folder (and everything
// below it) lets nothing be created, written or deleted in it.
void SetReadOnly(const std::string& winPath, bool readOnly = true);
void ClearReadOnly();

// A junction or symbolic link (to a folder or a file) at linkWinPath naming
// targetWinPath, which need not exist: a host symbolic link. Paths through it
// reach the target; FILE_ATTRIBUTE_REPARSE_POINT marks it in
// GetFileAttributesA and FindFirstFileA. False when it could not be made.
bool MakeLink(const std::string& linkWinPath, const std::string& targetWinPath);

// A reparse tag on an existing entry (a link made with MakeLink, or a plain
// file or folder), as the file system keeps it: FILE_ATTRIBUTE_REPARSE_POINT
// marks a tagged entry in GetFileAttributesA and FindFirstFileA. The held
// folder refuses a name surrogate (IO_REPARSE_TAG_MOUNT_POINT of a junction
// or mount point, IO_REPARSE_TAG_SYMLINK) and lets any other tag pass (cloud
// files: IO_REPARSE_TAG_CLOUD...). A host symbolic link is always a link.
// Tag 0 removes it.
void SetReparseTag(const std::string& winPath, DWORD tag);

// Another program (an on-access virus scanner) opens the file for reading
// with this share mode (FILE_SHARE_* bits; 0: no sharing) for ms of the
// simulated clock: opens it refuses fail with ERROR_SHARING_VIOLATION until
// then. False, holding nothing, when an open already there refuses it.
bool HoldFileFor(const std::string& winPath, DWORD ms, DWORD share = 0);

// Whether the system deletes with POSIX semantics (Windows 10 1607 onwards
// on NTFS; on by default). Without, a file or folder the held folder deletes
// while another handle has it open keeps its name, delete pending, until
// that handle closes, so its folder cannot be removed meanwhile.
void SetPosixDeletes(bool available);

// 8.3 short names as NTFS makes them (off by default): FindFirstFileA also
// matches a pattern against them, so "*.log" finds "notes.logx" (short name
// "NOTES~1.LOG"), and cAlternateFileName carries them.
void SetShortNames(bool enabled);

}  // namespace simwin

// Fault injection (simwin::FailCall) works by Windows name for the calls of
// fs.h, and by "fopen", "fwrite", "fclose" and "_access" for the C runtime
// seam, the injected error standing for the errno value; the held folder
// (platform/safefs.h) by "OpenHeldFolder", "ListHeldFolder",
// "DeleteChildFile", "DeleteChildTree" and "AppendToChildFile".
