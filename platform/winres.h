// The resource script's door to the Windows definitions: window, dialog and
// control styles, language ids and version constants. Only the resource
// compiler includes it; program code goes through platform/win.h.
#pragma once

#ifdef RC_INVOKED
#include <windows.h>
#include <commctrl.h>
#endif
