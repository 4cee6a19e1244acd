// Services that accept the request and then say nothing, over the real
// WinInet (under Wine): each exchange ends at its own time-out with -1, the
// update POST after about 10 s, the package download after about 15 s, the
// local service query after about 40 s. The
// stalling server (tests/support/loopback_server.py "/stall/<ms>") arrives
// in PAVONIX_TEST_PORT_PLAIN (HTTP) and PAVONIX_TEST_PORT_TLS (HTTPS, test CA
// trusted in the prefix).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "env/localservice.h"
#include "platform/win.h"
#include "update/httpcommtools.h"

namespace {

std::string Url(const char* scheme, const char* server, const char* path) {
  std::string var = std::string("PAVONIX_TEST_PORT_") + server;
  const char* port = std::getenv(var.c_str());
  return std::string(scheme) + "://127.0.0.1:" + (port ? port : "") + path;
}

double SecondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST(StalledService, EachExchangeEndsAtItsTimeout) {
  ASSERT_NE(std::getenv("PAVONIX_TEST_PORT_PLAIN"), nullptr);
  ASSERT_NE(std::getenv("PAVONIX_TEST_PORT_TLS"), nullptr);
  char szTemp[MAX_PATH] = {0};
  ASSERT_NE(GetTempPathA(MAX_PATH, szTemp), 0u);
  // All three at once; each stall is far longer than the time-out.
  int nUpdate = 0, nDownload = 0, nLocal = 0;
  double update = 0, download = 0, local = 0;
  std::string updateReply, localReply, localPath;
  std::thread tUpdate([&] {
    auto t0 = std::chrono::steady_clock::now();
    CHTTPCommTools comm;
    nUpdate = comm.PostRequestString(Url("http", "PLAIN", "/stall/90000"), "{}", &updateReply);
    update = SecondsSince(t0);
  });
  std::thread tDownload([&] {
    auto t0 = std::chrono::steady_clock::now();
    CHTTPCommTools comm;
    nDownload = comm.DownloadFile(szTemp, Url("http", "PLAIN", "/stall/90000/pavonix_stall.bin"),
                                  nullptr, &localPath);
    download = SecondsSince(t0);
  });
  auto t0 = std::chrono::steady_clock::now();
  nLocal = CLocalServiceQuery::PostJsonAsForm(Url("https", "TLS", "/stall/110000").c_str(),
                                              "{\"crosFlag\":\"0\"}", &localReply);
  local = SecondsSince(t0);
  tUpdate.join();
  tDownload.join();
  std::printf("update POST ended after %.1f s, download after %.1f s, local query after %.1f s\n",
              update, download, local);
  EXPECT_EQ(nUpdate, -1) << updateReply;
  EXPECT_EQ(nDownload, -1);
  EXPECT_EQ(nLocal, -1) << localReply;
  EXPECT_GT(update, 9.0);
  EXPECT_LT(update, 20.0);
  EXPECT_GT(download, 14.0);
  EXPECT_LT(download, 25.0);
  EXPECT_GT(local, 39.0);
  EXPECT_LT(local, 55.0);
  // No status, no file.
  EXPECT_EQ(GetFileAttributesA((std::string(szTemp) + "pavonix_stall.bin").c_str()),
            INVALID_FILE_ATTRIBUTES);
}

}  // namespace
