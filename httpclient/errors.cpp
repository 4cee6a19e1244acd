// Exceptions, default messages and raise functions of the Corvu library.
#include "httpclient/errors.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Corvu {

namespace {

const char* const kGeneralMessages[] = {"Not specified"};

const char* const kLibraryMessages[] = {
    "Unexpected error occurred.",
    "The index is out of range.",
    "Out of memory.",
    "The requested URL is not a valid URL.",
    "The post context is not started yet.",
    "Couldn't read expected bytes from a file.",
    "The post context has not been finished yet.",
    "The port number is not valid.",
    "std::exception occurred.",
    "The encoded URL is not valid.",
    "The UTF8 string contains an invalid character.",
    "An unexpected arithmetic error has been occurred.",
    "An arithmetic overflow error has been occurred.",
    "An interger divide by zero exception has been occurred.",
    "The file (%s) aleady exists.",
};

const char* const kWinInetMessages[] = {
    "::HttpQueryInfo failed.",   "::InternetReadFile failed.",  "::InternetOpen failed.",
    "::InternetConnect failed.", "::HttpOpenRequest failed.",   "::HttpAddRequestHeaders failed.",
    "::HttpSendRequest failed.", "::HttpSendRequestEx failed.", "::InternetWriteFile failed.",
    "::HttpEndRequest failed.",  "::InternetSetOption failed.",
};

const char* const kWin32Messages[] = {
    "::WideCharToMultiByte failed.",
    "::MultiByteToWideChar failed.",
    "::ReadFile failed.",
    "OpenFile (::CreateFile) failed (\"%s\").",
    "::SetFilePointer failed.",
    "::GetFileSize failed (\"%s\").",
    "::WriteFile failed (\"%s\").",
};

const char* const kUserMessage = "user-defined error message";
// No code of a group past its table's end is defined.
const char* const kUndefinedMessage = "Not specified";

template <size_t N>
const char* Lookup(const char* const (&table)[N], DWORD index) {
  return index < N ? table[index] : kUndefinedMessage;
}

}  // namespace

errmsg_exceptionA::errmsg_exceptionA(const errmsg_exceptionA& other)
    : std::exception(other), m_szMessage(nullptr) {
  if (this != &other) SetErrorMessage(other.ErrorMessage());
}

errmsg_exceptionA& errmsg_exceptionA::operator=(const errmsg_exceptionA& other) {
  if (this != &other) SetErrorMessage(other.m_szMessage);
  return *this;
}

errmsg_exceptionA::~errmsg_exceptionA() noexcept { std::free(m_szMessage); }

const char* errmsg_exceptionA::what() const noexcept { return ErrorMessage(); }

LPCSTR errmsg_exceptionA::ErrorMessage() const noexcept {
  return m_szMessage != nullptr ? m_szMessage : "NULL";
}

void errmsg_exceptionA::SetErrorMessage(LPCSTR szMessage) noexcept {
  std::free(m_szMessage);
  m_szMessage = nullptr;
  if (szMessage == nullptr) return;
  size_t n = std::strlen(szMessage) + 1;
  m_szMessage = static_cast<LPSTR>(std::malloc(n));
  if (m_szMessage != nullptr) std::memcpy(m_szMessage, szMessage, n);
}

httpclientexceptionA::httpclientexceptionA(LPCSTR szErrMsg, DWORD dwErrorCode, DWORD dwSystemError)
    : m_dwErrorCode(dwErrorCode), m_dwSystemError(dwSystemError) {
  if (szErrMsg != nullptr) SetErrorMessage(szErrMsg);
}

httpclientexceptionA::httpclientexceptionA(const httpclientexceptionA& other)
    : errmsg_exceptionA(other),
      m_dwErrorCode(other.m_dwErrorCode),
      m_dwSystemError(other.m_dwSystemError) {}

httpclientexceptionA& httpclientexceptionA::operator=(const httpclientexceptionA& other) {
  errmsg_exceptionA::operator=(other);
  m_dwErrorCode = other.m_dwErrorCode;
  m_dwSystemError = other.m_dwSystemError;
  return *this;
}

httpclientexceptionA::~httpclientexceptionA() noexcept {}

LPCSTR ErrorMessageOf(DWORD nErrorCode) {
  if (nErrorCode >= 1000) return kUserMessage;
  if (nErrorCode >= 600) return Lookup(kWin32Messages, nErrorCode % 100);
  if (nErrorCode >= 400) return Lookup(kWinInetMessages, nErrorCode % 100);
  if (nErrorCode >= 100 && nErrorCode < 200) return Lookup(kLibraryMessages, nErrorCode % 100);
  if (nErrorCode < 100) return Lookup(kGeneralMessages, nErrorCode);
  return kUndefinedMessage;
}

void RaiseError(DWORD nErrorCode) {
  throw httpclientexceptionA(ErrorMessageOf(nErrorCode), nErrorCode, 0);
}

void RaiseErrorMessage(LPCSTR szErrMsg, DWORD nErrorCode) {
  throw httpclientexceptionA(szErrMsg, nErrorCode, 0);
}

void RaiseSystemError(DWORD nErrorCode, DWORD dwSystemError, LPCSTR szArg) {
  LPCSTR szMessage = ErrorMessageOf(nErrorCode);
  if (szArg == nullptr) throw httpclientexceptionA(szMessage, nErrorCode, dwSystemError);
  char szBuff[512];
  // Only the library's own one-"%s" messages are used as formats here.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  int n = std::snprintf(szBuff, sizeof(szBuff), szMessage, szArg);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  if (n < 0) szBuff[0] = '\0';
  szBuff[sizeof(szBuff) - 1] = '\0';
  throw httpclientexceptionA(szBuff, nErrorCode, dwSystemError);
}

void RaiseArithmeticError(const SafeIntException& e) {
  DWORD nCode = HTTPCLIENT_ERR_UNEXPECTED_ARITHMETIC_ERROR;
  if (e.Code() == static_cast<DWORD>(EXCEPTION_INT_DIVIDE_BY_ZERO))
    nCode = HTTPCLIENT_ERR_INT_DIVIDE_BY_ZERO;
  else if (e.Code() == static_cast<DWORD>(ERROR_ARITHMETIC_OVERFLOW))
    nCode = HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW;
  RaiseError(nCode);
}

}  // namespace Corvu
