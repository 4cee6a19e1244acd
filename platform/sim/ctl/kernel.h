#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "platform/sim/wintypes.h"

namespace simwin {

// Back to a fresh machine: every area's state, faults and records cleared.
void Reset();

// Fault injection, by Windows function name ("RegSetValueExA", "CoCreateGuid",
// "InternetConnectA", ...). The next `times` calls after `skip` unaffected ones
// fail with `error` (a Win32 error, or an HRESULT for COM calls).
void FailCall(const std::string& api, DWORD error, int times = 1, int skip = 0);
void FailAlways(const std::string& api, DWORD error);
void ClearFaults();

// Local clock. Sleep advances it instead of waiting.
void SetLocalTime(int year, int month, int day, int hour = 12, int minute = 0, int second = 0);
SYSTEMTIME LocalTime();

// GUIDs come from a seeded generator; the same seed gives the same GUIDs.
void SeedGuids(uint64_t seed);

// Lines sent with OutputDebugStringA, in order.
std::vector<std::string> DebugOutput();
void ClearDebugOutput();

// Kernel handles still open, for leak checks; optionally of one kind
// ("mutex", "thread", "process", "find").
size_t OpenHandleCount(const char* kind = nullptr);

}  // namespace simwin
