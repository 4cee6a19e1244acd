#include "download/resumedl.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "download/pipedsha.h"
#include "httpclient/httpclient.h"
#include "log/log.h"
#include "net/httpreply.h"
#include "platform/crypto.h"
#include "platform/win.h"
#include "runfolder/busywait.h"

namespace {

const DWORD kDownloadTimeoutMs = 15000;
const DWORD kReadChunk = 10240;

bool ParseDecimal(const std::string& s, uint64_t* pValue) {
  if (s.empty() || s.size() > 19) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *pValue = v;
  return true;
}

// The file being written, its digest so far and what it holds.
class CPartialFile {
 public:
  CPartialFile(const std::string& strPath, PartialDownload* pState)
      : m_strPath(strPath), m_pState(pState) {}
  ~CPartialFile() { Close(); }

  // Opens the file to go on from the state (its bytes hashed again) or, when
  // it holds nothing usable, empty. False (one ERROR line) when it cannot be
  // opened.
  bool Open() {
    if (m_pState->cbHave > 0 && !HashExisting()) *m_pState = PartialDownload();
    if (m_pState->cbHave == 0) return Restart();
    // Written by the last attempt or run: a scanner may have it open.
    m_fp = OpenWaitingOut(m_strPath, "ab");
    if (m_fp == nullptr) return Failed("opening");
    return true;
  }

  // Drops every byte: the file is emptied, the digest started again.
  bool Restart() {
    Close();
    m_pState->cbHave = 0;
    m_pHasher.reset(new CPipedSha256);
    m_bHashed = true;
    m_fp = OpenWaitingOut(m_strPath, "wb");
    if (m_fp == nullptr) return Failed("opening");
    return true;
  }

  bool IsOpen() const { return m_fp != nullptr; }

  bool Append(const BYTE* p, DWORD n) {
    if (plat_fwrite(p, 1, n, m_fp) != n) return Failed("writing");
    m_bHashed = m_pHasher->Update(p, n) && m_bHashed;
    m_pState->cbHave += n;
    return true;
  }

  // Closes the file; false (one ERROR line) when the last bytes could not
  // be flushed.
  bool Finish() {
    FILE* fp = m_fp;
    m_fp = nullptr;
    if (fp != nullptr && plat_fclose(fp) != 0) return Failed("closing");
    return true;
  }

  // Whether the bytes written have the digest; a file that has another one
  // is deleted. One ERROR line when not.
  bool Verify(const std::string& strWant) {
    std::string strGot;
    if (!m_bHashed || !m_pHasher->FinalHex(&strGot)) {
      LogError("SHA-256 of %s could not be computed", m_strPath.c_str());
      return false;
    }
    if (strGot == strWant) return true;
    LogError("SHA-256 of %s is %s, not the listed %s", m_strPath.c_str(), strGot.c_str(),
             strWant.c_str());
    DeleteFileA(m_strPath.c_str());
    *m_pState = PartialDownload();
    return false;
  }

 private:
  void Close() {
    if (m_fp != nullptr) plat_fclose(m_fp);
    m_fp = nullptr;
  }

  bool Failed(const char* szWhat) {
    LogError("%s %s failed", szWhat, m_strPath.c_str());
    Close();
    *m_pState = PartialDownload();
    return false;
  }

  // Hashes the cbHave bytes the file holds; false when it holds another
  // count or cannot be read.
  bool HashExisting() {
    m_pHasher.reset(new CPipedSha256);
    m_bHashed = true;
    FILE* fp = OpenWaitingOut(m_strPath, "rb");
    if (fp == nullptr) return false;
    std::vector<BYTE> buf(64 * 1024);
    uint64_t cbRead = 0;
    for (;;) {
      size_t n = plat_fread(buf.data(), 1, buf.size(), fp);
      if (n == 0) break;
      m_bHashed = m_pHasher->Update(buf.data(), n) && m_bHashed;
      cbRead += n;
      if (cbRead > m_pState->cbHave) break;
    }
    plat_fclose(fp);
    return cbRead == m_pState->cbHave && m_bHashed;
  }

