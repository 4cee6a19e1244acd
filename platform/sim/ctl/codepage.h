// Test controls of the simulated codepage area.
#pragma once
#include <string>
#include <vector>
#include "platform/sim/wintypes.h"

namespace simwin {}  // namespace simwin
