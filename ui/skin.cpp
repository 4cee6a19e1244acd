#include "ui/skin.h"

#include "platform/syslib.h"

#include <cstring>

namespace {

namespace gp = Gdiplus;

// GDI+ is loaded at run time from the system folder rather than imported: an
// imported gdiplus.dll would be looked for beside the program first, and the
// program runs with administrator rights from wherever it was downloaded to.
struct GdiplusApi {
  decltype(&gp::GdiplusStartup) Startup;
  decltype(&gp::DllExports::GdipCreateBitmapFromStream) CreateBitmapFromStream;
  decltype(&gp::DllExports::GdipGetImageWidth) GetImageWidth;
  decltype(&gp::DllExports::GdipGetImageHeight) GetImageHeight;
  decltype(&gp::DllExports::GdipBitmapLockBits) BitmapLockBits;
  decltype(&gp::DllExports::GdipBitmapUnlockBits) BitmapUnlockBits;
  decltype(&gp::DllExports::GdipDisposeImage) DisposeImage;
};

GdiplusApi g_gdiplus;

bool LoadGdiplus() {
  HMODULE hModule = LoadSystemLibrary("gdiplus.dll");
  if (hModule == NULL) return false;
  GdiplusApi& api = g_gdiplus;
  return ResolveProc(hModule, "GdiplusStartup", api.Startup) &&
         ResolveProc(hModule, "GdipCreateBitmapFromStream", api.CreateBitmapFromStream) &&
         ResolveProc(hModule, "GdipGetImageWidth", api.GetImageWidth) &&
         ResolveProc(hModule, "GdipGetImageHeight", api.GetImageHeight) &&
         ResolveProc(hModule, "GdipBitmapLockBits", api.BitmapLockBits) &&
         ResolveProc(hModule, "GdipBitmapUnlockBits", api.BitmapUnlockBits) &&
         ResolveProc(hModule, "GdipDisposeImage", api.DisposeImage);
}

// Largest side accepted for a decoded or created image; far above any window.
const int kMaxImageSide = 16384;

HBITMAP CreateTopDownDib(int nWidth, int nHeight, BYTE** ppBits) {
  BITMAPINFO bmi;
  std::memset(&bmi, 0, sizeof(bmi));
  bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bmi.bmiHeader.biWidth = nWidth;
  bmi.bmiHeader.biHeight = -nHeight;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  bmi.bmiHeader.biCompression = BI_RGB;
  void* pBits = nullptr;
  HBITMAP hBitmap = CreateDIBSection(NULL, &bmi, DIB_RGB_COLORS, &pBits, NULL, 0);
  if (hBitmap == NULL || pBits == nullptr) {
    if (hBitmap != NULL) DeleteObject(hBitmap);
    return NULL;
  }
  *ppBits = static_cast<BYTE*>(pBits);
  return hBitmap;
}

}  // namespace

bool EnsureGdiplus() {
  static bool s_bTried = false;
  static bool s_bStarted = false;
  if (!s_bTried) {
    s_bTried = true;
    ULONG_PTR token = 0;
    gp::GdiplusStartupInput input;
    s_bStarted = LoadGdiplus() && g_gdiplus.Startup(&token, &input, NULL) == gp::Ok;
  }
  return s_bStarted;
}

CSkinImage::~CSkinImage() { Destroy(); }

HRESULT CSkinImage::Load(IStream* pStream) {
  Destroy();
  if (pStream == nullptr) return E_POINTER;
  if (!EnsureGdiplus()) return E_FAIL;

  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  pStream->Seek(zero, STREAM_SEEK_SET, NULL);

  gp::GpBitmap* pBitmap = nullptr;
  if (g_gdiplus.CreateBitmapFromStream(pStream, &pBitmap) != gp::Ok || pBitmap == nullptr)
    return E_FAIL;

  HRESULT hr = E_FAIL;
  UINT w = 0, h = 0;
  g_gdiplus.GetImageWidth(pBitmap, &w);
  g_gdiplus.GetImageHeight(pBitmap, &h);
  if (w > 0 && h > 0 && w <= (UINT)kMaxImageSide && h <= (UINT)kMaxImageSide) {
    gp::GpRect rect(0, 0, (INT)w, (INT)h);
    gp::BitmapData data;
    std::memset(&data, 0, sizeof(data));
    if (g_gdiplus.BitmapLockBits(pBitmap, &rect, gp::ImageLockModeRead, PixelFormat32bppARGB,
                                 &data) == gp::Ok) {
      BYTE* pBits = nullptr;
      HBITMAP hDib = CreateTopDownDib((int)w, (int)h, &pBits);
      if (hDib != NULL) {
        // GDI+ 32bppARGB is B, G, R, A in memory, as a 32-bit DIB.
        const size_t cbRow = (size_t)w * 4;
        const BYTE* pSrc = static_cast<const BYTE*>(data.Scan0);
        for (UINT y = 0; y < h; ++y)
          std::memcpy(pBits + y * cbRow, pSrc + (ptrdiff_t)y * data.Stride, cbRow);
        m_hBitmap = hDib;
        m_pBits = pBits;
        m_nWidth = (int)w;
        m_nHeight = (int)h;
        hr = S_OK;
      }
      g_gdiplus.BitmapUnlockBits(pBitmap, &data);
    }
  }
  g_gdiplus.DisposeImage(pBitmap);
  return hr;
}

