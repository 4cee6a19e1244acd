// The folder packages are downloaded into and run from: made fresh under the
// temporary folder, where any process of the user could otherwise swap an
// installer before it runs or plant a DLL beside it.
#pragma once
#include <map>
#include <string>

#include "platform/win.h"

// Owner Administrators; an access list that inherits nothing from the
// temporary folder: full control for Administrators and SYSTEM, read and
// execute (0x1200a9) for Users.
#define DOWNLOAD_FOLDER_SDDL "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"

// True when only Administrators and SYSTEM can change the folder or what is
// in it: one of them owns it (an owner may always rewrite the access list),
// it has an access list, and every entry that allows writing, adding,
// deleting, or changing attributes, security or owner names one of them.
bool IsAdminOnlySecurity(const PlatSecurity& sec);

class CDownloadFolder {
 public:
  CDownloadFolder() : m_hFolder(INVALID_HANDLE_VALUE) {}
  // Lets go of the folder and of every held file; both stay on disk.
  ~CDownloadFolder();
  CDownloadFolder(const CDownloadFolder&) = delete;
  CDownloadFolder& operator=(const CDownloadFolder&) = delete;

  // The folder, ending in a backslash, made at the first call under an
  // unguessable name and then kept open so that it cannot be renamed or
  // removed. Empty (one ERROR line) when it could not be made or is not
  // protected; a later call tries a fresh name.
  std::string Path();

  // Keeps the file open so that nobody can write, replace or delete it (it
  // can still be read and run) until Release. False when someone else has it
  // open for writing.
  bool Hold(const std::string& strPath);
  void Release(const std::string& strPath);

 private:
  std::string m_strPath;
  HANDLE m_hFolder;
  std::map<std::string, HANDLE> m_mapHeld;  // by upper-cased path
};
