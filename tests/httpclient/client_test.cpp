// Client requests against the simulated WinInet: what goes on the wire for a
// GET, URL building, connection choices, argument checks and how platform
// failures are reported and cleaned up.
#include <memory>
#include <string>

#include "sim_fixture.h"

using namespace Corvu;
using httptest::kFlags;
using httptest::SimHttp;

namespace {

std::string GetUrl(CHttpClient& c, const char* url) {
  DWORD len = c.MakeGetUrlLen(url);
  std::unique_ptr<char[]> buf(new char[len + 1]);
  c.MakeGetUrl(buf.get(), url);
  EXPECT_EQ(std::strlen(buf.get()), len) << (url ? url : "(null)");
  return buf.get();
}

using ClientGet = SimHttp;

TEST_F(ClientGet, SendsOneRequestWithTheLibraryFixedValues) {
  CHttpClient c;
  c.SetInternetSettings(nullptr, 0, nullptr, nullptr, 0);
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h/pkg/a.exe", kFlags));
  ASSERT_TRUE(r);
  auto q = Last();
  EXPECT_EQ(q.agent, "Corvu HTTP Client Class");
  EXPECT_EQ(q.accessType, (DWORD)INTERNET_OPEN_TYPE_PRECONFIG);
  EXPECT_FALSE(q.hasProxy);
  EXPECT_FALSE(q.hasProxyBypass);
  EXPECT_EQ(q.host, "h");
  EXPECT_EQ(q.port, 80);
  EXPECT_EQ(q.service, (DWORD)INTERNET_SERVICE_HTTP);
  EXPECT_FALSE(q.hasUserName);
  EXPECT_EQ(q.verb, "GET");
  EXPECT_EQ(q.object, "/pkg/a.exe");
  EXPECT_EQ(q.version, "HTTP/1.1");
  EXPECT_FALSE(q.hasReferrer);
  EXPECT_EQ(q.acceptTypes, std::vector<std::string>{"*/*"});
  EXPECT_EQ(q.flags, 0x84400F00u);
  ASSERT_EQ(q.headerCalls.size(), 1u);
  EXPECT_EQ(q.headerCalls[0].text, "Cache-Control: no-cache\r\n");
  EXPECT_EQ(q.headerCalls[0].length, 25u);
  EXPECT_EQ(q.headerCalls[0].modifiers, (DWORD)HTTP_ADDREQ_FLAG_ADD);
  EXPECT_TRUE(q.sent);
  EXPECT_FALSE(q.sentEx);
  EXPECT_EQ(r->GetStatus(), 200u);
  EXPECT_EQ(ReadAll(*r), "{\"code\":0}");
  r.reset();
  EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"request", "connect", "internet"}));
}

TEST_F(ClientGet, SettingsReachInternetOpenAndCustomHeadersFollowCacheControl) {
  CHttpClient c;
  c.SetInternetSettings("Agent/2", INTERNET_OPEN_TYPE_PROXY, "proxy:8080", "<local>", 0x10);
  c.AddHeader("X-B", "2");
  c.AddHeader("x-a", nullptr);
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h/", kFlags));
  auto q = Last();
  EXPECT_EQ(q.agent, "Agent/2");
  EXPECT_EQ(q.accessType, (DWORD)INTERNET_OPEN_TYPE_PROXY);
  EXPECT_EQ(q.proxy, "proxy:8080");
  EXPECT_EQ(q.proxyBypass, "<local>");
  EXPECT_EQ(q.openFlags, 0x10u);
  EXPECT_EQ(q.headerLines,
            (std::vector<std::string>{"Cache-Control: no-cache", "x-a: ", "X-B: 2"}));
}

TEST_F(ClientGet, WithoutThePragmaFlagNoCacheControlIsAdded) {
  CHttpClient c;
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h/", INTERNET_FLAG_RELOAD));
  EXPECT_TRUE(Last().headerCalls.empty());
  EXPECT_EQ(Last().flags, INTERNET_FLAG_RELOAD);
}

