#include "update/dlfolder.h"

#include <cstdio>

#include "log/log.h"

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
  if (m_hFolder != INVALID_HANDLE_VALUE) CloseHandle(m_hFolder);
}

std::string CDownloadFolder::Path() {
  if (!m_strPath.empty()) return m_strPath;
  char szTemp[MAX_PATH] = {0};
  DWORD n = GetTempPathA(MAX_PATH, szTemp);
  // Without a temporary folder the packages would land, and run, in the
  // current folder.
  if (n == 0 || n >= MAX_PATH - 48) {
    LogError("%s", "no temporary folder for the downloads");
    return std::string();
  }
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
  std::string strPath = std::string(szTemp, n) + szName;
  // A folder of that name that exists already is someone else's: never used.
  if (!CreateDirectoryWithSddlA(strPath.c_str(), DOWNLOAD_FOLDER_SDDL)) {
    LogError("download folder %s could not be made (error %lu)", strPath.c_str(),
             static_cast<unsigned long>(GetLastError()));
    return std::string();
  }
  // Held without delete sharing: it cannot be renamed or removed (and a
  // look-alike put in its place) while the run uses it.
  HANDLE hFolder = CreateFileA(strPath.c_str(), READ_CONTROL | FILE_LIST_DIRECTORY,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (hFolder == INVALID_HANDLE_VALUE) {
    LogError("download folder %s could not be opened (error %lu)", strPath.c_str(),
             static_cast<unsigned long>(GetLastError()));
    return std::string();
  }
  // What the file system made of the descriptor. A system that keeps none
  // (Wine) has nothing to read back.
  PlatSecurity sec;
  if (PlatKeepsFileSecurity() && (!GetHandleSecurity(hFolder, &sec) || !IsAdminOnlySecurity(sec))) {
    LogError("download folder %s is not protected (owner %s)", strPath.c_str(),
             sec.strOwner.c_str());
    CloseHandle(hFolder);
    return std::string();
  }
  m_hFolder = hFolder;
  m_strPath = strPath + "\\";
  return m_strPath;
}

bool CDownloadFolder::Hold(const std::string& strPath) {
  Release(strPath);
  HANDLE h = CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
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
