#include "download/verifieddl.h"

#include "download/resumedl.h"

int CVerifiedDownload::Fetch(const std::string& strUrl, const std::string& strSha256,
                             const std::string& strLocal, DownloadProgressProc pfnProgress) {
  if (OpenCache()) return m_cache.Provide(strUrl, strSha256, strLocal, pfnProgress);
  PartialDownload state;
  return FetchVerified(strUrl, strLocal, strSha256, pfnProgress, &state);
}

bool CVerifiedDownload::OpenCache() {
  if (m_bCacheTried) return m_cache.IsOpen();
  m_bCacheTried = true;
  return m_cache.Open();
}