TEST_F(ClientGet, ParametersAreAppendedAsAnEncodedQuery) {
  CHttpClient c;
  c.AddParam("b", "x y");
  c.AddParam("a", "1");
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h/p?q#f", kFlags));
  EXPECT_EQ(Last().object, "/p?q&a=1&b=x+y#f");
  EXPECT_EQ(c.ParamCount(), 2u);  // parameters stay after the request
}

using GetUrlBuilding = SimHttp;

TEST_F(GetUrlBuilding, ExamplesFromTheProtocol) {
  CHttpClient c;
  EXPECT_EQ(GetUrl(c, "s://h#f"), "s://h#f");  // no parameters: unchanged
  EXPECT_EQ(GetUrl(c, nullptr), "");
  c.AddParam("a", "1");
  c.AddParam("b", "x y");
  EXPECT_EQ(GetUrl(c, "s://h#f"), "s://h/?a=1&b=x+y#f");
  EXPECT_EQ(GetUrl(c, "s://h/p?q"), "s://h/p?q&a=1&b=x+y");
  EXPECT_EQ(GetUrl(c, "s://h"), "s://h/?a=1&b=x+y");
  EXPECT_EQ(GetUrl(c, "s://h:81/d/"), "s://h:81/d/?a=1&b=x+y");
  EXPECT_EQ(GetUrl(c, nullptr), "a=1&b=x+y");
  EXPECT_RAISES(c.MakeGetUrl(nullptr, "s://h"), 0, 0,
                "CHttpClientT::MakeGetUrl: szBuff can not be NULL.");
}

TEST_F(GetUrlBuilding, NullValuesAndEncodedNames) {
  CHttpClient c;
  c.AddParam("k k", nullptr);
  c.AddParam("z", "\xD6\xD0");
  EXPECT_EQ(GetUrl(c, "s://h/"), "s://h/?k+k=&z=%D6%D0");
  c.SetUseUtf8(TRUE);
  EXPECT_EQ(GetUrl(c, "s://h/"), "s://h/?k+k=&z=%E4%B8%AD");
}

TEST_F(GetUrlBuilding, ParametersFollowCaseInsensitiveNameOrder) {
  CHttpClient c;
  c.AddParam("b", "1");
  c.AddParam("A", "2");
  c.AddParam("a", "3");
  c.AddParam("B", "4");
  c.AddParam("_", "5");
  EXPECT_EQ(GetUrl(c, nullptr), "%5F=5&A=2&a=3&b=1&B=4");  // "_" sorts before the letters
}

using Connections = SimHttp;

TEST_F(Connections, HttpsInAnyCaseUsesPort443AndTheSecureFlag) {
  for (const char* url : {"https://h/x", "HTTPS://h/x", "hTtPs://h/x"}) {
    CHttpClient c;
    std::unique_ptr<CHttpResponse> r(c.SendGetRequest(url, kFlags));
    EXPECT_EQ(Last().port, 443) << url;
    EXPECT_EQ(Last().flags, kFlags | INTERNET_FLAG_SECURE) << url;
  }
  simwin::HttpReply ok;
  simwin::ServeAt("h", 80, ok);
  CHttpClient c;
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("httpsx://h/x", kFlags));
  EXPECT_EQ(Last().port, 80);
  EXPECT_EQ(Last().flags & INTERNET_FLAG_SECURE, 0u);
  // An empty port after the colon takes the scheme's default.
  std::unique_ptr<CHttpResponse> s(c.SendGetRequest("https://h:/x", kFlags));
  EXPECT_EQ(Last().port, 443);
  EXPECT_EQ(Last().flags, kFlags | INTERNET_FLAG_SECURE);
}

TEST_F(Connections, PortDigitsAreReadAsTheCRuntimeReadsThem) {
  simwin::HttpReply ok;
  simwin::ServeAt("h", 80, ok);
  simwin::ServeAt("h", 0, ok);
  CHttpClient c;
  // A sign and leading blanks are taken by strtoul; 0 is a number too.
  for (const char* url : {"http://h:+80/x", "http://h: 80/x"}) {
    std::unique_ptr<CHttpResponse> r(c.SendGetRequest(url, kFlags));
    EXPECT_EQ(Last().port, 80) << url;
  }
  // 0 is passed on, which WinInet reads as the service's default port.
  size_t before = simwin::HttpRequests().size();
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h:0/x", kFlags));
  EXPECT_EQ(simwin::HttpRequests().size(), before + 1);
  EXPECT_EQ(Last().port, 80);
  EXPECT_RAISES(c.SendGetRequest("http://h:+/x", kFlags), 107, 0, "The port number is not valid.");
}

