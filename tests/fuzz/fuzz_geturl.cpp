// The URL analyzer and GET URL building: the analyzed parts stay inside the
// URL, and MakeGetUrl writes exactly MakeGetUrlLen bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "httpclient/httpclient.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Input: one control byte, then NUL-separated texts: the URL, then name and
// value pairs.
std::vector<std::string> SplitAtNul(const uint8_t* data, size_t size) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      parts.emplace_back();
    else
      parts.back().push_back(static_cast<char>(data[i]));
  }
  return parts;
}

void CheckParts(const Corvu::CHttpUrlAnalyzer& a, const std::string& url) {
  const DWORD n = static_cast<DWORD>(url.size());
  FUZZ_CHECK(a.SchemeIdx() + a.SchemeLen() <= n);
  FUZZ_CHECK(a.HostIdx() + a.HostLen() <= n);
  FUZZ_CHECK(a.PortIdx() + a.PortLen() <= n);
  FUZZ_CHECK(a.PathIdx() + a.PathLen() <= n);
  FUZZ_CHECK(a.QueryIdx() + a.QueryLen() <= n);
  FUZZ_CHECK(a.FragmentIdx() + a.FragmentLen() == n);
  FUZZ_CHECK(a.PathIdx() <= a.FragmentIdx());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8192) return 0;
  static bool once = [] {
    pavfuzz::FreshMachine();
    return true;
  }();
  (void)once;
  const uint8_t control = data[0];
  const UINT cp = (control & 1) ? 936 : 1252;
  std::vector<std::string> parts = SplitAtNul(data + 1, size - 1);
  const std::string& url = parts[0];
  const bool nullUrl = (control & 4) != 0 && url.empty();

  try {
    Corvu::CHttpUrlAnalyzer a;
    a.Analyze(url.c_str(), cp);
    CheckParts(a, url);
    (void)Corvu::CHttpUrlAnalyzer::IsSecureScheme(url.c_str(), a);
  } catch (const Corvu::httpclientexceptionA&) {
  }

  Corvu::CHttpClient client;
  client.SetUseUtf8((control & 2) != 0);
  client.SetAnsiCodePage(cp);
  for (size_t i = 1; i < parts.size(); i += 2)
    client.AddParam(parts[i].c_str(), i + 1 < parts.size() ? parts[i + 1].c_str() : "");

  const char* szUrl = nullUrl ? nullptr : url.c_str();
  DWORD len = 0;
  try {
    len = client.MakeGetUrlLen(szUrl);
  } catch (const Corvu::httpclientexceptionA&) {
    return 0;
  }
  // Exactly the announced bytes plus the terminator: a longer write is a heap
  // overflow under AddressSanitizer.
  char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(len) + 1));
  FUZZ_CHECK(buf != nullptr);
  try {
    client.MakeGetUrl(buf, szUrl);
    if (std::strlen(buf) != len) {
      std::fprintf(stderr, "MakeGetUrl wrote %zu bytes, MakeGetUrlLen said %u\n", std::strlen(buf),
                   (unsigned)len);
      std::abort();
    }
    if (szUrl != nullptr && client.ParamCount() == 0) FUZZ_CHECK(url == buf);
    if (szUrl != nullptr && client.ParamCount() != 0) {
      // The scheme and host part is kept as it was.
      Corvu::CHttpUrlAnalyzer a;
      a.Analyze(szUrl, cp);
      FUZZ_CHECK(std::memcmp(buf, szUrl, a.PathIdx()) == 0);
    }
  } catch (const Corvu::httpclientexceptionA&) {
  }
  std::free(buf);
  return 0;
}
