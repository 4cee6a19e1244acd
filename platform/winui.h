// The user interface's door to the window system: common controls, the rich
// edit control, COM streams and the GDI+ flat API. Only the UI (ui/, the
// process entry and their tests) includes this header.
#pragma once

#ifndef _WIN32
#error "platform/winui.h is for Windows builds only"
#endif

#include "platform/win.h"

#include <commctrl.h>
#include <richedit.h>
#include <objidl.h>  // IStream; must precede gdiplus.h in mingw
#include <gdiplus.h>
#include <shellapi.h>
