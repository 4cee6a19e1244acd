#include "ui/pages.h"

#include "app/contract.h"
#include "app/worker.h"
#include "config/sysconfig.h"
#include "ui/dpi.h"
#include "ui/imagebutton.h"
#include "ui/letter.h"
#include "ui/skin.h"

#include <cstdio>
#include <cstring>

HWND g_hSuccessDlg = NULL;
HWND g_hFailureDlg = NULL;
HWND g_hLetterDlg = NULL;
bool g_bWorkerClosed = false;

namespace {

const COLORREF kBlue = RGB(1, 140, 237);
const COLORREF kWhite = RGB(255, 255, 255);
const COLORREF kGrey = RGB(195, 195, 195);

// "企业实名认证和授权软件——"
const char kTitlePrefix[] =
    "\xC6\xF3\xD2\xB5\xCA\xB5\xC3\xFB\xC8\xCF\xD6\xA4\xBA\xCD\xCA\xDA\xC8\xA8\xC8\xED\xBC\xFE\xA1"
    "\xAA\xA1\xAA";
// "专用"
const char kTitleSuffix[] = "\xD7\xA8\xD3\xC3";
// "请先阅读并同意《数据授权协议》"
const char kAgreeFirst[] =
    "\xC7\xEB\xCF\xC8\xD4\xC4\xB6\xC1\xB2\xA2\xCD\xAC\xD2\xE2\xA1\xB6\xCA\xFD\xBE\xDD\xCA\xDA\xC8"
    "\xA8\xD0\xAD\xD2\xE9\xA1\xB7";
// "宋体"
const char kSongTi[] = "\xCB\xCE\xCC\xE5";

HBRUSH WhiteBrush() {
  static HBRUSH s_hBrush = CreateSolidBrush(kWhite);
  return s_hBrush;
}

HBRUSH BlueBrush() {
  static HBRUSH s_hBrush = CreateSolidBrush(kBlue);
  return s_hBrush;
}

// Made once, at the height of the first main page; the DPI does not change
// while the program runs.
HFONT LinkFont(int nHeight) {
  static HFONT s_hFont = CreateFontA(nHeight, 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE,
                                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                     DEFAULT_QUALITY, FF_SWISS | DEFAULT_PITCH, kSongTi);
  return s_hFont;
}

HANDLE StartWithCreateThread(LPTHREAD_START_ROUTINE pfnProc, LPVOID pParam) {
  return CreateThread(NULL, 0, pfnProc, pParam, 0, NULL);
}

void DrawCaption(HWND hCtl, HDC hDC, COLORREF crText) {
  char szText[64];
  std::memset(szText, 0, sizeof(szText));
  GetWindowTextA(hCtl, szText, 63);
  RECT rc = {0, 0, 0, 0};
  GetClientRect(hCtl, &rc);
  SetTextColor(hDC, crText);
  SetBkMode(hDC, TRANSPARENT);
  DrawTextA(hDC, szText, -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

// Answer of a page to WM_CTLCOLORBTN for its action button 1020.
INT_PTR ActionButtonColour(HWND hCtl, HDC hDC, COLORREF crText, HBRUSH hFace) {
  if (GetDlgCtrlID(hCtl) != IDC_ACTION_BUTTON) return 0;
  DrawCaption(hCtl, hDC, crText);
  return (INT_PTR)hFace;
}

// WM_DRAWITEM of the action button: the flat face and its centred caption.
INT_PTR DrawActionButton(LPARAM lParam, COLORREF crText, HBRUSH hFace) {
  const DRAWITEMSTRUCT* pdis = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
  if (pdis == nullptr || pdis->CtlType != ODT_BUTTON || pdis->CtlID != IDC_ACTION_BUTTON) return 0;
  FillRect(pdis->hDC, &pdis->rcItem, hFace);
  DrawCaption(pdis->hwndItem, pdis->hDC, crText);
  return TRUE;
}

// WM_CTLCOLORSTATIC of the progress and failure pages.
INT_PTR BlueStaticColour(HWND hCtl, HDC hDC) {
  DrawCaption(hCtl, hDC, kBlue);
  return (INT_PTR)WhiteBrush();
}

HWND CreatePage(int nTemplate, DLGPROC pfnProc) {
  HWND hDlg =
      CreateDialogParamA(g_hInstance, MAKEINTRESOURCEA(nTemplate), GetDesktopWindow(), pfnProc, 0);
  if (hDlg == NULL) GetLastError();  // a page that cannot be created leaves the page in front
  return hDlg;
}

void ReplacePage(HWND hOld, HWND hNew) {
  if (hNew == NULL) return;
  if (hOld != NULL) ShowWindow(hOld, SW_HIDE);
  ShowWindow(hNew, SW_SHOW);
}

// Creates the next page into hPage and, when it was created, shows it in
// place of hFrom.
void ShowNextPage(HWND hFrom, HWND& hPage, int nTemplate, DLGPROC pfnProc) {
  hPage = CreatePage(nTemplate, pfnProc);
  ReplacePage(hFrom, hPage);
}

void ShowControl(HWND hDlg, int nId, int nCmdShow) { ShowWindow(GetDlgItem(hDlg, nId), nCmdShow); }

// Of the progress page's two stage labels, shows nShownId and hides the other.
void ShowStageLabel(HWND hProgressDlg, int nShownId) {
  const int labels[] = {IDC_DOWNLOADING_LABEL, IDC_INSTALLING_LABEL};
  for (int id : labels) ShowControl(hProgressDlg, id, id == nShownId ? SW_SHOW : SW_HIDE);
}

// The last step of every page's WM_INITDIALOG.
void RaisePage(HWND hDlg, HWND hInsertAfter) {
  SetWindowPos(hDlg, hInsertAfter, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void QuitProgram() {
  CleanupBeforeQuit();
  PostQuitMessage(0);
}

// WM_COMMAND of a click (notification 0) on control nId.
bool IsClickOf(WPARAM wParam, int nId) { return HIWORD(wParam) == 0 && LOWORD(wParam) == nId; }

// WM_SYSCOMMAND of every page: SC_CLOSE (Alt+F4) quits and is answered TRUE;
// other commands are left to the dialog manager.
INT_PTR QuitOnSysClose(WPARAM wParam) {
  if ((wParam & 0xFFF0) != SC_CLOSE) return 0;
  QuitProgram();
  return TRUE;
}

bool WorkerRunning() { return g_hWorkerThread != NULL && !g_bWorkerClosed; }

void CloseWorkerHandle() {
  if (g_hWorkerThread != NULL) CloseHandle(g_hWorkerThread);
  g_hWorkerThread = NULL;
}

void OnInstallClick(HWND hDlg) {
  HWND hCheck = GetDlgItem(hDlg, IDC_AGREE_CHECK);
  if (SendMessageA(hCheck, BM_GETCHECK, 0, 0) != BST_CHECKED) {
    MessageBoxA(hDlg, kAgreeFirst, "", MB_ICONINFORMATION);
    EnableWindow(hCheck, TRUE);
    return;
  }
  // One run at a time: a second click while the worker runs (possible only
  // when the progress page could not be created) starts nothing.
  if (WorkerRunning()) return;

  ShowNextPage(hDlg, g_hProgressDlg, IDD_PROGRESS, ProgressDlgProc);
  EnableWindow(hCheck, FALSE);

  char szTempDir[259];
  std::memset(szTempDir, 0, sizeof(szTempDir));
  DWORD cch = GetTempPathA(sizeof(szTempDir), szTempDir);
  if (cch == 0 || cch >= sizeof(szTempDir)) szTempDir[0] = '\0';

  InstallThreadParam* pParam = new InstallThreadParam;
  pParam->m_strTempDir = szTempDir;
  pParam->m_hNotifyWnd = g_hMainDlg;

  g_bWorkerClosed = false;
#ifdef PAVONIX_TEST_HOOKS
  g_hWorkerThread = g_pfnStartInstallThread(InstallWorkerProc, pParam);
#else
  g_hWorkerThread = StartWithCreateThread(InstallWorkerProc, pParam);
#endif
  if (g_hWorkerThread == NULL) delete pParam;  // never reached the worker
  SetTimer(g_hProgressDlg, WORKER_WATCH_TIMER, WORKER_WATCH_PERIOD_MS, NULL);
}

void OnLetterClick() {
  HWND hViewer = CreatePage(IDD_LETTER, LetterViewerProc);
  if (hViewer != NULL) {
    g_hLetterDlg = hViewer;
    ShowWindow(hViewer, SW_SHOW);
  }
}

void WatchWorker(HWND hDlg) {
  if (g_bWorkerClosed) return;
  if (WaitForSingleObject(g_hWorkerThread, 100) == WAIT_TIMEOUT) return;
  KillTimer(hDlg, WORKER_WATCH_TIMER);
  CloseWorkerHandle();
  EnableWindow(GetDlgItem(g_hMainDlg, IDC_AGREE_CHECK), TRUE);
  g_bWorkerClosed = true;
}

void InitMainDlg(HWND hDlg) {
  RECT rc = {0, 0, 0, 0};
  GetWindowRect(hDlg, &rc);
  const int w = rc.right - rc.left;
  const PageMetrics metrics = MakePageMetrics(QueryDisplayDpi());

  SetWindowTextA(hDlg, MakeMainTitle(CPavonixSysConfig::GetInstance()->m_strMakerName).c_str());
  AttachSkinBrush(hDlg, IDB_SKIN_MAIN);
  SendMessageA(GetDlgItem(hDlg, IDC_LETTER_LINK), WM_SETFONT,
               (WPARAM)LinkFont(metrics.m_nLinkFontHeight), FALSE);
  SendMessageA(GetDlgItem(hDlg, IDC_AGREE_CHECK), BM_SETCHECK, BST_CHECKED, 0);
  InstallHandCursorLink(GetDlgItem(hDlg, IDC_LETTER_LINK));
  InstallHandCursorButton(GetDlgItem(hDlg, IDC_ACTION_BUTTON));
  CreateCloseButton(hDlg, CloseButtonRect(w, metrics));
  RaisePage(hDlg, HWND_TOP);
}

void InitProgressDlg(HWND hDlg) {
  ShowStageLabel(hDlg, IDC_DOWNLOADING_LABEL);
  HWND hBar = GetDlgItem(hDlg, IDC_PROGRESS_BAR);
  SendMessageA(hBar, PBM_SETBKCOLOR, 0, (LPARAM)kGrey);
  SendMessageA(hBar, PBM_SETBARCOLOR, 0, (LPARAM)kBlue);
  AttachSkinBrush(hDlg, IDB_SKIN_PROGRESS);
  RaisePage(hDlg, HWND_TOP);
}

// What the success and failure pages' WM_INITDIALOG share: background, the
// hand cursor over their one button, the place in the z-order.
void InitFinalPage(HWND hDlg, int nSkinId, HWND hInsertAfter) {
  AttachSkinBrush(hDlg, nSkinId);
  InstallHandCursorButton(GetDlgItem(hDlg, IDC_ACTION_BUTTON));
  RaisePage(hDlg, hInsertAfter);
}

void InitSuccessDlg(HWND hDlg) { InitFinalPage(hDlg, IDB_SKIN_SUCCESS, HWND_TOP); }

void InitFailureDlg(HWND hDlg) {
  const int reasons[] = {IDC_REASON_NOT_INVOICE_PC, IDC_REASON_CLIENT_FAILED, IDC_REASON_NETWORK,
                         IDC_REASON_VENDOR_FAILED};
  for (int id : reasons) ShowControl(hDlg, id, SW_HIDE);
  // The only topmost page.
  InitFinalPage(hDlg, IDB_SKIN_FAILURE, HWND_TOPMOST);
}

}  // namespace

#ifdef PAVONIX_TEST_HOOKS
InstallThreadStarter g_pfnStartInstallThread = StartWithCreateThread;
#endif

std::string MakeMainTitle(const std::string& strMakerName) {
  return std::string(kTitlePrefix) + strMakerName + kTitleSuffix;
}

void FormatPercentText(int nPercent, char (&szText)[12]) {
  if (nPercent < 0)
    nPercent = 0;
  else if (nPercent > 100)
    nPercent = 100;
  std::snprintf(szText, sizeof(szText), "%d%%", nPercent);
}

int ShowDownloadPercent(int nPercent) {
  char szText[12];
  FormatPercentText(nPercent, szText);
  const int nPos = nPercent < 0 ? 0 : (nPercent > 100 ? 100 : nPercent);
  SendMessageA(GetDlgItem(g_hProgressDlg, IDC_PROGRESS_BAR), PBM_SETPOS, (WPARAM)nPos, 0);
  HWND hText = GetDlgItem(g_hProgressDlg, IDC_PERCENT_TEXT);
  SetWindowTextA(hText, szText);
  UpdateWindow(hText);
  return 0;
}

int FailureReasonControl(int nInstallResult) {
  switch (nInstallResult) {
    case INSTALL_RESULT_NOT_INVOICING_PC:
      return IDC_REASON_NOT_INVOICE_PC;
    case INSTALL_RESULT_CONTROL_FAILED:
      return IDC_REASON_CLIENT_FAILED;
    case INSTALL_RESULT_NETWORK_ERROR:
      return IDC_REASON_NETWORK;
    case INSTALL_RESULT_AUTH_FAILED:
      return IDC_REASON_VENDOR_FAILED;
    default:
      return 0;
  }
}

int CleanupBeforeQuit() {
  RemovePropA(g_hMainDlg, PAVONIX_INSTANCE_PROP);
  if (!g_bWorkerClosed) CloseWorkerHandle();
  return 0;
}

INT_PTR CALLBACK MainDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_INITDIALOG:
      InitMainDlg(hDlg);
      return 0;
    case WM_COMMAND:
      if (IsClickOf(wParam, IDC_ACTION_BUTTON))
        OnInstallClick(hDlg);
      else if (IsClickOf(wParam, IDC_LETTER_LINK))
        OnLetterClick();
      return 0;
    case WM_CLOSE:
      QuitProgram();
      return 0;
    case WM_SYSCOMMAND:
      return QuitOnSysClose(wParam);
    case WM_CTLCOLORBTN:
      return ActionButtonColour((HWND)lParam, (HDC)wParam, kWhite, BlueBrush());
    case WM_CTLCOLORSTATIC:
      if (GetDlgCtrlID((HWND)lParam) == IDC_LETTER_LINK) {
        SetTextColor((HDC)wParam, kBlue);
        SetBkMode((HDC)wParam, TRANSPARENT);
      }
      return (INT_PTR)WhiteBrush();
    case WM_CTLCOLORDLG:
      return (INT_PTR)GetSkinBrush(hDlg);
    case WM_DRAWITEM:
      return DrawActionButton(lParam, kWhite, BlueBrush());
    case WM_INSTALL_STARTED:
      ShowStageLabel(g_hProgressDlg, IDC_INSTALLING_LABEL);
      return 0;
    case WM_INSTALL_DONE:
      ShowNextPage(g_hProgressDlg, g_hSuccessDlg, IDD_SUCCESS, SuccessDlgProc);
      return 0;
    case WM_INSTALL_FAILED:
      ShowNextPage(g_hProgressDlg, g_hFailureDlg, IDD_FAILURE, FailureDlgProc);
      return 0;
    case WM_SHOW_FAIL_REASON: {
      const int nId = FailureReasonControl(g_nInstallResult);
      if (nId != 0) ShowControl(g_hFailureDlg, nId, SW_SHOW);
      return 0;
    }
    case WM_DOWNLOAD_PROGRESS:
      ShowDownloadPercent((int)wParam);
      return 0;
    default:
      return 0;
  }
}

INT_PTR CALLBACK ProgressDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_INITDIALOG:
      InitProgressDlg(hDlg);
      return 0;
    case WM_SYSCOMMAND:
      return QuitOnSysClose(wParam);
    case WM_TIMER:
      if (wParam == WORKER_WATCH_TIMER) WatchWorker(hDlg);
      return 0;
    case WM_CTLCOLORSTATIC:
      return BlueStaticColour((HWND)lParam, (HDC)wParam);
    case WM_CTLCOLORDLG:
      return (INT_PTR)GetSkinBrush(hDlg);
    case WM_DOWNLOAD_PROGRESS:
      ShowDownloadPercent((int)wParam);
      return 0;
    default:
      return 0;
  }
}

