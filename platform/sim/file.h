// Simulated KERNEL32 file handles: CreateFileA on files and folders with
// Windows' sharing rules. What an open handle refuses to share also holds
// against the simulated C runtime's fopen, DeleteFileA and RemoveDirectoryA.
#pragma once
#include "platform/sim/registry.h"  // DELETE, READ_CONTROL
#include "platform/sim/wintypes.h"

#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#endif
#define FILE_READ_DATA 0x0001u
#define FILE_LIST_DIRECTORY 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u
#define FILE_EXECUTE 0x0020u

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u

#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u

// Files and folders (a folder needs FILE_FLAG_BACKUP_SEMANTICS and
// OPEN_EXISTING). ERROR_SHARING_VIOLATION when an open handle or stream
// refuses the access or the share mode. Closed with CloseHandle.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

#define FILE_BEGIN 0u
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
// Only FILE_BEGIN with a position below 2 GiB.
DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod);

// KERNEL32 reads of an opened file, used by multipart uploads. Natively the
// file handles come from simwin::MemoryFile (ctl/file.h) or CreateFileA.
struct OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
