// Form/URL encoding with exact length functions, and the whole-string
// conversions between the active ANSI code page, UTF-16 and UTF-8.
#pragma once
#include <string>

#include "httpclient/errors.h"
#include "platform/win.h"

namespace Corvu {

class CHttpEncoderA {
 public:
  // One ANSI character (one byte, or lead and trail) plus terminator into
  // UTF-8 plus terminator; szUtf8Char holds at least 7 bytes.
  static void _AnsiCharToUtf8Char(LPSTR szUtf8Char, LPCSTR szAnsiChar, UINT CodePage);

  // UTF-8 bytes of the whole string, terminator not counted.
  static DWORD Utf8EncodeLenA(LPCSTR szStr, UINT CodePage);
  // New UTF-8 copy of the string, freed by the caller with free().
  static LPSTR Utf8EncodeA(LPCSTR szStr, UINT CodePage);

  // Byte-wise form encoding: letters and digits kept, space as "+", every
  // other byte as "%XX".
  static DWORD _UrlEncodeLen(LPCSTR szStr);
  static LPSTR _UrlEncode(LPSTR szBuff, LPCSTR szStr);

  // Length that UrlEncodeA writes, terminator not counted.
  static DWORD UrlEncodeLenA(LPCSTR szStr, BOOL bUtf8, UINT CodePage);
  // szBuff holds UrlEncodeLenA + 1 bytes.
  static LPSTR UrlEncodeA(LPSTR szBuff, LPCSTR szStr, BOOL bUtf8, UINT CodePage);
};

// Whole-string conversions; a null input gives an empty string, platform
// failures give a shorter or empty result.
std::string AnsiToUtf8(LPCSTR szText);
std::string Utf8ToAnsi(LPCSTR szText);
std::string WideToAnsi(const std::wstring& strWide);
std::string WideToUtf8(const std::wstring& strWide);
inline std::string AnsiToUtf8(const std::string& strText) { return AnsiToUtf8(strText.c_str()); }
inline std::string Utf8ToAnsi(const std::string& strText) { return Utf8ToAnsi(strText.c_str()); }

}  // namespace Corvu
