// Error model of the Corvu HTTP client: one exception type carrying a message,
// a library code and the Win32 last error, the default message tables and the
// raise functions every failure path goes through.
#pragma once
#include <exception>

#include "httpclient/safeint.h"
#include "platform/win.h"

namespace Corvu {

class errmsg_exceptionA : public std::exception {
 public:
  errmsg_exceptionA() : m_szMessage(nullptr) {}
  errmsg_exceptionA(const errmsg_exceptionA& other);
  errmsg_exceptionA& operator=(const errmsg_exceptionA& other);
  virtual ~errmsg_exceptionA() noexcept;

  const char* what() const noexcept override;
  virtual LPCSTR ErrorMessage() const noexcept;
  // Replaces the message with a private copy of szMessage (null clears it).
  // An allocation failure leaves the message null and raises nothing.
  virtual void SetErrorMessage(LPCSTR szMessage) noexcept;

 protected:
  LPSTR m_szMessage;
};

class httpclientexceptionA : public errmsg_exceptionA {
 public:
  httpclientexceptionA(LPCSTR szErrMsg = nullptr, DWORD dwErrorCode = 0, DWORD dwSystemError = 0);
  httpclientexceptionA(const httpclientexceptionA& other);
  httpclientexceptionA& operator=(const httpclientexceptionA& other);
  virtual ~httpclientexceptionA() noexcept;

  DWORD ErrorCode() const noexcept { return m_dwErrorCode; }
  DWORD SystemError() const noexcept { return m_dwSystemError; }

 protected:
  DWORD m_dwErrorCode;
  DWORD m_dwSystemError;
};

// Library error codes.
enum : DWORD {
  HTTPCLIENT_ERR_NOT_SPECIFIED = 0,
  HTTPCLIENT_ERR_UNEXPECTED_ERROR = 100,
  HTTPCLIENT_ERR_OUT_OF_RANGE = 101,
  HTTPCLIENT_ERR_OUT_OF_MEMORY = 102,
  HTTPCLIENT_ERR_INVALID_URL = 103,
  HTTPCLIENT_ERR_POST_NOT_STARTED = 104,
  HTTPCLIENT_ERR_READ_UNEXPECTED_SIZE = 105,
  HTTPCLIENT_ERR_POST_NOT_FINISHED = 106,
  HTTPCLIENT_ERR_INVALID_PORT = 107,
  HTTPCLIENT_ERR_STD_EXCEPTION = 108,
  HTTPCLIENT_ERR_ENCODED_URL_NOT_VALID = 109,
  HTTPCLIENT_ERR_INVALID_UTF8_CHARACTER = 110,
  HTTPCLIENT_ERR_UNEXPECTED_ARITHMETIC_ERROR = 111,
  HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW = 112,
  HTTPCLIENT_ERR_INT_DIVIDE_BY_ZERO = 113,
  HTTPCLIENT_ERR_FILE_ALEADY_EXISTS = 114,

  HTTPCLIENT_ERR_HTTPQUERYINFO_FAILED = 400,
  HTTPCLIENT_ERR_INTERNETREADFILE_FAILED = 401,
  HTTPCLIENT_ERR_INTERNETOPEN_FAILED = 402,
  HTTPCLIENT_ERR_INTERNETCONNECT_FAILED = 403,
  HTTPCLIENT_ERR_HTTPOPENREQUEST_FAILED = 404,
  HTTPCLIENT_ERR_HTTPADDREQUESTHEADERS_FAILED = 405,
  HTTPCLIENT_ERR_HTTPSENDREQUEST_FAILED = 406,
  HTTPCLIENT_ERR_HTTPSENDREQUESTEX_FAILED = 407,
  HTTPCLIENT_ERR_INTERNETWRITEFILE_FAILED = 408,
  HTTPCLIENT_ERR_HTTPENDREQUEST_FAILED = 409,
  HTTPCLIENT_ERR_INTERNETSETOPTION_FAILED = 410,

  HTTPCLIENT_ERR_WIDECHARTOMULTIBYTE_FAILED = 600,
  HTTPCLIENT_ERR_MULTIBYTETOWIDECHAR_FAILED = 601,
  HTTPCLIENT_ERR_READFILE_FAILED = 602,
  HTTPCLIENT_ERR_OPENFILE_FAILED = 603,
  HTTPCLIENT_ERR_SETFILEPOINTER_FAILED = 604,
  HTTPCLIENT_ERR_GETFILESIZE_FAILED = 605,
  HTTPCLIENT_ERR_WRITEFILE_FAILED = 606,

  HTTPCLIENT_ERR_USER = 1000,
};

// Default message of a library code.
LPCSTR ErrorMessageOf(DWORD nErrorCode);

// Each raises httpclientexceptionA and never returns.
[[noreturn]] void RaiseError(DWORD nErrorCode);
[[noreturn]] void RaiseErrorMessage(LPCSTR szErrMsg, DWORD nErrorCode);
// The default message of nErrorCode, formatted with szArg when szArg is not
// null (at most 511 characters), with dwSystemError as the system error.
[[noreturn]] void RaiseSystemError(DWORD nErrorCode, DWORD dwSystemError, LPCSTR szArg = nullptr);
// 113 for a division by zero, 112 for an overflow, 111 for anything else.
[[noreturn]] void RaiseArithmeticError(const SafeIntException& e);

}  // namespace Corvu
