// The simulated code pages and WinInet themselves: results, sizes and errors
// as Windows reports them, and the peer controls that other suites rely on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/simctl.h"

namespace {

class SimCodePage : public ::testing::Test {
 protected:
  void SetUp() override { simwin::Reset(); }
};

std::wstring Units(std::initializer_list<unsigned> u) {
  std::wstring w;
  for (unsigned x : u) w += static_cast<wchar_t>(x);
  return w;
}

TEST_F(SimCodePage, MultiByteToWideCharSizesAndBuffers) {
  const char* gbk = "A\xD6\xD0";
  EXPECT_EQ(MultiByteToWideChar(936, 0, gbk, -1, nullptr, 0), 3);  // A, U+4E2D, terminator
  EXPECT_EQ(MultiByteToWideChar(936, 0, gbk, 3, nullptr, 0), 2);
  WCHAR out[3] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, gbk, -1, out, 3), 3);
  EXPECT_EQ(std::wstring(out, 2), Units({'A', 0x4E2D}));
  EXPECT_EQ(out[2], 0);
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(936, 0, gbk, -1, out, 2), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(MultiByteToWideChar(936, 0, gbk, 0, out, 3), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MultiByteToWideChar(874, 0, gbk, -1, out, 3), 0);  // not simulated
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(SimCodePage, Utf8DecodingHonoursTheStrictFlagAndUsesSurrogatePairs) {
  WCHAR out[8] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, out, 8), 2);
  EXPECT_EQ(std::wstring(out, 2), Units({0xD83D, 0xDE00}));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0,
                                "a\xC3"
                                "b",
                                3, out, 8),
            3);
  EXPECT_EQ(std::wstring(out, 3), Units({'a', 0xFFFD, 'b'}));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS,
                                "a\xC3"
                                "b",
                                3, out, 8),
            0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xED\xA0\x80", 3, out, 8),
            0);  // a surrogate
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC0\xAF", 2, out, 8),
            0);  // overlong
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xE4\xB8\xAD", 3, out, 8), 1);
  EXPECT_EQ(out[0], 0x4E2D);
}

TEST_F(SimCodePage, GbkLeadBytesAndUnmappableInput) {
  EXPECT_TRUE(IsDBCSLeadByteEx(936, 0x81));
  EXPECT_TRUE(IsDBCSLeadByteEx(CP_ACP, 0xFE));
  EXPECT_FALSE(IsDBCSLeadByteEx(936, 0x80));
  EXPECT_FALSE(IsDBCSLeadByteEx(936, 0xFF));
  EXPECT_FALSE(IsDBCSLeadByteEx(936, 'a'));
  EXPECT_FALSE(IsDBCSLeadByteEx(1252, 0xD6));
  WCHAR out[4] = {};
  // A lead byte before the terminator stands alone and keeps the terminator.
  EXPECT_EQ(MultiByteToWideChar(936, 0, "\x81", -1, out, 4), 2);
  EXPECT_EQ(out[0], '?');
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, "\x81", -1, out, 4), 0);
  // A lead with an invalid trail byte is one unmapped character.
  EXPECT_EQ(MultiByteToWideChar(936, 0, "\x81\x30", 2, out, 4), 1);
  EXPECT_EQ(MultiByteToWideChar(936, 0, "\x80", 1, out, 4), 1);
  EXPECT_EQ(out[0], 0x20AC);
}

TEST_F(SimCodePage, WideCharToMultiByteDefaultsAndInvalidUnits) {
  char out[16] = {};
  std::wstring zh = Units({0x4E2D, 0x6587, 0});
  EXPECT_EQ(WideCharToMultiByte(936, 0, zh.c_str(), -1, nullptr, 0, nullptr, nullptr), 5);
  EXPECT_EQ(WideCharToMultiByte(936, 0, zh.c_str(), -1, out, 16, nullptr, nullptr), 5);
  EXPECT_STREQ(out, "\xD6\xD0\xCE\xC4");
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, zh.c_str(), 2, out, 5, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  BOOL used = FALSE;
  std::wstring thai = Units({0x0E01});
  EXPECT_EQ(WideCharToMultiByte(936, 0, thai.c_str(), 1, out, 16, "*", &used), 1);
  EXPECT_EQ(out[0], '*');
  EXPECT_TRUE(used);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, thai.c_str(), 1, out, 16, nullptr, &used), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  std::wstring lone = Units({'a', 0xD800, 'b'});
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone.c_str(), 3, out, 16, nullptr, nullptr), 5);
  EXPECT_EQ(std::string(out, 5),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone.c_str(), 3, out, 16, nullptr,
                                nullptr),
            0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
  std::wstring smile = Units({0xD83D, 0xDE00});
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, smile.c_str(), 2, out, 16, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(out, 4), "\xF0\x9F\x98\x80");
}

