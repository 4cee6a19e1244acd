#include "download/pkgcache.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "download/resumedl.h"
#include "log/log.h"
#include "platform/crypto.h"
#include "platform/folders.h"
#include "runfolder/busywait.h"
#include "runfolder/dlfolder.h"

namespace {

const ULONGLONG kDay = 24ull * 3600 * 10000000;
const char kState[] = ".state";
const char kUsed[] = ".used";
// Held by the run that works on an entry; no entry itself, so the clean-up
// removes one no run holds.
const char kLock[] = ".lock";

ULONGLONG Ticks(const FILETIME& ft) {
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

bool IsHex64(const std::string& s) {
  if (s.size() != 64) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The digest an entry name belongs to, or "" for a name that is no entry.
std::string DigestOf(const std::string& name) {
  for (const char* suffix : {"", kState, kUsed}) {
    const size_t n = std::strlen(suffix);
    if (name.size() == 64 + n && name.compare(64, n, suffix) == 0 && IsHex64(name.substr(0, 64)))
      return name.substr(0, 64);
  }
  return std::string();
}

// Makes the folder with the administrators-only descriptor unless it exists,
// then opens it without following a link and checks who may change it.
HANDLE OpenProtectedFolder(const std::string& strPath, bool bCreate) {
  if (bCreate && !CreateDirectoryWithSddlA(strPath.c_str(), DOWNLOAD_FOLDER_SDDL) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    // No cache then: the downloads go on without one.
    LogDebug("package cache folder %s could not be made (error %lu)", strPath.c_str(),
             static_cast<unsigned long>(GetLastError()));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = CreateFileA(strPath.c_str(), READ_CONTROL | FILE_LIST_DIRECTORY,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    LogDebug("package cache folder %s could not be opened (error %lu)", strPath.c_str(),
             static_cast<unsigned long>(GetLastError()));
    return INVALID_HANDLE_VALUE;
  }
  PlatSecurity sec;
  if (PlatKeepsFileSecurity() && (!GetHandleSecurity(h, &sec) || !IsAdminOnlySecurity(sec))) {
    LogError("package cache folder %s is not protected (owner %s)", strPath.c_str(),
             sec.strOwner.c_str());
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

}  // namespace

std::vector<std::string> CacheEntriesToDelete(const std::vector<PlatFolderEntry>& entries,
                                              ULONGLONG ullNow, uint64_t cbMax) {
  struct Entry {
    ULONGLONG ullUsed = 0;
    uint64_t cbSize = 0;
    std::vector<std::string> names;
  };
  std::map<std::string, Entry> byDigest;
  std::vector<std::string> out;
  for (const PlatFolderEntry& e : entries) {
    const std::string digest = DigestOf(e.strName);
    if (digest.empty() || e.bIsLink || e.bIsDir) {
      out.push_back(e.strName);
      continue;
    }
    Entry& entry = byDigest[digest];
    entry.ullUsed = std::max(entry.ullUsed, Ticks(e.ftLastWrite));
    entry.cbSize += e.ullSize;
    entry.names.push_back(e.strName);
  }
  std::vector<std::pair<ULONGLONG, const Entry*>> kept;
  uint64_t cbKept = 0;
  for (const auto& kv : byDigest) {
    const Entry& entry = kv.second;
    if (ullNow > entry.ullUsed && ullNow - entry.ullUsed > kCacheMaxIdleDays * kDay) {
      out.insert(out.end(), entry.names.begin(), entry.names.end());
    } else {
      kept.emplace_back(entry.ullUsed, &entry);
      cbKept += entry.cbSize;
    }
  }
  std::sort(kept.begin(), kept.end(),
            [](const std::pair<ULONGLONG, const Entry*>& a,
               const std::pair<ULONGLONG, const Entry*>& b) { return a.first < b.first; });
  for (const auto& k : kept) {
    if (cbKept <= cbMax) break;
    out.insert(out.end(), k.second->names.begin(), k.second->names.end());
    cbKept -= k.second->cbSize;
  }
  return out;
}

std::vector<std::string> RunFoldersToDelete(const std::vector<PlatFolderEntry>& entries,
                                            ULONGLONG ullNow) {
  std::vector<std::string> out;
  for (const PlatFolderEntry& e : entries) {
    const std::string& n = e.strName;
    if (!e.bIsDir || e.bIsLink || n.size() != 40 || n.compare(0, 8, "pavonix-") != 0) continue;
    bool hex = true;
    for (size_t i = 8; i < n.size(); ++i)
      hex = hex && ((n[i] >= '0' && n[i] <= '9') || (n[i] >= 'a' && n[i] <= 'f'));
    const ULONGLONG t = Ticks(e.ftLastWrite);
    if (hex && ullNow > t && ullNow - t > kRunFolderMaxDays * kDay) out.push_back(n);
  }
  return out;
}

namespace {

void CleanRunFoldersIn(std::string strParent, ULONGLONG ullNow) {
  while (!strParent.empty() && strParent.back() == '\\') strParent.pop_back();
  CHeldFolder parent;
  std::vector<PlatFolderEntry> entries;
  if (strParent.empty() || !parent.Open(strParent.c_str()) || !parent.List(&entries)) return;
  for (const std::string& name : RunFoldersToDelete(entries, ullNow)) {
    // A folder a running program holds is not (wholly) deleted: left for
    // a later start.
    if (!parent.DeleteChildTree(name.c_str()))
      LogDebug("run folder %s\\%s kept (error %lu)", strParent.c_str(), name.c_str(),
               static_cast<unsigned long>(GetLastError()));
  }
}

}  // namespace

void CleanRunFolders(ULONGLONG ullNow) {
  // Where CDownloadFolder makes them: the Windows folder's Temp, else the
  // user's temporary folder.
  char szPath[MAX_PATH] = {0};
  UINT n = GetWindowsDirectoryA(szPath, MAX_PATH);
  if (n > 0 && n < MAX_PATH - 8) {
    std::string strWindows(szPath, n);
    if (strWindows.back() != '\\') strWindows += '\\';
    CleanRunFoldersIn(strWindows + "Temp", ullNow);
  }
  DWORD cb = GetTempPathA(MAX_PATH, szPath);
  if (cb > 0 && cb < MAX_PATH) CleanRunFoldersIn(std::string(szPath, cb), ullNow);
}

void CleanUpEarlierRuns() {
  const ULONGLONG ullNow = PlatNowFileTime();
  CPackageCache cache;
  if (cache.Open(false)) cache.Clean(ullNow);
  CleanRunFolders(ullNow);
}

CPackageCache::~CPackageCache() {
  if (m_hFolder != INVALID_HANDLE_VALUE) CloseHandle(m_hFolder);
}

bool CPackageCache::Open(bool bCreate) {
  if (IsOpen()) return true;
  std::string strBase;
  if (!PlatCommonAppDataFolder(&strBase)) {
    LogDebug("%s", "no common application data folder for the package cache");
    return false;
  }
  // The parent too: whoever may change it could swap the cache folder.
  HANDLE hParent = OpenProtectedFolder(strBase + "\\Pavonix", bCreate);
  if (hParent == INVALID_HANDLE_VALUE) return false;
  const std::string strPath = strBase + "\\Pavonix\\PackageCache";
  HANDLE hFolder = OpenProtectedFolder(strPath, bCreate);
  CloseHandle(hParent);
  if (hFolder == INVALID_HANDLE_VALUE) return false;
  if (!m_held.Open(strPath.c_str())) {
    LogError("package cache folder %s cannot be held (error %lu)", strPath.c_str(),
             static_cast<unsigned long>(GetLastError()));
    CloseHandle(hFolder);
    return false;
  }
  m_hFolder = hFolder;
  m_strPath = strPath;
  return true;
}

void CPackageCache::Clean(ULONGLONG ullNow) {
  std::vector<PlatFolderEntry> entries;
  if (!IsOpen() || !m_held.List(&entries)) return;
  for (const std::string& name : CacheEntriesToDelete(entries, ullNow, kCacheMaxBytes)) {
    if (!m_held.DeleteChildFile(name.c_str()))
      LogDebug("package cache entry %s kept (error %lu)", name.c_str(),
               static_cast<unsigned long>(GetLastError()));
  }
}

bool CPackageCache::CopyEntry(const std::string& strSha256, const std::string& strTarget) {
  // Both were just written: a scanner may have either open for a moment.
  FILE* in = OpenWaitingOut(m_strPath + "\\" + strSha256, "rb");
  if (in == nullptr) return false;
  FILE* out = OpenWaitingOut(strTarget, "wb");
  if (out == nullptr) {
    plat_fclose(in);
    LogError("opening %s failed", strTarget.c_str());
    return false;
  }
  CPlatSha256 hasher;
  bool bOk = true;
  const size_t kChunk = 1024 * 1024;
  std::unique_ptr<BYTE[]> buf(new BYTE[kChunk]);
  for (;;) {
    size_t n = plat_fread(buf.get(), 1, kChunk, in);
    if (n == 0) break;
    if (!hasher.Update(buf.get(), n) || plat_fwrite(buf.get(), 1, n, out) != n) {
      bOk = false;
      break;
    }
  }
  plat_fclose(in);
  bOk = plat_fclose(out) == 0 && bOk;
  std::string strGot;
  if (bOk && hasher.FinalHex(&strGot) && strGot == strSha256) return true;
  DeleteFileA(strTarget.c_str());
  return false;
}

bool CPackageCache::ReadState(const std::string& strSha256, uint64_t* pcbTotal,
                              std::string* pstrValidator) {
  // Written a moment ago by an earlier attempt: a scanner may hold it, and
  // a state not read would cost the bytes it describes.
  FILE* fp = OpenWaitingOut(m_strPath + "\\" + strSha256 + kState, "rb");
  if (fp == nullptr) return false;
  char buf[512] = {0};
  const size_t n = plat_fread(buf, 1, sizeof(buf) - 1, fp);
  plat_fclose(fp);
  const std::string text(buf, n);
  const size_t nl = text.find('\n');
  if (nl == std::string::npos || nl == 0) return false;
  char* end = nullptr;
  const unsigned long long total = std::strtoull(text.c_str(), &end, 10);
  if (end != text.c_str() + nl || total == 0) return false;
  *pcbTotal = total;
  std::string validator = text.substr(nl + 1);
  if (!validator.empty() && validator.back() == '\n') validator.pop_back();
  *pstrValidator = validator;
  return true;
}

void CPackageCache::WriteState(const std::string& strSha256, uint64_t cbTotal,
                               const std::string& strValidator) {
  FILE* fp = OpenWaitingOut(m_strPath + "\\" + strSha256 + kState, "wb");
  if (fp == nullptr) return;
  const std::string text = std::to_string(cbTotal) + "\n" + strValidator + "\n";
  plat_fwrite(text.data(), 1, text.size(), fp);
  plat_fclose(fp);
}

void CPackageCache::DeleteState(const std::string& strSha256) {
  // The state was just written, so a scanner may hold it for a moment. Left
  // behind, it would make the next run take the whole entry for a partial
  // one and fetch it again.
  const std::string strName = strSha256 + kState;
  RetryWhileBusy("deleting", m_strPath + "\\" + strName,
                 [&] { return m_held.DeleteChildFile(strName.c_str()) != FALSE; });
}

void CPackageCache::Touch(const std::string& strSha256) {
  FILE* fp = plat_fopen((m_strPath + "\\" + strSha256 + kUsed).c_str(), "wb");
  if (fp != nullptr) plat_fclose(fp);
}

int CPackageCache::Provide(const std::string& strUrl, const std::string& strSha256,
                           const std::string& strTarget, DownloadProgressProc pfnProgress,
                           uint64_t cbSize) {
  // One elevated instance at a time on an entry: its lock file is held
  // without sharing while this run works on it. An entry another instance
  // works on is left to it; the package goes straight into the run folder.
  HANDLE hLock = CreateFileA((m_strPath + "\\" + strSha256 + kLock).c_str(), GENERIC_WRITE, 0,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hLock == INVALID_HANDLE_VALUE) {
    LogDebug("package cache entry %s is in use (error %lu): fetched straight into the run folder",
             strSha256.c_str(), static_cast<unsigned long>(GetLastError()));
    PartialDownload direct;
    direct.cbSigned = cbSize;
    return FetchVerified(strUrl, strTarget, strSha256, pfnProgress, &direct);
  }
  const int nResult = ProvideLocked(strUrl, strSha256, strTarget, pfnProgress, cbSize);
  CloseHandle(hLock);
  // Gone with the work; one another instance holds by now stays.
  m_held.DeleteChildFile((strSha256 + kLock).c_str());
  return nResult;
}

int CPackageCache::ProvideLocked(const std::string& strUrl, const std::string& strSha256,
                                 const std::string& strTarget, DownloadProgressProc pfnProgress,
                                 uint64_t cbSize) {
  std::vector<PlatFolderEntry> entries;
  if (!m_held.List(&entries)) return -1;
  const PlatFolderEntry* pEntry = nullptr;
  bool bHasState = false;
  for (const PlatFolderEntry& e : entries) {
    if (e.strName == strSha256) pEntry = &e;
    if (e.strName == strSha256 + kState) bHasState = !e.bIsLink && !e.bIsDir;
  }
  if (pEntry != nullptr && (pEntry->bIsLink || pEntry->bIsDir)) {
    // Never read through: only an administrator can have put it there, and
    // the helper deletes no link. The package goes straight to the run folder.
    LogError("package cache entry %s is no plain file: not used", strSha256.c_str());
    PartialDownload direct;
    direct.cbSigned = cbSize;
    return FetchVerified(strUrl, strTarget, strSha256, pfnProgress, &direct);
  }
  const std::string strEntry = m_strPath + "\\" + strSha256;
  PartialDownload state;
  state.cbSigned = cbSize;
  uint64_t cbTotal = 0;
  std::string strValidator;
  if (pEntry != nullptr && bHasState && ReadState(strSha256, &cbTotal, &strValidator) &&
      pEntry->ullSize < cbTotal) {
    state.cbHave = pEntry->ullSize;
    state.cbTotal = cbTotal;
    state.strValidator = strValidator;
    LogDebug("package %s: going on from %llu of %llu cached bytes", strSha256.c_str(),
             static_cast<unsigned long long>(state.cbHave),
             static_cast<unsigned long long>(state.cbTotal));
  } else if (pEntry != nullptr && !bHasState) {
    if (CopyEntry(strSha256, strTarget)) {
      Touch(strSha256);
      // The window shows the package as there: 100 %.
      ReportDownloadBytes(pfnProgress, pEntry->ullSize, pEntry->ullSize);
      LogDebug("package %s taken from the cache", strSha256.c_str());
      return 0;
    }
    LogError("package cache entry %s is not the listed package: fetched again", strSha256.c_str());
    m_held.DeleteChildFile(strSha256.c_str());
  } else if (pEntry != nullptr) {
    // Whole by its state: the program ended between the last byte and the
    // state's removal. Used when it has the digest, else fetched anew.
    if (bHasState && cbTotal != 0 && pEntry->ullSize == cbTotal &&
        CopyEntry(strSha256, strTarget)) {
      DeleteState(strSha256);
      Touch(strSha256);
      ReportDownloadBytes(pfnProgress, cbTotal, cbTotal);
      return 0;
    }
    m_held.DeleteChildFile(strSha256.c_str());
  }
  // An entry that cannot be written (someone holds it without write
  // sharing) is abandoned, never tried again and again: the package goes
  // straight into the run folder.
  HANDLE hProbe = CreateFileA(strEntry.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hProbe == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND) {
    LogDebug("package cache entry %s cannot be written (error %lu): abandoned", strSha256.c_str(),
             static_cast<unsigned long>(GetLastError()));
    m_held.DeleteChildFile((strSha256 + kState).c_str());
    PartialDownload direct;
    return FetchVerified(strUrl, strTarget, strSha256, pfnProgress, &direct);
  }
  if (hProbe != INVALID_HANDLE_VALUE) CloseHandle(hProbe);
  // A fresh download is marked partial from its first byte: one cut short by
  // the end of the program before any answer is dropped later, not taken for
  // a changed entry. Once an answer fixes the length and validator they are
  // kept, so that even a run that is ended goes on from its bytes next time.
  if (state.cbHave == 0) WriteState(strSha256, 0, std::string());
  const int nResult = FetchVerified(strUrl, strEntry, strSha256, pfnProgress, &state,
                                    [this, &strSha256](const PartialDownload& s) {
                                      WriteState(strSha256, s.cbTotal, s.strValidator);
                                    });
  if (nResult != 0) {
    // What arrived stays for the next attempt or run to build on.
    if (state.cbHave > 0 && state.cbTotal != 0) {
      WriteState(strSha256, state.cbTotal, state.strValidator);
    } else {
      m_held.DeleteChildFile((strSha256 + kState).c_str());
      m_held.DeleteChildFile(strSha256.c_str());
    }
    return nResult;
  }
  DeleteState(strSha256);
  Touch(strSha256);
  // Hashed as it arrived; the copy hashes again what it copies, so that the
  // bytes in the run folder are bytes verified, whatever the entry's path
  // names by now.
  return CopyEntry(strSha256, strTarget) ? 0 : -1;
}