TEST_F(Connections, ExplicitPortsAndObjectNames) {
  simwin::HttpReply ok;
  simwin::ServeAt("127.0.0.1", 28000, ok);
  simwin::ServeAt("127.0.0.1", 65535, ok);
  CHttpClient c;
  struct {
    const char* url;
    INTERNET_PORT port;
    const char* object;
  } const cases[] = {
      {"https://127.0.0.1:28000/api/getVersion", 28000, "/api/getVersion"},
      {"http://127.0.0.1:65535", 65535, "/"},
      {"http://h:", 80, "/"},
      {"http://h?x=1", 80, "/?x=1"},
      {"h/p", 80, "/p"},
      {"http://h#top", 80, "/#top"},
      {"https://h:443/a?b#c", 443, "/a?b#c"},
  };
  for (const auto& k : cases) {
    std::unique_ptr<CHttpResponse> r(c.SendGetRequest(k.url, kFlags));
    EXPECT_EQ(Last().port, k.port) << k.url;
    EXPECT_EQ(Last().object, k.object) << k.url;
  }
}

TEST_F(Connections, BadPortsAndMissingHostsAreRefusedBeforeConnecting) {
  CHttpClient c;
  for (const char* url :
       {"http://h:123456/", "http://h:8a/", "http://h:65536/", "http://h:-1/", "http://h:1:2/"}) {
    EXPECT_RAISES(c.SendGetRequest(url, kFlags), 107, 0, "The port number is not valid.");
  }
  for (const char* url : {"http:///p", "", "/p", "http://:80/"}) {
    EXPECT_RAISES(c.SendGetRequest(url, kFlags), 103, 0, "The requested URL is not a valid URL.");
  }
  EXPECT_RAISES(c.SendGetRequest(nullptr, kFlags), 103, 0, "The requested URL is not a valid URL.");
  EXPECT_TRUE(simwin::HttpRequests().empty());
  // Each failure closed the Internet handle it had opened.
  EXPECT_EQ(simwin::ClosedInternetHandles().size(), 10u);
}

TEST_F(Connections, ProxyAccountIsAppliedOnlyWithBothParts) {
  CHttpClient c;
  HINTERNET hNet = InternetOpenA("t", 0, nullptr, nullptr, 0);
  HINTERNET hConn = c.OpenConnection(hNet, "http://h/");
  EXPECT_TRUE(simwin::InternetOptions().empty());
  InternetCloseHandle(hConn);
  c.SetProxyAccount("user", "");
  hConn = c.OpenConnection(hNet, "http://h/");
  EXPECT_TRUE(simwin::InternetOptions().empty());
  InternetCloseHandle(hConn);
  c.SetProxyAccount("user", "secret");
  hConn = c.OpenConnection(hNet, "http://h/");
  auto opts = simwin::InternetOptions();
  ASSERT_EQ(opts.size(), 2u);
  EXPECT_EQ(opts[0].option, (DWORD)INTERNET_OPTION_PROXY_USERNAME);
  EXPECT_EQ(opts[0].bytes, "user");
  EXPECT_EQ(opts[0].kind, "connect");
  EXPECT_EQ(opts[1].option, (DWORD)INTERNET_OPTION_PROXY_PASSWORD);
  EXPECT_EQ(opts[1].bytes, "secret");
  InternetCloseHandle(hConn);
  // A failing option closes the connection it had just opened.
  simwin::FailCall("InternetSetOptionA", ERROR_INTERNET_INVALID_OPTION);
  EXPECT_RAISES(c.OpenConnection(hNet, "http://h/"), 410, ERROR_INTERNET_INVALID_OPTION,
                "::InternetSetOption failed.");
  InternetCloseHandle(hNet);
}

