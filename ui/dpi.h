// Fixed pixel values of the pages at the display's DPI. Dialog units grow with
// the display's scaling by themselves; these values are added to or drawn
// beside them, so they grow by the same factor.
#pragma once

#include "platform/win.h"

// The DPI every value below was laid out at.
#define PAGE_BASE_DPI 96

// nPixels * nDpi / 96, rounded half away from zero. A DPI of 0 or less (not
// known) leaves the value as it is.
int ScaleForDpi(int nPixels, int nDpi);

struct PageMetrics {
  int m_nCloseRightInset;    // close button's left edge, from the window's right edge
  int m_nCloseTop;           // close button's top edge
  int m_nCloseSize;          // close button's width and height
  int m_nLinkFontHeight;     // letter link's font
  int m_nCaptionFontHeight;  // image button's caption font
  int m_nPressSink;          // how far a pressed caption moves down
  int m_nCaptionLineGap;     // the two lines of a split caption, moved apart by this
};

PageMetrics MakePageMetrics(int nDpi);

// The close button's rectangle in the main page's client area, for a window
// nWindowWidth pixels wide.
RECT CloseButtonRect(int nWindowWidth, const PageMetrics& metrics);

// The display's vertical DPI (LOGPIXELSY of the screen); 96 when unknown.
int QueryDisplayDpi();
