// The local service's reply: ParseVersionReply on the bytes, and the reply
// path of QueryVersion with the simulated WinInet answering with them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "env/localservice.h"
#include "httpclient/httpclient.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  std::string bytes(reinterpret_cast<const char*>(data), size);

  int nCode = -12345;
  std::string msg, version;
  int r = CLocalServiceQuery::ParseVersionReply(bytes.c_str(), &nCode, &msg, &version);
  FUZZ_CHECK(r == 0 || r == ERR_JSON_FORMAT);

  pavfuzz::FreshMachine();
  simwin::HttpReply reply;
  reply.body = bytes;
  // The first byte picks how the body is framed and cut into reads.
  uint8_t mode = size ? data[0] : 0;
  reply.framing = static_cast<simwin::HttpReply::Framing>(mode % 3);
  reply.maxReadChunk = (mode >> 2) & 7;
  simwin::ServeAt("127.0.0.1", 28000, reply);

  CLocalServiceQuery query;
  query.m_strCrosFlag = "0";
  query.m_strClientMode = "0";
  query.m_strApiVersion = "1.0";
  query.m_strBaseUrl = "https://127.0.0.1:28000";
  std::string got = "unchanged";
  int q = query.QueryVersion(&got);
  // A whole body with its length, up to its first NUL, is what is parsed:
  // the query's result is the parse's, then the reply's code, and only a
  // success hands back the version, in the ANSI code page.
  std::string text = bytes.substr(0, bytes.find('\0'));
  if (reply.framing == simwin::HttpReply::kContentLength && !bytes.empty()) {
    nCode = -12345;
    version = "unset";
    int p = CLocalServiceQuery::ParseVersionReply(text.c_str(), &nCode, &msg, &version);
    FUZZ_CHECK(q == (p != 0 ? p : nCode));
    if (q == 0) FUZZ_CHECK(got == Corvu::Utf8ToAnsi(version.c_str()));
  }
  if (q != 0) FUZZ_CHECK(got == "unchanged");
  // Every Internet handle of the exchange is closed again.
  FUZZ_CHECK(simwin::OpenInternetHandles().empty());
  FUZZ_CHECK(simwin::HttpRequests().size() == 1);
  return 0;
}
