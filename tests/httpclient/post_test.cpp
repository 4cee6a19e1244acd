// Form POSTs step by step, the POST context and its counters, responses, and
// the multipart step on a context set up by hand.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "sim_fixture.h"

using namespace Corvu;
using httptest::kFlags;
using httptest::SimHttp;

namespace {

using FormPost = SimHttp;

TEST_F(FormPost, JsonFieldIsAnnouncedAndSentPercentEncoded) {
  CHttpClient c;
  c.AddParam("requestStr", "{\"k\": 1}");
  c.BeginFormPost(nullptr, "http://h:80/softServer/req", kFlags);
  EXPECT_EQ(c.PostStat().ActualTotalByte(), 29u);
  EXPECT_EQ(Last().announcedLength, 29u);
  EXPECT_EQ(Last().buffersStructSize, sizeof(INTERNET_BUFFERSA));  // 40 in the 32-bit program
  EXPECT_TRUE(Last().writes.empty());                              // announced before any body byte
  std::unique_ptr<CHttpResponse> r(RunPost(c));
  ASSERT_TRUE(r);
  auto q = Last();
  EXPECT_EQ(q.body, "requestStr=%7B%22k%22%3A+1%7D");
  EXPECT_EQ(q.verb, "POST");
  EXPECT_EQ(q.object, "/softServer/req");
  EXPECT_EQ(q.agent, "Corvu HTTP Client Class");
  EXPECT_TRUE(q.ended);
  EXPECT_EQ(q.headerLines,
            (std::vector<std::string>{"Cache-Control: no-cache",
                                      "Content-Type: application/x-www-form-urlencoded"}));
  EXPECT_FALSE(c.IsPostContextActive());
}

TEST_F(FormPost, TwoParametersTakeFourStepsWithTheirExactWrites) {
  CHttpClient c;
  c.AddParam("y", "");
  c.AddParam("x", "1");
  c.BeginFormPost(nullptr, "http://h/", kFlags);
  EXPECT_EQ(c.PostStat().TotalCount(), 2u);
  EXPECT_EQ(c.ProceedPost(), nullptr);
  EXPECT_EQ(Last().writes, (std::vector<std::string>{"x", "="}));
  EXPECT_EQ(std::string(c.PostStat().CurrParamName()), "x");
  EXPECT_EQ(c.PostStat().CurrParamRemainByte(), 1u);
  EXPECT_EQ(c.ProceedPost(), nullptr);
  EXPECT_EQ(Last().writes.back(), "1");
  EXPECT_TRUE(c.PostStat().CurrParamIsComplete());
  EXPECT_EQ(c.ProceedPost(), nullptr);
  EXPECT_EQ(Last().writes, (std::vector<std::string>{"x", "=", "1", "&", "y", "="}));
  EXPECT_EQ(c.PostStat().PostedCount(), 2u);
  EXPECT_EQ(c.PostStat().ActualPostedByte(), c.PostStat().ActualTotalByte());
  EXPECT_EQ(c.PostStat().ActualPostedByte(), 6u);
  std::unique_ptr<CHttpResponse> r(c.ProceedPost());
  ASSERT_TRUE(r);
  EXPECT_EQ(Last().body, "x=1&y=");
  EXPECT_EQ(Last().announcedLength, 6u);
}

TEST_F(FormPost, LongValuesGoOutInPiecesOf1024Bytes) {
  CHttpClient c;
  c.AddParam("v", std::string(2500, 'a').c_str());
  c.BeginFormPost(nullptr, "http://h/", kFlags);
  int steps = 0;
  std::unique_ptr<CHttpResponse> r(RunPost(c, &steps));
  auto q = Last();
  ASSERT_EQ(q.writes.size(), 5u);
  EXPECT_EQ(q.writes[2].size(), 1024u);
  EXPECT_EQ(q.writes[3].size(), 1024u);
  EXPECT_EQ(q.writes[4].size(), 452u);
  EXPECT_EQ(steps, 5);  // start, three pieces, end
  EXPECT_EQ(q.body.size(), q.announcedLength);
  // Encoded bytes are what is counted: 1000 spaces -> 1000 "+", 700 "-" -> 2100 bytes.
  CHttpClient d;
  d.AddParam("w", (std::string(1000, ' ') + std::string(700, '-')).c_str());
  d.BeginFormPost(nullptr, "http://h/", kFlags);
  EXPECT_EQ(d.PostStat().ActualTotalByte(), 2u + 3100u);
  r.reset(RunPost(d));
  EXPECT_EQ(Last().body.size(), 3102u);
  EXPECT_EQ(Last().writes.size(), 2u + 4u);  // name, "=", 1024, 1024, 1024, 28
}

TEST_F(FormPost, NoParametersAnnounceZeroAndTheFirstStepEnds) {
  CHttpClient c;
  c.BeginFormPost(nullptr, "http://h/", kFlags);
  EXPECT_EQ(Last().announcedLength, 0u);
  std::unique_ptr<CHttpResponse> r(c.ProceedPost());
  ASSERT_TRUE(r);
  EXPECT_TRUE(Last().writes.empty());
  EXPECT_TRUE(Last().ended);
}

TEST_F(FormPost, BodyFollowsMapOrderAndAnnouncedLengthMatchesOnRandomParameters) {
  const char* names[] = {"b", "A", "a", "requestStr", "\xD6\xD0", "k k"};
  const char* values[] = {"1", nullptr, "x y", "{\"softList\":[]}", "\xCE\xC4", ""};
  for (int utf8 = 0; utf8 < 2; ++utf8) {
    CHttpClient c;
    c.SetUseUtf8(utf8);
    for (int i = 0; i < 6; ++i) c.AddParam(names[i], values[i]);
    c.BeginFormPost(nullptr, "http://h/", kFlags);
    std::unique_ptr<CHttpResponse> r(RunPost(c));
    auto q = Last();
    EXPECT_EQ(q.body.size(), q.announcedLength);
    if (!utf8)
      EXPECT_EQ(q.body, "A=&a=x+y&b=1&k+k=&requestStr=%7B%22softList%22%3A%5B%5D%7D&%D6%D0=%CE%C4");
    else
      EXPECT_EQ(q.body,
                "A=&a=x+y&b=1&k+k=&requestStr=%7B%22softList%22%3A%5B%5D%7D&%E4%B8%AD=%E6%96%87");
  }
}

TEST_F(FormPost, ShortWritesAreResumedUntilEveryByteIsTaken) {
  simwin::SetMaxWriteChunk(7);
  CHttpClient c;
  c.AddParam("requestStr", "{\"k\": 1}");
  c.BeginFormPost(nullptr, "http://h/", kFlags);
  std::unique_ptr<CHttpResponse> r(RunPost(c));
  auto q = Last();
  EXPECT_EQ(q.body, "requestStr=%7B%22k%22%3A+1%7D");
  EXPECT_EQ(q.writes[0], "request");
  EXPECT_EQ(q.writes[1], "Str");
  for (const auto& w : q.writes) EXPECT_LE(w.size(), 7u);
}

TEST_F(FormPost, AWriteThatTakesNothingFailsInsteadOfLoopingForever) {
  CHttpClient c;
  c.AddParam("requestStr", "{}");
  c.BeginFormPost(nullptr, "http://h/", kFlags);
  simwin::StallWrites(true);
  EXPECT_RAISES(c.ProceedPost(), 408, ERROR_INTERNET_CONNECTION_ABORTED,
                "::InternetWriteFile failed.");
  EXPECT_FALSE(c.IsPostContextActive());
}

// WinInet answers a login challenge to a request sent with HttpSendRequestEx
// by failing HttpEndRequest with ERROR_INTERNET_FORCE_RETRY: the same request
// goes again on its handle, body and all, at most twice more (NTLM's two
// rounds); one more request for it fails as a failed end does.
TEST_F(FormPost, ALoginChallengeSendsTheSameRequestAgainAtMostTwice) {
  const std::string kValue(1500, 'a');  // two pieces
  const std::string kBody = "requestStr=" + kValue + "&x=1";
  for (int nRounds : {1, 2, 3}) {
    SCOPED_TRACE(nRounds);
    simwin::Reset();
    simwin::HttpReply login;
    login.body = "ok";
    login.loginRounds = nRounds;
    simwin::ServeAt("h", 80, login);
    CHttpClient c;
    c.AddParam("requestStr", kValue.c_str());
    c.AddParam("x", "1");
    c.BeginFormPost(nullptr, "http://h/softServer/req", kFlags);
    const size_t nSends = nRounds <= 2 ? nRounds + 1 : 3;
    if (nRounds <= 2) {
      std::unique_ptr<CHttpResponse> r(RunPost(c));
      ASSERT_TRUE(r);
      EXPECT_EQ(ReadAll(*r), "ok");
      EXPECT_EQ(c.PostResendCount(), static_cast<DWORD>(nRounds));
    } else {
      EXPECT_RAISES(RunPost(c), 409, ERROR_INTERNET_FORCE_RETRY, "::HttpEndRequest failed.");
      EXPECT_FALSE(c.IsPostContextActive());
    }
    ASSERT_EQ(simwin::HttpRequests().size(), 1u);  // one request handle throughout
    EXPECT_EQ(Last().sendBodies, std::vector<std::string>(nSends, kBody));
    EXPECT_EQ(Last().announcedLength, kBody.size());
    EXPECT_EQ(Last().ended, nRounds <= 2);
  }
}

TEST_F(FormPost, RawFlagsSendNamesAndValuesUnencoded) {
  // No operation of the program sets these bits; the map keeps them for callers that do.
  class RawClient : public CHttpClient {
   public:
    void AddRaw(const char* n, const char* v, DWORD flags) { m_mapParam.Add(n, v, flags); }
  } c;
  c.AddRaw("a b", "c d", CHttpClientMapFlagRawName | CHttpClientMapFlagRawValue);
  c.AddRaw("e f", "g h", CHttpClientMapFlagRawValue);
  EXPECT_EQ(c.MakeGetUrlLen(nullptr), 15u);
  c.BeginFormPost(nullptr, "http://h/", kFlags);
  std::unique_ptr<CHttpResponse> r(RunPost(c));
  EXPECT_EQ(Last().body, "a b=c d&e+f=g h");
  EXPECT_EQ(Last().announcedLength, 15u);
}

using PostContext = SimHttp;

TEST_F(PostContext, InactiveAccessorsRaiseTheirOwnMessages) {
  CHttpClient c;
  const CHttpPostStat& s = c.PostStat();
  EXPECT_RAISES(s.ActualTotalByte(), 0, 0,
                "CHttpPostStatT::ActualTotalByte: The post context is not active.");
  EXPECT_RAISES(s.ActualPostedByte(), 0, 0,
                "CHttpPostStatT::ActualPostedByte: The post context is not active.");
  EXPECT_RAISES(s.TotalCount(), 0, 0,
                "CHttpPostStatT::TotalCount: The post context is not active.");
  EXPECT_RAISES(s.PostedCount(), 0, 0,
                "CHttpPostStatT::PostedCount: The post context is not active.");
  EXPECT_RAISES(s.FileCount(), 0, 0, "CHttpPostStatT::FileCount: The post context is not active.");
  EXPECT_RAISES(s.PostedFileCount(), 0, 0,
                "CHttpPostStatT::PostedFileCount: The post context is not active.");
  EXPECT_RAISES(s.CurrParamPostedByte(), 0, 0,
                "CHttpPostStatT::CurrParamPostedByte: The post context is not active.");
  EXPECT_RAISES(s.CurrParamRemainByte(), 0, 0,
                "CHttpPostStatT::CurrParamRemainByte: The post context is not active.");
  EXPECT_RAISES(s.CurrParamIsFile(), 0, 0,
                "CHttpPostStatT::CurrParamIsFile: The post context is not active.");
  EXPECT_RAISES(s.CurrParamIsComplete(), 0, 0,
                "CHttpPostStatT::CurrParamIsComplete: The post context is not active.");
  EXPECT_RAISES(s._TestAddActualPostedBytes(1), 0, 0,
                "CHttpPostStatT::_TestAddActualPostedBytes: The post context is not active.");
  EXPECT_RAISES(s._TestAddPostedBytes(1), 0, 0,
                "CHttpPostStatT::_TestAddPostedBytes: The post context is not active.");
  EXPECT_RAISES(s._TestStartNewEntry(FALSE), 0, 0,
                "CHttpPostStatT::_TestStartNewEntry: The post context is not active.");
  EXPECT_RAISES(c.ProceedPost(), 104, 0, "The post context is not started yet.");
  EXPECT_FALSE(c.CancelPost());
}

TEST_F(PostContext, CountersRefuseToWrap) {
  CHttpPostStat s;
  s.Activate(0xFFFFFFFFu, 0xFFFFFFFFu, 2, 0);
  s._StartNewEntry("a", 0xFFFFFFF0u, FALSE, nullptr);
  s._AddPostedBytes(0xFFFFFFF0u, TRUE);
  EXPECT_RAISES(s._TestAddPostedBytes(0x10), 112, 0,
                "An arithmetic overflow error has been occurred.");
  EXPECT_RAISES(s._TestAddActualPostedBytes(0x10), 112, 0,
                "An arithmetic overflow error has been occurred.");
  s._TestAddActualPostedBytes(0xF);
  s._StartNewEntry("b", 1, TRUE, "C:\\f");
  EXPECT_TRUE(s.CurrParamIsFile());
  EXPECT_EQ(s.PostedFileCount(), 1u);
  EXPECT_STREQ(s.CurrParamFile(), "C:\\f");
  s._StartNewEntry("b", 1, FALSE, nullptr);
  EXPECT_FALSE(s.CurrParamIsFile());
  EXPECT_EQ(s.PostedCount(), 3u);
  s.Reset();
  EXPECT_FALSE(s.IsActive());
}

TEST_F(PostContext, AddParamIsRefusedWhileActiveAndTheMapStaysAsItWas) {
  CHttpClient c;
  c.AddParam("a", "1");
  c.BeginFormPost(nullptr, "http://h/", kFlags);
  EXPECT_RAISES(c.AddParam("b", "2"), 0, 0,
                "CHttpClientT::AddParam: It is not allowed to call this method if the POST context "
                "is active.");
  EXPECT_EQ(c.ParamCount(), 1u);
  EXPECT_TRUE(c.CancelPost());
  EXPECT_FALSE(c.IsPostContextActive());
  EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"request", "connect", "internet"}));
  c.AddParam("b", "2");
  EXPECT_EQ(c.ParamCount(), 2u);
}

