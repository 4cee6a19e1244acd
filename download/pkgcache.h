// The machine-wide package cache: packages with a SHA-256, kept under their
// digest in a folder only administrators may change, so that a later attempt
// or run neither fetches a verified package again nor starts a broken
// download from byte 0.
//
//   <common app data>\Pavonix\PackageCache\<sha256>        the package, or its
//                                                          first bytes while
//   <common app data>\Pavonix\PackageCache\<sha256>.state  says how far it got
//                                                          ("<total>\n<validator>")
//
// An entry's time stamp is its last use. Nothing is run from the cache: a
// package is copied into the run folder under its listed name, hashed on the
// way, and only a copy with the listed digest counts; the installer is hashed
// once more before it starts. One elevated instance at a time works on an
// entry (<sha256>.lock, held without sharing).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/safefs.h"
#include "platform/win.h"
#include "download/progress.h"

// Limits of the clean-up at start.
const uint64_t kCacheMaxBytes = 4ull << 30;
const int kCacheMaxIdleDays = 30;
const int kRunFolderMaxDays = 7;

class CPackageCache {
 public:
  CPackageCache() = default;
  ~CPackageCache();
  CPackageCache(const CPackageCache&) = delete;
  CPackageCache& operator=(const CPackageCache&) = delete;

  // Makes (or, with bCreate false, only finds) the cache folder, checks
  // that only administrators and SYSTEM may change it and that it is no
  // link, and holds it. False when there is no such folder to use (one ERROR
  // line when it is not protected): downloads then go straight into the run
  // folder.
  bool Open(bool bCreate = true);
  bool IsOpen() const { return m_held.IsOpen(); }
  const std::string& Path() const { return m_strPath; }

  // Puts the package strSha256 into strTarget (a file of the run folder):
  // from the cache when its entry is whole and right, else fetched from
  // strUrl into the cache first (going on from a kept partial download). 0
  // once strTarget holds bytes with that digest; else -1 or the HTTP status.
  // cbSize: the length a fetch must be answered with (0: any).
  int Provide(const std::string& strUrl, const std::string& strSha256, const std::string& strTarget,
              DownloadProgressProc pfnProgress, uint64_t cbSize = 0);

  // Deletes entries unused for kCacheMaxIdleDays, then the least recently
  // used ones while the whole is above kCacheMaxBytes, and any file that is
  // no entry. Links are removed as links; what they point to is never
  // touched.
  void Clean(ULONGLONG ullNow);

 private:
  // Provide while this run holds the entry's lock file.
  int ProvideLocked(const std::string& strUrl, const std::string& strSha256,
                    const std::string& strTarget, DownloadProgressProc pfnProgress,
                    uint64_t cbSize);
  // Copies the entry to strTarget, hashing it on the way: true when the copy
  // is whole and has the digest.
  bool CopyEntry(const std::string& strSha256, const std::string& strTarget);
  bool ReadState(const std::string& strSha256, uint64_t* pcbTotal, std::string* pstrValidator);
  void WriteState(const std::string& strSha256, uint64_t cbTotal, const std::string& strValidator);
  // Removes the state of a whole entry, waiting out a scanner's moment.
  void DeleteState(const std::string& strSha256);
  void Touch(const std::string& strSha256);

  std::string m_strPath;  // without a trailing backslash
  CHeldFolder m_held;
  HANDLE m_hFolder = INVALID_HANDLE_VALUE;  // held for its security, not shared for delete
};

// Entries of a cache listing to delete at ullNow: every name that is no
// "<64 hex>" or "<64 hex>.state", links and folders included; entries idle
// for more than kCacheMaxIdleDays; then the oldest while the rest is above
// cbMax bytes. An entry and its state file go together.
std::vector<std::string> CacheEntriesToDelete(const std::vector<PlatFolderEntry>& entries,
                                              ULONGLONG ullNow, uint64_t cbMax);

// Run folders ("pavonix-" and 32 hexadecimal digits) of a listing older than
// kRunFolderMaxDays at ullNow.
std::vector<std::string> RunFoldersToDelete(const std::vector<PlatFolderEntry>& entries,
                                            ULONGLONG ullNow);

// Deletes the run folders older than kRunFolderMaxDays under the Windows
// folder's Temp and under the user's temporary folder; a folder held by a
// running program stays.
void CleanRunFolders(ULONGLONG ullNow);

// The clean-up at start: the cache (when there is one; it is not made for
// this) and the run folders, as of now.
void CleanUpEarlierRuns();
