// Simulated wininet area (declarations used by the logic).
#pragma once
#include "platform/sim/wintypes.h"
