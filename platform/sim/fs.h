// Simulated KERNEL32 file system: drive letters mapped onto host folders (see
// ctl/fs.h), Windows path rules (backslashes, "." and "..", no case), the
// attribute, search, delete and folder calls, the module path and the
// temporary folder.
#pragma once
#include "platform/sim/wintypes.h"

#ifndef PAVONIX_SIM_FILETIME_DEFINED
#define PAVONIX_SIM_FILETIME_DEFINED
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
typedef FILETIME* LPFILETIME;
#endif

#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define IO_REPARSE_TAG_MOUNT_POINT 0xA0000003u
#define IO_REPARSE_TAG_SYMLINK 0xA000000Cu
#define IO_REPARSE_TAG_CLOUD 0x9000001Au
#define IO_REPARSE_TAG_CLOUD_1 0x9000101Au
#define IsReparseTagNameSurrogate(tag) (((tag)&0x20000000u) != 0)

#ifndef ERROR_BAD_NETPATH
#define ERROR_BAD_NETPATH 53L
#endif
#ifndef ERROR_DIR_NOT_EMPTY
#define ERROR_DIR_NOT_EMPTY 145L
#endif
#ifndef ERROR_MOD_NOT_FOUND
#define ERROR_MOD_NOT_FOUND 126L
#endif
#ifndef ERROR_DIRECTORY
#define ERROR_DIRECTORY 267L
#endif

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAA* LPWIN32_FIND_DATAA;

DWORD GetFileAttributesA(LPCSTR lpFileName);
HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
BOOL FindClose(HANDLE hFindFile);
BOOL DeleteFileA(LPCSTR lpFileName);
BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
BOOL RemoveDirectoryA(LPCSTR lpPathName);

// The running program's path; any module handle names the program itself.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer);
// The system folder, without a trailing backslash (default "C:\Windows\system32").
UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
// The Windows folder, without a trailing backslash (default "C:\Windows").
UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);

#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6
// A mapped drive is fixed unless set otherwise (ctl/fs.h), an unmapped one
// has no root; a UNC root ("\\server\share\") is remote.
UINT GetDriveTypeA(LPCSTR lpRootPathName);

BOOL SetCurrentDirectoryA(LPCSTR lpPathName);
DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);
