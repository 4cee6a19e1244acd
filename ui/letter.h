// The data authorisation letter viewer: an RTF resource streamed into a
// read-only rich edit control on a skinned modeless dialog.
#pragma once

#include "platform/winui.h"
#include "ui/res/resource.h"

// Cursor over a zero-terminated copy of the letter while it is streamed in.
struct LetterStreamCookie {
  const BYTE* m_pBase;
  const BYTE* m_pCursor;
  DWORD m_cbSize;  // bytes to hand out, the terminating zero included
};

extern LetterStreamCookie g_LetterCookie;

INT_PTR CALLBACK LetterViewerProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
void InitLetterViewer(HWND hDlg);
DWORD CALLBACK LetterStreamInCallback(DWORD_PTR dwCookie, LPBYTE pbBuff, LONG cb, LONG* pcb);
// Streams RTF bytes into a rich edit control; the number of bytes handed out.
LONG StreamRtfInto(HWND hEdit, const void* pData, DWORD cbData);