using ArgumentChecks = SimHttp;

TEST_F(ArgumentChecks, ToolLayerNamesClassOperationAndComplaint) {
  HINTERNET hNet = InternetOpenA("t", 0, nullptr, nullptr, 0);
  EXPECT_RAISES(CHttpToolA::OpenConnection(nullptr, "h", 80), 0, 0,
                "CHttpToolA::OpenConnection: hInternet can not be NULL.");
  EXPECT_RAISES(CHttpToolA::OpenConnection(hNet, nullptr, 80), 0, 0,
                "CHttpToolA::OpenConnection: szServerAddr can not be NULL.");
  EXPECT_RAISES(CHttpToolA::OpenConnection(hNet, "", 80), 0, 0,
                "CHttpToolA::OpenConnection: szServerAddr can not be an empty string.");
  EXPECT_RAISES(CHttpToolA::OpenRequest(nullptr, "GET", "/", 0), 0, 0,
                "CHttpToolA::OpenRequest: hConnection can not be NULL.");
  HINTERNET hConn = CHttpToolA::OpenConnection(hNet, "h", 80);
  EXPECT_RAISES(CHttpToolA::OpenRequest(hConn, "GET", nullptr, 0), 0, 0,
                "CHttpToolA::OpenRequest: szObjectName can not be NULL.");
  EXPECT_RAISES(CHttpToolA::OpenRequest(hConn, "GET", "", 0), 0, 0,
                "CHttpToolA::OpenRequest: szObjectName can not be an empty string.");
  EXPECT_RAISES(CHttpToolA::AddHeader(nullptr, "a", "b"), 0, 0,
                "CHttpToolA::AddHeader: hRequest can not be NULL.");
  HINTERNET hReq = CHttpToolA::OpenRequest(hConn, "GET", "/", 0);
  EXPECT_RAISES(CHttpToolA::AddHeader(hReq, nullptr, "b"), 0, 0,
                "CHttpToolA::AddHeader: szName can not be NULL.");
  EXPECT_RAISES(CHttpToolA::SendRequest(nullptr), 0, 0,
                "CHttpToolA::SendRequest: hRequest can not be NULL.");
  EXPECT_RAISES(CHttpToolA::SendRequestEx(nullptr, 1), 0, 0,
                "CHttpToolA::SendRequestEx: hRequest can not be NULL.");
  BYTE b = 0;
  EXPECT_RAISES(CHttpToolA::InternetWriteFile(nullptr, &b, 1), 0, 0,
                "CHttpToolA::InternetWriteFile: hRequest can not be NULL.");
  EXPECT_RAISES(CHttpToolA::EndRequest(nullptr), 0, 0,
                "CHttpToolA::EndRequest: hRequest can not be NULL.");
  EXPECT_RAISES(CHttpToolA::GetFileSize(nullptr, "p"), 0, 0,
                "CHttpToolA::GetFileSize: hFile can not be NULL.");
  HANDLE hFile = simwin::MemoryFile("abc");
  EXPECT_RAISES(CHttpToolA::GetFileSize(hFile, nullptr), 0, 0,
                "CHttpToolA::GetFileSize: szFilePath can not be NULL.");
  EXPECT_EQ(CHttpToolA::GetFileSize(hFile, "p"), 3u);
  CloseHandle(hFile);
  // None of the checks reached the platform.
  EXPECT_TRUE(Last().headerCalls.empty());
  EXPECT_EQ(simwin::OpenInternetHandles().size(), 3u);
  CHttpToolA::CloseInternetHandle(hReq);
  CHttpToolA::CloseInternetHandle(hConn);
  CHttpToolA::CloseInternetHandle(hNet);
}

