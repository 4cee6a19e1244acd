// The held folder on Windows. Why a delete here can never reach another
// folder's file:
// - The folder handle was opened without following a reparse point and is
//   refused when it is one; it is held without FILE_SHARE_DELETE, so the
//   folder cannot be renamed, moved or removed while held.
// - A child is opened by its path with FILE_FLAG_OPEN_REPARSE_POINT (a link
//   is opened as itself, never its target) and without FILE_SHARE_DELETE, so
//   from then on it cannot be renamed or moved away.
// - It must have exactly one name and its identity (volume serial, file
//   index) must be one listed by the held handle itself. With one name only,
//   the entry in the held folder is the name the handle was opened through,
//   whatever the path resolved through.
// - The delete goes through that handle (FileDispositionInfo), so it removes
//   what was checked, not what the path names a moment later.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/safefs.h"

namespace {

BOOL Fail(DWORD err) {
  SetLastError(err);
  return FALSE;
}

std::wstring Wide(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()),
                              nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

// False when the name has no exact ANSI form.
bool Narrow(const WCHAR* p, size_t cch, std::string* pOut) {
  if (cch == 0) return false;
  BOOL bDefault = FALSE;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, p, static_cast<int>(cch), nullptr, 0,
                              nullptr, &bDefault);
  if (n <= 0 || bDefault) return false;
  pOut->assign(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, p, static_cast<int>(cch), &(*pOut)[0], n,
                      nullptr, &bDefault);
  return !bDefault;
}

struct RawEntry {
  std::wstring name;
  DWORD dwAttributes;
  ULONGLONG ullId;
  ULONGLONG ullSize;
  FILETIME ftLastWrite;
};

// Reads the whole listing of a folder handle that has not been read yet.
BOOL ReadEntriesOf(HANDLE hFolder, std::vector<RawEntry>* pOut) {
  std::vector<ULONGLONG> buf(8192);  // 64 KiB, 8-byte aligned
  const DWORD cbBuf = static_cast<DWORD>(buf.size() * sizeof(ULONGLONG));
  FILE_INFO_BY_HANDLE_CLASS cls = FileIdBothDirectoryRestartInfo;
  for (;;) {
    if (!GetFileInformationByHandleEx(hFolder, cls, buf.data(), cbBuf))
      return GetLastError() == ERROR_NO_MORE_FILES ? TRUE : FALSE;
    cls = FileIdBothDirectoryInfo;
    const BYTE* p = reinterpret_cast<const BYTE*>(buf.data());
    for (;;) {
      const FILE_ID_BOTH_DIR_INFO* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(p);
      std::wstring name(info->FileName, info->FileNameLength / sizeof(WCHAR));
      if (name != L"." && name != L"..") {
        RawEntry e;
        e.name = name;
        e.dwAttributes = info->FileAttributes;
        e.ullId = static_cast<ULONGLONG>(info->FileId.QuadPart);
        e.ullSize = static_cast<ULONGLONG>(info->EndOfFile.QuadPart);
        e.ftLastWrite.dwLowDateTime = info->LastWriteTime.LowPart;
        e.ftLastWrite.dwHighDateTime = static_cast<DWORD>(info->LastWriteTime.HighPart);
        pOut->push_back(e);
      }
      if (info->NextEntryOffset == 0) break;
      p += info->NextEntryOffset;
    }
  }
}

