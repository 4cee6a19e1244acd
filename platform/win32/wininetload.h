// WinInet without an import: the program runs elevated from a folder any
// user can write (typically the downloads folder), and WININET.DLL is not one
// of the system's known DLLs, so an import would take a wininet.dll placed
// beside the program before WinMain runs. Every WinInet function the code
// uses is instead resolved from the system folder's wininet.dll, loaded at
// its first use; the names below stand in for the WinInet ones (platform/win.h
// maps them). Without the library each call fails with the last error set.
#pragma once

#include <windows.h>
#include <wininet.h>

HINTERNET WINAPI PlatInternetOpenA(LPCSTR lpszAgent, DWORD dwAccessType, LPCSTR lpszProxy,
                                   LPCSTR lpszProxyBypass, DWORD dwFlags);
BOOL WINAPI PlatInternetCloseHandle(HINTERNET hInternet);
HINTERNET WINAPI PlatInternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName,
                                      INTERNET_PORT nServerPort, LPCSTR lpszUserName,
                                      LPCSTR lpszPassword, DWORD dwService, DWORD dwFlags,
                                      DWORD_PTR dwContext);
BOOL WINAPI PlatInternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                                 LPDWORD lpdwNumberOfBytesRead);
BOOL WINAPI PlatInternetWriteFile(HINTERNET hFile, LPCVOID lpBuffer, DWORD dwNumberOfBytesToWrite,
                                  LPDWORD lpdwNumberOfBytesWritten);
BOOL WINAPI PlatInternetQueryOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                                     LPDWORD lpdwBufferLength);
BOOL WINAPI PlatInternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                                   DWORD dwBufferLength);
BOOL WINAPI PlatInternetCrackUrlA(LPCSTR lpszUrl, DWORD dwUrlLength, DWORD dwFlags,
                                  LPURL_COMPONENTSA lpUrlComponents);
HINTERNET WINAPI PlatHttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName,
                                      LPCSTR lpszVersion, LPCSTR lpszReferrer,
                                      LPCSTR* lplpszAcceptTypes, DWORD dwFlags,
                                      DWORD_PTR dwContext);
BOOL WINAPI PlatHttpAddRequestHeadersA(HINTERNET hRequest, LPCSTR lpszHeaders,
                                       DWORD dwHeadersLength, DWORD dwModifiers);
BOOL WINAPI PlatHttpSendRequestA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                                 LPVOID lpOptional, DWORD dwOptionalLength);
BOOL WINAPI PlatHttpSendRequestExA(HINTERNET hRequest, LPINTERNET_BUFFERSA lpBuffersIn,
                                   LPINTERNET_BUFFERSA lpBuffersOut, DWORD dwFlags,
                                   DWORD_PTR dwContext);
BOOL WINAPI PlatHttpEndRequestA(HINTERNET hRequest, LPINTERNET_BUFFERSA lpBuffersOut, DWORD dwFlags,
                                DWORD_PTR dwContext);
BOOL WINAPI PlatHttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer,
                               LPDWORD lpdwBufferLength, LPDWORD lpdwIndex);

// The module the calls go to: the system folder's wininet.dll, loaded once;
// NULL when it could not be loaded.
HMODULE PlatWinInetModule();

#ifndef PLAT_WININET_NO_REDIRECT
#define InternetOpenA PlatInternetOpenA
#define InternetCloseHandle PlatInternetCloseHandle
#define InternetConnectA PlatInternetConnectA
#define InternetReadFile PlatInternetReadFile
#define InternetWriteFile PlatInternetWriteFile
#define InternetQueryOptionA PlatInternetQueryOptionA
#define InternetSetOptionA PlatInternetSetOptionA
#define InternetCrackUrlA PlatInternetCrackUrlA
#define HttpOpenRequestA PlatHttpOpenRequestA
#define HttpAddRequestHeadersA PlatHttpAddRequestHeadersA
#define HttpSendRequestA PlatHttpSendRequestA
#define HttpSendRequestExA PlatHttpSendRequestExA
#define HttpEndRequestA PlatHttpEndRequestA
#define HttpQueryInfoA PlatHttpQueryInfoA
#endif
