// The encoders: every length function equals the bytes its writer puts out,
// with and without UTF-8, for code pages 936 and 1252.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "httpclient/encoder.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void CheckUrlEncode(const char* s, BOOL bUtf8, UINT cp) {
  DWORD len = 0;
  try {
    len = Corvu::CHttpEncoderA::UrlEncodeLenA(s, bUtf8, cp);
  } catch (const Corvu::httpclientexceptionA&) {
    return;
  }
  char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(len) + 1));
  FUZZ_CHECK(buf != nullptr);
  try {
    Corvu::CHttpEncoderA::UrlEncodeA(buf, s, bUtf8, cp);
    if (std::strlen(buf) != len) {
      std::fprintf(stderr, "UrlEncodeA(utf8=%d, cp=%u) wrote %zu bytes, UrlEncodeLenA said %u\n",
                   (int)bUtf8, (unsigned)cp, std::strlen(buf), (unsigned)len);
      std::abort();
    }
    // Only letters, digits, '+', '%' and hex digits come out.
    for (const char* p = buf; *p; ++p) {
      unsigned char c = static_cast<unsigned char>(*p);
      FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                 c == '+' || c == '%');
    }
  } catch (const Corvu::httpclientexceptionA&) {
  }
  std::free(buf);
}

void CheckUtf8(const char* s, UINT cp) {
  DWORD len = 0;
  try {
    len = Corvu::CHttpEncoderA::Utf8EncodeLenA(s, cp);
  } catch (const Corvu::httpclientexceptionA&) {
    return;
  }
  char* out = nullptr;
  try {
    out = Corvu::CHttpEncoderA::Utf8EncodeA(s, cp);
  } catch (const Corvu::httpclientexceptionA&) {
    return;
  }
  FUZZ_CHECK(out != nullptr);
  if (std::strlen(out) != len) {
    std::fprintf(stderr, "Utf8EncodeA(cp=%u) wrote %zu bytes, Utf8EncodeLenA said %u\n",
                 (unsigned)cp, std::strlen(out), (unsigned)len);
    std::abort();
  }
  std::free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  static bool once = [] {
    pavfuzz::FreshMachine();
    return true;
  }();
  (void)once;
  std::string s(reinterpret_cast<const char*>(data), size);
  const char* sz = s.c_str();  // up to the first NUL byte

  DWORD raw = Corvu::CHttpEncoderA::_UrlEncodeLen(sz);
  char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(raw) + 1));
  FUZZ_CHECK(buf != nullptr);
  Corvu::CHttpEncoderA::_UrlEncode(buf, sz);
  FUZZ_CHECK(std::strlen(buf) == raw);
  std::free(buf);

  for (UINT cp : {936u, 1252u}) {
    CheckUrlEncode(sz, FALSE, cp);
    CheckUrlEncode(sz, TRUE, cp);
    CheckUtf8(sz, cp);
  }
  return 0;
}