  std::string m_strPath;
  PartialDownload* m_pState;
  FILE* m_fp = nullptr;
  std::unique_ptr<CPipedSha256> m_pHasher;
  bool m_bHashed = true;
};

enum Outcome {
  kBroke,     // the connection ended before the whole file: go on
  kComplete,  // every byte is in the file
  kFailed     // stop with nResult
};

// The validator a continuation sends in If-Range: a strong ETag, else the
// Last-Modified date. Weak tags cannot guard a range.
std::string ValidatorOf(Corvu::CHttpResponse* pResponse) {
  std::string v;
  if (pResponse->GetHeader("ETag", v) && !v.empty() && v.compare(0, 2, "W/") != 0) return v;
  v.clear();
  if (pResponse->GetHeader("Last-Modified", v)) return v;
  return std::string();
}

}  // namespace

void ReportDownloadBytes(DownloadProgressProc pfnProgress, uint64_t cbDone, uint64_t cbTotal) {
  if (pfnProgress == nullptr) return;
  // The callback takes ints: lengths of 2 GiB and more are halved together,
  // so the percent stays right instead of going negative.
  int shift = 0;
  while ((cbTotal >> shift) > static_cast<uint64_t>(INT_MAX)) ++shift;
  pfnProgress(static_cast<int>(std::min<uint64_t>(cbDone >> shift, INT_MAX)),
              static_cast<int>(cbTotal >> shift));
}

bool ParseContentRange(const std::string& strValue, uint64_t* pFirst, uint64_t* pLast,
                       uint64_t* pTotal) {
  const std::string kUnit = "bytes ";
  if (strValue.compare(0, kUnit.size(), kUnit) != 0) return false;
  const std::string rest = strValue.substr(kUnit.size());
  const size_t dash = rest.find('-'), slash = rest.find('/');
  if (dash == std::string::npos || slash == std::string::npos || slash < dash) return false;
  uint64_t first = 0, last = 0, total = 0;
  if (!ParseDecimal(rest.substr(0, dash), &first) ||
      !ParseDecimal(rest.substr(dash + 1, slash - dash - 1), &last) ||
      !ParseDecimal(rest.substr(slash + 1), &total))
    return false;
  if (last < first || last >= total) return false;
  *pFirst = first;
  *pLast = last;
  *pTotal = total;
  return true;
}

