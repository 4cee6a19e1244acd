// CHttpToolA: the WinInet calls of the library, one wrapper each. Every wrapper
// checks its arguments (code 0, exact texts), makes one platform call with the
// library's fixed values and raises the matching library code with the last
// error when that call fails.
#pragma once
#include "httpclient/errors.h"
#include "platform/win.h"

namespace Corvu {

class CHttpToolA {
 public:
  typedef char CharType;
  typedef LPSTR PSZ;
  typedef LPCSTR PCSZ;

  // "Corvu HTTP Client Class"
  static PCSZ DefaultUserAgent();

  static HINTERNET OpenConnection(HINTERNET hInternet, PCSZ szServerAddr, INTERNET_PORT nPort);
  static HINTERNET OpenRequest(HINTERNET hConnection, PCSZ szVerb, PCSZ szObjectName,
                               DWORD dwFlags);
  static void AddHeader(HINTERNET hRequest, PCSZ szName, PCSZ szValue);
  static void SendRequest(HINTERNET hRequest);
  static void SendRequestEx(HINTERNET hRequest, DWORD dwTotalBytes);
  static void InternetWriteFile(HINTERNET hRequest, const BYTE* pbyBuff, DWORD cbBuff);
  static void EndRequest(HINTERNET hRequest);
  static DWORD GetFileSize(HANDLE hFile, PCSZ szFilePath);
  static void SetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength);
  static void CloseInternetHandle(HINTERNET& hInternet);
  static DWORD SafeStrLen(PCSZ szStr);
  // "----TOVRA-" + 32 lower-case hex digits + "-", or null on any failure.
  // The caller frees the result with free().
  static PSZ GenerateBoundary();

  // C runtime helpers used by the templates.
  static int StringICmp(PCSZ a, PCSZ b);
  static int StringNICmp(PCSZ a, PCSZ b, size_t n);
  static BOOL IsDBCSLeadByte(UINT nCodePage, BYTE by);
};

}  // namespace Corvu
