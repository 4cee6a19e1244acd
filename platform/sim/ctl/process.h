// Test controls of the simulated process area.
#pragma once
#include <string>
#include <vector>
#include "platform/sim/wintypes.h"

namespace simwin {}  // namespace simwin
