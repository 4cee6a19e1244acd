// Error model: message tables, exception copies, the raise functions and the
// guarded arithmetic.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "expect_raise.h"
#include "httpclient/httpclient.h"

using namespace Corvu;

namespace {

TEST(ErrorMessages, EveryDefinedCodeHasItsTextByteForByte) {
  struct {
    DWORD code;
    const char* text;
  } const table[] = {
      {0, "Not specified"},
      {100, "Unexpected error occurred."},
      {101, "The index is out of range."},
      {102, "Out of memory."},
      {103, "The requested URL is not a valid URL."},
      {104, "The post context is not started yet."},
      {105, "Couldn't read expected bytes from a file."},
      {106, "The post context has not been finished yet."},
      {107, "The port number is not valid."},
      {108, "std::exception occurred."},
      {109, "The encoded URL is not valid."},
      {110, "The UTF8 string contains an invalid character."},
      {111, "An unexpected arithmetic error has been occurred."},
      {112, "An arithmetic overflow error has been occurred."},
      {113, "An interger divide by zero exception has been occurred."},
      {114, "The file (%s) aleady exists."},
      {400, "::HttpQueryInfo failed."},
      {401, "::InternetReadFile failed."},
      {402, "::InternetOpen failed."},
      {403, "::InternetConnect failed."},
      {404, "::HttpOpenRequest failed."},
      {405, "::HttpAddRequestHeaders failed."},
      {406, "::HttpSendRequest failed."},
      {407, "::HttpSendRequestEx failed."},
      {408, "::InternetWriteFile failed."},
      {409, "::HttpEndRequest failed."},
      {410, "::InternetSetOption failed."},
      {600, "::WideCharToMultiByte failed."},
      {601, "::MultiByteToWideChar failed."},
      {602, "::ReadFile failed."},
      {603, "OpenFile (::CreateFile) failed (\"%s\")."},
      {604, "::SetFilePointer failed."},
      {605, "::GetFileSize failed (\"%s\")."},
      {606, "::WriteFile failed (\"%s\")."},
      {1000, "user-defined error message"},
      {4000000000u, "user-defined error message"},
  };
  for (const auto& e : table) EXPECT_STREQ(ErrorMessageOf(e.code), e.text) << e.code;
}

TEST(ErrorMessages, HundredsOfTheWideGroupsFoldOntoTheFirstEntry) {
  // 400 to 599 read the WinInet table at code mod 100, 600 to 999 the Win32
  // table: 500 is 400's text, 700, 800 and 900 are 600's.
  EXPECT_STREQ(ErrorMessageOf(500), ErrorMessageOf(400));
  EXPECT_STRNE(ErrorMessageOf(500), "Not specified");
  for (DWORD code : {700u, 800u, 900u})
    EXPECT_STREQ(ErrorMessageOf(code), "::WideCharToMultiByte failed.") << code;
  EXPECT_STREQ(ErrorMessageOf(805), "::GetFileSize failed (\"%s\").");
}

TEST(ErrorMessages, UndefinedCodesGiveATextAndNeverReadPastATable) {
  for (DWORD code : {1u, 99u, 115u, 199u, 200u, 399u, 411u, 599u, 607u, 999u}) {
    const char* text = ErrorMessageOf(code);
    ASSERT_NE(text, nullptr) << code;
    EXPECT_STREQ(text, "Not specified") << code;
  }
}

TEST(ErrorException, NullMessageReadsAsNULLAndCopiesOwnTheirText) {
  httpclientexceptionA empty(nullptr, 7, 9);
  EXPECT_STREQ(empty.ErrorMessage(), "NULL");
  EXPECT_STREQ(empty.what(), "NULL");
  EXPECT_EQ(empty.ErrorCode(), 7u);
  EXPECT_EQ(empty.SystemError(), 9u);

  std::string text = "message one";
  auto* original = new httpclientexceptionA(text.c_str(), 405, 12029);
  EXPECT_NE(original->ErrorMessage(), text.c_str());  // a private copy
  httpclientexceptionA copy(*original);
  EXPECT_NE(copy.ErrorMessage(), original->ErrorMessage());
  delete original;  // the copy keeps its own text
  EXPECT_STREQ(copy.ErrorMessage(), "message one");
  EXPECT_STREQ(copy.what(), "message one");
  EXPECT_EQ(copy.ErrorCode(), 405u);
  EXPECT_EQ(copy.SystemError(), 12029u);

  copy.SetErrorMessage(nullptr);
  EXPECT_STREQ(copy.ErrorMessage(), "NULL");
  const errmsg_exceptionA& base = copy;
  errmsg_exceptionA baseCopy(base);
  EXPECT_STREQ(baseCopy.ErrorMessage(), "NULL");
}

TEST(ErrorRaise, RaiseFunctionsCarryCodeMessageAndSystemError) {
  EXPECT_RAISES(RaiseError(104), 104, 0, "The post context is not started yet.");
  EXPECT_RAISES(RaiseErrorMessage("CHttpToolA::X: y can not be NULL.", 0), 0, 0,
                "CHttpToolA::X: y can not be NULL.");
  EXPECT_RAISES(RaiseSystemError(406, 12029), 406, 12029, "::HttpSendRequest failed.");
  EXPECT_RAISES(RaiseSystemError(605, 6, "C:\\up\\a.txt"), 605, 6,
                "::GetFileSize failed (\"C:\\up\\a.txt\").");
  // An argument given to a message without a format place is ignored.
  EXPECT_RAISES(RaiseSystemError(402, 5, "ignored"), 402, 5, "::InternetOpen failed.");
  // Exceptions are the standard kind too.
  try {
    RaiseError(102);
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Out of memory.");
  }
}

TEST(ErrorRaise, FormattedMessageIsCutAt511Characters) {
  std::string path(600, 'p');
  httptest::Raised r = httptest::Raise([&] { RaiseSystemError(605, 3, path.c_str()); });
  ASSERT_TRUE(r.raised);
  EXPECT_EQ(r.message.size(), 511u);
  EXPECT_EQ(r.message.substr(0, 21), "::GetFileSize failed ");
  EXPECT_EQ(r.code, 605u);
  EXPECT_EQ(r.system, 3u);
}

TEST(ErrorRaise, ArithmeticFailuresMapToTheirCodes) {
  EXPECT_RAISES(RaiseArithmeticError(SafeIntException(ERROR_ARITHMETIC_OVERFLOW)), 112, 0,
                "An arithmetic overflow error has been occurred.");
  EXPECT_RAISES(RaiseArithmeticError(SafeIntException(EXCEPTION_INT_DIVIDE_BY_ZERO)), 113, 0,
                "An interger divide by zero exception has been occurred.");
  EXPECT_RAISES(RaiseArithmeticError(SafeIntException(1)), 111, 0,
                "An unexpected arithmetic error has been occurred.");
}

DWORD CodeOf(void (*f)()) {
  try {
    f();
  } catch (const SafeIntException& e) {
    return e.Code();
  }
  return 0;
}

TEST(GuardedArithmetic, OverflowAndDivisionByZeroAreCaught) {
  EXPECT_EQ(SafeDword::Add(0xFFFFFFFEu, 1), 0xFFFFFFFFu);
  EXPECT_EQ(CodeOf([] { SafeDword::Add(0xFFFFFFFFu, 1); }), (DWORD)ERROR_ARITHMETIC_OVERFLOW);
  EXPECT_EQ(CodeOf([] { SafeDword::Sub(1, 2); }), (DWORD)ERROR_ARITHMETIC_OVERFLOW);
  EXPECT_EQ(CodeOf([] { SafeDword::Mul(0x10000u, 0x10000u); }), (DWORD)ERROR_ARITHMETIC_OVERFLOW);
  EXPECT_EQ(SafeDword::Mul(0xFFFFu, 0x10001u), 0xFFFFFFFFu);
  EXPECT_EQ(CodeOf([] { SafeDword::Div(5, 0); }), (DWORD)EXCEPTION_INT_DIVIDE_BY_ZERO);
  EXPECT_EQ(CodeOf([] { SafeDword::From(static_cast<unsigned long long>(0x100000000ull)); }),
            (DWORD)ERROR_ARITHMETIC_OVERFLOW);
  EXPECT_EQ(CodeOf([] {
              SafeDword a(0x80000000u);
              a += SafeDword(0x80000000u);
            }),
            (DWORD)ERROR_ARITHMETIC_OVERFLOW);
  SafeDword b(10);
  b -= SafeDword(3);
  b *= SafeDword(6);
  b /= SafeDword(7);
  EXPECT_EQ(b.Value(), 6u);
}

}  // namespace
