// The image button (the main dialog's close button, painted from a PNG) and
// the hand pointer over push buttons and the letter link.
#pragma once

#include "platform/winui.h"

#include "ui/res/resource.h"

#include <string>

enum {
  BTN_STATE_NORMAL = 0,
  BTN_STATE_PRESSED = 1,
  BTN_STATE_HOVER = 2,
};

// The one image button of the process.
struct ImageButton {
  WNDPROC m_pfnPrevProc;  // the system button procedure
  HWND m_hWnd;            // the button; refreshed on every message
  HBITMAP m_hBitmap;      // face; one frame, or a strip of three (normal, pressed, hover)
  int m_nTracking;        // 1 while leave tracking is armed
  int m_nState;           // BTN_STATE_*
  HFONT m_hFont;          // caption font
  int m_nDpi;             // display DPI the button was made at; 0 counts as 96
};

extern ImageButton g_ImageButton;

// Previous window procedures of the hand-cursor subclasses: one slot shared by
// the push buttons, one for the letter link.
extern WNDPROC g_pfnHandButtonPrev;
extern WNDPROC g_pfnHandLinkPrev;

// Creates the close button in the parent's client rectangle. False when a button
// exists already, the face picture is missing or the window was not created.
bool CreateCloseButton(HWND hParent, const RECT& rc);

LRESULT CALLBACK ImageButtonProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

// Paints the face (stretched to the button) and the caption.
void PaintImageButton(ImageButton* pButton, HDC hDC);

// Splits a caption at the four characters backslash, r, backslash, n. True when
// the sequence was found; then first and second hold the texts around it.
bool SplitImageCaption(const char* pszText, std::string& first, std::string& second);

// The two line rectangles of a split caption inside rc, their gap scaled to nDpi.
void SplitCaptionRects(const RECT& rc, RECT& upper, RECT& lower, int nDpi = 96);

// Source rectangle of a face frame for a state: a strip whose width is at least
// three times its height holds three frames, otherwise the one frame serves all.
RECT ImageButtonFrameRect(int nBitmapWidth, int nBitmapHeight, int nState);

LRESULT CALLBACK HandCursorButtonProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK HandCursorLinkProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

// Subclass a push button / the link with the hand pointer, keeping the slot.
void InstallHandCursorButton(HWND hButton);
void InstallHandCursorLink(HWND hLink);
