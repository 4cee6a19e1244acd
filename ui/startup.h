// Start-up pieces of the process entry: the safe load of the rich edit
// library, the single-instance guard and the message loop.
#pragma once

#include "platform/winui.h"

// Name of the single-instance mutex (the product code).
#define PAVONIX_SINGLE_MUTEX "PAVONIX"

extern HANDLE g_hSingleMutex;

// Restricts the process's DLL search to the system folder where the system
// supports it, then loads "RICHED20.dll" from there. The library is kept.
HMODULE LoadRichEditFromSystem();

// Registers the common controls' classes (the progress bar), with COMCTL32.dll
// taken from the system folder. False when it could not be loaded.
bool InitCommonControlsFromSystem();

// The first top-level window carrying the instance property, or NULL. The walk
// is bounded, so a window list that changes under it cannot loop forever.
HWND FindRunningInstance();

// Single-instance guard. True when another instance's main dialog was found
// and brought to the front (this process should end with -1). Otherwise the
// new mutex, if any, is kept in g_hSingleMutex.
bool HandOverToRunningInstance();

// GetMessageA / TranslateMessage / DispatchMessageA until the quit message.
void RunMessageLoop();
