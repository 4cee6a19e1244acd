// Test controls of the simulated Windows: set up state, inject faults, read
// what the logic did. Native test builds only.
#pragma once
#ifdef _WIN32
#error "simctl.h belongs to the simulated platform"
#endif
#include "platform/win.h"
#include "platform/sim/ctl/kernel.h"
#include "platform/sim/ctl/registry.h"
#include "platform/sim/ctl/fs.h"
#include "platform/sim/ctl/file.h"
#include "platform/sim/ctl/codepage.h"
#include "platform/sim/net/ctl/wininet.h"
#include "platform/sim/ctl/window.h"
#include "platform/sim/ctl/process.h"
