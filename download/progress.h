// The progress callback of a download.
#pragma once

// Progress of a download: body bytes written so far and the Content-Length.
// The result is ignored.
typedef int (*DownloadProgressProc)(int nDone, int nTotal);
