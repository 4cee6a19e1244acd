// WinInet from the system folder, resolved function by function.
#define PLAT_WININET_NO_REDIRECT
#include "platform/win32/wininetload.h"
#include "platform/syslib.h"

#include <cstring>

namespace {

// Each function is looked up once; the module stays loaded for the life of
// the process.
template <class Fn>
Fn Proc(const char* pszName) {
  HMODULE h = PlatWinInetModule();
  if (h == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(h, pszName)));
}

template <class T>
T Missing() {
  SetLastError(PlatWinInetModule() == nullptr ? ERROR_MOD_NOT_FOUND : ERROR_PROC_NOT_FOUND);
  return T();
}

}  // namespace

HMODULE PlatWinInetModule() {
  static const HMODULE hModule = LoadSystemLibrary("wininet.dll");
  return hModule;
}

#define PLAT_PROC(name) static const auto fn = Proc<decltype(&::name)>(#name)

HINTERNET WINAPI PlatInternetOpenA(LPCSTR lpszAgent, DWORD dwAccessType, LPCSTR lpszProxy,
                                   LPCSTR lpszProxyBypass, DWORD dwFlags) {
  PLAT_PROC(InternetOpenA);
  return fn ? fn(lpszAgent, dwAccessType, lpszProxy, lpszProxyBypass, dwFlags)
            : Missing<HINTERNET>();
}

BOOL WINAPI PlatInternetCloseHandle(HINTERNET hInternet) {
  PLAT_PROC(InternetCloseHandle);
  return fn ? fn(hInternet) : Missing<BOOL>();
}

HINTERNET WINAPI PlatInternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName,
                                      INTERNET_PORT nServerPort, LPCSTR lpszUserName,
                                      LPCSTR lpszPassword, DWORD dwService, DWORD dwFlags,
                                      DWORD_PTR dwContext) {
  PLAT_PROC(InternetConnectA);
  return fn ? fn(hInternet, lpszServerName, nServerPort, lpszUserName, lpszPassword, dwService,
                 dwFlags, dwContext)
            : Missing<HINTERNET>();
}

BOOL WINAPI PlatInternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                                 LPDWORD lpdwNumberOfBytesRead) {
  PLAT_PROC(InternetReadFile);
  return fn ? fn(hFile, lpBuffer, dwNumberOfBytesToRead, lpdwNumberOfBytesRead) : Missing<BOOL>();
}

BOOL WINAPI PlatInternetWriteFile(HINTERNET hFile, LPCVOID lpBuffer, DWORD dwNumberOfBytesToWrite,
                                  LPDWORD lpdwNumberOfBytesWritten) {
  PLAT_PROC(InternetWriteFile);
  return fn ? fn(hFile, lpBuffer, dwNumberOfBytesToWrite, lpdwNumberOfBytesWritten)
            : Missing<BOOL>();
}

BOOL WINAPI PlatInternetQueryOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                                     LPDWORD lpdwBufferLength) {
  PLAT_PROC(InternetQueryOptionA);
  return fn ? fn(hInternet, dwOption, lpBuffer, lpdwBufferLength) : Missing<BOOL>();
}

BOOL WINAPI PlatInternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                                   DWORD dwBufferLength) {
  PLAT_PROC(InternetSetOptionA);
  return fn ? fn(hInternet, dwOption, lpBuffer, dwBufferLength) : Missing<BOOL>();
}

BOOL WINAPI PlatInternetCrackUrlA(LPCSTR lpszUrl, DWORD dwUrlLength, DWORD dwFlags,
                                  LPURL_COMPONENTSA lpUrlComponents) {
  PLAT_PROC(InternetCrackUrlA);
  return fn ? fn(lpszUrl, dwUrlLength, dwFlags, lpUrlComponents) : Missing<BOOL>();
}

HINTERNET WINAPI PlatHttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName,
                                      LPCSTR lpszVersion, LPCSTR lpszReferrer,
                                      LPCSTR* lplpszAcceptTypes, DWORD dwFlags,
                                      DWORD_PTR dwContext) {
  PLAT_PROC(HttpOpenRequestA);
  return fn ? fn(hConnect, lpszVerb, lpszObjectName, lpszVersion, lpszReferrer, lplpszAcceptTypes,
                 dwFlags, dwContext)
            : Missing<HINTERNET>();
}

BOOL WINAPI PlatHttpAddRequestHeadersA(HINTERNET hRequest, LPCSTR lpszHeaders,
                                       DWORD dwHeadersLength, DWORD dwModifiers) {
  PLAT_PROC(HttpAddRequestHeadersA);
  return fn ? fn(hRequest, lpszHeaders, dwHeadersLength, dwModifiers) : Missing<BOOL>();
}

BOOL WINAPI PlatHttpSendRequestA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                                 LPVOID lpOptional, DWORD dwOptionalLength) {
  PLAT_PROC(HttpSendRequestA);
  return fn ? fn(hRequest, lpszHeaders, dwHeadersLength, lpOptional, dwOptionalLength)
            : Missing<BOOL>();
}

BOOL WINAPI PlatHttpSendRequestExA(HINTERNET hRequest, LPINTERNET_BUFFERSA lpBuffersIn,
                                   LPINTERNET_BUFFERSA lpBuffersOut, DWORD dwFlags,
                                   DWORD_PTR dwContext) {
  PLAT_PROC(HttpSendRequestExA);
  return fn ? fn(hRequest, lpBuffersIn, lpBuffersOut, dwFlags, dwContext) : Missing<BOOL>();
}

BOOL WINAPI PlatHttpEndRequestA(HINTERNET hRequest, LPINTERNET_BUFFERSA lpBuffersOut, DWORD dwFlags,
                                DWORD_PTR dwContext) {
  PLAT_PROC(HttpEndRequestA);
  return fn ? fn(hRequest, lpBuffersOut, dwFlags, dwContext) : Missing<BOOL>();
}

BOOL WINAPI PlatHttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer,
                               LPDWORD lpdwBufferLength, LPDWORD lpdwIndex) {
  PLAT_PROC(HttpQueryInfoA);
  return fn ? fn(hRequest, dwInfoLevel, lpBuffer, lpdwBufferLength, lpdwIndex) : Missing<BOOL>();
}
