// A WinInet failure in words for the log: the error number the library kept
// and whether it was the secure channel (TLS) that failed, so a support person
// can tell a service that is down from a TLS version Windows refused.
#pragma once

#include <string>

typedef unsigned long NetErrorNumber;

// "WinInet error 12157: TLS failure (secure channel error)"; for an error
// without a name "WinInet error 12345"; outside WinInet's range "system error 8".
std::string DescribeNetError(NetErrorNumber dwError);

// Writes the description as an ERROR line, after the line of the exception's
// text; nothing when the failure carried no error number.
void LogNetError(NetErrorNumber dwError);
