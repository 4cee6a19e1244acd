// Security descriptors of files and folders, as far as the program needs
// them: making a folder with a given descriptor, and reading back who owns
// an open file or folder and who may do what with it.
#pragma once
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/sim/wintypes.h"
#endif

// Well-known SIDs as text.
#define PLAT_SID_ADMINISTRATORS "S-1-5-32-544"
#define PLAT_SID_SYSTEM "S-1-5-18"

// One entry of an access list.
struct PlatAce {
  bool bAllow;  // an allowing entry; else a denying one
  std::string strSid;
  DWORD dwMask;  // access mask as stored (generic bits not mapped)
};

struct PlatSecurity {
  std::string strOwner;  // SID text
  bool bHasDacl;         // false: no access list at all (everyone may do anything)
  std::vector<PlatAce> aces;
};

// CreateDirectoryA with the descriptor given as SDDL text. FALSE with the
// last error: ERROR_ALREADY_EXISTS when anything of that name exists,
// ERROR_INVALID_PARAMETER for SDDL that cannot be read.
BOOL CreateDirectoryWithSddlA(LPCSTR lpPathName, LPCSTR lpSddl);
// Owner and access list of an open handle (READ_CONTROL access).
BOOL GetHandleSecurity(HANDLE hObject, PlatSecurity* pSecurity);
// FALSE where descriptors are not kept: Wine stores none and derives what it
// reports from the Unix mode bits, so nothing read back there is the
// descriptor a folder was made with.
BOOL PlatKeepsFileSecurity();
