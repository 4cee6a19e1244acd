// The HTTP door of an update run: remember the service URL, post a request
// text to it, download a file into a folder.
#pragma once
#include <string>

#include "download/progress.h"

// Results of PostRequest and DownloadFile: 0 success, -1 a failure on this
// side (empty or short body, file error, library error), otherwise the HTTP
// status of a reply other than 200.
class CCommBase {
 public:
  virtual int SetServerUrl(const char* szUrl, int nReserved) = 0;
  virtual int PostRequest(std::string strRequest, std::string* pstrReply) = 0;
  virtual int DownloadFile(std::string strFolder, std::string strUrl,
                           DownloadProgressProc pfnProgress, std::string* pstrLocalPath) = 0;
  // Opt-in check of the next DownloadFile only: the SHA-256 (64 hexadecimal
  // digits, either case) that the file's bytes must have; empty for none. 0,
  // or -1 when the text is no such digest or this object cannot check (the
  // download must then not be made).
  virtual int SetExpectedSha256(const std::string& strHex) { return strHex.empty() ? 0 : -1; }

 protected:
  // Not deleted through this base: owners hold the concrete object.
  ~CCommBase() = default;
};
