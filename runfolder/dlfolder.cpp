#include "runfolder/dlfolder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "runfolder/busywait.h"
#include "platform/crypto.h"
#include "platform/environ.h"

namespace {

// Rights that change a folder, its content, its attributes or its security.
const DWORD kChangeRights = 0x0002 /* FILE_WRITE_DATA, FILE_ADD_FILE */ |
                            0x0004 /* FILE_APPEND_DATA, FILE_ADD_SUBDIRECTORY */ |
                            0x0010 /* FILE_WRITE_EA */ | 0x0040 /* FILE_DELETE_CHILD */ |
                            0x0100 /* FILE_WRITE_ATTRIBUTES */ | 0x00010000 /* DELETE */ |
                            0x00040000 /* WRITE_DAC */ | 0x00080000 /* WRITE_OWNER */ |
                            0x10000000 /* GENERIC_ALL */ | 0x40000000 /* GENERIC_WRITE */;

bool IsAdminOrSystem(const std::string& strSid) {
  return strSid == PLAT_SID_ADMINISTRATORS || strSid == PLAT_SID_SYSTEM;
}

std::string Key(const std::string& strPath) {
  std::string key = strPath;
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

}  // namespace

bool IsAdminOnlySecurity(const PlatSecurity& sec) {
  if (!IsAdminOrSystem(sec.strOwner) || !sec.bHasDacl) return false;
  for (const PlatAce& ace : sec.aces) {
    if (ace.bAllow && (ace.dwMask & kChangeRights) && !IsAdminOrSystem(ace.strSid)) return false;
  }
  return true;
}

CDownloadFolder::~CDownloadFolder() {
  for (auto& kv : m_mapHeld) CloseHandle(kv.second);
  for (HANDLE h : m_vecSubFolders) CloseHandle(h);
  if (m_hFolder != INVALID_HANDLE_VALUE) CloseHandle(m_hFolder);
}

namespace {

// One line naming why no folder could be used: ERROR, or DEBUG when another
// place is tried next.
void LogCause(bool bQuietly, const char* szWhat, const std::string& strPath, const char* szWhy,
              unsigned long ulValue) {
  char szLine[MAX_PATH + 200];
  std::snprintf(szLine, sizeof szLine, "%s %s %s%lu)", szWhat, strPath.c_str(), szWhy, ulValue);
  if (bQuietly)
    LogDebug("%s", szLine);
  else
    LogError("%s", szLine);
}

// The user's temporary folder, ending in a backslash, when it is on a local
// fixed drive; a network share (whose server answers any owner and access
// list, and other bytes later) or a removable volume is refused.
std::string LocalTempFolder() {
  char szTemp[MAX_PATH] = {0};
  DWORD n = GetTempPathA(MAX_PATH, szTemp);
  // Without a temporary folder the packages would land, and run, in the
  // current folder.
  if (n == 0 || n >= MAX_PATH - 48) {
    LogError("%s", "no temporary folder for the downloads");
    return std::string();
  }
  const std::string strTemp(szTemp, n);
  const bool bDrivePath = strTemp.size() >= 3 && strTemp[1] == ':' && strTemp[2] == '\\';
  const UINT uType = bDrivePath ? GetDriveTypeA(strTemp.substr(0, 3).c_str()) : DRIVE_REMOTE;
  if (uType != DRIVE_FIXED) {
    LogCause(false, "no folder for the downloads: the temporary folder", strTemp,
             "is not on a local fixed drive (drive type ", static_cast<unsigned long>(uType));
    return std::string();
  }
  return strTemp;
}

}  // namespace

std::string CDownloadFolder::Path() {
  if (!m_strPath.empty()) return m_strPath;
  // 122 random bits of a GUID: no other process can make this folder first.
  GUID g;
  if (FAILED(CoCreateGuid(&g))) {
    LogError("%s", "no name for the download folder");
    return std::string();
  }
  char szName[48];
  std::snprintf(szName, sizeof(szName), "pavonix-%08lx%04x%04x%02x%02x%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  char szWindows[MAX_PATH] = {0};
  UINT n = GetWindowsDirectoryA(szWindows, MAX_PATH);
  if (n > 0 && n < MAX_PATH - 64) {
    std::string strParent(szWindows, n);
    if (strParent.back() != '\\') strParent += '\\';
    if (MakeUnder(strParent + "Temp\\" + szName, true)) return m_strPath;
  }
  const std::string strTemp = LocalTempFolder();
  if (!strTemp.empty()) MakeUnder(strTemp + szName, false);
  return m_strPath;
}

bool CDownloadFolder::MakeUnder(const std::string& strPath, bool bLogQuietly) {
  HANDLE hFolder = INVALID_HANDLE_VALUE;
  if (!MakeProtected(strPath, bLogQuietly, &hFolder)) return false;
  m_hFolder = hFolder;
  m_strPath = strPath + "\\";
  return true;
}

bool CDownloadFolder::MakeProtected(const std::string& strPath, bool bLogQuietly,
                                    HANDLE* phFolder) {
  // A folder of that name that exists already is someone else's: never used.
  if (!CreateDirectoryWithSddlA(strPath.c_str(), DOWNLOAD_FOLDER_SDDL)) {
    LogCause(bLogQuietly, "download folder", strPath, "could not be made (error ",
             static_cast<unsigned long>(GetLastError()));
    return false;
  }
  // Held without delete sharing: it cannot be renamed or removed (and a
  // look-alike put in its place) while the run uses it.
  HANDLE hFolder = CreateFileA(strPath.c_str(), READ_CONTROL | FILE_LIST_DIRECTORY,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (hFolder == INVALID_HANDLE_VALUE) {
    LogCause(bLogQuietly, "download folder", strPath, "could not be opened (error ",
             static_cast<unsigned long>(GetLastError()));
    return false;
  }
  // What the file system made of the descriptor. A system that keeps none
  // (Wine) has nothing to read back.
  PlatSecurity sec;
  if (PlatKeepsFileSecurity() && (!GetHandleSecurity(hFolder, &sec) || !IsAdminOnlySecurity(sec))) {
    const std::string strWhy = "is not protected (owner " + sec.strOwner + ", entries ";
    LogCause(bLogQuietly, "download folder", strPath, strWhy.c_str(),
             static_cast<unsigned long>(sec.aces.size()));
    CloseHandle(hFolder);
    return false;
  }
  *phFolder = hFolder;
  return true;
}

std::string CDownloadFolder::MakeTempFolder() {
  if (Path().empty()) return std::string();
  char szName[32];
  std::snprintf(szName, sizeof szName, "temp%d", ++m_nSubFolders);
  const std::string strPath = m_strPath + szName;
  HANDLE hFolder = INVALID_HANDLE_VALUE;
  if (!MakeProtected(strPath, false, &hFolder)) return std::string();
  m_vecSubFolders.push_back(hFolder);
  return strPath + "\\";
}

HANDLE CDownloadFolder::HeldHandle(const std::string& strPath) const {
  auto it = m_mapHeld.find(Key(strPath));
  return it == m_mapHeld.end() ? INVALID_HANDLE_VALUE : it->second;
}

bool HashFileHandle(HANDLE hFile, std::string* pstrHex) {
  if (SetFilePointer(hFile, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return false;
  CPlatSha256 sha;
  std::vector<char> buf(64 * 1024);
  for (;;) {
    DWORD dwRead = 0;
    if (!ReadFile(hFile, buf.data(), static_cast<DWORD>(buf.size()), &dwRead, nullptr))
      return false;
    if (dwRead == 0) break;
    if (!sha.Update(buf.data(), dwRead)) return false;
  }
  return sha.FinalHex(pstrHex);
}

bool CDownloadFolder::Hold(const std::string& strPath) {
  Release(strPath);
  HANDLE h = INVALID_HANDLE_VALUE;
  RetryWhileBusy("holding", strPath, [&] {
    h = CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    return h != INVALID_HANDLE_VALUE;
  });
  if (h == INVALID_HANDLE_VALUE) {
    LogError("%s cannot be held against writers (error %lu)", strPath.c_str(),
             static_cast<unsigned long>(GetLastError()));
    return false;
  }
  m_mapHeld[Key(strPath)] = h;
  return true;
}

void CDownloadFolder::Release(const std::string& strPath) {
  auto it = m_mapHeld.find(Key(strPath));
  if (it == m_mapHeld.end()) return;
  CloseHandle(it->second);
  m_mapHeld.erase(it);
}

std::string InstallerEnvironment(const std::string& strTemp) {
  std::vector<std::string> entries;
  if (!PlatMachineEnvironment(&entries)) return std::string();
  entries.push_back("TEMP=" + strTemp);
  entries.push_back("TMP=" + strTemp);
  // In the order Windows keeps a block: by name, without regard to case.
  std::stable_sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
    return Key(a.substr(0, a.find('='))) < Key(b.substr(0, b.find('=')));
  });
  std::string strBlock;
  for (const std::string& e : entries) strBlock += e + '\0';
  return strBlock + '\0';
}

BOOL CDownloadFolder::StartInstaller(const std::string& strPath, const std::string& strSha256,
                                     PROCESS_INFORMATION* pPi) {
  std::string strTemp = MakeTempFolder();
  if (strTemp.empty()) return FALSE;
  strTemp.pop_back();
  const std::string strEnv = InstallerEnvironment(strTemp);
  if (strEnv.empty()) {
    LogError("no environment for the installer %s (error %lu): not started", strPath.c_str(),
             static_cast<unsigned long>(GetLastError()));
    return FALSE;
  }
  // Quoted: a path with blanks is one program name, not a name and arguments.
  std::string strCmd = "\"" + strPath + "\"";
  std::vector<char> cmd(strCmd.begin(), strCmd.end());
  cmd.push_back('\0');
  const std::string strDir = m_strPath.substr(0, m_strPath.size() - 1);
  // The bytes that run are the bytes that were checked: the file is held
  // against writers, and hashed again through that very handle.
  if (!strSha256.empty()) {
    std::string strHex;
    HANDLE hHeld = HeldHandle(strPath);
    // A scanner's byte-range lock fails a read with ERROR_LOCK_VIOLATION.
    const bool bHashed = hHeld != INVALID_HANDLE_VALUE && RetryWhileBusy("hashing", strPath, [&] {
                           strHex.clear();
                           return HashFileHandle(hHeld, &strHex);
                         });
    if (!bHashed || strHex != strSha256) {
      LogError("installer %s does not have its listed sha256 any more (%s): not started",
               strPath.c_str(), strHex.empty() ? "unreadable" : strHex.c_str());
      return FALSE;
    }
  }
  STARTUPINFOA si;
  std::memset(&si, 0, sizeof(si));
  si.cb = sizeof(si);
  std::memset(pPi, 0, sizeof(*pPi));
  if (!RetryWhileBusy("starting", strPath, [&] {
        return CreateProcessA(strPath.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0,
                              const_cast<char*>(strEnv.data()), strDir.c_str(), &si, pPi) != FALSE;
      })) {
    LogError("installer %s could not be started (error %lu)", strPath.c_str(),
             static_cast<unsigned long>(GetLastError()));
    return FALSE;
  }
  return TRUE;
}
