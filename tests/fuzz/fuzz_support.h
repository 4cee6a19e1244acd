// Shared helpers of the fuzz targets: a fresh simulated machine whose drive C
// is one host folder made for the process, and a check that aborts.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/simctl.h"

namespace pavfuzz {

// Host folder behind drive C, made once per process.
inline const std::string& DriveFolder() {
  static const std::string folder = [] {
    char tmpl[] = "/tmp/pavonix-fuzz-XXXXXX";
    const char* d = mkdtemp(tmpl);
    if (d == nullptr) std::abort();
    return std::string(d);
  }();
  return folder;
}

// Back to a fresh machine with drive C mapped.
inline void FreshMachine() {
  simwin::Reset();
  simwin::MapDrive('C', DriveFolder());
}

}  // namespace pavfuzz

#define FUZZ_CHECK(cond)                                                              \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)