BOOL CSkinImage::Create(int nWidth, int nHeight, int nBPP) {
  Destroy();
  if (nBPP != 32 || nWidth <= 0 || nHeight <= 0 || nWidth > kMaxImageSide ||
      nHeight > kMaxImageSide)
    return FALSE;
  BYTE* pBits = nullptr;
  HBITMAP hDib = CreateTopDownDib(nWidth, nHeight, &pBits);
  if (hDib == NULL) return FALSE;
  m_hBitmap = hDib;
  m_pBits = pBits;
  m_nWidth = nWidth;
  m_nHeight = nHeight;
  return TRUE;
}

HDC CSkinImage::GetDC() {
  if (m_hBitmap == NULL) return NULL;
  if (m_hDC == NULL) {
    m_hDC = CreateCompatibleDC(NULL);
    if (m_hDC == NULL) return NULL;
    m_hOldBitmap = SelectObject(m_hDC, m_hBitmap);
  }
  ++m_nDCRefs;
  return m_hDC;
}

void CSkinImage::ReleaseDC() {
  if (m_hDC == NULL || m_nDCRefs <= 0) return;
  if (--m_nDCRefs == 0) {
    SelectObject(m_hDC, m_hOldBitmap);
    DeleteDC(m_hDC);
    m_hDC = NULL;
    m_hOldBitmap = NULL;
  }
}

HBITMAP CSkinImage::Detach() {
  if (m_hDC != NULL) {
    SelectObject(m_hDC, m_hOldBitmap);
    DeleteDC(m_hDC);
    m_hDC = NULL;
    m_hOldBitmap = NULL;
    m_nDCRefs = 0;
  }
  HBITMAP hBitmap = m_hBitmap;
  m_hBitmap = NULL;
  m_pBits = nullptr;
  m_nWidth = 0;
  m_nHeight = 0;
  return hBitmap;
}

void CSkinImage::Destroy() {
  HBITMAP hBitmap = Detach();
  if (hBitmap != NULL) DeleteObject(hBitmap);
}

void LoadPngBytes(const void* pData, size_t cbData, CSkinImage& image) {
  image.Destroy();
  if (pData == nullptr || cbData == 0 || cbData > 0x7FFFFFFF) return;
  IStream* pStream = nullptr;
  if (FAILED(CreateStreamOnHGlobal(NULL, TRUE, &pStream)) || pStream == nullptr) return;
  ULARGE_INTEGER size;
  size.QuadPart = cbData;
  ULONG cbWritten = 0;
  if (SUCCEEDED(pStream->SetSize(size)) &&
      SUCCEEDED(pStream->Write(pData, (ULONG)cbData, &cbWritten)) && cbWritten == cbData) {
    image.Load(pStream);
  }
  pStream->Release();
}

void LoadPngResource(int nResId, CSkinImage& image) {
  image.Destroy();
  HRSRC hRes = FindResourceA(NULL, MAKEINTRESOURCEA(nResId), "PNG");
  if (hRes == NULL) return;
  HGLOBAL hData = LoadResource(NULL, hRes);
  if (hData == NULL) return;
  const void* pData = LockResource(hData);
  DWORD cbData = SizeofResource(NULL, hRes);
  if (pData != nullptr && cbData > 0) LoadPngBytes(pData, cbData, image);
}

HBRUSH MakeSkinBrush(HWND hWnd, int nResId) {
  RECT rc = {0, 0, 0, 0};
  GetWindowRect(hWnd, &rc);
  const int w = rc.right - rc.left;
  const int h = rc.bottom - rc.top;

  CSkinImage source;
  LoadPngResource(nResId, source);

  CSkinImage target;
  if (!target.Create(w, h, 32)) return NULL;
  HDC hTargetDC = target.GetDC();
  if (hTargetDC != NULL) {
    SetStretchBltMode(hTargetDC, HALFTONE);
    SetBrushOrgEx(hTargetDC, 0, 0, NULL);
    HDC hSourceDC = source.GetDC();
    if (hSourceDC != NULL) {
      StretchBlt(hTargetDC, 0, 0, w, h, hSourceDC, 0, 0, source.GetWidth(), source.GetHeight(),
                 SRCCOPY);
      source.ReleaseDC();
    }
    target.ReleaseDC();
  }
  HBITMAP hBitmap = target.Detach();
  HBRUSH hBrush = CreatePatternBrush(hBitmap);
  DeleteObject(hBitmap);
  return hBrush;
}

namespace {
const char kSkinBrushProp[] = "pavonix.skin";
}

HBRUSH AttachSkinBrush(HWND hWnd, int nResId) {
  HBRUSH hBrush = MakeSkinBrush(hWnd, nResId);
  HBRUSH hOld = GetSkinBrush(hWnd);
  SetPropA(hWnd, kSkinBrushProp, (HANDLE)hBrush);
  if (hOld != NULL && hOld != hBrush) DeleteObject(hOld);
  return hBrush;
}

HBRUSH GetSkinBrush(HWND hWnd) { return (HBRUSH)GetPropA(hWnd, kSkinBrushProp); }
