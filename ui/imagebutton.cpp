#include "ui/imagebutton.h"

#include "ui/dpi.h"
#include "ui/skin.h"

#include <cstring>

ImageButton g_ImageButton = {NULL, NULL, NULL, 0, BTN_STATE_NORMAL, NULL, 0};
WNDPROC g_pfnHandButtonPrev = NULL;
WNDPROC g_pfnHandLinkPrev = NULL;

namespace {

const char kCaptionBreak[] = "\\r\\n";  // backslash r backslash n, four characters

void RepaintNow(ImageButton* pButton) {
  HDC hDC = GetDC(pButton->m_hWnd);
  if (hDC != NULL) {
    PaintImageButton(pButton, hDC);
    ReleaseDC(pButton->m_hWnd, hDC);
  }
}

void NotifyParent(HWND hWnd, UINT uMsg, WORD wNotify) {
  const int nId = GetDlgCtrlID(hWnd);
  SendMessageA(GetParent(hWnd), uMsg, MAKEWPARAM((WORD)nId, wNotify), (LPARAM)hWnd);
}

}  // namespace

bool SplitImageCaption(const char* pszText, std::string& first, std::string& second) {
  first.clear();
  second.clear();
  if (pszText == nullptr) return false;
  const char* pBreak = std::strstr(pszText, kCaptionBreak);
  if (pBreak == nullptr) {
    first = pszText;
    return false;
  }
  first.assign(pszText, pBreak);
  second = pBreak + (sizeof(kCaptionBreak) - 1);
  return true;
}

void SplitCaptionRects(const RECT& rc, RECT& upper, RECT& lower, int nDpi) {
  const int nGap = MakePageMetrics(nDpi).m_nCaptionLineGap;
  const int nTop = rc.top;
  const int nMid = (rc.top + rc.bottom) / 2;
  upper = rc;
  upper.top = nTop + nGap;
  upper.bottom = nMid;
  lower = rc;
  lower.top = nMid - nGap;
  lower.bottom = 2 * nMid - nTop;
}

RECT ImageButtonFrameRect(int nBitmapWidth, int nBitmapHeight, int nState) {
  RECT rc = {0, 0, nBitmapWidth, nBitmapHeight};
  if (nBitmapHeight > 0 && nBitmapWidth >= 3 * nBitmapHeight && nState >= 0 && nState <= 2) {
    const int nFrame = nBitmapWidth / 3;
    rc.left = nState * nFrame;
    rc.right = rc.left + nFrame;
  }
  return rc;
}

