// Makes the main page in a process of its own, so that it sees the display DPI
// the page suite set in the prefix (the DPI is read once per process), and
// writes what the suite checks: a report of its geometry and a picture of it.
//
//   ui_dpi_probe.exe REPORT.txt PICTURE.bmp
#include "app/contract.h"
#include "ui/dpi.h"
#include "ui/pages.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/ui/ui_test_util.h"

namespace {

// Width and height of a text in the font a control was given.
SIZE TextExtent(HWND hCtl, const char* szText) {
  SIZE size = {0, 0};
  HDC hDC = GetDC(hCtl);
  HGDIOBJ hOld = SelectObject(hDC, (HFONT)SendMessageA(hCtl, WM_GETFONT, 0, 0));
  GetTextExtentPoint32A(hDC, szText, (int)std::strlen(szText), &size);
  SelectObject(hDC, hOld);
  ReleaseDC(hCtl, hDC);
  return size;
}

void WriteBox(FILE* f, const char* szName, HWND hCtl) {
  char szText[128] = {};
  GetWindowTextA(hCtl, szText, sizeof(szText));
  RECT rc = {0, 0, 0, 0};
  GetClientRect(hCtl, &rc);
  const SIZE text = TextExtent(hCtl, szText);
  std::fprintf(f, "%s %ld %ld %ld %ld\n", szName, rc.right, rc.bottom, text.cx, text.cy);
}

BOOL CALLBACK CheckInside(HWND hChild, LPARAM lParam) {
  RECT* pDlg = reinterpret_cast<RECT*>(lParam);
  RECT rc;
  GetWindowRect(hChild, &rc);
  if (rc.left < pDlg->left || rc.top < pDlg->top || rc.right > pDlg->right ||
      rc.bottom > pDlg->bottom)
    pDlg->left = LONG_MIN;  // marks a control cut off by the page's edge
  return TRUE;
}

// The window's pixels from the screen, as a 24-bit BMP file.
bool SavePicture(HWND hDlg, const char* szPath, std::vector<COLORREF>* pPixels) {
  RECT rc;
  GetWindowRect(hDlg, &rc);
  const int w = rc.right - rc.left, h = rc.bottom - rc.top;
  TestCanvas canvas(w, h);
  HDC hScreen = GetDC(NULL);
  BitBlt(canvas.dc(), 0, 0, w, h, hScreen, rc.left, rc.top, SRCCOPY);
  ReleaseDC(NULL, hScreen);
  pPixels->clear();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) pPixels->push_back(canvas.At(x, y));