TEST_F(SimCodePage, ActiveCodePageIsSettableAndResets) {
  EXPECT_EQ(GetACP(), 936u);
  simwin::SetActiveCodePage(1252);
  EXPECT_EQ(GetACP(), 1252u);
  WCHAR out[2] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xE9", 1, out, 2), 1);
  EXPECT_EQ(out[0], 0xE9);
  EXPECT_FALSE(IsDBCSLeadByteEx(CP_ACP, 0xD6));
  simwin::Reset();
  EXPECT_EQ(GetACP(), 936u);
  EXPECT_EQ(simwin::Utf8FromUtf16(simwin::Utf16FromUtf8("\xE4\xB8\xAD\xF0\x9F\x98\x80")),
            "\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_EQ(simwin::Utf16FromUtf8("\xF0\x9F\x98\x80").size(), 2u);
}

TEST_F(SimCodePage, FaultsHitTheConversions) {
  simwin::FailCall("MultiByteToWideChar", ERROR_NOT_ENOUGH_MEMORY);
  WCHAR out[4];
  EXPECT_EQ(MultiByteToWideChar(936, 0, "a", -1, out, 4), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(MultiByteToWideChar(936, 0, "a", -1, out, 4), 2);
}

class SimWinInet : public ::testing::Test {
 protected:
  void SetUp() override { simwin::Reset(); }
  // Opens a request on host:port.
  HINTERNET Open(const char* verb, const char* host = "h", INTERNET_PORT port = 80) {
    net = InternetOpenA("agent", 0, nullptr, nullptr, 0);
    conn = InternetConnectA(net, host, port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    return HttpOpenRequestA(conn, verb, "/x", nullptr, nullptr, nullptr, 0, 0);
  }
  void CloseAll(HINTERNET req) {
    InternetCloseHandle(req);
    InternetCloseHandle(conn);
    InternetCloseHandle(net);
    EXPECT_TRUE(simwin::OpenInternetHandles().empty());
  }
  HINTERNET net = nullptr, conn = nullptr;
};

TEST_F(SimWinInet, QueriesFollowWinInetConventions) {
  simwin::HttpReply r;
  r.status = 302;
  r.statusText = "Found";
  r.headers = {{"Location", "/y"}, {"X-Two", "a"}, {"X-Two", "b"}};
  r.body = "moved";
  simwin::ServeAt("H", 80, r);  // host names compare without case
  HINTERNET req = Open("GET");
  DWORD len = 4, num = 0;
  EXPECT_FALSE(
      HttpQueryInfoA(req, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &num, &len, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  ASSERT_TRUE(HttpSendRequestA(req, nullptr, 0, nullptr, 0));
  EXPECT_TRUE(
      HttpQueryInfoA(req, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &num, &len, nullptr));
  EXPECT_EQ(num, 302u);
  char text[64];
  len = sizeof text;
  EXPECT_TRUE(HttpQueryInfoA(req, HTTP_QUERY_STATUS_TEXT, text, &len, nullptr));
  EXPECT_STREQ(text, "Found");
  EXPECT_EQ(len, 5u);
  len = 3;
  EXPECT_FALSE(HttpQueryInfoA(req, HTTP_QUERY_STATUS_TEXT, text, &len, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(len, 6u);
  DWORD index = 0;
  std::strcpy(text, "x-two");
  len = sizeof text;
  EXPECT_TRUE(HttpQueryInfoA(req, HTTP_QUERY_CUSTOM, text, &len, &index));
  EXPECT_STREQ(text, "a");
  std::strcpy(text, "X-Two");
  len = sizeof text;
  EXPECT_TRUE(HttpQueryInfoA(req, HTTP_QUERY_CUSTOM, text, &len, &index));
  EXPECT_STREQ(text, "b");
  EXPECT_EQ(index, 2u);
  len = sizeof text;
  EXPECT_FALSE(HttpQueryInfoA(req, HTTP_QUERY_CONTENT_TYPE, text, &len, nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_HTTP_HEADER_NOT_FOUND);
  len = 4;
  EXPECT_TRUE(
      HttpQueryInfoA(req, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &num, &len, nullptr));
  EXPECT_EQ(num, 5u);
  CloseAll(req);
}

TEST_F(SimWinInet, PostBodyMustMatchItsAnnouncementAndStatesAreEnforced) {
  simwin::HttpReply ok;
  simwin::ServeAt("h", 80, ok);
  HINTERNET req = Open("POST");
  DWORD n = 0;
  EXPECT_FALSE(InternetWriteFile(req, "ab", 2, &n));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  INTERNET_BUFFERSA in = {};
  in.dwStructSize = sizeof in;
  in.dwBufferTotal = 4;
  ASSERT_TRUE(HttpSendRequestExA(req, &in, nullptr, 0, 0));
  ASSERT_TRUE(InternetWriteFile(req, "ab", 2, &n));
  EXPECT_EQ(n, 2u);
  EXPECT_FALSE(HttpEndRequestA(req, nullptr, 0, 0));  // two bytes still owed
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INTERNET_TIMEOUT);
  ASSERT_TRUE(InternetWriteFile(req, "cd", 2, &n));
  EXPECT_TRUE(HttpEndRequestA(req, nullptr, 0, 0));
  EXPECT_FALSE(InternetWriteFile(req, "e", 1, &n));
  auto q = simwin::HttpRequests().back();
  EXPECT_EQ(q.body, "abcd");
  EXPECT_EQ(q.writes, (std::vector<std::string>{"ab", "cd"}));
  EXPECT_EQ(q.version, "");
  EXPECT_FALSE(q.hasVersion);
  CloseAll(req);
}

TEST_F(SimWinInet, HeaderModifiersAddReplaceAndRefuse) {
  simwin::HttpReply ok;
  simwin::ServeAt("h", 80, ok);
  HINTERNET req = Open("GET");
  EXPECT_TRUE(HttpAddRequestHeadersA(req, "A: 1\r\nB: 2\r\n", (DWORD)-1, HTTP_ADDREQ_FLAG_ADD));
  EXPECT_TRUE(HttpAddRequestHeadersA(req, "A: 3\r\n", 6, HTTP_ADDREQ_FLAG_ADD));
  EXPECT_FALSE(HttpAddRequestHeadersA(req, "B: 4\r\n", 6, HTTP_ADDREQ_FLAG_ADD_IF_NEW));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_HTTP_HEADER_ALREADY_EXISTS);
  EXPECT_TRUE(HttpAddRequestHeadersA(req, "b: 5\r\n", 6, HTTP_ADDREQ_FLAG_REPLACE));
  EXPECT_FALSE(HttpAddRequestHeadersA(req, "no colon\r\n", 10, HTTP_ADDREQ_FLAG_ADD));
  auto q = simwin::HttpRequests().back();
  EXPECT_EQ(q.headerLines, (std::vector<std::string>{"A: 1", "A: 3", "b: 5"}));
  EXPECT_EQ(q.Header("a"), "1");
  EXPECT_EQ(q.HeaderCount("A"), 2u);
  EXPECT_EQ(q.headerCalls.size(), 5u);
  CloseAll(req);
}

TEST_F(SimWinInet, HandlerAnswersPerRequestAndCanRefuse) {
  int calls = 0;
  simwin::ServeAt("svc", 9006, [&](const simwin::HttpRequestRecord& q) {
    ++calls;
    simwin::HttpReply r;
    if (q.object == "/x" && q.verb == "DELETE") r.sendError = ERROR_INTERNET_CANNOT_CONNECT;
    r.body = q.verb;
    return r;
  });
  HINTERNET req = Open("PUT", "svc", 9006);
  ASSERT_TRUE(HttpSendRequestA(req, "X-Extra: 1\r\n", (DWORD)-1, const_cast<char*>("data"), 4));
  char buf[8];
  DWORD n = 0;
  ASSERT_TRUE(InternetReadFile(req, buf, sizeof buf, &n));
  EXPECT_EQ(std::string(buf, n), "PUT");
  EXPECT_EQ(simwin::HttpRequests().back().body, "data");
  EXPECT_EQ(simwin::HttpRequests().back().Header("X-Extra"), "1");
  CloseAll(req);
  req = Open("DELETE", "svc", 9006);
  EXPECT_FALSE(HttpSendRequestA(req, nullptr, 0, nullptr, 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INTERNET_CANNOT_CONNECT);
  EXPECT_EQ(calls, 2);
  CloseAll(req);
  simwin::StopServing("svc", 9006);
  req = Open("GET", "svc", 9006);
  EXPECT_FALSE(HttpSendRequestA(req, nullptr, 0, nullptr, 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INTERNET_CANNOT_CONNECT);
  CloseAll(req);
}

TEST_F(SimWinInet, HandlesAreTypedAndOptionsRemembered) {
  HINTERNET net = InternetOpenA("a", 0, nullptr, nullptr, 0);
  EXPECT_EQ(HttpOpenRequestA(net, "GET", "/", nullptr, nullptr, nullptr, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  EXPECT_FALSE(InternetCloseHandle(reinterpret_cast<HINTERNET>(0x1234)));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  DWORD t = 0, len = sizeof t;
  EXPECT_TRUE(InternetQueryOptionA(net, INTERNET_OPTION_RECEIVE_TIMEOUT, &t, &len));
  EXPECT_EQ(t, 60000u);
  t = 5000;
  EXPECT_TRUE(InternetSetOptionA(net, INTERNET_OPTION_RECEIVE_TIMEOUT, &t, sizeof t));
  t = 0;
  EXPECT_TRUE(InternetQueryOptionA(net, INTERNET_OPTION_RECEIVE_TIMEOUT, &t, &len));
  EXPECT_EQ(t, 5000u);
  auto opts = simwin::InternetOptions();
  ASSERT_EQ(opts.size(), 1u);
  EXPECT_EQ(opts[0].kind, "internet");
  EXPECT_EQ(simwin::OpenHandleCount("internet"), 1u);
  simwin::Reset();
  EXPECT_TRUE(simwin::OpenInternetHandles().empty());
  EXPECT_TRUE(simwin::InternetOptions().empty());
}

}  // namespace
