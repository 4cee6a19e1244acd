// Simulated USER32 messages and controls: windows made by the tests, each with
// an optional handler; SendMessageA delivers synchronously on the calling
// thread and records every call. Controls keep their text and, as progress
// bars, their position.
#pragma once
#include "platform/sim/wintypes.h"

#define WM_NULL 0x0000
#define WM_CLOSE 0x0010
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_TIMER 0x0113
#define WM_USER 0x0400

// Progress bar (msctls_progress32)
#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_DELTAPOS (WM_USER + 3)
#define PBM_SETSTEP (WM_USER + 4)
#define PBM_STEPIT (WM_USER + 5)
#define PBM_GETPOS (WM_USER + 8)

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOW 5
#define SW_RESTORE 9

#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CONTROL_ID_NOT_FOUND 1421L

LRESULT SendMessageA(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
HWND GetDlgItem(HWND hDlg, int id);
BOOL SetWindowTextA(HWND hWnd, LPCSTR text);
int GetWindowTextA(HWND hWnd, LPSTR buffer, int maxCount);
BOOL IsWindow(HWND hWnd);
BOOL ShowWindow(HWND hWnd, int cmdShow);
BOOL UpdateWindow(HWND hWnd);
