// The C runtime's file calls, used with Windows paths. On Windows these are the
// C runtime itself; the simulation maps drive letters to host folders and
// writes CR LF for "\n" in text mode, as the Windows runtime does.
#pragma once
#include <cstddef>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
inline FILE* plat_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }
inline size_t plat_fwrite(const void* p, size_t size, size_t n, FILE* f) {
  return std::fwrite(p, size, n, f);
}
inline size_t plat_fread(void* p, size_t size, size_t n, FILE* f) {
  return std::fread(p, size, n, f);
}
inline int plat_fclose(FILE* f) { return std::fclose(f); }
inline int plat_access(const char* path, int mode) { return _access(path, mode); }
// The system's error code of the runtime's last failed file call (the
// runtime's _doserrno: ERROR_SHARING_VIOLATION where errno only says EACCES).
inline unsigned long plat_doserrno() { return static_cast<unsigned long>(_doserrno); }
#else
FILE* plat_fopen(const char* path, const char* mode);
size_t plat_fwrite(const void* p, size_t size, size_t n, FILE* f);
size_t plat_fread(void* p, size_t size, size_t n, FILE* f);
int plat_fclose(FILE* f);
int plat_access(const char* path, int mode);
unsigned long plat_doserrno();
#endif
