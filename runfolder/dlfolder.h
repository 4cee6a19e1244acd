// The folder packages are downloaded into and run from: made fresh under the
// Windows folder's Temp (users may add entries there but not change others'),
// else under the user's temporary folder when that is on a local fixed drive.
// Any process of the user could otherwise swap an installer before it runs or
// plant a DLL beside it.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "platform/win.h"

// Owner Administrators; an access list that inherits nothing from the
// temporary folder: full control for Administrators and SYSTEM and nothing
// for users (installers run as administrator), so that no user can read,
// pin or give a second name to what is in it; OWNER RIGHTS only read the
// descriptor, so that whoever comes to own a file in it (where
// administrators' objects are owned by the creating user) gets no implicit
// right to change its access list.
#define DOWNLOAD_FOLDER_SDDL "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;RC;;;OW)"

// The environment block for an installer: the machine's
// (PlatMachineEnvironment: the system variables and the user's identity as
// Windows sets them) with TMP and TEMP set to strTemp, sorted by name;
// nothing the user set. Empty when the machine's variables cannot be read.
std::string InstallerEnvironment(const std::string& strTemp);

// SHA-256 of everything a handle reads from the file's start, as 64
// lower-case hexadecimal digits; false when it cannot be read.
bool HashFileHandle(HANDLE hFile, std::string* pstrHex);

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
  // removed. Made under <Windows folder>\Temp; when that fails (one DEBUG
  // line), under the user's temporary folder, only if that is on a local
  // fixed drive. Empty (one ERROR line) when it could not be made or is not
  // protected; a later call tries a fresh name.
  std::string Path();

  // A fresh sub-folder of Path() with the same descriptor and checks, held
  // like it, ending in a backslash: an installer's TMP and TEMP. Empty (one
  // ERROR line) when it could not be made.
  std::string MakeTempFolder();

  // Keeps the file open so that nobody can write, replace or delete it (it
  // can still be read and run) until Release. False when someone else has it
  // open for writing.
  bool Hold(const std::string& strPath);
  void Release(const std::string& strPath);
  // The handle a held file is held by (reading allowed), or
  // INVALID_HANDLE_VALUE.
  HANDLE HeldHandle(const std::string& strPath) const;

  // Starts a held installer of this folder clean: its quoted path as the
  // command line, this folder as its current folder, the machine's
  // environment with TMP and TEMP naming a fresh MakeTempFolder(). With a
  // listed SHA-256 (lower case), the file is hashed again through the held
  // handle right before the start, and a mismatch starts nothing. FALSE (one
  // ERROR line) when nothing was started.
  BOOL StartInstaller(const std::string& strPath, const std::string& strSha256,
                      PROCESS_INFORMATION* pPi);

 private:
  // Makes, holds and checks a folder of that path; false with one line
  // (ERROR, or DEBUG when bLogQuietly) naming the cause.
  bool MakeProtected(const std::string& strPath, bool bLogQuietly, HANDLE* phFolder);
  bool MakeUnder(const std::string& strPath, bool bLogQuietly);

  std::string m_strPath;
  HANDLE m_hFolder;
  std::map<std::string, HANDLE> m_mapHeld;  // by upper-cased path
  std::vector<HANDLE> m_vecSubFolders;      // TMP and TEMP folders, held
  int m_nSubFolders = 0;
};
