#include "app/contract.h"

HINSTANCE g_hInstance = nullptr;
HWND g_hMainDlg = nullptr;
HWND g_hProgressDlg = nullptr;
HANDLE g_hWorkerThread = nullptr;
HWND g_hNotifyWnd = nullptr;
int g_nInstallResult = 0;
std::atomic<BYTE> g_bAnimStop{0};
HANDLE g_hAnimThread = nullptr;

int ReportDownloadProgress(int nDone, int nTotal) {
  int percent = 0;
  if (nTotal > 0) percent = static_cast<int>(static_cast<double>(nDone) / nTotal * 100.0);
  SendMessageA(g_hNotifyWnd, WM_DOWNLOAD_PROGRESS, static_cast<WPARAM>(percent), 0);
  return 0;
}

DWORD WINAPI DotsAnimationProc(LPVOID) {
  static const char* const kDots[3] = {".", "..", "..."};
  HWND hText = GetDlgItem(g_hProgressDlg, IDC_PROGRESS_PERCENT);
  if (!hText) return static_cast<DWORD>(-1);
  for (unsigned k = 0;; k = (k + 1) % 3) {
    SetWindowTextA(hText, kDots[k]);
    if (g_bAnimStop) return 0;
    Sleep(1000);
  }
}