// The entries of the folder behind hFolder as they are now. They are read
// through a fresh handle to that same folder (ReOpenFile opens the object, not
// a path): Wine keeps the listing a handle read first, even across a restart.
BOOL ReadEntries(HANDLE hHeld, std::vector<RawEntry>* pOut) {
  pOut->clear();
  // Sharing deletion only lets this handle coexist with one that has DELETE
  // access (a folder being emptied); nobody else gets that access meanwhile.
  HANDLE hFolder = ReOpenFile(hHeld, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (hFolder == INVALID_HANDLE_VALUE) return FALSE;
  BOOL bOk = ReadEntriesOf(hFolder, pOut);
  DWORD err = GetLastError();
  CloseHandle(hFolder);
  SetLastError(err);
  return bOk;
}

ULONGLONG FileIndex(const BY_HANDLE_FILE_INFORMATION& info) {
  return (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

// Whether the object behind info is one of the entries hFolder lists now.
bool IsEntryOf(HANDLE hFolder, DWORD dwVolume, const BY_HANDLE_FILE_INFORMATION& info) {
  if (info.dwVolumeSerialNumber != dwVolume) return false;
  std::vector<RawEntry> entries;
  if (!ReadEntries(hFolder, &entries)) return false;
  for (const RawEntry& e : entries)
    if (e.ullId == FileIndex(info)) return true;
  return false;
}

// Opens a child as itself (a link is not followed), held against renaming.
HANDLE OpenChild(const std::wstring& path, DWORD dwAccess, DWORD dwDisposition) {
  return CreateFileW(path.c_str(), dwAccess | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, dwDisposition,
                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

BOOL DeleteThrough(HANDLE h) {
  FILE_DISPOSITION_INFO d;
  d.DeleteFile = TRUE;
  return SetFileInformationByHandle(h, FileDispositionInfo, &d, sizeof d);
}

// Opens the child name of the held folder hFolder and checks it is an entry
// of it. INVALID_HANDLE_VALUE with the last error otherwise.
HANDLE OpenCheckedChild(HANDLE hFolder, DWORD dwVolume, const std::wstring& dir,
                        const std::wstring& name, DWORD dwAccess, DWORD dwDisposition,
                        BY_HANDLE_FILE_INFORMATION* pInfo) {
  HANDLE h = OpenChild(dir + L"\\" + name, dwAccess, dwDisposition);
  if (h == INVALID_HANDLE_VALUE) return h;
  DWORD err = ERROR_CANT_ACCESS_FILE;
  if (!GetFileInformationByHandle(h, pInfo))
    err = GetLastError();
  else if (IsEntryOf(hFolder, dwVolume, *pInfo))
    return h;
  CloseHandle(h);
  SetLastError(err);
  return INVALID_HANDLE_VALUE;
}

bool IsPlainFile(const BY_HANDLE_FILE_INFORMATION& info) {
  return !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
         info.nNumberOfLinks == 1;
}

// Empties the held folder hFolder (path dir): links and other names of files
// go as names, folders are entered only through checked handles.
bool EmptyTree(HANDLE hFolder, DWORD dwVolume, const std::wstring& dir) {
  std::vector<RawEntry> entries;
  if (!ReadEntries(hFolder, &entries)) return false;
  bool bAll = true;
  for (const RawEntry& e : entries) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = OpenCheckedChild(hFolder, dwVolume, dir, e.name, DELETE | FILE_LIST_DIRECTORY,
                                OPEN_EXISTING, &info);
    if (h == INVALID_HANDLE_VALUE) {
      bAll = false;
      continue;
    }
    const bool bEnter = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                        !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (bEnter && !EmptyTree(h, dwVolume, dir + L"\\" + e.name)) bAll = false;
    if (!DeleteThrough(h)) bAll = false;
    CloseHandle(h);
  }
  return bAll;
}

}  // namespace

CHeldFolder::CHeldFolder() : m_hFolder(INVALID_HANDLE_VALUE), m_dwVolume(0) {}

CHeldFolder::~CHeldFolder() { Close(); }

void CHeldFolder::Close() {
  if (m_hFolder != INVALID_HANDLE_VALUE) CloseHandle(m_hFolder);
  m_hFolder = INVALID_HANDLE_VALUE;
  m_strPath.clear();
}

bool CHeldFolder::IsOpen() const { return m_hFolder != INVALID_HANDLE_VALUE; }

BOOL CHeldFolder::Open(LPCSTR szPath) {
  Close();
  if (szPath == nullptr || *szPath == '\0') return Fail(ERROR_INVALID_PARAMETER);
  std::string strPath = szPath;
  while (strPath.size() > 3 && (strPath.back() == '\\' || strPath.back() == '/'))
    strPath.pop_back();
  HANDLE h = CreateFileA(strPath.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) {
    DWORD err = GetLastError();
    CloseHandle(h);
    return Fail(err);
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    return Fail((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ERROR_CANT_ACCESS_FILE
                                                                       : ERROR_DIRECTORY);
  }
  m_hFolder = h;
  m_dwVolume = info.dwVolumeSerialNumber;
  m_strPath = strPath;
  return TRUE;
}

BOOL CHeldFolder::List(std::vector<PlatFolderEntry>* pEntries) const {
  if (!IsOpen() || pEntries == nullptr) return Fail(ERROR_INVALID_HANDLE);
  pEntries->clear();
  std::vector<RawEntry> raw;
  if (!ReadEntries(m_hFolder, &raw)) return FALSE;
  for (const RawEntry& e : raw) {
    PlatFolderEntry entry;
    // A name without an exact ANSI form could not be named back: left out.
    if (!Narrow(e.name.data(), e.name.size(), &entry.strName)) continue;
    entry.bIsLink = (e.dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry.bIsDir = (e.dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.ullSize = entry.bIsLink || entry.bIsDir ? 0 : e.ullSize;
    entry.ftLastWrite = e.ftLastWrite;
    pEntries->push_back(entry);
  }
  return TRUE;
}

BOOL CHeldFolder::DeleteChildFile(LPCSTR szName) const {
  if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
  if (!IsPlainChildName(szName)) return Fail(ERROR_INVALID_NAME);
  std::wstring name = Wide(szName);
  if (name.empty()) return Fail(ERROR_INVALID_NAME);
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE h =
      OpenCheckedChild(m_hFolder, m_dwVolume, Wide(m_strPath), name, DELETE, OPEN_EXISTING, &info);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  BOOL bOk = IsPlainFile(info) ? DeleteThrough(h) : Fail(ERROR_CANT_ACCESS_FILE);
  DWORD err = GetLastError();
  CloseHandle(h);
  SetLastError(bOk ? ERROR_SUCCESS : err);
  return bOk;
}

BOOL CHeldFolder::DeleteChildTree(LPCSTR szName) const {
  if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
  if (!IsPlainChildName(szName)) return Fail(ERROR_INVALID_NAME);
  std::wstring name = Wide(szName);
  if (name.empty()) return Fail(ERROR_INVALID_NAME);
  const std::wstring dir = Wide(m_strPath);
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE h = OpenCheckedChild(m_hFolder, m_dwVolume, dir, name, DELETE | FILE_LIST_DIRECTORY,
                              OPEN_EXISTING, &info);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  BOOL bOk;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    bOk = Fail(ERROR_CANT_ACCESS_FILE);
  else if (!EmptyTree(h, m_dwVolume, dir + L"\\" + name))
    bOk = Fail(ERROR_SHARING_VIOLATION);
  else
    bOk = DeleteThrough(h);
  DWORD err = GetLastError();
  CloseHandle(h);
  SetLastError(bOk ? ERROR_SUCCESS : err);
  return bOk;
}

BOOL CHeldFolder::AppendToChildFile(LPCSTR szName, const void* pData, DWORD cb) const {
  if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
  if (!IsPlainChildName(szName) || (pData == nullptr && cb != 0)) return Fail(ERROR_INVALID_NAME);
  std::wstring name = Wide(szName);
  if (name.empty()) return Fail(ERROR_INVALID_NAME);
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE h = OpenCheckedChild(m_hFolder, m_dwVolume, Wide(m_strPath), name, FILE_APPEND_DATA,
                              OPEN_ALWAYS, &info);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  BOOL bOk = IsPlainFile(info) ? TRUE : Fail(ERROR_CANT_ACCESS_FILE);
  const BYTE* p = static_cast<const BYTE*>(pData);
  while (bOk && cb > 0) {
    DWORD dwWritten = 0;
    bOk = WriteFile(h, p, cb, &dwWritten, nullptr) && dwWritten > 0;
    if (bOk) {
      p += dwWritten;
      cb -= dwWritten;
    }
  }
  DWORD err = GetLastError();
  CloseHandle(h);
  SetLastError(bOk ? ERROR_SUCCESS : err);
  return bOk;
}
