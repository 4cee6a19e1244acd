// The held folder on Windows. Why nothing done here can reach another
// folder's file:
// - The folder is reached from its volume's root one name at a time: each
//   name is opened relative to the handle of the folder above it
//   (NtCreateFile with RootDirectory and FILE_OPEN_REPARSE_POINT), so a
//   junction, symbolic link or mount point is opened as itself, never
//   followed, and is refused when its reparse tag is a name surrogate
//   (junction, mount point, symbolic link: the tag read from the opened
//   name); other reparse points (cloud files) are plain files and folders.
//   Every folder of the chain is held open for
//   listing (an open for attributes only would not count for sharing) and
//   without FILE_SHARE_DELETE: none of them can be renamed, moved or removed
//   (and a link put in its place) while held.
// - A child is opened by its name relative to the held folder's handle, as
//   itself (FILE_OPEN_REPARSE_POINT) and without FILE_SHARE_DELETE, so from
//   then on it cannot be renamed or moved away; a file to be changed must be
//   a plain file with exactly one name.
// - The delete goes through that handle, so it removes what was checked, not
//   what a name means a moment later: with POSIX semantics where the system
//   has them (FileDispositionInfoEx, Windows 10 1607 onwards on NTFS), so
//   that a file someone still reads loses its name at once and no longer
//   keeps its folder; else FileDispositionInfo.
// ntdll is mapped into every process before its own code runs and is a
// known DLL: taking NtCreateFile from it loads nothing from any folder.
#include <windows.h>
#include <winternl.h>

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

