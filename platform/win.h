// The one door to the operating system. Logic includes this header and calls
// the Windows operations by their Windows names (narrow-character forms).
// mingw builds get the real Win32 API; native builds get the simulated one.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <wininet.h>
#include <objbase.h>
#include <io.h>
// WinInet's functions by their own names, resolved at run time from the
// system folder (never imported).
#include "platform/win32/wininetload.h"
#else
#include "platform/sim/wintypes.h"
#include "platform/sim/kernel.h"
#include "platform/sim/registry.h"
#include "platform/sim/fs.h"
#include "platform/sim/file.h"
#include "platform/sim/codepage.h"
#include "platform/sim/net/wininet.h"
#include "platform/sim/window.h"
#include "platform/sim/process.h"
#endif

#include "platform/crt.h"
#include "platform/filesec.h"

// The shipped program is 32-bit and sees the 32-bit registry view on 64-bit
// Windows. The 64-bit build asks for that same view explicitly.
#if defined(_WIN64)
#define PAVONIX_REG_VIEW KEY_WOW64_32KEY
#else
#define PAVONIX_REG_VIEW 0
#endif
