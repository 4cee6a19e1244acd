// Test controls of the simulated registry area.
#pragma once
#include <string>
#include <vector>
#include "platform/sim/wintypes.h"

namespace simwin {}  // namespace simwin