  const int stride = (w * 3 + 3) & ~3;
  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(file) + sizeof(info);
  file.bfSize = file.bfOffBits + stride * h;
  info.biSize = sizeof(info);
  info.biWidth = w;
  info.biHeight = h;  // bottom-up
  info.biPlanes = 1;
  info.biBitCount = 24;
  FILE* f = std::fopen(szPath, "wb");
  if (f == nullptr) return false;
  std::fwrite(&file, sizeof(file), 1, f);
  std::fwrite(&info, sizeof(info), 1, f);
  std::vector<unsigned char> row(stride, 0);
  for (int y = h - 1; y >= 0; --y) {
    for (int x = 0; x < w; ++x) {
      const COLORREF c = (*pPixels)[y * w + x];
      row[x * 3] = GetBValue(c);
      row[x * 3 + 1] = GetGValue(c);
      row[x * 3 + 2] = GetRValue(c);
    }
    std::fwrite(row.data(), 1, row.size(), f);
  }
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  g_hInstance = GetModuleHandleA(NULL);
  g_hMainDlg = CreateDialogParamA(g_hInstance, MAKEINTRESOURCEA(IDD_MAIN), GetDesktopWindow(),
                                  MainDlgProc, 0);
  if (g_hMainDlg == NULL) return 3;
  SetWindowPos(g_hMainDlg, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  PumpFor(300);
  RedrawWindow(g_hMainDlg, NULL, NULL,
               RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  PumpFor(500);

  FILE* f = std::fopen(argv[1], "w");
  if (f == nullptr) return 4;
  HDC hScreen = GetDC(NULL);
  std::fprintf(f, "dpi %d\n", GetDeviceCaps(hScreen, LOGPIXELSY));
  ReleaseDC(NULL, hScreen);
  RECT rcDlg, rcClose = {0, 0, 0, 0};
  GetWindowRect(g_hMainDlg, &rcDlg);
  HWND hClose = GetDlgItem(g_hMainDlg, IDC_CLOSE_BUTTON);
  if (hClose != NULL) GetWindowRect(hClose, &rcClose);
  std::fprintf(f, "window %ld %ld %ld %ld\n", rcDlg.left, rcDlg.top, rcDlg.right, rcDlg.bottom);
  std::fprintf(f, "close %ld %ld %ld %ld\n", rcClose.left - rcDlg.left, rcClose.top - rcDlg.top,
               rcClose.right - rcDlg.left, rcClose.bottom - rcDlg.top);
  LOGFONTA lf = {};
  GetObjectA((HFONT)SendMessageA(GetDlgItem(g_hMainDlg, IDC_LETTER_LINK), WM_GETFONT, 0, 0),
             sizeof(lf), &lf);
  std::fprintf(f, "linkfont %ld\n", lf.lfHeight);
  WriteBox(f, "link", GetDlgItem(g_hMainDlg, IDC_LETTER_LINK));
  WriteBox(f, "button", GetDlgItem(g_hMainDlg, IDC_ACTION_BUTTON));
  // The final pages' single buttons, whose captions are the longest.
  const struct {
    const char* szName;
    int nTemplate;
    DLGPROC pfnProc;
  } finals[] = {{"success", IDD_SUCCESS, SuccessDlgProc}, {"failure", IDD_FAILURE, FailureDlgProc}};
  for (const auto& page : finals) {
    HWND hPage = CreateDialogParamA(g_hInstance, MAKEINTRESOURCEA(page.nTemplate),
                                    GetDesktopWindow(), page.pfnProc, 0);
    WriteBox(f, page.szName, GetDlgItem(hPage, IDC_ACTION_BUTTON));
    if (hPage != NULL) DestroyWindow(hPage);
  }
  RECT rcInside = rcDlg;
  EnumChildWindows(g_hMainDlg, CheckInside, (LPARAM)&rcInside);
  std::fprintf(f, "cut %d\n", rcInside.left == LONG_MIN ? 1 : 0);

  // The close button's white cross: the bounding box of the white pixels in
  // the page's top right corner, where the picture is plain blue.
  std::vector<COLORREF> pixels;
  const bool bSaved = SavePicture(g_hMainDlg, argv[2], &pixels);
  const int w = rcDlg.right - rcDlg.left, h = rcDlg.bottom - rcDlg.top;
  const PageMetrics metrics = MakePageMetrics(QueryDisplayDpi());
  const int x0 = w - 2 * metrics.m_nCloseRightInset, y1 = 3 * metrics.m_nCloseTop;
  long l = LONG_MAX, t = LONG_MAX, r = LONG_MIN, b = LONG_MIN;
  for (int y = 0; y < y1 && y < h; ++y)
    for (int x = x0 < 0 ? 0 : x0; x < w; ++x) {
      const COLORREF c = pixels.empty() ? 0 : pixels[y * w + x];
      if (GetRValue(c) < 200 || GetGValue(c) < 200 || GetBValue(c) < 200) continue;
      if (x < l) l = x;
      if (y < t) t = y;
      if (x + 1 > r) r = x + 1;
      if (y + 1 > b) b = y + 1;
    }
  if (r == LONG_MIN)
    std::fprintf(f, "cross none\n");
  else
    std::fprintf(f, "cross %ld %ld %ld %ld\n", l, t, r, b);
  std::fprintf(f, "saved %d\n", bSaved ? 1 : 0);
  std::fclose(f);
  DestroyWindow(g_hMainDlg);
  return 0;
}
