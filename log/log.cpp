#include "log/log.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "config/moduledir.h"
#include "platform/sysinfo.h"

int g_nLogLevel = 0;
HANDLE g_hLogMutex = NULL;
char g_szLogModule[36] = {0};
char g_szLogPath[256] = {0};

namespace {

const int kLevelError = 1;
const int kLevelDebug = 4;

// Formats into buf[0..size) and never past it; returns the bytes written.
size_t FormatInto(char* buf, size_t size, const char* szFormat, va_list args) {
  if (size == 0) return 0;
  int n = vsnprintf(buf, size, szFormat, args);
  if (n < 0) {
    buf[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

void LogAtLevel(int nThreshold, const char* szTag, const char* szFormat, va_list args) {
  if (g_nLogLevel < nThreshold || !szFormat) return;
  HANDLE hMutex = g_hLogMutex;
  // An abandoned mutex is owned all the same; the line is still written.
  if (hMutex) WaitForSingleObject(hMutex, INFINITE);
  std::unique_ptr<char[]> pBuf(new (std::nothrow) char[LOG_LINE_BUFFER]);
  if (pBuf && strlen(szFormat) <= LOG_MAX_FORMAT) {
    int n = snprintf(pBuf.get(), LOG_LINE_BUFFER, "[%s][%s](%lu): ", szTag, g_szLogModule,
                     static_cast<unsigned long>(GetCurrentThreadId()));
    size_t nTag = n > 0 ? static_cast<size_t>(n) : 0;
    // A message too long for the line buffer is cut at its end.
    FormatInto(pBuf.get() + nTag, LOG_LINE_BUFFER - nTag, szFormat, args);
    LogWriteLine("%s", pBuf.get());
  }
  if (hMutex) ReleaseMutex(hMutex);
}

// The leading decimal number of a date part as the C library's atoi reads it
// (blanks, an optional sign, digits; 0 without digits). False when the number
// does not fit an int.
bool LeadingNumber(const std::string& s, long long* pValue) {
  size_t i = 0;
  while (i < s.size() && isspace(static_cast<unsigned char>(s[i]))) ++i;
  bool bNegative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) bNegative = s[i++] == '-';
  long long v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > INT_MAX) return false;
  }
  *pValue = bNegative ? -v : v;
  return true;
}

bool EndsWithLog(const std::string& s) {
  if (s.size() < 4) return false;
  std::string tail = s.substr(s.size() - 4);
  for (char& c : tail) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return tail == ".log";
}

}  // namespace

void LogError(const char* szFormat, ...) {
  va_list args;
  va_start(args, szFormat);
  LogAtLevel(kLevelError, "ERROR", szFormat, args);
  va_end(args);
}

void LogDebug(const char* szFormat, ...) {
  va_list args;
  va_start(args, szFormat);
  LogAtLevel(kLevelDebug, "DEBUG", szFormat, args);
  va_end(args);
}

namespace {

bool g_bLinkReported = false;  // since the last PrepareLog

// A log folder reached through a junction, symbolic link or mount point is
// never written or purged; one line for the debugger says why (the log
// itself is the folder refused).
void ReportLinkedFolder(const std::string& strFolder) {
  if (GetLastError() != ERROR_CANT_ACCESS_FILE) return;
  if (g_bLinkReported) return;
  g_bLinkReported = true;
  char szLine[300];
  snprintf(szLine, sizeof szLine, "[DEBUG][%s]: log folder %s not used: a link is in its path",
           LOG_MODULE_NAME, strFolder.c_str());
  OutputDebugStringA(szLine);
}

}  // namespace

