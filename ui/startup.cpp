#include "ui/startup.h"

#include "ui/pages.h"

HANDLE g_hSingleMutex = NULL;

namespace {
const int kMaxTopLevelWalk = 100000;
}

HMODULE LoadRichEditFromSystem()
{
    // Looked up at run time: systems without the loader update lack it.
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
    HMODULE hKernel = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesFn pfnSetDefault = NULL;
    if (hKernel != NULL)
        pfnSetDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(hKernel, "SetDefaultDllDirectories")));
    if (pfnSetDefault != NULL && pfnSetDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return LoadLibraryExA("RICHED20.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    // Without the search flags: name the file in the system folder explicitly.
    char szPath[MAX_PATH + 16];
    UINT cch = GetSystemDirectoryA(szPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return NULL;
    lstrcatA(szPath, "\\RICHED20.dll");
    return LoadLibraryExA(szPath, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HWND FindRunningInstance()
{
    HWND hWnd = GetWindow(GetDesktopWindow(), GW_CHILD);
    for (int n = 0; n < kMaxTopLevelWalk && hWnd != NULL && IsWindow(hWnd); ++n) {
        if (GetPropA(hWnd, PAVONIX_INSTANCE_PROP) != NULL)
            return hWnd;
        hWnd = GetWindow(hWnd, GW_HWNDNEXT);
    }
    return NULL;
}

bool HandOverToRunningInstance()
{
    HANDLE hMutex = CreateMutexA(NULL, FALSE, PAVONIX_SINGLE_MUTEX);
    if (hMutex != NULL && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(hMutex);
        HWND hRunning = FindRunningInstance();
        if (hRunning != NULL) {
            if (IsIconic(hRunning))
                ShowWindow(hRunning, SW_RESTORE);
            SetForegroundWindow(hRunning);
            return true;
        }
        return false;  // no window yet (or closing): start as a first instance
    }
    g_hSingleMutex = hMutex;
    return false;
}

void RunMessageLoop()
{
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}
