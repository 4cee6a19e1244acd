// The machine's environment on Windows. The system variables come from
// CreateEnvironmentBlock without a user token, which reads only the
// machine's keys ("Session Manager\Environment" under HKLM's control set)
// and never HKCU\Environment or HKCU\Volatile Environment; the
// identity from the process's own token (its account name and domain, its
// profile folder from the machine's profile list) and from the shell's
// known folders. userenv and shell32 are loaded from the system folder at
// run time: the program imports neither.
#include "platform/environ.h"

#include <windows.h>

#include <cwchar>
#include <map>

#include <objbase.h>

#include "platform/syslib.h"

namespace {

typedef BOOL(WINAPI* CreateEnvironmentBlockFn)(LPVOID*, HANDLE, BOOL);
typedef BOOL(WINAPI* DestroyEnvironmentBlockFn)(LPVOID);
typedef BOOL(WINAPI* GetUserProfileDirectoryWFn)(HANDLE, LPWSTR, LPDWORD);
typedef HRESULT(WINAPI* SHGetKnownFolderPathFn)(const GUID&, DWORD, HANDLE, PWSTR*);

const GUID kRoamingAppData = {
    0x3EB685DB, 0x65F9, 0x4CF6, {0xA0, 0x3A, 0xE3, 0xEF, 0x65, 0x72, 0x9F, 0x3D}};
const GUID kLocalAppData = {
    0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};
const GUID kProgramData = {
    0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}};
const GUID kPublic = {0xDFDF76A2, 0xC82A, 0x4D63, {0x90, 0x6A, 0x56, 0x44, 0xAC, 0x45, 0x73, 0x85}};

// The exact ANSI form of a wide text; false when it has none (a best-fit
// character could name another path).
bool Narrow(const std::wstring& w, std::string* pOut) {
  pOut->clear();
  if (w.empty()) return true;
  BOOL bDefault = FALSE;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), static_cast<int>(w.size()),
                              nullptr, 0, nullptr, &bDefault);
  if (n <= 0 || bDefault) return false;
  pOut->assign(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), static_cast<int>(w.size()),
                      &(*pOut)[0], n, nullptr, &bDefault);
  return !bDefault;
}

void Add(std::vector<std::string>* pEntries, const char* szName, const std::wstring& value) {
  std::string strValue;
  if (!value.empty() && Narrow(value, &strValue))
    pEntries->push_back(std::string(szName) + "=" + strValue);
}

std::wstring KnownFolder(HMODULE hShell, const GUID& id) {
  SHGetKnownFolderPathFn pfnGet = nullptr;
  PWSTR p = nullptr;
  std::wstring w;
  if (ResolveProc(hShell, "SHGetKnownFolderPath", pfnGet) &&
      SUCCEEDED(pfnGet(id, 0, nullptr, &p)) && p != nullptr)
    w = p;
  CoTaskMemFree(p);
  return w;
}

std::wstring UpperW(std::wstring s) {
  for (WCHAR& c : s)
    if (c >= L'a' && c <= L'z') c = static_cast<WCHAR>(c - L'a' + L'A');
  return s;
}

// %NAME% references of text replaced from vars (upper-cased names); an
// unknown reference stays as written, as Windows leaves it.
std::wstring Expand(const std::wstring& text, const std::map<std::wstring, std::wstring>& vars) {
  std::wstring out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t open = text.find(L'%', at);
    const size_t close = open == std::wstring::npos ? open : text.find(L'%', open + 1);
    if (close == std::wstring::npos) {
      out += text.substr(at);
      break;
    }
    out += text.substr(at, open - at);
    auto it = vars.find(UpperW(text.substr(open + 1, close - open - 1)));
    if (it != vars.end()) {
      out += it->second;
      at = close + 1;
    } else {
      out += L'%';
      at = open + 1;
    }
  }
  return out;
}

// The machine's expandable values expanded again against the machine's own
// variables: an implementation that expands them with the caller's
// environment (Wine does) would hand on a SystemRoot or ProgramFiles the
// user set. SystemRoot is the system's own Windows folder.
void ReexpandMachineValues(std::map<std::wstring, std::wstring>* pVars) {
  WCHAR szWindows[MAX_PATH];
  const UINT cch = GetSystemWindowsDirectoryW(szWindows, MAX_PATH);
  if (cch > 0 && cch < MAX_PATH) (*pVars)[L"SYSTEMROOT"] = std::wstring(szWindows, cch);
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                    KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
    return;
  for (DWORD i = 0;; ++i) {
    WCHAR szName[256];
    DWORD cchName = 256, dwType = 0, cbData = 0;
    if (RegEnumValueW(hKey, i, szName, &cchName, nullptr, &dwType, nullptr, &cbData) !=
        ERROR_SUCCESS)
      break;
    if (dwType != REG_EXPAND_SZ || cbData == 0 || cbData > 65536) continue;
    std::wstring raw(cbData / sizeof(WCHAR) + 1, L'\0');
    DWORD cb = static_cast<DWORD>(raw.size() * sizeof(WCHAR));
    cchName = 256;
    if (RegEnumValueW(hKey, i, szName, &cchName, nullptr, &dwType, reinterpret_cast<BYTE*>(&raw[0]),
                      &cb) != ERROR_SUCCESS)
      continue;
    raw.resize(wcsnlen(raw.c_str(), raw.size()));
    const std::wstring name = UpperW(szName);
    if (pVars->count(name)) (*pVars)[name] = Expand(raw, *pVars);
  }
  RegCloseKey(hKey);
}