typedef NTSTATUS(NTAPI* NtCreateFileFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                        PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
typedef ULONG(NTAPI* RtlNtStatusToDosErrorFn)(NTSTATUS);

struct NtCalls {
  NtCreateFileFn pfnCreate;
  RtlNtStatusToDosErrorFn pfnToDos;
};

const NtCalls& Nt() {
  static const NtCalls calls = [] {
    NtCalls c = {nullptr, nullptr};
    HMODULE h = GetModuleHandleA("ntdll.dll");
    if (h != nullptr) {
      c.pfnCreate = reinterpret_cast<NtCreateFileFn>(
          reinterpret_cast<void (*)()>(GetProcAddress(h, "NtCreateFile")));
      c.pfnToDos = reinterpret_cast<RtlNtStatusToDosErrorFn>(
          reinterpret_cast<void (*)()>(GetProcAddress(h, "RtlNtStatusToDosError")));
    }
    return c;
  }();
  return calls;
}

#ifndef FILE_OPEN
#define FILE_OPEN 0x00000001
#endif
#ifndef FILE_OPEN_FOR_BACKUP_INTENT
#define FILE_OPEN_FOR_BACKUP_INTENT 0x00004000
#endif

// Opens the one name relative to the folder handle hRoot as itself (a link
// is not followed), shared for reading and writing but not deletion.
// dwDisposition is FILE_OPEN or FILE_OPEN_IF. INVALID_HANDLE_VALUE with the
// last error when it fails.
HANDLE OpenAt(HANDLE hRoot, const std::wstring& name, DWORD dwAccess, ULONG ulDisposition) {
  if (Nt().pfnCreate == nullptr || Nt().pfnToDos == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (name.empty() || name.size() > 255) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING us;
  us.Buffer = const_cast<PWSTR>(name.c_str());
  us.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  us.MaximumLength = us.Length;
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, hRoot, nullptr);
  IO_STATUS_BLOCK io;
  HANDLE h = nullptr;
  const NTSTATUS status = Nt().pfnCreate(
      &h, dwAccess | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &oa, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
      FILE_SHARE_READ | FILE_SHARE_WRITE, ulDisposition,
      FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT, nullptr,
      0);
  if (status < 0) {
    SetLastError(Nt().pfnToDos(status));
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// The volume root ("\\?\C:\" or "\\?\UNC\server\share\") and the names
// below it of a full path; false for a path of another form.
bool SplitFromRoot(const std::wstring& full, std::wstring* pRoot,
                   std::vector<std::wstring>* pNames) {
  std::wstring rest;
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') {
    *pRoot = L"\\\\?\\" + full.substr(0, 3);
    rest = full.substr(3);
  } else if (full.compare(0, 2, L"\\\\") == 0 && full.compare(0, 4, L"\\\\?\\") != 0 &&
             full.compare(0, 4, L"\\\\.\\") != 0) {
    const size_t server = full.find(L'\\', 2);
    const size_t share = server == std::wstring::npos ? server : full.find(L'\\', server + 1);
    if (server == std::wstring::npos || server == 2 || share == server + 1) return false;
    *pRoot =
        L"\\\\?\\UNC\\" + full.substr(2, share == std::wstring::npos ? share : share - 2) + L"\\";
    rest = share == std::wstring::npos ? L"" : full.substr(share + 1);
  } else {
    return false;
  }
  pNames->clear();
  size_t at = 0;
  while (at <= rest.size()) {
    size_t sep = rest.find(L'\\', at);
    if (sep == std::wstring::npos) sep = rest.size();
    if (sep > at) pNames->push_back(rest.substr(at, sep - at));
    at = sep + 1;
  }
  return true;
}

// FileDispositionInfoEx and its flags (Windows 10 1607), named here because
// the headers give them only to programs built for that version.
const FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
const DWORD kDispositionDelete = 0x1, kDispositionPosixSemantics = 0x2;

BOOL DeleteThrough(HANDLE h) {
  // Windows before 10 1607 refuses the class (ERROR_INVALID_PARAMETER); a
  // file system without POSIX deletes (FAT, some network servers) refuses
  // the flag.
  DWORD dwFlags = kDispositionDelete | kDispositionPosixSemantics;  // FILE_DISPOSITION_INFO_EX
  if (SetFileInformationByHandle(h, kFileDispositionInfoEx, &dwFlags, sizeof dwFlags)) return TRUE;
  const DWORD err = GetLastError();
  if (err != ERROR_INVALID_PARAMETER && err != ERROR_NOT_SUPPORTED &&
      err != ERROR_INVALID_FUNCTION && err != ERROR_CALL_NOT_IMPLEMENTED)
    return FALSE;
  FILE_DISPOSITION_INFO d;
  d.DeleteFile = TRUE;
  return SetFileInformationByHandle(h, FileDispositionInfo, &d, sizeof d);
}

#ifndef IsReparseTagNameSurrogate
#define IsReparseTagNameSurrogate(tag) (((tag)&0x20000000) != 0)
#endif

// A reparse point the held folder refuses: one that stands for another name
// (junction, mount point, symbolic link). Its tag is read from the opened
// name; one that cannot be read counts as a link.
bool IsLinkHandle(HANDLE h, DWORD dwAttributes) {
  if (!(dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag)) return true;
  return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         IsReparseTagNameSurrogate(tag.ReparseTag);
}

// What an opened child is.
struct ChildInfo {
  DWORD dwAttributes;
  DWORD nLinks;
  bool bLink;  // a name surrogate
};

// Opens the child name of the held folder hFolder and reads what it is.
// INVALID_HANDLE_VALUE with the last error otherwise.
HANDLE OpenCheckedChild(HANDLE hFolder, const std::wstring& name, DWORD dwAccess,
                        ULONG ulDisposition, ChildInfo* pInfo) {
  HANDLE h = OpenAt(hFolder, name, dwAccess, ulDisposition);
  BY_HANDLE_FILE_INFORMATION info;
  if (h == INVALID_HANDLE_VALUE) return h;
  if (GetFileInformationByHandle(h, &info)) {
    pInfo->dwAttributes = info.dwFileAttributes;
    pInfo->nLinks = info.nNumberOfLinks;
    pInfo->bLink = IsLinkHandle(h, info.dwFileAttributes);
    return h;
  }
  DWORD err = GetLastError();
  CloseHandle(h);
  SetLastError(err);
  return INVALID_HANDLE_VALUE;
}

bool IsPlainFile(const ChildInfo& info) {
  return !info.bLink && !(info.dwAttributes & FILE_ATTRIBUTE_DIRECTORY) && info.nLinks == 1;
}

bool IsPlainFolder(const ChildInfo& info) {
  return !info.bLink && (info.dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Empties the held folder hFolder: links and other names of files go as
// names, folders are entered only through handles opened relative to it.
bool EmptyTree(HANDLE hFolder) {
  std::vector<RawEntry> entries;
  if (!ReadEntries(hFolder, &entries)) return false;
  bool bAll = true;
  for (const RawEntry& e : entries) {
    ChildInfo info;
    HANDLE h = OpenCheckedChild(hFolder, e.name, DELETE | FILE_LIST_DIRECTORY, FILE_OPEN, &info);
    if (h == INVALID_HANDLE_VALUE) {
      bAll = false;
      continue;
    }
    if (IsPlainFolder(info) && !EmptyTree(h)) bAll = false;
    if (!DeleteThrough(h)) bAll = false;
    CloseHandle(h);
  }
  return bAll;
}

// Whether the reparse point name of the held folder hFolder is a name
// surrogate: its tag read from the entry itself, opened for attributes only
// (such an open takes no part in sharing). One that cannot be opened counts
// as a link.
bool IsLinkEntry(HANDLE hFolder, const std::wstring& name) {
  HANDLE h = OpenAt(hFolder, name, 0, FILE_OPEN);
  if (h == INVALID_HANDLE_VALUE) return true;
  const bool bLink = IsLinkHandle(h, FILE_ATTRIBUTE_REPARSE_POINT);
  CloseHandle(h);
  return bLink;
}

}  // namespace

CHeldFolder::CHeldFolder() : m_hFolder(INVALID_HANDLE_VALUE) {}

CHeldFolder::~CHeldFolder() { Close(); }

void CHeldFolder::Close() {
  if (m_hFolder != INVALID_HANDLE_VALUE) CloseHandle(m_hFolder);
  for (HANDLE h : m_vecAbove) CloseHandle(h);
  m_vecAbove.clear();
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
  // Lexical only: "." and "..", "/" and a relative start are settled on the
  // text, nothing on disk is asked.
  const std::wstring wide = Wide(strPath);
  WCHAR szFull[MAX_PATH * 2];
  const DWORD cch =
      wide.empty() ? 0 : GetFullPathNameW(wide.c_str(), MAX_PATH * 2, szFull, nullptr);
  std::wstring root;
  std::vector<std::wstring> names;
  if (cch == 0 || cch >= MAX_PATH * 2 || !SplitFromRoot(std::wstring(szFull, cch), &root, &names))
    return Fail(ERROR_INVALID_NAME);
  // A volume's root is no link; every name below it is opened relative to
  // the folder above, as itself, and held.
  HANDLE hAbove = CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (hAbove == INVALID_HANDLE_VALUE) return FALSE;
  std::vector<HANDLE> chain;
  ChildInfo info = {0, 0, false};
  BY_HANDLE_FILE_INFORMATION rootInfo;
  if (GetFileInformationByHandle(hAbove, &rootInfo)) info.dwAttributes = rootInfo.dwFileAttributes;
  for (size_t i = 0; i < names.size(); ++i) {
    chain.push_back(hAbove);
    const bool bLast = i + 1 == names.size();
    // Listing rights make the open count for sharing (one for attributes
    // only would not), so that its missing delete sharing refuses a rename.
    hAbove = OpenCheckedChild(hAbove, names[i], FILE_LIST_DIRECTORY, FILE_OPEN, &info);
    if (hAbove == INVALID_HANDLE_VALUE) break;
    DWORD err = 0;
    if (info.bLink)
      err = ERROR_CANT_ACCESS_FILE;
    else if (!(info.dwAttributes & FILE_ATTRIBUTE_DIRECTORY))
      err = bLast ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND;
    if (err != 0) {
      CloseHandle(hAbove);
      hAbove = INVALID_HANDLE_VALUE;
      SetLastError(err);
      break;
    }
  }
  if (hAbove == INVALID_HANDLE_VALUE || !(info.dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    const DWORD err = hAbove == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_DIRECTORY;
    if (hAbove != INVALID_HANDLE_VALUE) CloseHandle(hAbove);
    for (HANDLE h : chain) CloseHandle(h);
    return Fail(err);
  }
  m_hFolder = hAbove;
  m_vecAbove = chain;
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
    entry.bIsLink =
        (e.dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkEntry(m_hFolder, e.name);
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
  ChildInfo info;
  HANDLE h = OpenCheckedChild(m_hFolder, name, DELETE, FILE_OPEN, &info);
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
  ChildInfo info;
  HANDLE h = OpenCheckedChild(m_hFolder, name, DELETE | FILE_LIST_DIRECTORY, FILE_OPEN, &info);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  BOOL bOk;
  if (!IsPlainFolder(info))
    bOk = Fail(ERROR_CANT_ACCESS_FILE);
  else if (!EmptyTree(h))
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
  ChildInfo info;
  HANDLE h = OpenCheckedChild(m_hFolder, name, FILE_APPEND_DATA, FILE_OPEN_IF, &info);
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

BOOL PlatRefuseUserJunctions() {
  // PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY with EnforceRedirectionTrust
  // set; older systems refuse the policy number.
  typedef BOOL(WINAPI * SetPolicyFn)(int, PVOID, SIZE_T);
  const int kProcessRedirectionTrustPolicy = 16;
  SetPolicyFn pfnSet = reinterpret_cast<SetPolicyFn>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetProcessMitigationPolicy")));
  if (pfnSet == nullptr) return FALSE;
  DWORD dwFlags = 0x1;
  return pfnSet(kProcessRedirectionTrustPolicy, &dwFlags, sizeof dwFlags);
}
