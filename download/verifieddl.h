// The download of a package whose SHA-256 is known: hashed as it arrives,
// through the package cache when there is one, resumed across broken
// connections, checked whole at the end.
#pragma once
#include <string>

#include "download/pkgcache.h"
#include "download/progress.h"

class CVerifiedDownload {
 public:
  // Puts the package strSha256 (lower case) from strUrl into strLocal, a
  // file of the run folder that the caller has cleared. 0 once it holds
  // bytes with that digest; else -1 or the HTTP status.
  int Fetch(const std::string& strUrl, const std::string& strSha256, const std::string& strLocal,
            DownloadProgressProc pfnProgress);

 private:
  // The package cache, opened at the first download (and the clean-up of
  // earlier runs' leftovers done once per process); false when there is
  // none to use.
  bool OpenCache();

  CPackageCache m_cache;
  bool m_bCacheTried = false;
};