bool IsIdentityName(const std::wstring& name) {
  std::string strName;
  if (!Narrow(name, &strName)) return false;
  for (char& c : strName)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  if (strName == "TEMP" || strName == "TMP") return true;
  for (const std::string& id : PlatIdentityVariables())
    if (strName == id) return true;
  return false;
}

}  // namespace

BOOL PlatMachineEnvironment(std::vector<std::string>* pEntries) {
  pEntries->clear();
  static HMODULE hUserEnv = LoadSystemLibrary("userenv.dll");
  static HMODULE hShell = LoadSystemLibrary("shell32.dll");
  CreateEnvironmentBlockFn pfnCreate = nullptr;
  DestroyEnvironmentBlockFn pfnDestroy = nullptr;
  GetUserProfileDirectoryWFn pfnProfile = nullptr;
  if (!ResolveProc(hUserEnv, "CreateEnvironmentBlock", pfnCreate) ||
      !ResolveProc(hUserEnv, "DestroyEnvironmentBlock", pfnDestroy) ||
      !ResolveProc(hUserEnv, "GetUserProfileDirectoryW", pfnProfile)) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return FALSE;
  }
  // No token: the system variables only.
  LPVOID pBlock = nullptr;
  if (!pfnCreate(&pBlock, nullptr, FALSE)) return FALSE;
  std::vector<std::wstring> names;  // in the block's order
  std::map<std::wstring, std::wstring> vars;
  for (const WCHAR* p = static_cast<const WCHAR*>(pBlock); *p != L'\0'; p += lstrlenW(p) + 1) {
    const std::wstring entry = p;
    const size_t eq = entry.find(L'=', 1);
    if (entry[0] == L'=' || eq == std::wstring::npos) continue;
    const std::wstring upper = UpperW(entry.substr(0, eq));
    if (!vars.count(upper)) names.push_back(entry.substr(0, eq));
    vars[upper] = entry.substr(eq + 1);
  }
  pfnDestroy(pBlock);
  ReexpandMachineValues(&vars);
  for (const std::wstring& name : names) {
    std::string strEntry;
    if (IsIdentityName(name) || !Narrow(name + L"=" + vars[UpperW(name)], &strEntry)) continue;
    pEntries->push_back(strEntry);
  }

  HANDLE hToken = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken)) {
    BYTE user[512];
    DWORD cb = 0;
    if (GetTokenInformation(hToken, TokenUser, user, sizeof user, &cb)) {
      WCHAR szName[256], szDomain[256];
      DWORD cchName = 256, cchDomain = 256;
      SID_NAME_USE use;
      if (LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(user)->User.Sid, szName,
                            &cchName, szDomain, &cchDomain, &use)) {
        Add(pEntries, "USERNAME", szName);
        Add(pEntries, "USERDOMAIN", szDomain);
      }
    }
    WCHAR szProfile[MAX_PATH];
    DWORD cch = MAX_PATH;
    if (pfnProfile(hToken, szProfile, &cch)) {
      const std::wstring profile = szProfile;
      Add(pEntries, "USERPROFILE", profile);
      Add(pEntries, "APPDATA", KnownFolder(hShell, kRoamingAppData));
      Add(pEntries, "LOCALAPPDATA", KnownFolder(hShell, kLocalAppData));
      // Without a home folder set for the account, Windows takes the profile's.
      if (profile.size() > 3 && profile[1] == L':' && profile[2] == L'\\') {
        Add(pEntries, "HOMEDRIVE", profile.substr(0, 2));
        Add(pEntries, "HOMEPATH", profile.substr(2));
      }
    }
    CloseHandle(hToken);
  }
  Add(pEntries, "PUBLIC", KnownFolder(hShell, kPublic));
  Add(pEntries, "ALLUSERSPROFILE", KnownFolder(hShell, kProgramData));
  return TRUE;
}
