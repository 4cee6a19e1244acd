// The package file-name check with arbitrary addresses: a name it accepts,
// joined to the temporary folder, names a file directly in that folder.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "update/httpcommtools.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The download itself with the address under a served host: whatever it
// writes lands directly in the temporary folder.
void CheckDownload(const std::string& path) {
  pavfuzz::FreshMachine();
  const std::string temp = "C:\\Users\\user\\AppData\\Local\\Temp\\";
  namespace fs = std::filesystem;
  const fs::path root = pavfuzz::DriveFolder();
  const fs::path hostTemp = simwin::HostPath(temp);
  std::error_code ec;
  fs::remove_all(root, ec);
  fs::create_directories(hostTemp, ec);
  simwin::HttpReply reply;
  reply.body = "MZ package";
  simwin::ServeAt("h", 80, reply);
  CHTTPCommTools comm;
  std::string local;
  int r = comm.DownloadFile(temp, "http://h/" + path, nullptr, &local);
  if (r == 0) {
    std::string norm = simwin::NormalizeWinPath(local);
    FUZZ_CHECK(Lower(norm.substr(0, temp.size())) == Lower(temp));
    FUZZ_CHECK(norm.find('\\', temp.size()) == std::string::npos);
  }
  for (auto it = fs::recursive_directory_iterator(root, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (it->is_directory()) continue;
    if (it->path().parent_path() != hostTemp) {
      std::fprintf(stderr, "file written outside the temporary folder: %s\n", it->path().c_str());
      std::abort();
    }
  }
  FUZZ_CHECK(simwin::OpenInternetHandles().empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string url(reinterpret_cast<const char*>(data), size);
  std::string name = UrlFileName(url);
  FUZZ_CHECK(name.find('/') == std::string::npos);
  if (!IsPlainFileName(name)) return 0;
  // A refused name writes nothing by construction; an accepted one is also
  // downloaded.
  if (size <= 512) CheckDownload(url);

  FUZZ_CHECK(!name.empty() && name != "." && name != "..");
  for (unsigned char c : name) FUZZ_CHECK(c >= 0x20 && std::strchr("<>:\"/\\|?*", c) == nullptr);
  FUZZ_CHECK(name.find("..") == std::string::npos ||
             name.find_first_not_of('.') != std::string::npos);
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