INT_PTR CALLBACK SuccessDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_INITDIALOG:
      InitSuccessDlg(hDlg);
      return 0;
    case WM_COMMAND:
      if (IsClickOf(wParam, IDC_ACTION_BUTTON)) QuitProgram();
      return 0;
    case WM_SYSCOMMAND:
      return QuitOnSysClose(wParam);
    case WM_CTLCOLORBTN:
      return ActionButtonColour((HWND)lParam, (HDC)wParam, kWhite, BlueBrush());
    case WM_CTLCOLORDLG:
      return (INT_PTR)GetSkinBrush(hDlg);
    case WM_DRAWITEM:
      return DrawActionButton(lParam, kWhite, BlueBrush());
    case WM_DOWNLOAD_PROGRESS:
      ShowDownloadPercent((int)wParam);
      return 0;
    default:
      return 0;
  }
}

INT_PTR CALLBACK FailureDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_INITDIALOG:
      InitFailureDlg(hDlg);
      return 0;
    case WM_COMMAND:
      if (IsClickOf(wParam, IDC_ACTION_BUTTON)) QuitProgram();
      return 0;
    case WM_SYSCOMMAND:
      return QuitOnSysClose(wParam);
    case WM_CTLCOLORBTN:
      return ActionButtonColour((HWND)lParam, (HDC)wParam, kBlue, WhiteBrush());
    case WM_CTLCOLORSTATIC:
      return BlueStaticColour((HWND)lParam, (HDC)wParam);
    case WM_CTLCOLORDLG:
      return (INT_PTR)GetSkinBrush(hDlg);
    case WM_DRAWITEM:
      return DrawActionButton(lParam, kBlue, WhiteBrush());
    case WM_DOWNLOAD_PROGRESS:
      ShowDownloadPercent((int)wParam);
      return 0;
    default:
      return 0;
  }
}
