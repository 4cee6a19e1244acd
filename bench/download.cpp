// One timed download under Wine.
//
//   pavonix_bench_download program URL FOLDER\   the program's DownloadFile on a
//       worker thread, its progress (ReportDownloadProgress) sent to a visible
//       page that ShowDownloadPercent repaints while this thread pumps messages
//   pavonix_bench_download quiet URL FOLDER\     the same without a progress callback
//   pavonix_bench_download hashed URL FOLDER\ SHA256   quiet, the package's SHA-256
//       given: the resuming, cached download of a hashed package
//   pavonix_bench_download bare URL FILE         InternetReadFile reads of 10240
//       bytes written with fwrite: the floor of that read size
//   pavonix_bench_download roundtrip noop|page|moving|hidden N   N progress messages
//       alone, without a download (bench/roundtrip.h, its own record)
//
// Prints one tab-separated record:
//   download <mode> <rc> <bytes> <ms> <peak working set> <progress messages> <text paints> <percent
//   text>
// rc is DownloadFile's result (0: the whole announced length was written).
// Exit code 0 once the record is printed, 2 for a usage error, 3 when the
// page cannot be made, 4 when the download did not end in time.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/contract.h"
#include "bench/benchpage.h"
#include "bench/roundtrip.h"
#include "platform/win.h"
#include "update/httpcommtools.h"

namespace {

const DWORD kTimeoutMs = 15000;  // the program's download time-out
const DWORD kReadChunk = 10240;  // the program's read size
const DWORD kRunLimitMs = 300000;

struct Job {
  std::string strFolder;
  std::string strUrl;
  std::string strLocal;
  std::string strSha256;
  DownloadProgressProc pfnProgress = ReportDownloadProgress;
  int nResult = -1;
  double dMs = 0;
};

DWORD WINAPI DownloadThread(LPVOID p) {
  Job* job = static_cast<Job*>(p);
  CHTTPCommTools comm;
  const double t0 = bench::NowMs();
  if (!job->strSha256.empty() && comm.SetExpectedSha256(job->strSha256) != 0) return 0;
  job->nResult = comm.DownloadFile(job->strFolder, job->strUrl, job->pfnProgress, &job->strLocal);
  job->dMs = bench::NowMs() - t0;
  return 0;
}

unsigned long long FileSize(const std::string& strPath) {
  WIN32_FILE_ATTRIBUTE_DATA fad;
  if (!GetFileAttributesExA(strPath.c_str(), GetFileExInfoStandard, &fad)) return 0;
  return (static_cast<unsigned long long>(fad.nFileSizeHigh) << 32) | fad.nFileSizeLow;
}

void SetTimeouts(HINTERNET h) {
  static const DWORD kOptions[5] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                                    INTERNET_OPTION_RECEIVE_TIMEOUT,
                                    INTERNET_OPTION_DATA_SEND_TIMEOUT,
                                    INTERNET_OPTION_DATA_RECEIVE_TIMEOUT};
  for (DWORD dwOption : kOptions) {
    DWORD dwValue = kTimeoutMs;
    InternetSetOptionA(h, dwOption, &dwValue, sizeof(dwValue));
  }
}

// The same request as the program's (flags, accept types, time-outs), read
// in blocks of kReadChunk straight into the file. 0 when the announced length
// arrived, the HTTP status for another status, -1 otherwise.
int BareDownload(const std::string& strUrl, const std::string& strFile,
                 unsigned long long* pcbTotal) {
  char szHost[256] = {0}, szPath[2048] = {0};
  URL_COMPONENTSA uc;
  std::memset(&uc, 0, sizeof(uc));
  uc.dwStructSize = sizeof(uc);
  uc.lpszHostName = szHost;
  uc.dwHostNameLength = sizeof(szHost);
  uc.lpszUrlPath = szPath;
  uc.dwUrlPathLength = sizeof(szPath);
  if (!InternetCrackUrlA(strUrl.c_str(), 0, 0, &uc)) return -1;

  const DWORD dwFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                        INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_RESYNCHRONIZE |
                        INTERNET_FLAG_HYPERLINK | INTERNET_FLAG_NO_UI |
                        INTERNET_FLAG_PRAGMA_NOCACHE;
  int nResult = -1;
  HINTERNET hInternet =
      InternetOpenA("Corvu HTTP Client Class", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET hConnection = nullptr, hRequest = nullptr;
  if (hInternet) {
    SetTimeouts(hInternet);
    hConnection = InternetConnectA(hInternet, szHost, uc.nPort, nullptr, nullptr,
                                   INTERNET_SERVICE_HTTP, 0, 0);
  }
  LPCSTR accept[] = {"*/*", nullptr};
  if (hConnection)
    hRequest =
        HttpOpenRequestA(hConnection, "GET", szPath, "HTTP/1.1", nullptr, accept, dwFlags, 0);
  if (hRequest && HttpSendRequestA(hRequest, nullptr, 0, nullptr, 0)) {
    DWORD dwStatus = 0, dwLength = 0, cb = sizeof(DWORD);
    HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwStatus, &cb,
                   nullptr);
    cb = sizeof(DWORD);
    BOOL bLength = HttpQueryInfoA(hRequest, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                                  &dwLength, &cb, nullptr);
    if (dwStatus != 200) {
      nResult = static_cast<int>(dwStatus);
    } else if (bLength) {
      FILE* fp = std::fopen(strFile.c_str(), "wb");
      if (fp) {
        static BYTE buf[kReadChunk];
        unsigned long long cbTotal = 0;
        bool bOk = true;
        for (;;) {
          DWORD n = 0;
          if (!InternetReadFile(hRequest, buf, kReadChunk, &n)) {
            bOk = false;
            break;
          }
          if (n == 0) break;
          if (std::fwrite(buf, 1, n, fp) != n) {
            bOk = false;
            break;
          }
          cbTotal += n;
        }
        if (std::fclose(fp) != 0) bOk = false;
        *pcbTotal = cbTotal;
        nResult = (bOk && cbTotal == dwLength) ? 0 : -1;
      }
    }
  }
  if (hRequest) InternetCloseHandle(hRequest);
  if (hConnection) InternetCloseHandle(hConnection);
  if (hInternet) InternetCloseHandle(hInternet);
  return nResult;
}

