// The install workflow worker: one install run from detection to its outcome.
#pragma once
#include "app/contract.h"

// Detection results of the last run, kept for the rest of the process.
extern BYTE g_bFoundFwkp;
extern BYTE g_bFoundSkfp;
extern BYTE g_bFoundUKey;

// Thread procedure; the parameter is an InstallThreadParam allocated with new,
// which the worker deletes. Returns 0 on success, -1 when a product run
// failed, -2 when this PC is not an invoicing machine.
DWORD WINAPI InstallWorkerProc(LPVOID lpParam);