TEST_F(ArgumentChecks, ClientOperationsRefuseNullHandles) {
  CHttpClient c;
  EXPECT_RAISES(c.OpenConnection(nullptr, "http://h/"), 0, 0,
                "CHttpClientT::OpenConnection: hInternet can not be NULL.");
  EXPECT_RAISES(c.ApplyProxyAccount(nullptr), 0, 0,
                "CHttpClientT::ApplyProxyAccount: hConnection can not be NULL.");
  EXPECT_RAISES(c.OpenRequest(nullptr, "GET", "http://h/", 0), 0, 0,
                "CHttpClientT::OpenRequest: hConnection can not be NULL.");
  EXPECT_RAISES(c.AddRequestHeader(nullptr), 0, 0,
                "CHttpClientT::AddRequestHeader: hRequest can not be NULL.");
  CHttpClientMap m;
  EXPECT_RAISES(m.Add(nullptr, "v"), 0, 0, "CHttpClientMapT::Add: szName can not be NULL.");
  EXPECT_RAISES(m.AddPointerDirectly(nullptr, nullptr), 0, 0,
                "CHttpClientMapT::AddPointerDirectly: szName can not be NULL.");
  EXPECT_EQ(m.Count(), 0u);
  CHttpResponse empty(nullptr, nullptr, nullptr);
  DWORD len = 5;
  BYTE buf[4];
  EXPECT_RAISES(empty.GetStatus(), 0, 0, "CHttpResponseT::GetStatus: m_hRequest can not be NULL.");
  EXPECT_RAISES(empty.GetContentLength(len), 0, 0,
                "CHttpResponseT::GetContentLength: m_hRequest can not be NULL.");
  EXPECT_RAISES(empty.ReadContent(buf, 4), 0, 0,
                "CHttpResponseT::ReadContent: m_hRequest can not be NULL.");
}

TEST_F(ArgumentChecks, HeaderLinesAreExactAndAddedNotReplaced) {
  HINTERNET hNet = InternetOpenA("t", 0, nullptr, nullptr, 0);
  HINTERNET hConn = CHttpToolA::OpenConnection(hNet, "h", 80);
  HINTERNET hReq = CHttpToolA::OpenRequest(hConn, "GET", "/", 0);
  CHttpToolA::AddHeader(hReq, "Cache-Control", "no-cache");
  CHttpToolA::AddHeader(hReq, "Cache-Control", nullptr);
  CHttpToolA::AddHeader(hReq, "X", "");
  auto q = Last();
  ASSERT_EQ(q.headerCalls.size(), 3u);
  EXPECT_EQ(q.headerCalls[0].text, "Cache-Control: no-cache\r\n");
  EXPECT_EQ(q.headerCalls[0].length, 25u);
  EXPECT_EQ(q.headerCalls[1].text, "Cache-Control: \r\n");
  EXPECT_EQ(q.headerCalls[1].length, 17u);
  EXPECT_EQ(q.headerCalls[2].text, "X: \r\n");
  EXPECT_EQ(q.HeaderCount("cache-control"), 2u);
  CHttpToolA::CloseInternetHandle(hReq);
  EXPECT_EQ(hReq, nullptr);
  CHttpToolA::CloseInternetHandle(hReq);  // harmless the second time
  CHttpToolA::CloseInternetHandle(hConn);
  CHttpToolA::CloseInternetHandle(hNet);
  EXPECT_EQ(simwin::ClosedInternetHandles().size(), 3u);
}

TEST_F(ArgumentChecks, SafeStrLenTakesNull) {
  EXPECT_EQ(CHttpToolA::SafeStrLen(nullptr), 0u);
  EXPECT_EQ(CHttpToolA::SafeStrLen(""), 0u);
  EXPECT_EQ(CHttpToolA::SafeStrLen("abc"), 3u);
}

struct FailCase {
  const char* api;
  DWORD error;
  DWORD code;
  const char* message;
};

class GetFailures : public SimHttp, public ::testing::WithParamInterface<FailCase> {};

