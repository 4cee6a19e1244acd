// File security through ADVAPI32: SDDL conversion, GetSecurityInfo and the
// access list walk.
#include <windows.h>
// clang-format off
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include "platform/filesec.h"

namespace {

std::string SidText(PSID pSid) {
  LPSTR psz = nullptr;
  if (pSid == nullptr || !ConvertSidToStringSidA(pSid, &psz)) return std::string();
  std::string s = psz;
  LocalFree(psz);
  return s;
}

}  // namespace

BOOL CreateDirectoryWithSddlA(LPCSTR lpPathName, LPCSTR lpSddl) {
  PSECURITY_DESCRIPTOR pSd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(lpSddl, SDDL_REVISION_1, &pSd, nullptr))
    return FALSE;
  SECURITY_ATTRIBUTES sa = {sizeof(sa), pSd, FALSE};
  BOOL bOk = CreateDirectoryA(lpPathName, &sa);
  DWORD dwError = GetLastError();
  LocalFree(pSd);
  SetLastError(dwError);
  return bOk;
}

BOOL GetHandleSecurity(HANDLE hObject, PlatSecurity* pSecurity) {
  PSID pOwner = nullptr;
  PACL pDacl = nullptr;
  PSECURITY_DESCRIPTOR pSd = nullptr;
  DWORD dwError = GetSecurityInfo(hObject, SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &pOwner,
                                  nullptr, &pDacl, nullptr, &pSd);
  if (dwError != ERROR_SUCCESS) {
    SetLastError(dwError);
    return FALSE;
  }
  PlatSecurity sec;
  sec.strOwner = SidText(pOwner);
  sec.bHasDacl = pDacl != nullptr;
  BOOL bOk = !sec.strOwner.empty();
  for (DWORD i = 0; bOk && pDacl != nullptr && i < pDacl->AceCount; ++i) {
    LPVOID pAce = nullptr;
    if (!GetAce(pDacl, i, &pAce)) {
      bOk = FALSE;
      break;
    }
    const ACE_HEADER* pHeader = static_cast<const ACE_HEADER*>(pAce);
    PlatAce ace;
    if (pHeader->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      const ACCESS_ALLOWED_ACE* p = static_cast<const ACCESS_ALLOWED_ACE*>(pAce);
      ace = PlatAce{true, SidText(const_cast<DWORD*>(&p->SidStart)), p->Mask};
    } else if (pHeader->AceType == ACCESS_DENIED_ACE_TYPE) {
      const ACCESS_DENIED_ACE* p = static_cast<const ACCESS_DENIED_ACE*>(pAce);
      ace = PlatAce{false, SidText(const_cast<DWORD*>(&p->SidStart)), p->Mask};
    } else {
      // Any other kind (object, callback, audit) is reported as an allowing
      // entry of everything for nobody known, so a judge refuses it.
      ace = PlatAce{true, std::string(), 0xFFFFFFFFu};
    }
    sec.aces.push_back(ace);
  }
  LocalFree(pSd);
  if (!bOk) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  *pSecurity = sec;
  return TRUE;
}

BOOL PlatKeepsFileSecurity() {
  // Wine's ntdll exports wine_get_version; the real one never does, and
  // ntdll always comes from the system.
  HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
  return hNtdll == nullptr || GetProcAddress(hNtdll, "wine_get_version") == nullptr;
}
