// The bundled services as Windows' own HTTP stack sees them: WinInet requests
// made the way the installer's HTTP library makes them, against services
// that a ctest fixture started on loopback (state folder in
// PAVONIX_TOOLS_STATE, a Windows path).

#include "platform/win.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const DWORD kFlags = 0x84400F00;  // the installer's request flags
const size_t kPackageSize = 100000;

std::string ReadFile(const std::string& path) {
  std::string data;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    return data;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    data.append(buf, n);
  }
  std::fclose(f);
  return data;
}

std::string StateDir() {
  char buf[MAX_PATH] = {0};
  DWORD n = GetEnvironmentVariableA("PAVONIX_TOOLS_STATE", buf, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::string(buf, n) : std::string();
}

struct Ports {
  int update = 0, packages = 0;
  std::string packagesUrl;
};

bool LoadPorts(Ports* p) {
  Json::Value root;
  Json::Reader reader;
  if (!reader.parse(ReadFile(StateDir() + "\\ready.json"), root) || !root.isObject()) {
    return false;
  }
  p->update = root["update-service"]["port"].asInt();
  p->packages = root["package-server"]["port"].asInt();
  p->packagesUrl = root["package-server"]["url"].asString();
  return p->update > 0 && p->packages > 0;
}

// Last line of the update service's log, parsed.
Json::Value LastUpdateLogEntry() {
  std::string text = ReadFile(StateDir() + "\\..\\update-service.jsonl");
  while (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  Json::Value entry;
  Json::Reader reader;
  reader.parse(text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1),
               entry);
  return entry;
}

// The client's byte-wise URL encoding.
std::string Encode(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      char esc[4];
      std::snprintf(esc, sizeof esc, "%%%02X", c);
      out += esc;
    }
  }
  return out;
}

std::string RequestText(const std::string& soft, const std::string& version) {
  return "{\"data\":{\"softList\":[{\"soft\":\"" + soft +
         "\",\"upgrade\":\"false\",\"version\":\"" + version +
         "\"}]},\"pid\":\"PROTOCOL_99\",\"uid\":\"8F0C3B2A-1D4E-4F60-9A7B-112233445566\"}\n";
}

struct Reply {
  bool sent = false;
  DWORD error = 0;  // of the send, or of the first failed read
  DWORD status = 0;
  bool hasLength = false;
  DWORD length = 0;
  std::string body;
};

void AddHeader(HINTERNET req, const char* line) {
  HttpAddRequestHeadersA(req, line, static_cast<DWORD>(std::strlen(line)), HTTP_ADDREQ_FLAG_ADD);
}

// One exchange; `timeoutMs` > 0 sets the five time-outs on the request handle.
Reply Exchange(int port, const char* verb, const std::string& object, const std::string& body,
               DWORD timeoutMs = 0) {
  Reply r;
  HINTERNET inet =
      InternetOpenA("Corvu HTTP Client Class", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET con = inet ? InternetConnectA(inet, "127.0.0.1", static_cast<INTERNET_PORT>(port),
                                          nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0)
                       : nullptr;
  const char* accept[] = {"*/*", nullptr};
  HINTERNET req =
      con ? HttpOpenRequestA(con, verb, object.c_str(), "HTTP/1.1", nullptr, accept, kFlags, 0)
          : nullptr;
  if (!req) {
    r.error = GetLastError();
  } else {
    if (timeoutMs > 0) {
      for (DWORD option : {2u, 5u, 6u, 7u, 8u}) {
        InternetSetOptionA(req, option, &timeoutMs, sizeof timeoutMs);
      }
    }
    AddHeader(req, "Cache-Control: no-cache\r\n");
    if (std::strcmp(verb, "POST") == 0) {
      AddHeader(req, "Content-Type: application/x-www-form-urlencoded\r\n");
      INTERNET_BUFFERSA ib;
      std::memset(&ib, 0, sizeof ib);
      ib.dwStructSize = sizeof ib;
      ib.dwBufferTotal = static_cast<DWORD>(body.size());
      DWORD written = 0;
      r.sent = HttpSendRequestExA(req, &ib, nullptr, 0, 0) &&
               InternetWriteFile(req, body.data(), static_cast<DWORD>(body.size()), &written) &&
               HttpEndRequestA(req, nullptr, 0, 0);
    } else {
      r.sent = HttpSendRequestA(req, nullptr, 0, nullptr, 0);
    }
    if (!r.sent) {
      r.error = GetLastError();
    } else {
      DWORD size = sizeof r.status;
      HttpQueryInfoA(req, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &r.status, &size,
                     nullptr);
      size = sizeof r.length;
      r.hasLength = HttpQueryInfoA(req, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                                   &r.length, &size, nullptr) != FALSE;
      char buf[10240];
      for (int reads = 0; reads < 100000; ++reads) {
        DWORD n = 0;
        if (!InternetReadFile(req, buf, sizeof buf, &n)) {
          r.error = GetLastError();
          break;
        }
        if (n == 0) {
          break;
        }
        r.body.append(buf, n);
      }
    }
  }
  if (req) InternetCloseHandle(req);
  if (con) InternetCloseHandle(con);
  if (inet) InternetCloseHandle(inet);
  return r;
}

class ServicesOverWinInet : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(LoadPorts(&ports_)) << "no ready.json under " << StateDir(); }

  Reply Ask(const std::string& soft, const std::string& version,
            const std::string& object = "//softServer/req") {
    return Exchange(ports_.update, "POST", object,
                    "requestStr=" + Encode(RequestText(soft, version)));
  }

  Reply Get(const std::string& object, DWORD timeoutMs = 0) {
    return Exchange(ports_.packages, "GET", object, std::string(), timeoutMs);
  }

  Ports ports_;
};

