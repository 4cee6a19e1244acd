// Helpers shared by the user-interface suites: message pumping with a bound,
// pixel reads of memory bitmaps, GBK literals.
#pragma once

#include "platform/winui.h"

#include <functional>
#include <string>

// Dispatches this thread's messages until the predicate holds or the time is
// up (at most nMaxMs, in steps of 10 ms). Returns the predicate's last value.
inline bool PumpUntil(const std::function<bool()>& pred, int nMaxMs = 3000) {
  for (int waited = 0; waited <= nMaxMs; waited += 10) {
    MSG msg;
    for (int n = 0; n < 1000 && PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE); ++n) {
      if (msg.message == WM_QUIT) continue;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (pred()) return true;
    Sleep(10);
  }
  return pred();
}

inline void PumpFor(int nMs) {
  PumpUntil([] { return false; }, nMs);
}

// A 32-bit top-down bitmap with a memory DC, for painting and reading back.
class TestCanvas {
 public:
  TestCanvas(int w, int h) : m_w(w), m_h(h) {
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = w;
    bmi.bmiHeader.biHeight = -h;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* pBits = nullptr;
    m_hBitmap = CreateDIBSection(NULL, &bmi, DIB_RGB_COLORS, &pBits, NULL, 0);
    m_pBits = static_cast<DWORD*>(pBits);
    m_hDC = CreateCompatibleDC(NULL);
    m_hOld = SelectObject(m_hDC, m_hBitmap);
  }
  ~TestCanvas() {
    SelectObject(m_hDC, m_hOld);
    DeleteDC(m_hDC);
    DeleteObject(m_hBitmap);
  }
  HDC dc() const { return m_hDC; }
  int width() const { return m_w; }
  int height() const { return m_h; }
  // The pixel as COLORREF (red in the low byte).
  COLORREF At(int x, int y) const {
    GdiFlush();
    const DWORD v = m_pBits[y * m_w + x];
    return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
  }
  void Fill(COLORREF cr) {
    HBRUSH hBrush = CreateSolidBrush(cr);
    RECT rc = {0, 0, m_w, m_h};
    FillRect(m_hDC, &rc, hBrush);
    DeleteObject(hBrush);
  }

 private:
  int m_w, m_h;
  HBITMAP m_hBitmap = NULL;
  DWORD* m_pBits = nullptr;
  HDC m_hDC = NULL;
  HGDIOBJ m_hOld = NULL;
};

inline bool Near(COLORREF a, COLORREF b, int tol = 6) {
  auto d = [](int x, int y) { return x > y ? x - y : y - x; };
  return d(GetRValue(a), GetRValue(b)) <= tol && d(GetGValue(a), GetGValue(b)) <= tol &&
         d(GetBValue(a), GetBValue(b)) <= tol;
}

inline std::string WindowText(HWND hWnd) {
  char sz[1024] = {};
  GetWindowTextA(hWnd, sz, sizeof(sz));
  return sz;
}

// A plain hidden top-level window to parent controls in tests.
inline HWND CreateTestParent(int x, int y, int w, int h) {
  return CreateWindowExA(0, "STATIC", "", WS_POPUP, x, y, w, h, NULL, NULL, NULL, NULL);
}
