#include "ui/dpi.h"

int ScaleForDpi(int nPixels, int nDpi) {
  if (nDpi <= 0 || nDpi == PAGE_BASE_DPI) return nPixels;
  const long long nScaled = (long long)nPixels * nDpi;
  const long long nHalf = PAGE_BASE_DPI / 2;
  return (int)(nScaled >= 0 ? (nScaled + nHalf) / PAGE_BASE_DPI
                            : -((-nScaled + nHalf) / PAGE_BASE_DPI));
}

PageMetrics MakePageMetrics(int nDpi) {
  PageMetrics m;
  m.m_nCloseRightInset = ScaleForDpi(50, nDpi);
  m.m_nCloseTop = ScaleForDpi(30, nDpi);
  m.m_nCloseSize = ScaleForDpi(10, nDpi);
  m.m_nLinkFontHeight = ScaleForDpi(14, nDpi);
  m.m_nCaptionFontHeight = ScaleForDpi(12, nDpi);
  m.m_nPressSink = ScaleForDpi(2, nDpi);
  m.m_nCaptionLineGap = ScaleForDpi(1, nDpi);
  return m;
}

RECT CloseButtonRect(int nWindowWidth, const PageMetrics& metrics) {
  const int nLeft = nWindowWidth - metrics.m_nCloseRightInset;
  RECT rc = {nLeft, metrics.m_nCloseTop, nLeft + metrics.m_nCloseSize,
             metrics.m_nCloseTop + metrics.m_nCloseSize};
  return rc;
}