TEST_F(PostContext, GetNewBeginAndDestructionEachDropTheActiveContext) {
  CHttpClient c;
  c.AddParam("a", "1");
  c.BeginFormPost(nullptr, "http://h/", kFlags);
  EXPECT_EQ(c.ProceedPost(), nullptr);
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h/x", kFlags));
  EXPECT_FALSE(c.IsPostContextActive());
  EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"request", "connect", "internet"}));
  r.reset();
  simwin::HttpReply ok;
  c.BeginFormPost(nullptr, "http://h/", kFlags);
  c.BeginFormPost(nullptr, "http://h/", kFlags);  // drops the first
  EXPECT_EQ(simwin::OpenInternetHandles().size(), 3u);
  {
    CHttpClient d;
    d.BeginFormPost(nullptr, "http://h/", kFlags);
    EXPECT_EQ(simwin::OpenInternetHandles().size(), 6u);
  }
  EXPECT_EQ(simwin::OpenInternetHandles().size(), 3u);
  c.CancelPost();
}

TEST_F(PostContext, BorrowedInternetHandleIsNeverClosed) {
  HINTERNET hNet = InternetOpenA("Corvu HTTP Client Class", 0, nullptr, nullptr, 0);
  DWORD timeout = 15000;
  ASSERT_TRUE(InternetSetOptionA(hNet, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout));
  {
    CHttpClient c;
    c.AddParam("a", "1");
    c.BeginFormPost(hNet, "http://h/", kFlags);
    std::unique_ptr<CHttpResponse> r(RunPost(c));
    EXPECT_EQ(r->InternetHandle(), nullptr);
    r.reset();
    EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"request", "connect"}));
    c.BeginFormPost(hNet, "http://h/", kFlags);
    EXPECT_TRUE(c.CancelPost());
    c.BeginFormPost(hNet, "http://h/", kFlags);
    simwin::FailCall("InternetWriteFile", ERROR_INTERNET_CONNECTION_RESET);
    EXPECT_RAISES(c.ProceedPost(), 408, ERROR_INTERNET_CONNECTION_RESET,
                  "::InternetWriteFile failed.");
    simwin::FailCall("HttpSendRequestExA", ERROR_INTERNET_CANNOT_CONNECT);
    EXPECT_RAISES(c.BeginFormPost(hNet, "http://h/", kFlags), 407, ERROR_INTERNET_CANNOT_CONNECT,
                  "::HttpSendRequestEx failed.");
    c.BeginFormPost(hNet, "http://h/", kFlags);  // dropped by the destructor
  }
  auto open = simwin::OpenInternetHandles();
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].handle, hNet);
  for (const auto& h : simwin::ClosedInternetHandles()) EXPECT_NE(h.handle, hNet);
  InternetCloseHandle(hNet);
}

