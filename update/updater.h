// The update driver: one product through request, download and installers.
#pragma once
#include <string>

#include "update/commbase.h"

// Attempts of request plus download per product run, without pause.
#define UPDATE_MAX_ATTEMPTS 3

// Runs one product (type code and version) against the configured update
// service. 0 when every listed installer was started and waited for (also
// when there was none), -1 when all attempts failed, -2 when an installer
// did not start.
int UpdateAndInstall(const char* szSoft, const char* szVersion);

// The same run over HTTP: the plain door when szUpdateKey (the key's
// hexadecimal text, see update/updatekey.h) is empty, else the signed one.
int RunProductUpdateOverHttp(const char* szUpdateKey, const std::string& strServerUrl,
                             const std::string& strUid, const char* szSoft, const char* szVersion);
// With a catalogue key (see update/catalogkey.h) as well, the signed door
// wrapped in the catalogue's; an empty one is the call above.
int RunProductUpdateOverHttp(const char* szUpdateKey, const char* szCatalogueKey,
                             const std::string& strServerUrl, const std::string& strUid,
                             const char* szSoft, const char* szVersion);

// The same run over a given communication object, service URL and identity.
int RunProductUpdate(CCommBase* pComm, const std::string& strServerUrl, const std::string& strUid,
                     const char* szSoft, const char* szVersion);
