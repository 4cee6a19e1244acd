// The HTTP door of the update run. Every operation builds its own HTTP client
// and Internet handle and releases both before it returns.
#pragma once
#include <string>

#include "download/verifieddl.h"
#include "update/commbase.h"

class CHTTPCommTools : public CCommBase {
 public:
  CHTTPCommTools() = default;
  virtual ~CHTTPCommTools() = default;

  // Remembers the URL that PostRequest posts to. Returns 0.
  int SetServerUrl(const char* szUrl, int nReserved) override;
  // Posts strRequest to the remembered URL (see PostRequestString).
  int PostRequest(std::string strRequest, std::string* pstrReply) override;
  // GET of strUrl into strFolder (which ends in a backslash), under the part
  // of the URL after its last "/". 0 when the whole announced length was
  // written; -1 for a missing length, an unsafe file name, a file error, a
  // short body or a library error; else the HTTP status. *pstrLocalPath
  // receives the local path once the transfer ran.
  int DownloadFile(std::string strFolder, std::string strUrl, DownloadProgressProc pfnProgress,
                   std::string* pstrLocalPath) override;
  // The next DownloadFile hashes the bytes as it writes them, goes on from
  // the bytes written when the connection breaks (see resumedl.h), and fails
  // (-1, one ERROR line) unless their SHA-256 is this one.
  int SetExpectedSha256(const std::string& strHex) override;

  // The request text as the one form field "requestStr"; the reply body (up
  // to its first NUL byte) in *pstrReply. 0, -1 or the HTTP status.
  int PostRequestString(std::string strUrl, std::string strRequest, std::string* pstrReply);

  std::string m_strServerUrl;
  std::string m_strExpectedSha256;  // lower case; empty: no check

 private:
  // Downloads with a digest: hashed, cached, resumed.
  CVerifiedDownload m_verified;
};

// The part of a URL after its last "/" (the whole URL when it has none),
// taken as it stands: nothing is decoded.
std::string UrlFileName(const std::string& strUrl);
// True for a name that names a file directly inside a folder: not empty, not
// "." or "..", no path separator, drive colon, wildcard, control character or
// other character Windows refuses, no trailing dot or blank, no device name.
bool IsPlainFileName(const std::string& strName);
