// The update service's reply: the bytes come back from PostRequest, the
// package list goes out of RequestSoftList.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "update/softupdate.h"

namespace {

class ReplayComm : public CCommBase {
 public:
  explicit ReplayComm(std::string reply) : m_strReply(std::move(reply)) {}
  int SetServerUrl(const char*, int) override { return 0; }
  int PostRequest(std::string strRequest, std::string* pstrReply) override {
    m_strRequest = strRequest;
    *pstrReply = m_strReply;
    return 0;
  }
  int DownloadFile(std::string, std::string, DownloadProgressProc, std::string*) override {
    return -1;
  }
  std::string m_strReply, m_strRequest;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string reply(reinterpret_cast<const char*>(data), size);
  ReplayComm comm(reply);
  CSoftUpdateTool tool;
  tool.m_pComm = &comm;
  tool.m_strServerUrl = "http://127.0.0.1:9006/update";
  SoftPackage earlier{"http://h/a.exe", "1", "a", true};
  tool.m_lstSoft.push_back(earlier);
  int rc = tool.RequestSoftList("uid", "soft", "1.0");
  FUZZ_CHECK(!comm.m_strRequest.empty());
  // The packages of the reply come after what the list held.
  FUZZ_CHECK(!tool.m_lstSoft.empty());
  FUZZ_CHECK(tool.m_lstSoft.front().strAddress == earlier.strAddress);

  std::list<SoftPackage> parsed;
  SoftListReply kind = ParseSoftListReply(reply, &parsed);
  if (kind != SOFTLIST_LISTED) FUZZ_CHECK(parsed.empty());
  // Only a text that is not JSON, or a listed hash that cannot be read,
  // fails the request, and then adds nothing.
  FUZZ_CHECK((rc == -1) == (kind == SOFTLIST_NOT_JSON || kind == SOFTLIST_BAD_HASH));
  FUZZ_CHECK(rc == 0 || rc == -1);
  // The same reply gives the same packages both ways.
  FUZZ_CHECK(tool.m_lstSoft.size() == parsed.size() + 1);
  auto it = ++tool.m_lstSoft.begin();
  for (const SoftPackage& p : parsed) {
    FUZZ_CHECK(it->strAddress == p.strAddress && it->strVersion == p.strVersion &&
               it->strSoft == p.strSoft && it->bExcuteExe == p.bExcuteExe &&
               it->strSha256 == p.strSha256);
    // A hash handed on is always 64 lower-case hexadecimal digits.
    FUZZ_CHECK(p.strSha256.empty() ||
               (p.strSha256.size() == 64 &&
                p.strSha256.find_first_not_of("0123456789abcdef") == std::string::npos));
    ++it;
  }
  return 0;
}
