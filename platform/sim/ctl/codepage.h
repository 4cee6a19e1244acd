// Test controls of the simulated code pages.
#pragma once
#include <string>
#include <vector>
#include "platform/sim/wintypes.h"

namespace simwin {

// The active ANSI code page (CP_ACP, GetACP): 936 after Reset.
void SetActiveCodePage(UINT codePage);

// UTF-16 code units of a UTF-8 text, and back; for building test data.
std::wstring Utf16FromUtf8(const std::string& utf8);
std::string Utf8FromUtf16(const std::wstring& utf16);

}  // namespace simwin
