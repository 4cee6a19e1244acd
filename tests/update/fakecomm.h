// A scripted communication object for the update protocol and driver tests.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/win.h"
#include "update/commbase.h"

class FakeComm : public CCommBase {
 public:
  struct Download {
    std::string folder, url;
    bool hasProgress;
    std::string sha256;  // what SetExpectedSha256 set for it
  };
  std::vector<std::string> serverUrls;  // every SetServerUrl
  std::vector<std::string> posted;      // every PostRequest text
  std::vector<Download> downloads;
  std::vector<std::string> calls;  // "url", "post", "get" in order

  // Answers of PostRequest, one per call; the last one repeats.
  struct Answer {
    int rc;
    std::string reply;
  };
  std::vector<Answer> answers{{0, "{\"code\":\"0\"}"}};
  // Result of each DownloadFile by URL; default 0. The local path is the
  // folder joined with the part after the last "/".
  std::function<int(const std::string& url, int callNo)> downloadResult;
  // Runs once a good download's file is written and closed.
  std::function<void(const std::string& localPath)> afterWrite;

  std::string pendingSha256;
  int SetExpectedSha256(const std::string& strHex) override {
    pendingSha256 = strHex;
    return 0;
  }
  int SetServerUrl(const char* szUrl, int) override {
    serverUrls.push_back(szUrl);
    calls.push_back("url");
    return 0;
  }
  int PostRequest(std::string strRequest, std::string* pstrReply) override {
    calls.push_back("post");
    posted.push_back(strRequest);
    const Answer& a = answers[std::min(posted.size() - 1, answers.size() - 1)];
    if (a.rc == 0) *pstrReply = a.reply;
    return a.rc;
  }
  int DownloadFile(std::string strFolder, std::string strUrl, DownloadProgressProc pfn,
                   std::string* pstrLocalPath) override {
    calls.push_back("get");
    downloads.push_back({strFolder, strUrl, pfn != nullptr, pendingSha256});
    pendingSha256.clear();
    int rc = downloadResult ? downloadResult(strUrl, static_cast<int>(downloads.size())) : 0;
    if (pfn) {
      pfn(0, 1000);
      pfn(1000, 1000);
    }
    *pstrLocalPath = strFolder + strUrl.substr(strUrl.rfind('/') + 1);
    // A good download leaves its file behind, as the real one does.
    if (rc == 0) {
      FILE* f = plat_fopen(pstrLocalPath->c_str(), "wb");
      if (f == nullptr) return -1;
      plat_fwrite(strUrl.data(), 1, strUrl.size(), f);
      plat_fclose(f);
      if (afterWrite) afterWrite(*pstrLocalPath);
    }
    return rc;
  }
};