class PostFailures : public SimHttp,
                     public ::testing::WithParamInterface<std::tuple<const char*, DWORD, DWORD>> {};

TEST_P(PostFailures, FailureAnywhereCancelsTheContextAndClosesEverything) {
  const char* api = std::get<0>(GetParam());
  DWORD code = std::get<1>(GetParam()), error = std::get<2>(GetParam());
  simwin::FailCall(api, error);
  CHttpClient c;
  c.AddParam("a", "1");
  httptest::Raised got = httptest::Raise([&] {
    c.BeginFormPost(nullptr, "http://h/", kFlags);
    std::unique_ptr<CHttpResponse> r(RunPost(c));
  });
  EXPECT_TRUE(got.raised);
  EXPECT_EQ(got.code, code);
  EXPECT_EQ(got.system, error);
  EXPECT_EQ(got.message, ErrorMessageOf(code));
  EXPECT_FALSE(c.IsPostContextActive());
  EXPECT_TRUE(simwin::OpenInternetHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Calls, PostFailures,
    ::testing::Values(
        std::make_tuple("InternetOpenA", 402u, (DWORD)ERROR_NOT_ENOUGH_MEMORY),
        std::make_tuple("InternetConnectA", 403u, (DWORD)ERROR_INTERNET_INVALID_URL),
        std::make_tuple("HttpOpenRequestA", 404u, (DWORD)ERROR_INTERNET_INVALID_URL),
        std::make_tuple("HttpAddRequestHeadersA", 405u, (DWORD)ERROR_INVALID_PARAMETER),
        std::make_tuple("HttpSendRequestExA", 407u, (DWORD)ERROR_INTERNET_CANNOT_CONNECT),
        std::make_tuple("HttpSendRequestExA", 407u, (DWORD)ERROR_INTERNET_INVALID_CA),
        std::make_tuple("InternetWriteFile", 408u, (DWORD)ERROR_INTERNET_CONNECTION_ABORTED),
        std::make_tuple("HttpEndRequestA", 409u, (DWORD)ERROR_INTERNET_TIMEOUT)));

TEST_F(PostContext, ProceedingAfterTheResponseWasHandedOutRaises104) {
  CHttpClient c;
  c.AddParam("a", "1");
  c.BeginFormPost(nullptr, "http://h/", kFlags);
  std::unique_ptr<CHttpResponse> r(RunPost(c));
  ASSERT_NE(r, nullptr);
  EXPECT_FALSE(c.IsPostContextActive());
  EXPECT_RAISES(c.ProceedPost(), 104, 0, "The post context is not started yet.");
  // The response still owns its handles.
  EXPECT_EQ(simwin::OpenInternetHandles().size(), 3u);
}

TEST_F(PostContext, FailedBeginClosesRequestConnectionAndItsOwnInternetHandleInThatOrder) {
  CHttpClient c;
  c.AddParam("a", "1");
  simwin::FailCall("HttpSendRequestExA", ERROR_INTERNET_CANNOT_CONNECT);
  EXPECT_RAISES(c.BeginFormPost(nullptr, "http://h/", kFlags), 407, ERROR_INTERNET_CANNOT_CONNECT,
                "::HttpSendRequestEx failed.");
  EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"request", "connect", "internet"}));
  EXPECT_FALSE(c.IsPostContextActive());
}

