// Simulated code page conversions. UTF-8 is decoded and encoded here; GBK
// (936) and Windows-1252 go through iconv one character at a time so that
// invalid input is handled per character as Windows does. Wide strings hold
// UTF-16 code units (surrogate pairs beyond the BMP), as on Windows.
#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/codepage.h"
#include "platform/sim/core.h"
#include "platform/sim/ctl/codepage.h"
#include "platform/sim/kernel.h"

namespace simwin {
namespace {

std::atomic<UINT> g_activeCodePage{936};

struct CodePageReset {
  CodePageReset() {
    core::OnReset([] { g_activeCodePage = 936; });
  }
};
CodePageReset g_codePageReset;

// The code page a call works in, or 0 when it is not supported.
UINT Resolve(UINT codePage) {
  if (codePage == CP_ACP || codePage == CP_THREAD_ACP || codePage == CP_OEMCP)
    return g_activeCodePage.load();
  if (codePage == 936 || codePage == 1252 || codePage == CP_UTF8) return codePage;
  return 0;
}

const char* IconvName(UINT codePage) { return codePage == 936 ? "CP936" : "CP1252"; }

// One converter per thread, direction and code page.
struct Converter {
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
  ~Converter() {
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
};
iconv_t Open(UINT codePage, bool toUnicode) {
  thread_local Converter conv[2][2];  // [936/1252][to/from unicode]
  Converter& c = conv[codePage == 936 ? 0 : 1][toUnicode ? 0 : 1];
  if (c.cd == reinterpret_cast<iconv_t>(-1))
    c.cd = toUnicode ? iconv_open("UTF-32LE", IconvName(codePage))
                     : iconv_open(IconvName(codePage), "UTF-32LE");
  return c.cd;
}

// Converts bytes of one character; false when iconv has no mapping.
bool IconvChar(UINT codePage, bool toUnicode, const char* in, size_t inLen, char* out,
               size_t* outLen) {
  iconv_t cd = Open(codePage, toUnicode);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* pin = const_cast<char*>(in);
  char* pout = out;
  size_t inLeft = inLen, outLeft = *outLen;
  size_t r = iconv(cd, &pin, &inLeft, &pout, &outLeft);
  if (r == static_cast<size_t>(-1) || inLeft != 0 || r != 0) return false;
  *outLen = *outLen - outLeft;
  return true;
}

void PushCodePoint(std::vector<WCHAR>& out, uint32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<WCHAR>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<WCHAR>(cp));
  }
}

// UTF-8 to UTF-16; each maximal invalid subpart becomes U+FFFD. False on the
// first invalid sequence when strict.
bool DecodeUtf8(const unsigned char* s, size_t n, bool strict, std::vector<WCHAR>& out) {
  size_t i = 0;
  while (i < n) {
    unsigned char b = s[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int need;
    uint32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      cp = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      cp = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      if (strict) return false;
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    size_t j = i + 1;
    int got = 0;
    bool bad = false;
    while (got < need) {
      if (j >= n) {
        bad = true;
        break;
      }
      unsigned char c = s[j];
      unsigned char l = got == 0 ? lo : 0x80, h = got == 0 ? hi : 0xBF;
      if (c < l || c > h) {
        bad = true;
        break;
      }
      cp = (cp << 6) | (c & 0x3F);
      ++j;
      ++got;
    }
    if (bad) {
      if (strict) return false;
      out.push_back(0xFFFD);
      i = j;  // the valid prefix is consumed with the lead byte
      continue;
    }
    PushCodePoint(out, cp);
    i = j;
  }
  return true;
}

// Double-byte or single-byte code page to UTF-16, character by character.
bool DecodeAnsi(UINT codePage, const unsigned char* s, size_t n, bool strict,
                std::vector<WCHAR>& out) {
  size_t i = 0;
  while (i < n) {
    unsigned char b = s[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    size_t len = 1;
    if (codePage == 936 && b >= 0x81 && b <= 0xFE) {
      if (i + 1 >= n || s[i + 1] == 0) {
        // A lead byte at the end of the input stands alone.
        if (strict) return false;
        out.push_back('?');
        ++i;
        continue;
      }
      len = 2;
      if (s[i + 1] < 0x40 || s[i + 1] == 0x7F || s[i + 1] == 0xFF) {
        // Lead and invalid trail are one unmapped character, as in the
        // Windows tables.
        if (strict) return false;
        out.push_back('?');
        i += 2;
        continue;
      }
    }
    char buf[8];
    size_t outLen = sizeof(buf);
    if (IconvChar(codePage, true, reinterpret_cast<const char*>(s + i), len, buf, &outLen) &&
        outLen == 4) {
      uint32_t cp = static_cast<unsigned char>(buf[0]) | (static_cast<unsigned char>(buf[1]) << 8) |
                    (static_cast<unsigned char>(buf[2]) << 16) |
                    (static_cast<uint32_t>(static_cast<unsigned char>(buf[3])) << 24);
      PushCodePoint(out, cp);
    } else if (codePage == 1252 && len == 1) {
      out.push_back(b);  // the five unassigned bytes map to the C1 controls
    } else if (codePage == 936 && b == 0xFF) {
      out.push_back(0xF8F5);
    } else {
      if (strict) return false;
      out.push_back('?');
    }
    i += len;
  }
  return true;
}

void EncodeUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Next code point of UTF-16 input; a lone surrogate gives 0xFFFFFFFF.
uint32_t NextCodePoint(const WCHAR* s, size_t n, size_t& i) {
  uint32_t u = static_cast<uint32_t>(s[i]) & 0xFFFF;
  ++i;
  if (u >= 0xD800 && u <= 0xDBFF) {
    if (i < n) {
      uint32_t v = static_cast<uint32_t>(s[i]) & 0xFFFF;
      if (v >= 0xDC00 && v <= 0xDFFF) {
        ++i;
        return 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
      }
    }
    return 0xFFFFFFFFu;
  }
  if (u >= 0xDC00 && u <= 0xDFFF) return 0xFFFFFFFFu;
  return u;
}

}  // namespace

void SetActiveCodePage(UINT codePage) { g_activeCodePage = codePage; }

std::wstring Utf16FromUtf8(const std::string& utf8) {
  std::vector<WCHAR> out;
  DecodeUtf8(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size(), false, out);
  return std::wstring(out.begin(), out.end());
}

std::string Utf8FromUtf16(const std::wstring& utf16) {
  std::string out;
  size_t i = 0;
  while (i < utf16.size()) {
    uint32_t cp = NextCodePoint(utf16.data(), utf16.size(), i);
    EncodeUtf8(cp == 0xFFFFFFFFu ? 0xFFFD : cp, out);
  }
  return out;
}

}  // namespace simwin

using namespace simwin;

UINT GetACP() { return g_activeCodePage.load(); }

BOOL IsDBCSLeadByteEx(UINT CodePage, BYTE TestChar) {
  UINT cp = Resolve(CodePage);
  if (cp == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return cp == 936 && TestChar >= 0x81 && TestChar <= 0xFE;
}

BOOL IsDBCSLeadByte(BYTE TestChar) { return IsDBCSLeadByteEx(CP_ACP, TestChar); }

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
  DWORD err;
  if (core::TakeFault("MultiByteToWideChar", &err)) {
    SetLastError(err);
    return 0;
  }
  UINT cp = Resolve(CodePage);
  if (cp == CP_UTF8 && (dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) != 0) {
    SetLastError(1004L);  // ERROR_INVALID_FLAGS
    return 0;
  }
  if (cp == 0 || lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 ||
      cchWideChar < 0 || (lpWideCharStr == nullptr && cchWideChar != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
  std::vector<WCHAR> out;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
  bool ok = cp == CP_UTF8 ? DecodeUtf8(s, n, strict, out) : DecodeAnsi(cp, s, n, strict, out);
  if (!ok) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (cchWideChar == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(cchWideChar)) {
    std::memcpy(lpWideCharStr, out.data(), sizeof(WCHAR) * static_cast<size_t>(cchWideChar));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (!out.empty()) std::memcpy(lpWideCharStr, out.data(), sizeof(WCHAR) * out.size());
  return static_cast<int>(out.size());
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar) {
  DWORD err;
  if (core::TakeFault("WideCharToMultiByte", &err)) {
    SetLastError(err);
    return 0;
  }
  UINT cp = Resolve(CodePage);
  if (cp == 0 || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
      cbMultiByte < 0 || (lpMultiByteStr == nullptr && cbMultiByte != 0) ||
      (cp == CP_UTF8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = 0;
  if (cchWideChar == -1) {
    while (lpWideCharStr[n] != 0) ++n;
    ++n;
  } else {
    n = static_cast<size_t>(cchWideChar);
  }
  bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
  std::string out;
  BOOL usedDefault = FALSE;
  std::string def = lpDefaultChar != nullptr ? std::string(lpDefaultChar) : std::string("?");
  size_t i = 0;
  while (i < n) {
    uint32_t c = NextCodePoint(lpWideCharStr, n, i);
    if (cp == CP_UTF8) {
      if (c == 0xFFFFFFFFu) {
        if (strict) {
          SetLastError(ERROR_NO_UNICODE_TRANSLATION);
          return 0;
        }
        c = 0xFFFD;
      }
      EncodeUtf8(c, out);
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    char buf[8];
    size_t outLen = sizeof(buf);
    unsigned char in[4] = {static_cast<unsigned char>(c), static_cast<unsigned char>(c >> 8),
                           static_cast<unsigned char>(c >> 16),
                           static_cast<unsigned char>(c >> 24)};
    if (c != 0xFFFFFFFFu &&
        IconvChar(cp, false, reinterpret_cast<const char*>(in), 4, buf, &outLen) && outLen > 0) {
      out.append(buf, outLen);
    } else if (cp == 1252 && (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D)) {
      out += static_cast<char>(c);
    } else {
      out += def;
      usedDefault = TRUE;
    }
  }
  if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = usedDefault;
  if (cbMultiByte == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(cbMultiByte)) {
    std::memcpy(lpMultiByteStr, out.data(), static_cast<size_t>(cbMultiByte));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (!out.empty()) std::memcpy(lpMultiByteStr, out.data(), out.size());
  return static_cast<int>(out.size());
}
