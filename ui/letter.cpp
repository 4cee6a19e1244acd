#include "ui/letter.h"

#include "ui/imagebutton.h"
#include "ui/skin.h"

#include <cstring>
#include <vector>

LetterStreamCookie g_LetterCookie = {nullptr, nullptr, 0};

namespace {

const COLORREF kBlue = RGB(1, 140, 237);

HBRUSH WhiteBrush() {
  static HBRUSH s_hBrush = CreateSolidBrush(RGB(255, 255, 255));
  return s_hBrush;
}

void DrawCentredCaption(HWND hCtl, HDC hDC, COLORREF crText) {
  char szText[64];
  std::memset(szText, 0, sizeof(szText));
  GetWindowTextA(hCtl, szText, 63);
  RECT rc;
  GetClientRect(hCtl, &rc);
  SetTextColor(hDC, crText);
  SetBkMode(hDC, TRANSPARENT);
  DrawTextA(hDC, szText, -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

}  // namespace

DWORD CALLBACK LetterStreamInCallback(DWORD_PTR dwCookie, LPBYTE pbBuff, LONG cb, LONG* pcb) {
  LetterStreamCookie* pCookie = reinterpret_cast<LetterStreamCookie*>(dwCookie);
  if (pcb != nullptr) *pcb = 0;
  if (pCookie == nullptr || pCookie->m_pBase == nullptr || pbBuff == nullptr || cb <= 0 ||
      pcb == nullptr)
    return 0;
  const size_t nUsed = (size_t)(pCookie->m_pCursor - pCookie->m_pBase);
  const size_t nRemaining = nUsed < pCookie->m_cbSize ? pCookie->m_cbSize - nUsed : 0;
  const size_t n = (size_t)cb < nRemaining ? (size_t)cb : nRemaining;
  if (n > 0) std::memcpy(pbBuff, pCookie->m_pCursor, n);
  pCookie->m_pCursor += n;
  *pcb = (LONG)n;
  return 0;
}

LONG StreamRtfInto(HWND hEdit, const void* pData, DWORD cbData) {
  // A zero-terminated copy; the terminator is streamed as well.
  std::vector<BYTE> copy((size_t)cbData + 1, 0);
  std::memcpy(copy.data(), pData, cbData);

  SendMessageA(hEdit, EM_EXLIMITTEXT, 0, (LPARAM)0xFFFFFFFF);
  g_LetterCookie.m_pBase = copy.data();
  g_LetterCookie.m_pCursor = copy.data();
  g_LetterCookie.m_cbSize = cbData + 1;

  EDITSTREAM es;
  std::memset(&es, 0, sizeof(es));
  es.dwCookie = (DWORD_PTR)&g_LetterCookie;
  es.dwError = 0;
  es.pfnCallback = LetterStreamInCallback;
  SendMessageA(hEdit, EM_STREAMIN, SF_RTF, (LPARAM)&es);

  const LONG nHandedOut = (LONG)(g_LetterCookie.m_pCursor - g_LetterCookie.m_pBase);
  // The control has read everything by now; the copy goes with this scope.
  g_LetterCookie.m_pBase = nullptr;
  g_LetterCookie.m_pCursor = nullptr;
  g_LetterCookie.m_cbSize = 0;
  return nHandedOut;
}

void InitLetterViewer(HWND hDlg) {
  AttachSkinBrush(hDlg, IDB_SKIN_LETTER);

  HRSRC hRes = FindResourceA(NULL, MAKEINTRESOURCEA(IDR_LETTER), "TXT");
  if (hRes == NULL) return;
  const DWORD cbData = SizeofResource(NULL, hRes);
  if (cbData == 0) return;
  HGLOBAL hData = LoadResource(NULL, hRes);
  if (hData == NULL) return;
  const void* pData = LockResource(hData);
  if (pData == nullptr) return;

  HWND hEdit = GetDlgItem(hDlg, IDC_LETTER_TEXT);
  if (hEdit != NULL) {
    StreamRtfInto(hEdit, pData, cbData);
    SendMessageA(hEdit, EM_SETTARGETDEVICE, 0, 0);
  }
  FreeResource(hData);

  InstallHandCursorButton(GetDlgItem(hDlg, IDOK));
}

INT_PTR CALLBACK LetterViewerProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_INITDIALOG:
      InitLetterViewer(hDlg);
      return 0;
    case WM_COMMAND:
      if (HIWORD(wParam) == 0 && LOWORD(wParam) == IDOK) EndDialog(hDlg, 0);
      return 0;
    case WM_CTLCOLORDLG:
      return (INT_PTR)GetSkinBrush(hDlg);
    case WM_CTLCOLORBTN:
      if (GetDlgCtrlID((HWND)lParam) == IDOK) {
        DrawCentredCaption((HWND)lParam, (HDC)wParam, kBlue);
        return (INT_PTR)WhiteBrush();
      }
      return 0;
    case WM_DRAWITEM: {
      // Painted here as well, so the face holds on systems that fill an
      // owner-drawn button with the colour brush on its first paint only.
      const DRAWITEMSTRUCT* pdis = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (pdis == nullptr || pdis->CtlType != ODT_BUTTON || pdis->CtlID != IDOK) return 0;
      FillRect(pdis->hDC, &pdis->rcItem, WhiteBrush());
      DrawCentredCaption(pdis->hwndItem, pdis->hDC, kBlue);
      return TRUE;
    }
    default:
      return 0;
  }
}
