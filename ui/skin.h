// Skin pictures: PNG resources decoded through GDI+ into 32-bit bitmaps, and
// the window-sized pattern brushes that paint the dialogs' backgrounds.
#pragma once

#include "platform/winui.h"

#include <cstddef>

// A small image object: one 32 bits per pixel DIB section, filled by decoding a
// stream, or created empty (zero-filled). Owns its bitmap until detached.
class CSkinImage {
 public:
  CSkinImage() = default;
  ~CSkinImage();
  CSkinImage(const CSkinImage&) = delete;
  CSkinImage& operator=(const CSkinImage&) = delete;

  // Decodes an image (PNG, or any format GDI+ reads) from the stream, which is
  // read from its start. Replaces the current bitmap. S_OK or an error code.
  HRESULT Load(IStream* pStream);
  // An empty top-down bitmap of the given size; only 32 bits per pixel.
  BOOL Create(int nWidth, int nHeight, int nBPP);
  // A memory device context with the bitmap selected; calls nest, and every
  // GetDC needs its ReleaseDC. NULL when the image is empty.
  HDC GetDC();
  void ReleaseDC();

  int GetWidth() const { return m_nWidth; }
  int GetHeight() const { return m_nHeight; }
  bool IsNull() const { return m_hBitmap == NULL; }
  // Address of the top row of pixels (BGRA, rows of 4 * width bytes).
  const BYTE* GetBits() const { return m_pBits; }

  // Hands the bitmap to the caller; the image is empty afterwards.
  HBITMAP Detach();
  void Destroy();

 private:
  HBITMAP m_hBitmap = NULL;
  BYTE* m_pBits = nullptr;
  int m_nWidth = 0;
  int m_nHeight = 0;
  HDC m_hDC = NULL;
  HGDIOBJ m_hOldBitmap = NULL;
  int m_nDCRefs = 0;
};

// Starts GDI+ on first use; it stays up until the process ends. False if it
// could not be started.
bool EnsureGdiplus();

// Decodes the bytes of an image file into the image; on failure it stays empty.
void LoadPngBytes(const void* pData, size_t cbData, CSkinImage& image);
// Loads the "PNG" resource with the integer id from the program's module.
void LoadPngResource(int nResId, CSkinImage& image);
// The picture of the resource scaled to the window's size, as a pattern brush.
// A missing picture gives a black brush of that size.
HBRUSH MakeSkinBrush(HWND hWnd, int nResId);

// MakeSkinBrush kept with the window (a window property), so that every dialog
// answers WM_CTLCOLORDLG with its own brush.
HBRUSH AttachSkinBrush(HWND hWnd, int nResId);
HBRUSH GetSkinBrush(HWND hWnd);
