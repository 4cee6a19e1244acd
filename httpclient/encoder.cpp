// Form/URL encoding, UTF-8 conversion of ANSI text and the whole-string
// conversions of the program.
#include "httpclient/encoder.h"

#include <cstdlib>
#include <cstring>

#include "httpclient/httptool.h"
#include "httpclient/safeint.h"

namespace Corvu {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

bool IsKeptByte(BYTE by) {
  return (by >= 'A' && by <= 'Z') || (by >= 'a' && by <= 'z') || (by >= '0' && by <= '9');
}

// Length of the character at p: 2 for a lead byte followed by a
// non-terminator, else 1.
DWORD CharLen(LPCSTR p, UINT CodePage) {
  return (CHttpToolA::IsDBCSLeadByte(CodePage, static_cast<BYTE>(p[0])) && p[1] != '\0') ? 2 : 1;
}

// Copies one character with its terminator into szChar (3 bytes).
DWORD TakeChar(char* szChar, LPCSTR p, UINT CodePage) {
  DWORD n = CharLen(p, CodePage);
  szChar[0] = p[0];
  szChar[1] = n == 2 ? p[1] : '\0';
  szChar[2] = '\0';
  return n;
}

}  // namespace

void CHttpEncoderA::_AnsiCharToUtf8Char(LPSTR szUtf8Char, LPCSTR szAnsiChar, UINT CodePage) {
  if (szUtf8Char == nullptr || szAnsiChar == nullptr)
    RaiseErrorMessage(
        "CHttpEncoderA::_AnsiCharToUtf8Char: szUtf8Char and szAnsiChar can not be NULL.", 0);
  WCHAR wszChar[2] = {0, 0};  // a converter that eats the terminator leaves it 0
  if (::MultiByteToWideChar(CodePage, 0, szAnsiChar, -1, wszChar, 2) == 0)
    RaiseSystemError(HTTPCLIENT_ERR_MULTIBYTETOWIDECHAR_FAILED, ::GetLastError());
  if (::WideCharToMultiByte(CP_UTF8, 0, wszChar, 2, szUtf8Char, 7, nullptr, nullptr) == 0)
    RaiseSystemError(HTTPCLIENT_ERR_WIDECHARTOMULTIBYTE_FAILED, ::GetLastError());
}

DWORD CHttpEncoderA::Utf8EncodeLenA(LPCSTR szStr, UINT CodePage) {
  if (szStr == nullptr || szStr[0] == '\0') return 0;
  try {
    SafeDword cb = 0;
    char szChar[3], szUtf8[8];
    for (LPCSTR p = szStr; *p != '\0';) {
      p += TakeChar(szChar, p, CodePage);
      _AnsiCharToUtf8Char(szUtf8, szChar, CodePage);
      cb += SafeDword::From(std::strlen(szUtf8));
    }
    return cb.Value();
  } catch (const SafeIntException& e) {
    RaiseArithmeticError(e);
  }
}

LPSTR CHttpEncoderA::Utf8EncodeA(LPCSTR szStr, UINT CodePage) {
  DWORD cb = Utf8EncodeLenA(szStr, CodePage);
  DWORD cbBuff = 0;
  try {
    cbBuff = SafeDword::Add(cb, 1);
  } catch (const SafeIntException& e) {
    RaiseArithmeticError(e);
  }
  LPSTR szOut = static_cast<LPSTR>(std::malloc(cbBuff));
  if (szOut == nullptr) RaiseError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
  szOut[0] = '\0';
  if (cb == 0) return szOut;
  try {
    LPSTR q = szOut;
    char szChar[3], szUtf8[8];
    for (LPCSTR p = szStr; *p != '\0';) {
      p += TakeChar(szChar, p, CodePage);
      _AnsiCharToUtf8Char(szUtf8, szChar, CodePage);
      size_t n = std::strlen(szUtf8);
      if (static_cast<size_t>(q - szOut) + n > cb) break;  // never past the measured size
      std::memcpy(q, szUtf8, n);
      q += n;
    }
    *q = '\0';
  } catch (...) {
    std::free(szOut);
    throw;
  }
  return szOut;
}

