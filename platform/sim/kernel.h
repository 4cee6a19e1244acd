// Simulated KERNEL32 / OLE32 basics: last error, handles, local clock, threads
// ids, named mutexes, GUIDs and the debugger channel.
#pragma once
#include "platform/sim/wintypes.h"

DWORD GetLastError();
void SetLastError(DWORD error);
BOOL CloseHandle(HANDLE h);

void GetLocalTime(LPSYSTEMTIME st);
void Sleep(DWORD ms);
DWORD GetTickCount();
DWORD GetCurrentThreadId();

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES sa, BOOL initialOwner, LPCSTR name);
BOOL ReleaseMutex(HANDLE h);
DWORD WaitForSingleObject(HANDLE h, DWORD ms);

HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();
HRESULT CoCreateGuid(GUID* guid);

void OutputDebugStringA(LPCSTR text);