TEST_F(ServicesOverWinInet, UpdateAnswerIsByteExactAndTheDoubledSlashArrives) {
  Reply r = Ask("levyDesk", "V1.0");
  ASSERT_TRUE(r.sent) << r.error;
  EXPECT_EQ(r.status, 200u);
  std::string expected =
      "{\"code\":\"0\",\"data\":{\"softList\":[{\"address\":\"" + ports_.packagesUrl +
      "/pkg.bin\",\"version\":\"V1.0\",\"soft\":\"levyDesk\",\"excuteExe\":true,"
      // The service adds the SHA-256 of each package file it serves.
      "\"sha256\":\"aca9e593cc629cbaa94cd5a07dc029424aad93e5129e5d11f8dcd2f139c16cc0\"}]}}";
  EXPECT_EQ(r.body, expected);
  EXPECT_TRUE(r.hasLength);
  EXPECT_EQ(r.length, expected.size());

  Json::Value entry = LastUpdateLogEntry();
  EXPECT_EQ(entry["path"].asString(), "//softServer/req");
  EXPECT_EQ(entry["requestStr"].asString(), RequestText("levyDesk", "V1.0"));
  bool agent = false, cache = false;
  for (const Json::Value& h : entry["headers"]) {
    agent |= h[0].asString() == "User-Agent" && h[1].asString() == "Corvu HTTP Client Class";
    cache |= h[0].asString() == "Cache-Control" && h[1].asString() == "no-cache";
  }
  EXPECT_TRUE(agent);
  EXPECT_TRUE(cache);
}

TEST_F(ServicesOverWinInet, UpdateFaultsAsWinInetSeesThem) {
  Reply chunked = Ask("chunked", "1");
  EXPECT_EQ(chunked.status, 200u);
  EXPECT_FALSE(chunked.hasLength);
  EXPECT_NE(chunked.body.find("\"code\":\"0\""), std::string::npos);

  Reply empty = Ask("empty", "1");
  EXPECT_EQ(empty.status, 200u);
  EXPECT_TRUE(empty.hasLength);
  EXPECT_EQ(empty.length, 0u);

  EXPECT_EQ(Ask("broken", "1").status, 500u);
  EXPECT_EQ(Ask("levyDesk", "V1.0", "/other").status, 404u);
  Reply code1 = Ask("code1", "1");
  EXPECT_EQ(code1.body.compare(0, 11, "{\"code\":\"1\""), 0) << code1.body;
}

TEST_F(ServicesOverWinInet, PackageDownloadsAndTheirFaults) {
  Reply whole = Get("/pkg.bin");
  EXPECT_EQ(whole.status, 200u);
  EXPECT_EQ(whole.length, kPackageSize);
  EXPECT_EQ(whole.body.size(), kPackageSize);

  Reply shortened = Get("/fault/short/pkg.bin");
  EXPECT_EQ(shortened.length, kPackageSize);
  EXPECT_EQ(shortened.body.size(), kPackageSize - 1);

  Reply cut = Get("/fault/cut/pkg.bin");
  EXPECT_EQ(cut.length, kPackageSize);
  EXPECT_EQ(cut.body.size(), kPackageSize / 2);

  // A reset may cost the head too: only that it ends, short.
  Reply reset = Get("/fault/reset/pkg.bin");
  EXPECT_LE(reset.body.size(), kPackageSize / 2);

  Reply chunked = Get("/fault/chunked/pkg.bin");
  EXPECT_FALSE(chunked.hasLength);
  EXPECT_EQ(chunked.body.size(), kPackageSize);

  Reply empty = Get("/fault/empty/pkg.bin");
  EXPECT_TRUE(empty.hasLength);
  EXPECT_EQ(empty.length, 0u);

  EXPECT_EQ(Get("/missing.bin").status, 404u);
  EXPECT_EQ(Get("/..%5Cpkg.bin").status, 404u);
}

TEST_F(ServicesOverWinInet, StallOutlastsATimeOutOnTheRequestHandle) {
  DWORD start = GetTickCount();
  Reply r = Get("/fault/slow=5000/pkg.bin", 1000);
  DWORD elapsed = GetTickCount() - start;
  EXPECT_LT(r.body.size(), kPackageSize);
  EXPECT_NE(r.error, 0u);
  EXPECT_LT(elapsed, 4000u);
}

}  // namespace
