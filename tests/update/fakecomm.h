// A scripted communication object for the update protocol and driver tests.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "update/commbase.h"

class FakeComm : public CCommBase {
 public:
  struct Download {
    std::string folder, url;
    bool hasProgress;
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
    downloads.push_back({strFolder, strUrl, pfn != nullptr});
    int rc = downloadResult ? downloadResult(strUrl, static_cast<int>(downloads.size())) : 0;
    if (pfn) {
      pfn(0, 1000);
      pfn(1000, 1000);
    }
    *pstrLocalPath = strFolder + strUrl.substr(strUrl.rfind('/') + 1);
    return rc;
  }
};