TEST_F(PostContext, ContentTypeComesAfterTheCallersHeadersAndIsAddedOnce) {
  CHttpClient c;
  c.AddHeader("X-Req", "7");
  c.BeginFormPost(nullptr, "https://h/api/getVersion", kFlags);
  auto q = Last();
  EXPECT_EQ(q.port, 443);
  EXPECT_EQ(q.flags, kFlags | INTERNET_FLAG_SECURE);
  ASSERT_EQ(q.headerCalls.size(), 3u);
  EXPECT_EQ(q.headerCalls[0].text, "Cache-Control: no-cache\r\n");
  EXPECT_EQ(q.headerCalls[1].text, "X-Req: 7\r\n");
  EXPECT_EQ(q.headerCalls[2].text, "Content-Type: application/x-www-form-urlencoded\r\n");
  c.CancelPost();
}

TEST_F(PostContext, HandlerSeesTheWholeBodyBeforeAnswering) {
  std::string seen;
  simwin::ServeAt("127.0.0.1", 9006, [&](const simwin::HttpRequestRecord& q) {
    seen = q.body;
    simwin::HttpReply r;
    r.status = 201;
    r.body = "got " + std::to_string(q.body.size());
    return r;
  });
  CHttpClient c;
  c.AddParam("requestStr", "abc");
  c.BeginFormPost(nullptr, "http://127.0.0.1:9006/softServer/req", kFlags);
  std::unique_ptr<CHttpResponse> r(RunPost(c));
  EXPECT_EQ(seen, "requestStr=abc");
  EXPECT_EQ(r->GetStatus(), 201u);
  EXPECT_EQ(ReadAll(*r), "got 14");
}