DWORD CHttpEncoderA::_UrlEncodeLen(LPCSTR szStr) {
  if (szStr == nullptr) RaiseErrorMessage("_UrlEncodeLen: szStr can not be NULL.", 0);
  DWORD cb = 0;
  for (LPCSTR p = szStr; *p != '\0'; ++p) {
    if (cb == 0xFFFFFFFFu) RaiseError(HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW);
    ++cb;
    BYTE by = static_cast<BYTE>(*p);
    if (!IsKeptByte(by) && by != ' ') {
      if (cb > 0xFFFFFFFFu - 2) RaiseError(HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW);
      cb += 2;
    }
  }
  return cb;
}

LPSTR CHttpEncoderA::_UrlEncode(LPSTR szBuff, LPCSTR szStr) {
  LPSTR q = szBuff;
  for (LPCSTR p = szStr; *p != '\0'; ++p) {
    BYTE by = static_cast<BYTE>(*p);
    if (IsKeptByte(by)) {
      *q++ = static_cast<char>(by);
    } else if (by == ' ') {
      *q++ = '+';
    } else {
      *q++ = '%';
      *q++ = kHexDigits[by >> 4];
      *q++ = kHexDigits[by & 0x0F];
    }
  }
  *q = '\0';
  return szBuff;
}

DWORD CHttpEncoderA::UrlEncodeLenA(LPCSTR szStr, BOOL bUtf8, UINT CodePage) {
  if (szStr == nullptr || szStr[0] == '\0') return 0;
  if (!bUtf8) return _UrlEncodeLen(szStr);
  try {
    SafeDword cb = 0;
    char szChar[3], szUtf8[8];
    for (LPCSTR p = szStr; *p != '\0';) {
      p += TakeChar(szChar, p, CodePage);
      _AnsiCharToUtf8Char(szUtf8, szChar, CodePage);
      cb += _UrlEncodeLen(szUtf8);
    }
    return cb.Value();
  } catch (const SafeIntException& e) {
    RaiseArithmeticError(e);
  }
}

LPSTR CHttpEncoderA::UrlEncodeA(LPSTR szBuff, LPCSTR szStr, BOOL bUtf8, UINT CodePage) {
  if (szBuff == nullptr) RaiseErrorMessage("CHttpEncoderA::UrlEncodeA: szBuff can not be NULL.", 0);
  szBuff[0] = '\0';
  if (szStr == nullptr || szStr[0] == '\0') return szBuff;
  if (!bUtf8) return _UrlEncode(szBuff, szStr);
  LPSTR q = szBuff;
  char szChar[3], szUtf8[8];
  for (LPCSTR p = szStr; *p != '\0';) {
    p += TakeChar(szChar, p, CodePage);
    _AnsiCharToUtf8Char(szUtf8, szChar, CodePage);
    _UrlEncode(q, szUtf8);
    q += std::strlen(q);
  }
  return szBuff;
}

namespace {

std::wstring ToWide(UINT CodePage, LPCSTR szText) {
  std::wstring strWide;
  if (szText == nullptr) return strWide;
  int n = ::MultiByteToWideChar(CodePage, 0, szText, -1, nullptr, 0);
  if (n <= 1) return strWide;
  strWide.resize(static_cast<size_t>(n - 1));
  int m = ::MultiByteToWideChar(CodePage, 0, szText, -1, &strWide[0], n);
  // The converted text ends at the terminator it wrote; nothing on failure.
  strWide.resize(m > 0 ? static_cast<size_t>(m - 1) : 0);
  return strWide;
}

std::string FromWide(UINT CodePage, const std::wstring& strWide) {
  std::string strOut;
  if (strWide.empty() || strWide.size() > 0x7FFFFFFFu) return strOut;
  int cch = static_cast<int>(strWide.size());
  int n = ::WideCharToMultiByte(CodePage, 0, strWide.data(), cch, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return strOut;
  strOut.resize(static_cast<size_t>(n));
  int m = ::WideCharToMultiByte(CodePage, 0, strWide.data(), cch, &strOut[0], n, nullptr, nullptr);
  strOut.resize(m > 0 ? static_cast<size_t>(m) : 0);
  return strOut;
}

}  // namespace

std::string AnsiToUtf8(LPCSTR szText) { return WideToUtf8(ToWide(CP_ACP, szText)); }

std::string Utf8ToAnsi(LPCSTR szText) { return WideToAnsi(ToWide(CP_UTF8, szText)); }

std::string WideToAnsi(const std::wstring& strWide) { return FromWide(CP_ACP, strWide); }

std::string WideToUtf8(const std::wstring& strWide) { return FromWide(CP_UTF8, strWide); }

}  // namespace Corvu
