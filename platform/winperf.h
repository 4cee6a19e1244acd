// Process statistics for the Windows-only measuring tools (peak working set).
// Not part of the simulated platform: only mingw builds include it.
#pragma once

#include "platform/win.h"

#ifdef _WIN32
#include <psapi.h>
#endif