using Responses = SimHttp;

TEST_F(Responses, StatusIsQueriedOnceAndCached) {
  simwin::HttpReply nf;
  nf.status = 404;
  nf.statusText = "Not Found";
  simwin::ServeAt("h", 80, nf);
  CHttpClient c;
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h/", kFlags));
  EXPECT_EQ(r->GetStatus(), 404u);
  simwin::FailAlways("HttpQueryInfoA", ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  EXPECT_EQ(r->GetStatus(), 404u);  // no second query
  DWORD len = 77;
  EXPECT_RAISES(r->GetContentLength(len), 400, ERROR_INTERNET_INCORRECT_HANDLE_STATE,
                "::HttpQueryInfo failed.");
  EXPECT_EQ(len, 77u);
  simwin::ClearFaults();
}

TEST_F(Responses, StatusQueryFailureRaises400) {
  CHttpClient c;
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h/", kFlags));
  simwin::FailCall("HttpQueryInfoA", ERROR_INTERNET_CONNECTION_RESET);
  EXPECT_RAISES(r->GetStatus(), 400, ERROR_INTERNET_CONNECTION_RESET, "::HttpQueryInfo failed.");
  EXPECT_EQ(r->GetStatus(), 200u);  // a failed query is not cached
}

TEST_F(Responses, ContentLengthOnlyWhenTheServerSentOne) {
  simwin::HttpReply chunked;
  chunked.framing = simwin::HttpReply::kChunked;
  chunked.body = std::string(5000, 'c');
  chunked.maxReadChunk = 1000;
  simwin::ServeAt("h", 80, chunked);
  CHttpClient c;
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h/", kFlags));
  DWORD len = 12345;
  EXPECT_FALSE(r->GetContentLength(len));
  EXPECT_EQ(len, 12345u);
  EXPECT_EQ(ReadAll(*r, 4096).size(), 5000u);

  simwin::HttpReply sized;
  sized.body = "0123456789";
  simwin::ServeAt("h", 80, sized);
  r.reset(c.SendGetRequest("http://h/", kFlags));
  EXPECT_TRUE(r->GetContentLength(len));
  EXPECT_EQ(len, 10u);
}

TEST_F(Responses, ReadsMayBeShortAndEndWithZero) {
  simwin::HttpReply slow;
  slow.body = "abcdefghij";
  slow.maxReadChunk = 3;
  simwin::ServeAt("h", 80, slow);
  CHttpClient c;
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h/", kFlags));
  BYTE buf[8];
  EXPECT_EQ(r->ReadContent(buf, 8), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "abc");
  EXPECT_EQ(ReadAll(*r), "defghij");
  EXPECT_EQ(r->ReadContent(buf, 8), 0u);
  EXPECT_RAISES(r->ReadContent(buf, 0), 0, 0,
                "CHttpResponseT::ReadContent: cbBuff can not be zero.");
  EXPECT_RAISES(r->ReadContent(nullptr, 8), 0, 0,
                "CHttpResponseT::ReadContent: pbyBuff can not be NULL.");
  EXPECT_EQ(Last().bytesRead, 10u);
}

TEST_F(Responses, EarlyCloseEndsTheBodyAndAResetFails) {
  simwin::HttpReply fin;
  fin.body = std::string(100, 'x');
  fin.closeAfter = 40;
  simwin::ServeAt("h", 80, fin);
  CHttpClient c;
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h/", kFlags));
  DWORD len = 0;
  EXPECT_TRUE(r->GetContentLength(len));
  EXPECT_EQ(len, 100u);
  EXPECT_EQ(ReadAll(*r).size(), 40u);  // shorter than announced: the caller must compare

  fin.resetOnClose = true;
  simwin::ServeAt("h", 80, fin);
  r.reset(c.SendGetRequest("http://h/", kFlags));
  BYTE buf[64];
  EXPECT_EQ(r->ReadContent(buf, 64), 40u);
  EXPECT_RAISES(r->ReadContent(buf, 64), 401, ERROR_INTERNET_CONNECTION_RESET,
                "::InternetReadFile failed.");
}

TEST_F(Responses, DeletingAResponseClosesRequestConnectionInternetInThatOrder) {
  CHttpClient c;
  c.AddParam("a", "1");
  c.BeginFormPost(nullptr, "http://h/", kFlags);
  CHttpResponse* r = RunPost(c);
  ASSERT_NE(r, nullptr);
  auto open = simwin::OpenInternetHandles();
  ASSERT_EQ(open.size(), 3u);
  delete r;
  auto closed = simwin::ClosedInternetHandles();
  ASSERT_EQ(closed.size(), 3u);
  EXPECT_EQ(closed[0].handle, open[2].handle);
  EXPECT_EQ(closed[1].handle, open[1].handle);
  EXPECT_EQ(closed[2].handle, open[0].handle);
}

// Sets up a multipart upload context directly on the protected members, as a
// begin operation for uploads would.
class UploadClient : public CHttpClient {
 public:
  struct File {
    HANDLE handle;
    const char* contentType;
  };
  void AddField(const char* name, const char* value) { m_mapParam.Add(name, value, 0); }
  void AddFile(const char* name, const char* path) {
    m_mapParam.Add(name, path, CHttpClientMapFlagFile);
  }
  void Begin(const char* url, DWORD total, const std::vector<File>& files) {
    HINTERNET hNet = InternetOpenA("Corvu HTTP Client Class", 0, nullptr, nullptr, 0);
    HINTERNET hConn = OpenConnection(hNet, url);
    HINTERNET hReq = OpenRequest(hConn, "POST", url, kFlags);
    CHttpToolA::AddHeader(hReq, "Content-Type", GetUploadContType());
    CHttpToolA::SendRequestEx(hReq, total);
    m_objPostStat.Activate(total, 0, m_mapParam.Count(), static_cast<DWORD>(files.size()));
    if (!files.empty()) {
      m_phFiles = static_cast<HANDLE*>(std::malloc(sizeof(HANDLE) * files.size()));
      m_pszFileContTypes = static_cast<char**>(std::malloc(sizeof(char*) * files.size()));
      for (size_t i = 0; i < files.size(); ++i) {
        m_phFiles[i] = files[i].handle;
        m_pszFileContTypes[i] = strdup(files[i].contentType);
      }
    }
    m_hInternet = hNet;
    m_hConnection = hConn;
    m_hRequest = hReq;
    m_bFormContext = FALSE;
  }
};

using Upload = SimHttp;

TEST_F(Upload, PlainAndFileParametersMakeTheMultipartBody) {
  UploadClient c;
  std::string b = c.GetBoundary();
  std::string content(3000, 'z');
  c.AddField("a", "1");
  c.AddFile("f", "C:\\up\\x.txt");
  c.AddField("g", "");
  std::string want =
      "--" + b + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n" + "--" + b +
      "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"C:\\up\\x.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\n" +
      content + "\r\n" + "--" + b + "\r\nContent-Disposition: form-data; name=\"g\"\r\n\r\n\r\n" +
      "--" + b + "--\r\n";
  HANDLE hFile = simwin::MemoryFile(content);
  c.Begin("http://h/upload", static_cast<DWORD>(want.size()), {{hFile, "text/plain"}});
  int steps = 0;
  std::unique_ptr<CHttpResponse> r(RunPost(c, &steps));
  ASSERT_TRUE(r);
  EXPECT_EQ(Last().body, want);
  EXPECT_EQ(steps, 1 + 1 + 1 + 3 + 1 + 1 + 1);  // a, its value, f, three pieces, g, close, end
  EXPECT_EQ(Last().headerLines[1], "Content-Type: multipart/form-data; boundary=" + b);
  EXPECT_EQ(simwin::OpenHandleCount("file"), 0u);  // the context closed the file
}

TEST_F(Upload, NoParametersWriteOnlyTheClosingDelimiter) {
  UploadClient c;
  std::string want = "\r\n--" + std::string(c.GetBoundary()) + "--\r\n";
  c.Begin("http://h/", static_cast<DWORD>(want.size()), {});
  std::unique_ptr<CHttpResponse> r(RunPost(c));
  EXPECT_EQ(Last().body, want);
}

TEST_F(Upload, MissingBoundaryUsesTheFixedOne) {
  simwin::FailCall("CoCreateGuid", (DWORD)E_FAIL);
  UploadClient c;
  ASSERT_EQ(c.GetBoundary(), nullptr);
  c.AddField("n", "v");
  std::string b = "----CORVU-FB3B405B7EAE495aB0C0295C54D4E096-";
  std::string want =
      "--" + b + "\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\nv\r\n--" + b + "--\r\n";
  c.Begin("http://h/", static_cast<DWORD>(want.size()), {});
  std::unique_ptr<CHttpResponse> r(RunPost(c));
  EXPECT_EQ(Last().body, want);
}

TEST_F(Upload, FileShorterThanItsSizeRaises105AndCancels) {
  UploadClient c;
  c.AddFile("f", "C:\\short.bin");
  HANDLE hFile = simwin::MemoryFile("abc", 10);
  c.Begin("http://h/", 1000, {{hFile, "application/octet-stream"}});
  EXPECT_EQ(c.ProceedPost(), nullptr);
  EXPECT_RAISES(c.ProceedPost(), 105, 0, "Couldn't read expected bytes from a file.");
  EXPECT_FALSE(c.IsPostContextActive());
  EXPECT_EQ(simwin::OpenHandleCount("file"), 0u);
}

TEST_F(Upload, FileSizeAndReadFailuresCarryTheLastError) {
  {
    UploadClient c;
    c.AddFile("f", "C:\\gone.bin");
    c.Begin("http://h/", 1000, {{simwin::MemoryFile("abc"), "x/y"}});
    simwin::FailCall("GetFileSize", ERROR_ACCESS_DENIED);
    EXPECT_RAISES(c.ProceedPost(), 605, ERROR_ACCESS_DENIED,
                  "::GetFileSize failed (\"C:\\gone.bin\").");
  }
  {
    UploadClient c;
    c.AddFile("f", "C:\\bad.bin");
    c.Begin("http://h/", 1000, {{simwin::MemoryFile("abc"), "x/y"}});
    EXPECT_EQ(c.ProceedPost(), nullptr);
    simwin::FailCall("ReadFile", ERROR_ACCESS_DENIED);
    EXPECT_RAISES(c.ProceedPost(), 602, ERROR_ACCESS_DENIED, "::ReadFile failed.");
  }
  EXPECT_EQ(simwin::OpenHandleCount("file"), 0u);
}

TEST_F(Upload, FileParameterWithoutAFileTableEntryIsRefused) {
  UploadClient c;
  c.AddFile("f", "C:\\a.bin");
  c.AddFile("g", "C:\\b.bin");
  c.Begin("http://h/", 1000, {{simwin::MemoryFile(""), "x/y"}});  // one entry for two files
  EXPECT_EQ(c.ProceedPost(), nullptr);  // the empty first file ends in its header step
  EXPECT_RAISES(c.ProceedPost(), 101, 0, "The index is out of range.");
  EXPECT_FALSE(c.IsPostContextActive());
}

TEST_F(Upload, InvalidFileHandleIsAnEmptyPart) {
  UploadClient c;
  c.AddFile("f", "p");
  std::string b = c.GetBoundary();
  std::string want = "--" + b +
                     "\r\nContent-Disposition: form-data; name=\"f\"; "
                     "filename=\"p\"\r\nContent-Type: t\r\n\r\n\r\n--" +
                     b + "--\r\n";
  c.Begin("http://h/", static_cast<DWORD>(want.size()), {{INVALID_HANDLE_VALUE, "t"}});
  std::unique_ptr<CHttpResponse> r(RunPost(c));
  EXPECT_EQ(Last().body, want);
}

TEST_F(Upload, Utf8ModeConvertsNamesValuesAndPaths) {
  UploadClient c;
  c.SetUseUtf8(TRUE);
  c.AddField("\xD6\xD0", "\xCE\xC4");
  std::string b = c.GetBoundary();
  std::string want =
      "--" + b +
      "\r\nContent-Disposition: form-data; name=\"\xE4\xB8\xAD\"\r\n\r\n\xE6\x96\x87\r\n--" + b +
      "--\r\n";
  c.Begin("http://h/", static_cast<DWORD>(want.size()), {});
  std::unique_ptr<CHttpResponse> r(RunPost(c));
  EXPECT_EQ(Last().body, want);
}

}  // namespace

