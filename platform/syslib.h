// Loading system libraries from the system folder only, never from beside the
// program (which may be a downloads folder) or the current folder.
#pragma once

#include "platform/win.h"

// The library from the system folder; NULL when it is not there.
HMODULE LoadSystemLibrary(const char* pszName);

// A function of a loaded library by name or ordinal, as the given type.
template <typename Fn>
bool ResolveProc(HMODULE hModule, const char* pszName, Fn& fn) {
  fn = hModule == NULL
           ? nullptr
           : reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, pszName)));
  return fn != nullptr;
}