void PrintRecord(const char* szMode, int nResult, unsigned long long cbBytes, double dMs,
                 const std::string& strText) {
  std::printf("download\t%s\t%d\t%llu\t%.3f\t%llu\t%d\t%d\t%s\n", szMode, nResult, cbBytes, dMs,
              bench::PeakWorkingSetBytes(), bench::g_counters.nProgressMessages,
              bench::g_counters.nTextPaints, strText.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "roundtrip") == 0) {
    const char* szVariant = argc == 4 ? argv[2] : "";
    char* pEnd = nullptr;
    const long nMessages = argc == 4 ? std::strtol(argv[3], &pEnd, 10) : 0;
    const bool bVariant =
        std::strcmp(szVariant, "noop") == 0 || std::strcmp(szVariant, "page") == 0 ||
        std::strcmp(szVariant, "moving") == 0 || std::strcmp(szVariant, "hidden") == 0;
    if (!bVariant || pEnd == argv[3] || *pEnd != '\0' || nMessages < 1 || nMessages > 1000000) {
      std::fprintf(
          stderr,
          "usage: pavonix_bench_download roundtrip noop|page|moving|hidden N (1..1000000)\n");
      return 2;
    }
    return bench::RoundTrip(szVariant, static_cast<int>(nMessages));
  }
  const bool bKnownMode =
      (argc == 4 && (std::strcmp(argv[1], "program") == 0 || std::strcmp(argv[1], "quiet") == 0 ||
                     std::strcmp(argv[1], "bare") == 0)) ||
      (argc == 5 && std::strcmp(argv[1], "hashed") == 0);
  if (!bKnownMode) {
    std::fprintf(stderr,
                 "usage: pavonix_bench_download program|quiet URL FOLDER\\ | hashed URL FOLDER\\ "
                 "SHA256 | bare URL FILE | roundtrip VARIANT N\n");
    return 2;
  }
  const std::string strMode = argv[1], strUrl = argv[2], strTarget = argv[3];

  if (strMode == "bare") {
    unsigned long long cbTotal = 0;
    const double t0 = bench::NowMs();
    int nResult = BareDownload(strUrl, strTarget, &cbTotal);
    const double dMs = bench::NowMs() - t0;
    PrintRecord("bare", nResult, cbTotal, dMs, "");
    return 0;
  }

  Job job;
  job.strFolder = strTarget;
  job.strUrl = strUrl;
  if (strMode == "quiet" || strMode == "hashed") {
    job.pfnProgress = nullptr;
    if (strMode == "hashed") job.strSha256 = argv[4];
  } else if (!bench::CreatePage(GetModuleHandleA(nullptr))) {
    std::fprintf(stderr, "cannot create the progress page (%lu)\n",
                 static_cast<unsigned long>(GetLastError()));
    return 3;
  }
  HANDLE hThread = CreateThread(nullptr, 0, DownloadThread, &job, 0, nullptr);
  if (!hThread) return 3;
  if (!bench::PumpUntil(hThread, kRunLimitMs)) {
    std::fprintf(stderr, "the download did not end within %lu ms\n",
                 static_cast<unsigned long>(kRunLimitMs));
    std::fflush(stderr);
    ExitProcess(4);  // the worker may still be blocked in a send to this thread
  }
  CloseHandle(hThread);
  PrintRecord(strMode.c_str(), job.nResult, FileSize(job.strLocal), job.dMs,
              strMode == "program" ? bench::PercentText() : std::string());
  return 0;
}
