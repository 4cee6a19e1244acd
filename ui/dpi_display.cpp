#include "ui/dpi.h"

#include "platform/winui.h"

int QueryDisplayDpi() {
  HDC hScreen = GetDC(NULL);
  if (hScreen == NULL) return PAGE_BASE_DPI;
  const int nDpi = GetDeviceCaps(hScreen, LOGPIXELSY);
  ReleaseDC(NULL, hScreen);
  return nDpi > 0 ? nDpi : PAGE_BASE_DPI;
}
