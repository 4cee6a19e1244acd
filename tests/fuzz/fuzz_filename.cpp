// The package file-name check with arbitrary addresses: a name it accepts,
// joined to the temporary folder, names a file directly in that folder.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "update/httpcommtools.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  static bool once = [] {
    pavfuzz::FreshMachine();
    return true;
  }();
  (void)once;
  std::string url(reinterpret_cast<const char*>(data), size);
  std::string name = UrlFileName(url);
  FUZZ_CHECK(name.find('/') == std::string::npos);
  if (!IsPlainFileName(name)) return 0;

  FUZZ_CHECK(!name.empty() && name != "." && name != "..");
  for (unsigned char c : name) FUZZ_CHECK(c >= 0x20 && std::strchr("<>:\"/\\|?*", c) == nullptr);
  FUZZ_CHECK(name.find("..") == std::string::npos || name.find_first_not_of('.') != std::string::npos);
  FUZZ_CHECK(name.back() != '.' && name.back() != ' ');

  const std::string temp = "C:\\Users\\user\\AppData\\Local\\Temp\\";
  const std::string joined = temp + name;
  const std::string norm = simwin::NormalizeWinPath(joined);
  // Empty: a name the simulation does not support (a device name) slipped
  // through.
  FUZZ_CHECK(!norm.empty());
  FUZZ_CHECK(norm.size() > temp.size());
  FUZZ_CHECK(Lower(norm.substr(0, temp.size())) == Lower(temp));
  FUZZ_CHECK(norm.find('\\', temp.size()) == std::string::npos);
  FUZZ_CHECK(norm == joined);
  return 0;
}