void LogWriteLine(const char* szFormat, ...) {
  std::unique_ptr<char[]> pBuf(new (std::nothrow) char[LOG_LINE_BUFFER]);
  if (!pBuf || !szFormat) return;
  SYSTEMTIME st;
  GetLocalTime(&st);
  int n = snprintf(pBuf.get(), LOG_LINE_BUFFER, "[%04d%02d%02d %02d:%02d:%02d]  ", st.wYear,
                   st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
  size_t nStamp = n > 0 ? static_cast<size_t>(n) : 0;
  va_list args;
  va_start(args, szFormat);
  size_t nText = FormatInto(pBuf.get() + nStamp, LOG_LINE_BUFFER - nStamp, szFormat, args);
  va_end(args);
  // The line goes only into a regular file of the real log folder: the
  // folder and the file are opened without following a link, so a "log"
  // that is a junction, or a day file that is a link, gets nothing.
  const char* szSep = strrchr(g_szLogPath, '\\');
  if (!szSep) return;
  const std::string strFolder(g_szLogPath, static_cast<size_t>(szSep - g_szLogPath));
  // As the C runtime writes text: "\n" as CR LF.
  std::string strLine;
  strLine.reserve(nStamp + nText + 2);
  for (size_t i = 0; i < nStamp + nText; ++i) {
    if (pBuf[i] == '\n') strLine += '\r';
    strLine += pBuf[i];
  }
  strLine += "\r\n";
  CHeldFolder folder;
  if (!folder.Open(strFolder.c_str())) {
    ReportLinkedFolder(strFolder);
    return;
  }
  folder.AppendToChildFile(szSep + 1, strLine.data(), static_cast<DWORD>(strLine.size()));
}

void PrepareLog(const std::string& strProgramDir, int nLogLevel) {
  g_szLogPath[0] = '\0';
  g_bLinkReported = false;
  std::string strLogDir = strProgramDir + "\\log";
  g_nLogLevel = nLogLevel;
  if (!g_hLogMutex) g_hLogMutex = CreateMutexA(NULL, FALSE, LOG_MUTEX_NAME);
  snprintf(g_szLogModule, sizeof g_szLogModule, "%s", LOG_MODULE_NAME);
  SYSTEMTIME st;
  GetLocalTime(&st);
  char szDate[32] = {0};
  snprintf(szDate, sizeof szDate, "%d%02d%02d", st.wYear, st.wMonth, st.wDay);
  int n = snprintf(g_szLogPath, sizeof g_szLogPath, "%s\\%s-%s", strLogDir.c_str(), szDate,
                   LOG_FILE_NAME);
  // A cut path would name some other file: a path that does not fit means
  // no logging; so does an unknown program folder.
  if (n < 0 || static_cast<size_t>(n) >= sizeof g_szLogPath || strProgramDir.empty())
    g_szLogPath[0] = '\0';
}

void LogAnsiCodePage() {
  const UINT uCodePage = PlatAnsiCodePage();
  if (uCodePage != 936)
    LogDebug("ANSI code page %u, not 936 (GBK): page texts show garbled, GBK folder probes miss",
             uCodePage);
}

int DayNumber(int nYear, int nMonth, int nDay) {
  static const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (nMonth < 0) nMonth = 0;
  if (nMonth > 13) nMonth = 13;
  const long long y = nYear;
  // Leap years before year y (year 0 counts as one), so that the days of y's
  // own leap day come from the month sum only.
  long long days = 365 * y;
  if (y > 0) days += (y + 3) / 4 - (y + 99) / 100 + (y + 399) / 400;
  const bool bLeap = (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
  for (int m = 1; m < nMonth; ++m) days += kMonthDays[m - 1] + (m == 2 && bLeap ? 1 : 0);
  days += nDay - 1;
  return static_cast<int>(days);
}

void CLogCleaner::Init(int nKeepDays, const std::string& strSubDir) {
  m_nKeepDays = nKeepDays;
  m_strSubDir = strSubDir;
  m_strBaseDir = GetModuleDir();
}

std::string CLogCleaner::Prefix() const {
  std::string strPrefix = m_strBaseDir + "\\";
  if (!m_strSubDir.empty()) strPrefix += m_strSubDir + "\\";
  return strPrefix;
}

void CLogCleaner::CollectExpired() {
  // Without the program folder the pattern would search the drive's root.
  if (m_strBaseDir.empty()) return;
  const std::string strPrefix = Prefix();
  // Held from the scan to the last delete: the folder scanned is the one
  // deleted in, and one that is a junction or link is left alone.
  if (!m_folder.Open(strPrefix.substr(0, strPrefix.size() - 1).c_str())) {
    ReportLinkedFolder(strPrefix.substr(0, strPrefix.size() - 1));
    return;
  }
  std::string strPattern = strPrefix + "*.log";
  WIN32_FIND_DATAA fd;
  HANDLE hFind = FindFirstFileA(strPattern.c_str(), &fd);
  if (hFind == INVALID_HANDLE_VALUE) return;
  do {
    std::string strName = fd.cFileName;
    // The platform's pattern may also match names that only look alike
    // (short names): only real ".log" names are purged.
    if (!EndsWithLog(strName)) continue;
    std::string strDatePart = strName.substr(0, strName.find('-'));
    long long nFileDate = 0;
    // A date part whose number does not fit, or whose month is outside
    // 0..13, was not written by this program: the file is kept.
    if (!LeadingNumber(strDatePart, &nFileDate) || nFileDate < 0) continue;
    const int nFileMonth = static_cast<int>(nFileDate % 10000 / 100);
    if (nFileMonth > 13) continue;
    SYSTEMTIME st;
    GetLocalTime(&st);
    const int nToday = st.wYear * 10000 + st.wMonth * 100 + st.wDay;
    const int nAge = DayNumber(nToday / 10000, nToday % 10000 / 100, nToday % 100) -
                     DayNumber(static_cast<int>(nFileDate / 10000), nFileMonth,
                               static_cast<int>(nFileDate % 100));
    if (nAge > m_nKeepDays) m_lstExpired.push_back(strPrefix + strName);
  } while (FindNextFileA(hFind, &fd));
  FindClose(hFind);
}

void CLogCleaner::DeleteExpired() {
  // Only regular files of the held folder go: an entry that is a link or a
  // folder, or that is in use, stays.
  const std::string strPrefix = Prefix();
  for (const std::string& strPath : m_lstExpired) {
    if (m_folder.IsOpen() && strPath.compare(0, strPrefix.size(), strPrefix) == 0)
      m_folder.DeleteChildFile(strPath.c_str() + strPrefix.size());
  }
  m_lstExpired.clear();
  m_folder.Close();
}

int PurgeExpiredLogs(int nKeepDays) {
  CLogCleaner cleaner;
  cleaner.Init(nKeepDays, "log");
  cleaner.CollectExpired();
  int nListed = static_cast<int>(cleaner.m_lstExpired.size());
  cleaner.DeleteExpired();
  return nListed;
}
