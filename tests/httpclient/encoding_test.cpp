// Encoder and URL analyzer: exact outputs, length functions agreeing with the
// encoders on every input, double-byte handling and the whole-string
// conversions. Inputs live in exactly sized heap blocks so that the sanitizer
// build catches any read past a terminator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "expect_raise.h"
#include "httpclient/httpclient.h"

using namespace Corvu;

namespace {

// A heap copy with nothing after its terminator.
struct Exact {
  explicit Exact(const std::string& s) : p(new char[s.size() + 1]) {
    std::memcpy(p.get(), s.c_str(), s.size() + 1);
  }
  const char* c_str() const { return p.get(); }
  std::unique_ptr<char[]> p;
};

std::string UrlEncode(const std::string& s, BOOL utf8, UINT cp = 936) {
  Exact in(s);
  DWORD len = CHttpEncoderA::UrlEncodeLenA(in.c_str(), utf8, cp);
  std::unique_ptr<char[]> buf(new char[len + 1]);
  CHttpEncoderA::UrlEncodeA(buf.get(), in.c_str(), utf8, cp);
  std::string out(buf.get());
  EXPECT_EQ(out.size(), len) << "length function disagrees for input of " << s.size() << " bytes";
  return out;
}

std::string Utf8Encode(const std::string& s, UINT cp = 936) {
  Exact in(s);
  DWORD len = CHttpEncoderA::Utf8EncodeLenA(in.c_str(), cp);
  char* out = CHttpEncoderA::Utf8EncodeA(in.c_str(), cp);
  std::string r(out);
  std::free(out);
  EXPECT_EQ(r.size(), len);
  return r;
}

const std::string kZhongWen = "\xD6\xD0\xCE\xC4";  // GBK for the two characters "Chinese text"

TEST(UrlEncodeBytes, LettersDigitsKeptSpacePlusEverythingElseEscaped) {
  Exact s("a b-c");
  EXPECT_EQ(CHttpEncoderA::_UrlEncodeLen(s.c_str()), 7u);
  char buf[8];
  EXPECT_STREQ(CHttpEncoderA::_UrlEncode(buf, s.c_str()), "a+b%2Dc");
  EXPECT_EQ(UrlEncode("\xC4", FALSE), "%C4");
  EXPECT_EQ(UrlEncode("~_.*-", FALSE), "%7E%5F%2E%2A%2D");
  EXPECT_EQ(UrlEncode("{\"k\": 1}", FALSE), "%7B%22k%22%3A+1%7D");
  EXPECT_EQ(UrlEncode("AZaz09", FALSE), "AZaz09");
  EXPECT_EQ(UrlEncode("", FALSE), "");
  EXPECT_EQ(CHttpEncoderA::UrlEncodeLenA(nullptr, FALSE, 936), 0u);
  char out[4] = "xyz";
  EXPECT_STREQ(CHttpEncoderA::UrlEncodeA(out, nullptr, TRUE, 936), "");
}

TEST(UrlEncodeBytes, EveryByteValueEncodesToItsOwnForm) {
  for (int b = 1; b < 256; ++b) {
    std::string in(1, static_cast<char>(b));
    std::string out = UrlEncode(in, FALSE);
    bool kept = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9');
    if (kept) {
      EXPECT_EQ(out, in);
    } else if (b == ' ') {
      EXPECT_EQ(out, "+");
    } else {
      char want[4];
      std::snprintf(want, sizeof want, "%%%02X", b);
      EXPECT_EQ(out, want) << b;
    }
  }
}

TEST(UrlEncodeBytes, NullArgumentsRaiseTheirMessages) {
  EXPECT_RAISES(CHttpEncoderA::_UrlEncodeLen(nullptr), 0, 0,
                "_UrlEncodeLen: szStr can not be NULL.");
  EXPECT_RAISES(CHttpEncoderA::UrlEncodeA(nullptr, "a", FALSE, 936), 0, 0,
                "CHttpEncoderA::UrlEncodeA: szBuff can not be NULL.");
  char buf[8];
  EXPECT_RAISES(CHttpEncoderA::_AnsiCharToUtf8Char(buf, nullptr, 936), 0, 0,
                "CHttpEncoderA::_AnsiCharToUtf8Char: szUtf8Char and szAnsiChar can not be NULL.");
  EXPECT_RAISES(CHttpEncoderA::_AnsiCharToUtf8Char(nullptr, "a", 936), 0, 0,
                "CHttpEncoderA::_AnsiCharToUtf8Char: szUtf8Char and szAnsiChar can not be NULL.");
}

TEST(UrlEncodeUtf8, DoubleByteCharactersGoOutAsTheirUtf8Bytes) {
  EXPECT_EQ(UrlEncode(kZhongWen, TRUE), "%E4%B8%AD%E6%96%87");
  EXPECT_EQ(UrlEncode(kZhongWen, FALSE), "%D6%D0%CE%C4");
  EXPECT_EQ(UrlEncode("a " + kZhongWen + "-1", TRUE), "a+%E4%B8%AD%E6%96%87%2D1");
  EXPECT_EQ(Utf8Encode(kZhongWen), "\xE4\xB8\xAD\xE6\x96\x87");
  EXPECT_EQ(Utf8Encode("plain"), "plain");
  char* empty = CHttpEncoderA::Utf8EncodeA(nullptr, 936);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  std::free(empty);
  // Code page 1252 has no lead bytes: every byte is one character.
  EXPECT_EQ(Utf8Encode("\xE9", 1252), "\xC3\xA9");
  EXPECT_EQ(UrlEncode("caf\xE9", TRUE, 1252), "caf%C3%A9");
}

TEST(UrlEncodeUtf8, TrailingLoneLeadByteIsOneCharacterAndNothingPastTheEndIsRead) {
  for (const std::string& s : {std::string("\x81"), std::string("ab\xD6"), kZhongWen + "\xCE"}) {
    std::string both = UrlEncode(s, TRUE);
    EXPECT_FALSE(both.empty());
    UrlEncode(s, FALSE);
    Utf8Encode(s);
  }
  // URL-encoded as it stands, the lone lead byte is one escaped byte.
  EXPECT_EQ(UrlEncode("ab\xD6", FALSE), "ab%D6");
  // The lone lead byte becomes one replacement character after the text.
  std::string out = Utf8Encode(kZhongWen + "\xCE");
  EXPECT_EQ(out.substr(0, 6), "\xE4\xB8\xAD\xE6\x96\x87");
  EXPECT_GT(out.size(), 6u);
}

TEST(UrlEncodeUtf8, LengthFunctionsAgreeWithEncodersOnRandomInput) {
  std::mt19937 rng(20261209);
  std::uniform_int_distribution<int> len(0, 40), byte(1, 255), pick(0, 3);
  for (int n = 0; n < 1500; ++n) {
    std::string s;
    int l = len(rng);
    for (int i = 0; i < l; ++i) {
      int kind = pick(rng);
      if (kind == 0)
        s += static_cast<char>(byte(rng));
      else if (kind == 1)
        s += static_cast<char>('a' + byte(rng) % 26);
      else {  // a GBK pair from the common range
        s += static_cast<char>(0xB0 + byte(rng) % 0x48);
        s += static_cast<char>(0xA1 + byte(rng) % 0x5E);
      }
    }
    UrlEncode(s, FALSE);
    UrlEncode(s, TRUE);
    Utf8Encode(s);
  }
}

struct UrlParts {
  DWORD v[12];
};

UrlParts Analyze(const std::string& url, UINT cp = 936) {
  Exact in(url);
  CHttpUrlAnalyzer a;
  a.Analyze(in.c_str(), cp);
  return UrlParts{{a.SchemeIdx(), a.SchemeLen(), a.HostIdx(), a.HostLen(), a.PortIdx(), a.PortLen(),
                   a.PathIdx(), a.PathLen(), a.QueryIdx(), a.QueryLen(), a.FragmentIdx(),
                   a.FragmentLen()}};
}

void ExpectParts(const std::string& url, std::vector<DWORD> want) {
  UrlParts p = Analyze(url);
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(p.v[i], want[i]) << url << " member " << i;
}

TEST(UrlAnalyzer, SplitsUrlsIntoTwelveMembers) {
  //                          scheme  host   port   path   query  fragment
  ExpectParts("s://h:8/p?q#f", {0, 1, 4, 1, 6, 1, 7, 2, 9, 2, 11, 2});
  ExpectParts("h/p", {0, 0, 0, 1, 1, 0, 1, 2, 3, 0, 3, 0});
  ExpectParts("s://h?q", {0, 1, 4, 1, 5, 0, 5, 0, 5, 2, 7, 0});
  ExpectParts("s://h:", {0, 1, 4, 1, 6, 0, 6, 0, 6, 0, 6, 0});
  ExpectParts("http://127.0.0.1:9006/softServer/req", {0, 4, 7, 9, 17, 4, 21, 15, 36, 0, 36, 0});
  ExpectParts("s:///p", {0, 1, 4, 0, 4, 0, 4, 2, 6, 0, 6, 0});
  ExpectParts("s://h#f?x", {0, 1, 4, 1, 5, 0, 5, 0, 5, 0, 5, 4});
  ExpectParts("s://h:1:2/", {0, 1, 4, 1, 6, 3, 9, 1, 10, 0, 10, 0});
  ExpectParts("", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
}

TEST(UrlAnalyzer, SchemeEndsAtFirstSeparatorEvenInsideTheQuery) {
  // No "://" before the query: the one inside it ends the scheme.
  ExpectParts("h/p?u=s://x", {0, 7, 10, 1, 11, 0, 11, 0, 11, 0, 11, 0});
}

TEST(UrlAnalyzer, DoubleByteCharactersAreSteppedOverWhole) {
  // 0x81 0x2F would be a slash if read byte by byte: it is one character here.
  std::string url = "s://h\x81/x/p";
  ExpectParts(url, {0, 1, 4, 4, 8, 0, 8, 2, 10, 0, 10, 0});
  UrlParts bytewise = Analyze(url, 1252);
  EXPECT_EQ(bytewise.v[3], 2u);  // host "h\x81" ends at the slash
  // A trailing lone lead byte is one byte long and the scan stops at the end.
  ExpectParts("s://h\x81", {0, 1, 4, 2, 6, 0, 6, 0, 6, 0, 6, 0});
}

TEST(UrlAnalyzer, Utf8AndUtf7CodePagesAreRefusedFirst) {
  CHttpUrlAnalyzer a;
  const char* msg =
      "CHttpUrlAnalyzerT::Analyze: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.";
  EXPECT_RAISES(a.Analyze(nullptr, CP_UTF8), 0, 0, msg);
  EXPECT_RAISES(a.Analyze("s://h", CP_UTF7), 0, 0, msg);
}

TEST(UrlAnalyzer, SecureSchemeIsHttpsInAnyCaseAndNothingElse) {
  for (const char* url : {"https://h", "HTTPS://h", "HtTpS://h/p"}) {
    CHttpUrlAnalyzer a;
    a.Analyze(url, 936);
    EXPECT_TRUE(CHttpUrlAnalyzer::IsSecureScheme(url, a)) << url;
  }
  for (const char* url : {"httpsx://h", "http://h", "https:/h", "https", "xhttps://h"}) {
    CHttpUrlAnalyzer a;
    a.Analyze(url, 936);
    EXPECT_FALSE(CHttpUrlAnalyzer::IsSecureScheme(url, a)) << url;
  }
}

TEST(TextConversion, AnsiAndUtf8RoundTripInTheActiveCodePage) {
  if (GetACP() != 936) GTEST_SKIP() << "needs the GBK active code page";
  std::string gbk = "{\"crosFlag\":\"" + kZhongWen + "\"}";
  std::string utf8 = AnsiToUtf8(gbk.c_str());
  EXPECT_EQ(utf8, "{\"crosFlag\":\"\xE4\xB8\xAD\xE6\x96\x87\"}");
  EXPECT_EQ(utf8.size(), strlen(utf8.c_str()));  // no terminator inside
  EXPECT_EQ(Utf8ToAnsi(utf8.c_str()), gbk);
  EXPECT_EQ(AnsiToUtf8(nullptr), "");
  EXPECT_EQ(Utf8ToAnsi(nullptr), "");
  EXPECT_EQ(AnsiToUtf8(""), "");
  std::wstring wide;
  wide += static_cast<wchar_t>(0x4E2D);
  wide += static_cast<wchar_t>(0x6587);
  EXPECT_EQ(WideToAnsi(wide), kZhongWen);
  EXPECT_EQ(WideToUtf8(wide), "\xE4\xB8\xAD\xE6\x96\x87");
  EXPECT_EQ(WideToUtf8(std::wstring()), "");
}

TEST(TextConversion, CharactersOutsideTheCodePageBecomeDefaultCharacters) {
  if (GetACP() != 936) GTEST_SKIP() << "needs the GBK active code page";
  // The euro sign is the single byte 0x80 in code page 936.
  std::string out = Utf8ToAnsi("\xE2\x82\xAC");
  EXPECT_EQ(out, "\x80");
  // Invalid UTF-8 is not an error: it becomes a replacement.
  std::string bad = Utf8ToAnsi(
      "a\xFF"
      "b");
  EXPECT_EQ(bad.front(), 'a');
  EXPECT_EQ(bad.back(), 'b');
  EXPECT_GT(bad.size(), 2u);
}

}  // namespace