namespace {

using ResponseHeaders = SimHttp;

TEST_F(ResponseHeaders, FirstHeaderOfTheNameWhateverItsCase) {
  simwin::HttpReply rep;
  rep.headers = {{"X-Reply-Signature", "abc"}, {"x-reply-signature", "second"}};
  simwin::ServeAt("h", 80, rep);
  CHttpClient c;
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h/", kFlags));
  std::string value = "untouched";
  EXPECT_TRUE(r->GetHeader("x-REPLY-signature", value));
  EXPECT_EQ(value, "abc");
  value = "untouched";
  EXPECT_FALSE(r->GetHeader("X-Other", value));
  EXPECT_EQ(value, "untouched");
  // An empty value is there all the same.
  rep.headers = {{"X-Empty", ""}};
  simwin::ServeAt("h", 80, rep);
  r.reset(c.SendGetRequest("http://h/", kFlags));
  EXPECT_TRUE(r->GetHeader("X-Empty", value));
  EXPECT_EQ(value, "");
}

TEST_F(ResponseHeaders, LongValueIsAskedForAgainWithTheReportedLength) {
  simwin::HttpReply rep;
  const std::string longValue(5000, 'v');
  rep.headers = {{"X-Long", longValue}};
  simwin::ServeAt("h", 80, rep);
  CHttpClient c;
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h/", kFlags));
  std::string value;
  EXPECT_TRUE(r->GetHeader("X-Long", value));
  EXPECT_EQ(value, longValue);
}

TEST_F(ResponseHeaders, FailuresRaise) {
  CHttpClient c;
  std::unique_ptr<CHttpResponse> r(c.SendGetRequest("http://h/", kFlags));
  std::string value = "untouched";
  simwin::FailCall("HttpQueryInfoA", ERROR_INTERNET_CONNECTION_RESET);
  EXPECT_RAISES(r->GetHeader("X-A", value), 400, ERROR_INTERNET_CONNECTION_RESET,
                "::HttpQueryInfo failed.");
  EXPECT_RAISES(r->GetHeader("", value), 0, 0,
                "CHttpResponseT::GetHeader: szName can not be NULL or empty.");
  EXPECT_RAISES(r->GetHeader(nullptr, value), 0, 0,
                "CHttpResponseT::GetHeader: szName can not be NULL or empty.");
  CHttpResponse empty(nullptr, nullptr, nullptr);
  EXPECT_RAISES(empty.GetHeader("X-A", value), 0, 0,
                "CHttpResponseT::GetHeader: m_hRequest can not be NULL.");
  EXPECT_EQ(value, "untouched");
}

}  // namespace
