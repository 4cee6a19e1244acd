// Day-file log: one text file per start day in the "log" folder beside the
// program, one time-stamped line per call, each line under the named mutex
// "nb_app_log_mutex". Level 0 (the default) writes nothing; 1 and above write
// ERROR lines, 4 and above DEBUG lines too.
#pragma once
#include <list>
#include <string>
#include "platform/safefs.h"
#include "platform/win.h"

#if defined(__GNUC__)
#define PAVONIX_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define PAVONIX_PRINTF(fmt, args)
#endif

#define LOG_LINE_BUFFER 65536
#define LOG_MAX_FORMAT 0xFC00
#define LOG_FILE_NAME "pavonix.log"
#define LOG_MUTEX_NAME "nb_app_log_mutex"
#define LOG_MODULE_NAME "PAVONIX"

extern int g_nLogLevel;
extern HANDLE g_hLogMutex;
extern char g_szLogModule[36];
extern char g_szLogPath[256];

// Text of outside origin goes in as the argument of "%s", never as format.
void LogError(const char* szFormat, ...) PAVONIX_PRINTF(1, 2);
void LogDebug(const char* szFormat, ...) PAVONIX_PRINTF(1, 2);
// Prefixes the time stamp and appends one line to g_szLogPath.
void LogWriteLine(const char* szFormat, ...) PAVONIX_PRINTF(1, 2);

// Start-up preparation: level, mutex (created once), module tag and the day
// file "<program folder>\log\<yyyymmdd>-pavonix.log". Creates no folder. A
// path that does not fit g_szLogPath leaves it empty: nothing is logged.
void PrepareLog(const std::string& strProgramDir, int nLogLevel);

// One DEBUG line when the ANSI code page is not 936 (GBK), as with Windows'
// "Beta: UTF-8" option (65001): the pages' GBK texts then show garbled and the
// probe's GBK folder name is not found. Called once, after PrepareLog.
void LogAnsiCodePage();

// Days since a fixed origin of a calendar date: differences are true calendar
// day counts. Months 0 and 1 add no month lengths, month 13 the whole year.
int DayNumber(int nYear, int nMonth, int nDay);

// Old-log purge: lists the ".log" files of <program folder>\<sub-folder> whose
// leading date is more than m_nKeepDays days before today. The folder is held
// from the scan to the deletes, and only its regular files are deleted.
class CLogCleaner {
 public:
  CLogCleaner() = default;
  void Init(int nKeepDays, const std::string& strSubDir);
  // Fills m_lstExpired; deletes nothing. Lists nothing when the folder is a
  // junction, symbolic link or mount point.
  void CollectExpired();
  // Deletes every listed entry that is a regular file of the held folder
  // (failures ignored), empties the list and lets the folder go.
  void DeleteExpired();

  std::list<std::string> m_lstExpired;
  std::string m_strSubDir;
  std::string m_strBaseDir;
  int m_nKeepDays = 2;

 private:
  std::string Prefix() const;
  CHeldFolder m_folder;
};

// Start-up purge: CLogCleaner with the keep days and sub-folder "log",
// collect, delete. Returns the number of files listed.
int PurgeExpiredLogs(int nKeepDays);
