#include "platform/folders.h"

#include <chrono>
#include <mutex>

namespace {

std::mutex g_lock;
std::string g_commonAppData = "C:\\ProgramData";

}  // namespace

bool PlatCommonAppDataFolder(std::string* pstrPath) {
  std::lock_guard<std::mutex> g(g_lock);
  if (g_commonAppData.empty()) return false;
  *pstrPath = g_commonAppData;
  return true;
}

// The host's clock: the simulated files carry the host's time stamps.
ULONGLONG PlatNowFileTime() {
  const auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  return static_cast<ULONGLONG>(since1970 / 100) + 116444736000000000ULL;
}

namespace simwin {

void SetCommonAppDataFolder(const std::string& winPath) {
  std::lock_guard<std::mutex> g(g_lock);
  g_commonAppData = winPath;
}

}  // namespace simwin
