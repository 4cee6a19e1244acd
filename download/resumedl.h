// The download of a package whose SHA-256 is known: when the connection
// breaks after bytes have arrived it goes on from the bytes already written
// (a Range request, guarded by If-Range), and the whole file is checked
// against the digest at the end. Only hashed packages take this path: the
// digest is what makes stitched bytes safe to run.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "download/progress.h"

// What a file holds of a download so far; kept by the caller between tries.
struct PartialDownload {
  uint64_t cbHave = 0;       // bytes in the file, from its start
  uint64_t cbTotal = 0;      // length of the whole file; 0: no answer seen yet
  std::string strValidator;  // the ETag (else Last-Modified) the bytes came with
};

// Continuations in a row that may bring no new byte before the download
// gives up.
const int kMaxIdleContinuations = 3;

// Fetches strUrl into strLocal, going on from *pState when it holds bytes
// (those of strLocal are hashed first; a file that does not match its state
// starts over). A reply of 206 whose Content-Range starts at the bytes held
// and names the same total is appended; 200 starts over from byte 0; any
// other status fails. 0 when strLocal holds the whole file with the digest
// strSha256 (lower case); -1 or the HTTP status otherwise, with *pState
// saying what strLocal holds (a file whose digest is wrong is deleted and
// the state emptied). Progress never goes backwards within a call.
// onAnswer (when set) is told each time a whole answer (200) fixes the
// total and validator, before its bytes are written: a caller that keeps
// them can go on from the file even after the process was ended.
int FetchVerified(const std::string& strUrl, const std::string& strLocal,
                  const std::string& strSha256, DownloadProgressProc pfnProgress,
                  PartialDownload* pState,
                  const std::function<void(const PartialDownload&)>& onAnswer = nullptr);

// Tells pfnProgress (when set) that cbDone of cbTotal bytes are there, in the
// int counts it takes (both halved together until the total fits).
void ReportDownloadBytes(DownloadProgressProc pfnProgress, uint64_t cbDone, uint64_t cbTotal);

// "bytes FIRST-LAST/TOTAL" of a Content-Range header; false for anything
// else (an unknown total "*" included).
bool ParseContentRange(const std::string& strValue, uint64_t* pFirst, uint64_t* pLast,
                       uint64_t* pTotal);
