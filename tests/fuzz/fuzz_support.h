// Shared helpers of the fuzz targets: a fresh simulated machine whose drive C
// is one host folder made for the process, and a check that aborts.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/simctl.h"

namespace pavfuzz {

// Host folder behind drive C, made once per process and removed at exit.
inline const std::string& DriveFolder() {
  // A plain array: it outlives the string, whose destructor runs before the
  // exit handler.
  static char tmpl[] = "/tmp/pavonix-fuzz-XXXXXX";
  static const std::string folder = [] {
    if (mkdtemp(tmpl) == nullptr) std::abort();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(tmpl, ec);
    });
    return std::string(tmpl);
  }();
  return folder;
}

// Back to a fresh machine with drive C mapped.
inline void FreshMachine() {
  simwin::Reset();
  simwin::MapDrive('C', DriveFolder());
}

}  // namespace pavfuzz

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)