void PaintImageButton(ImageButton* pButton, HDC hDC) {
  if (pButton == nullptr || hDC == NULL) return;
  HDC hMemDC = CreateCompatibleDC(hDC);
  if (hMemDC == NULL) return;
  HGDIOBJ hOldBitmap = NULL;
  if (pButton->m_hBitmap != NULL) hOldBitmap = SelectObject(hMemDC, pButton->m_hBitmap);

  BITMAP bm;
  std::memset(&bm, 0, sizeof(bm));
  if (pButton->m_hBitmap != NULL) GetObjectA(pButton->m_hBitmap, sizeof(bm), &bm);
  RECT rc = {0, 0, 0, 0};
  GetClientRect(pButton->m_hWnd, &rc);

  if (bm.bmWidth > 0 && bm.bmHeight > 0) {
    const RECT src = ImageButtonFrameRect(bm.bmWidth, bm.bmHeight, pButton->m_nState);
    SetStretchBltMode(hDC, HALFTONE);
    SetBrushOrgEx(hDC, 0, 0, NULL);
    StretchBlt(hDC, 0, 0, rc.right - rc.left, rc.bottom - rc.top, hMemDC, src.left, src.top,
               src.right - src.left, src.bottom - src.top, SRCCOPY);
  }

  const PageMetrics metrics = MakePageMetrics(pButton->m_nDpi);
  if (pButton->m_nState == BTN_STATE_PRESSED) rc.top += metrics.m_nPressSink;

  char szText[50];
  std::memset(szText, 0, sizeof(szText));
  GetWindowTextA(pButton->m_hWnd, szText, 49);
  if (szText[0] != '\0') {
    SetBkMode(hDC, TRANSPARENT);
    HGDIOBJ hOldFont = NULL;
    if (pButton->m_hFont != NULL) hOldFont = SelectObject(hDC, pButton->m_hFont);
    std::string first, second;
    if (!SplitImageCaption(szText, first, second)) {
      DrawTextA(hDC, szText, -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    } else {
      RECT upper, lower;
      SplitCaptionRects(rc, upper, lower, pButton->m_nDpi);
      DrawTextA(hDC, first.c_str(), -1, &upper, DT_CENTER);
      DrawTextA(hDC, second.c_str(), -1, &lower, DT_CENTER);
    }
    if (hOldFont != NULL) SelectObject(hDC, hOldFont);
  }

  if (hOldBitmap != NULL) SelectObject(hMemDC, hOldBitmap);
  DeleteDC(hMemDC);
}

bool CreateCloseButton(HWND hParent, const RECT& rc) {
  ImageButton* pButton = &g_ImageButton;
  if (pButton->m_hWnd != NULL) return false;

  CSkinImage image;
  LoadPngResource(IDB_CLOSE_FACE, image);
  HBITMAP hBitmap = image.Detach();
  if (hBitmap == NULL) return false;

  HWND hWnd = CreateWindowExA(0, "BUTTON", "", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW,
                              rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, hParent,
                              (HMENU)(INT_PTR)IDC_CLOSE_BUTTON, NULL, NULL);
  if (hWnd == NULL) {
    DeleteObject(hBitmap);
    return false;
  }
  pButton->m_hBitmap = hBitmap;
  pButton->m_hWnd = hWnd;
  pButton->m_nTracking = 0;
  pButton->m_nState = BTN_STATE_NORMAL;
  pButton->m_pfnPrevProc =
      (WNDPROC)SetWindowLongPtrA(hWnd, GWLP_WNDPROC, (LONG_PTR)ImageButtonProc);
  SetWindowLongPtrA(hWnd, GWLP_USERDATA, (LONG_PTR)pButton);
  pButton->m_nDpi = QueryDisplayDpi();
  pButton->m_hFont =
      CreateFontA(MakePageMetrics(pButton->m_nDpi).m_nCaptionFontHeight, 0, 0, 0, FW_NORMAL, FALSE,
                  FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                  DEFAULT_QUALITY, FF_SWISS | DEFAULT_PITCH, "Arial");
  return true;
}

LRESULT CALLBACK ImageButtonProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  ImageButton* pButton = reinterpret_cast<ImageButton*>(GetWindowLongPtrA(hWnd, GWLP_USERDATA));
  if (pButton == nullptr) pButton = &g_ImageButton;  // messages before the user data is set
  pButton->m_hWnd = hWnd;

  switch (uMsg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC hDC = BeginPaint(hWnd, &ps);
      PaintImageButton(pButton, hDC);
      EndPaint(hWnd, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_MOUSEMOVE: {
      if (pButton->m_nTracking) return 0;
      TRACKMOUSEEVENT tme;
      tme.cbSize = sizeof(tme);
      tme.dwFlags = TME_LEAVE;
      tme.hwndTrack = hWnd;
      tme.dwHoverTime = 1000;
      TrackMouseEvent(&tme);
      pButton->m_nTracking = 1;
      pButton->m_nState = BTN_STATE_HOVER;
      RepaintNow(pButton);
      return 0;
    }
    case WM_LBUTTONDOWN:
      SetCapture(hWnd);
      pButton->m_nState = BTN_STATE_PRESSED;
      RepaintNow(pButton);
      NotifyParent(hWnd, WM_CLOSE, 0);
      return 0;
    case WM_LBUTTONUP: {
      if (pButton->m_nState != BTN_STATE_PRESSED) return 0;
      ReleaseCapture();
      POINT pt = {0, 0};
      GetCursorPos(&pt);
      RECT rcWnd = {0, 0, 0, 0};
      GetWindowRect(hWnd, &rcWnd);
      if (PtInRect(&rcWnd, pt)) {
        pButton->m_nTracking = 1;
        pButton->m_nState = BTN_STATE_HOVER;
        NotifyParent(hWnd, WM_COMMAND, 0);
        RepaintNow(pButton);
      } else {
        pButton->m_nTracking = 0;
        pButton->m_nState = BTN_STATE_NORMAL;
        RepaintNow(pButton);
      }
      return 0;
    }
    case WM_LBUTTONDBLCLK:
      SendMessageA(hWnd, WM_LBUTTONDOWN, 0, 0);
      return 0;
    case WM_MOUSELEAVE:
      pButton->m_nTracking = 0;
      pButton->m_nState = BTN_STATE_NORMAL;
      RepaintNow(pButton);
      return 0;
    default:
      break;
  }
  if (pButton->m_pfnPrevProc == NULL) return DefWindowProcA(hWnd, uMsg, wParam, lParam);
  return CallWindowProcA(pButton->m_pfnPrevProc, hWnd, uMsg, wParam, lParam);
}

static LRESULT HandCursorCommon(WNDPROC pfnPrev, HWND hWnd, UINT uMsg, WPARAM wParam,
                                LPARAM lParam) {
  if (uMsg == WM_MOUSEMOVE) {
    SetCursor(LoadCursorA(NULL, MAKEINTRESOURCEA(32649)));  // IDC_HAND
    return 0;
  }
  if (pfnPrev == NULL) return DefWindowProcA(hWnd, uMsg, wParam, lParam);
  return CallWindowProcA(pfnPrev, hWnd, uMsg, wParam, lParam);
}

LRESULT CALLBACK HandCursorButtonProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  return HandCursorCommon(g_pfnHandButtonPrev, hWnd, uMsg, wParam, lParam);
}

LRESULT CALLBACK HandCursorLinkProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  return HandCursorCommon(g_pfnHandLinkPrev, hWnd, uMsg, wParam, lParam);
}

void InstallHandCursorButton(HWND hButton) {
  if (hButton == NULL) return;
  WNDPROC pfnPrev =
      (WNDPROC)SetWindowLongPtrA(hButton, GWLP_WNDPROC, (LONG_PTR)HandCursorButtonProc);
  // A second installation on the same control must not make the slot point at itself.
  if (pfnPrev != NULL && pfnPrev != HandCursorButtonProc) g_pfnHandButtonPrev = pfnPrev;
}

void InstallHandCursorLink(HWND hLink) {
  if (hLink == NULL) return;
  WNDPROC pfnPrev = (WNDPROC)SetWindowLongPtrA(hLink, GWLP_WNDPROC, (LONG_PTR)HandCursorLinkProc);
  if (pfnPrev != NULL && pfnPrev != HandCursorLinkProc) g_pfnHandLinkPrev = pfnPrev;
}
