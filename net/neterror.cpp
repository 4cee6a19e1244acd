#include "net/neterror.h"

#include <cstdio>

#include "log/log.h"

namespace {

struct NetErrorName {
  NetErrorNumber dwError;
  bool bTls;
  const char* szName;
};

// bTls: the handshake or the certificate check failed. Current Windows turns
// TLS 1.0 and 1.1 off for WinInet, so a service that speaks only those fails
// the handshake with 12157 or 12175.
const NetErrorName kNames[] = {
    {12002, false, "time-out"},
    {12007, false, "name not resolved"},
    {12029, false, "cannot connect"},
    {12030, false, "connection aborted"},
    {12031, false, "connection reset"},
    {12152, false, "invalid server response"},
    {12037, true, "certificate expired or not yet valid"},
    {12038, true, "certificate issued for another name"},
    {12044, true, "the server asks for a client certificate"},
    {12045, true, "certificate from an unknown authority"},
    {12055, true, "certificate errors"},
    {12056, true, "no revocation information"},
    {12057, true, "revocation check failed"},
    {12157, true, "secure channel error"},
    {12169, true, "invalid certificate"},
    {12170, true, "certificate revoked"},
    {12175, true, "secure channel decoding failed"},
    {12179, true, "weak certificate signature"},
};

const NetErrorName* Find(NetErrorNumber dwError) {
  for (const NetErrorName& n : kNames)
    if (n.dwError == dwError) return &n;
  return nullptr;
}

}  // namespace

std::string DescribeNetError(NetErrorNumber dwError) {
  char sz[128];
  const NetErrorName* p = Find(dwError);
  if (dwError < 12000 || dwError > 12999)  // a Win32 error, such as out of memory
    std::snprintf(sz, sizeof(sz), "system error %lu", dwError);
  else if (p == nullptr)
    std::snprintf(sz, sizeof(sz), "WinInet error %lu", dwError);
  else if (p->bTls)
    std::snprintf(sz, sizeof(sz), "WinInet error %lu: TLS failure (%s)", dwError, p->szName);
  else
    std::snprintf(sz, sizeof(sz), "WinInet error %lu: %s", dwError, p->szName);
  return sz;
}

void LogNetError(NetErrorNumber dwError) {
  if (dwError == 0) return;
  LogError("%s", DescribeNetError(dwError).c_str());
}