TEST_P(GetFailures, EachPlatformFailureRaisesItsCodeAndLeavesNothingOpen) {
  const FailCase& k = GetParam();
  simwin::FailCall(k.api, k.error);
  CHttpClient c;
  c.AddParam("a", "1");
  EXPECT_RAISES(c.SendGetRequest("http://h/p", kFlags), k.code, k.error, k.message);
  EXPECT_TRUE(simwin::OpenInternetHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Calls, GetFailures,
    ::testing::Values(
        FailCase{"InternetOpenA", ERROR_NOT_ENOUGH_MEMORY, 402, "::InternetOpen failed."},
        FailCase{"InternetConnectA", ERROR_INTERNET_NAME_NOT_RESOLVED, 403,
                 "::InternetConnect failed."},
        FailCase{"HttpOpenRequestA", ERROR_INTERNET_INVALID_URL, 404, "::HttpOpenRequest failed."},
        FailCase{"HttpAddRequestHeadersA", ERROR_INVALID_PARAMETER, 405,
                 "::HttpAddRequestHeaders failed."},
        FailCase{"HttpSendRequestA", ERROR_INTERNET_CANNOT_CONNECT, 406,
                 "::HttpSendRequest failed."},
        FailCase{"HttpSendRequestA", ERROR_INTERNET_INVALID_CA, 406, "::HttpSendRequest failed."},
        FailCase{"HttpSendRequestA", ERROR_INTERNET_SEC_CERT_REV_FAILED, 406,
                 "::HttpSendRequest failed."}),
    [](const ::testing::TestParamInfo<FailCase>& i) {
      return std::string(i.param.api) + "_" + std::to_string(i.param.error);
    });

TEST_F(ClientGet, NothingServedFailsAtTheSendAsARefusedConnection) {
  CHttpClient c;
  EXPECT_RAISES(c.SendGetRequest("http://127.0.0.1:1/", kFlags), 406, ERROR_INTERNET_CANNOT_CONNECT,
                "::HttpSendRequest failed.");
  simwin::HttpReply cert;
  cert.sendError = ERROR_INTERNET_SEC_CERT_CN_INVALID;
  simwin::ServeAt("h", 443, cert);
  EXPECT_RAISES(c.SendGetRequest("https://h/", kFlags), 406, ERROR_INTERNET_SEC_CERT_CN_INVALID,
                "::HttpSendRequest failed.");
  EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"request", "connect", "internet", "request",
                                                     "connect", "internet"}));
}

TEST_F(ClientGet, BoundaryIsFreshPerClientAndItsAbsenceIsNoFailure) {
  CHttpClient a, b;
  ASSERT_NE(a.GetBoundary(), nullptr);
  std::string s = a.GetBoundary();
  EXPECT_EQ(s.size(), 43u);
  EXPECT_EQ(s.substr(0, 10), "----TOVRA-");
  EXPECT_EQ(s.back(), '-');
  EXPECT_EQ(s.substr(10, 32).find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(s, std::string(b.GetBoundary()));
  EXPECT_EQ(std::string(a.GetUploadContType()), "multipart/form-data; boundary=" + s);

  simwin::FailCall("CoCreateGuid", (DWORD)E_FAIL);
  EXPECT_EQ(CHttpToolA::GenerateBoundary(), nullptr);
  simwin::FailCall("CoCreateGuid", (DWORD)E_FAIL);
  CHttpClient none;
  EXPECT_EQ(none.GetBoundary(), nullptr);
  EXPECT_EQ(none.GetUploadContType(), nullptr);
  std::unique_ptr<CHttpResponse> r(none.SendGetRequest("http://h/", kFlags));
  EXPECT_EQ(r->GetStatus(), 200u);
}

TEST_F(ClientGet, GuidFieldsAreFormattedInOrder) {
  simwin::SeedGuids(42);
  GUID g;
  ASSERT_EQ(CoCreateGuid(&g), S_OK);
  // Each field's digits, most significant first, zero-filled to its width.
  auto hex = [](uint32_t v, int digits) {
    std::string out(digits, '0');
    for (int i = digits - 1; i >= 0; --i, v >>= 4) out[i] = "0123456789abcdef"[v & 15];
    return out;
  };
  std::string want = "----TOVRA-" + hex(g.Data1, 8) + hex(g.Data2, 4) + hex(g.Data3, 4);
  for (unsigned char byte : g.Data4) want += hex(byte, 2);
  want += "-";
  ASSERT_EQ(want.size(), 43u);
  simwin::SeedGuids(42);
  char* b = CHttpToolA::GenerateBoundary();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(std::string(b), want);
  std::free(b);
}

}  // namespace