int FetchVerified(const std::string& strUrl, const std::string& strLocal,
                  const std::string& strSha256, DownloadProgressProc pfnProgress,
                  PartialDownload* pState,
                  const std::function<void(const PartialDownload&)>& onAnswer) {
  // Bytes kept from an answer of another length are none of this package.
  if (pState->cbSigned != 0 && pState->cbTotal != 0 && pState->cbTotal != pState->cbSigned) {
    pState->cbHave = 0;
    pState->cbTotal = 0;
    pState->strValidator.clear();
  }
  CPartialFile file(strLocal, pState);
  // Bytes held from before are checked now; a fresh file is only made once
  // the server has answered with the whole file's length.
  if (pState->cbHave > 0 && !file.Open()) return -1;
  Corvu::CHttpClient client;
  HINTERNET hInternet = nullptr;
  int nResult = -1;
  uint64_t cbShown = 0;  // the most the window was told: it never goes back
  int nIdle = 0, nContinuations = 0;
  const DWORD dwStart = GetTickCount();
  try {
    hInternet = pavonix::OpenInternetWithTimeouts(kDownloadTimeoutMs);
    client.SetInternetSettings(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  } catch (const Corvu::httpclientexceptionA& e) {
    LogError("%s", e.ErrorMessage());
    return -1;
  }
  for (;;) {
    const bool bContinuing = pState->cbTotal != 0;
    const uint64_t cbBefore = pState->cbHave;
    std::vector<std::pair<std::string, std::string>> headers;
    if (bContinuing) {
      headers.emplace_back("Range", "bytes=" + std::to_string(pState->cbHave) + "-");
      if (!pState->strValidator.empty()) headers.emplace_back("If-Range", pState->strValidator);
    }
    Outcome outcome = kBroke;
    Corvu::CHttpResponse* pResponse = nullptr;
    try {
      pResponse = pavonix::SendGetOnHandle(client, hInternet, strUrl.c_str(),
                                           Corvu::HTTPCLIENT_DEFAULT_REQUEST_FLAGS,
                                           kDownloadTimeoutMs, headers);
      const DWORD dwStatus = pResponse->GetStatus();
      DWORD cbLength = 0;
      const bool bHasLength = pResponse->GetContentLength(cbLength);
      std::string strRange;
      uint64_t first = 0, last = 0, total = 0;
      if (dwStatus == 200) {
        if (!bHasLength || cbLength == 0) {
          outcome = kFailed;
        } else if (pState->cbSigned != 0 && cbLength != pState->cbSigned) {
          LogError("%s answered %lu bytes, not the signed %llu", strUrl.c_str(),
                   static_cast<unsigned long>(cbLength),
                   static_cast<unsigned long long>(pState->cbSigned));
          outcome = kFailed;
        } else {
          if (bContinuing) LogDebug("%s answered in full: starting over", strUrl.c_str());
          if ((!file.IsOpen() || pState->cbHave != 0) && !file.Restart()) outcome = kFailed;
          pState->cbTotal = cbLength;
          pState->strValidator = ValidatorOf(pResponse);
          if (outcome != kFailed && onAnswer) onAnswer(*pState);
        }
      } else if (dwStatus == 206 && bContinuing) {
        if (!pResponse->GetHeader("Content-Range", strRange) ||
            !ParseContentRange(strRange, &first, &last, &total) || first != pState->cbHave ||
            total != pState->cbTotal || last + 1 != total ||
            (bHasLength && cbLength != last - first + 1)) {
          LogError("%s answered range %s, not bytes %llu- of %llu", strUrl.c_str(),
                   strRange.c_str(), static_cast<unsigned long long>(pState->cbHave),
                   static_cast<unsigned long long>(pState->cbTotal));
          outcome = kFailed;
        }
      } else {
        nResult = pavonix::StatusResult(dwStatus);
        outcome = kFailed;
      }
      if (outcome != kFailed) {
        BYTE buf[kReadChunk];
        while (pState->cbHave < pState->cbTotal) {
          const DWORD cbWant =
              static_cast<DWORD>(std::min<uint64_t>(kReadChunk, pState->cbTotal - pState->cbHave));
          DWORD n = pResponse->ReadContent(buf, cbWant);
          if (n == 0) break;
          if (!file.Append(buf, n)) {
            outcome = kFailed;
            break;
          }
          // Unsigned arithmetic: right across the tick count's wrap.
          if (GetTickCount() - dwStart > kMaxDownloadMs) {
            LogError("download of %s stopped at %llu of %llu bytes: longer than %lu minutes",
                     strUrl.c_str(), static_cast<unsigned long long>(pState->cbHave),
                     static_cast<unsigned long long>(pState->cbTotal), kMaxDownloadMs / 60000);
            outcome = kFailed;
            break;
          }
          cbShown = std::max(cbShown, pState->cbHave);
          ReportDownloadBytes(pfnProgress, cbShown, pState->cbTotal);
        }
        if (outcome != kFailed && pState->cbHave == pState->cbTotal) outcome = kComplete;
      }
    } catch (const Corvu::httpclientexceptionA& e) {
      if (pState->cbTotal == 0) {
        // No answer to build on: this fails as any download does.
        LogError("%s", e.ErrorMessage());
        outcome = kFailed;
      } else {
        LogDebug("%s broke at %llu of %llu bytes: %s", strUrl.c_str(),
                 static_cast<unsigned long long>(pState->cbHave),
                 static_cast<unsigned long long>(pState->cbTotal), e.ErrorMessage());
      }
    }
    delete pResponse;
    if (outcome == kFailed) break;
    if (outcome == kComplete) {
      if (file.Finish() && file.Verify(strSha256)) nResult = 0;
      break;
    }
    if (++nContinuations > kMaxContinuations) {
      LogError("download of %s stopped at %llu of %llu bytes: more than %d continuations",
               strUrl.c_str(), static_cast<unsigned long long>(pState->cbHave),
               static_cast<unsigned long long>(pState->cbTotal), kMaxContinuations);
      break;
    }
    nIdle = pState->cbHave > cbBefore ? 0 : nIdle + 1;
    if (nIdle >= kMaxIdleContinuations) {
      LogError("download of %s stopped at %llu of %llu bytes: %d continuations brought nothing",
               strUrl.c_str(), static_cast<unsigned long long>(pState->cbHave),
               static_cast<unsigned long long>(pState->cbTotal), kMaxIdleContinuations);
      break;
    }
  }
  file.Finish();
  client.CancelPost();
  InternetCloseHandle(hInternet);
  return nResult;
}
