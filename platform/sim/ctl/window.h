// Test controls of the simulated window area: make windows and dialog
// controls, install message handlers, read what was sent to them.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include "platform/sim/wintypes.h"

namespace simwin {

using MessageHandler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

// A top-level window (a dialog stand-in). Its handler, if any, receives every
// message sent to it, on the sending thread, after the message is recorded.
HWND CreateTestWindow(const std::string& name = "", MessageHandler handler = nullptr);
void SetMessageHandler(HWND hWnd, MessageHandler handler);
// A child control with a dialog id. Controls record their text and behave as
// progress bars (range 0..100, step 10) for the PBM_ messages.
HWND AddDlgItem(HWND hDlg, int id);
void DestroyTestWindow(HWND hWnd);

struct SentMessage {
  uint64_t seq;  // order over all windows
  HWND hwnd;
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
  DWORD threadId;    // sender's GetCurrentThreadId
  uint64_t clockMs;  // simulated clock when sent
  bool delivered;    // false when hwnd was not a window
};

// Messages sent with SendMessageA, in order; to one window, or all.
std::vector<SentMessage> SentMessages(HWND hWnd = nullptr);
void ClearSentMessages();

// Every text set on a window with SetWindowTextA, in order. At most
// kMaxRecordedTexts are kept per window; TextSetCount counts them all.
constexpr size_t kMaxRecordedTexts = 10000;
std::vector<std::string> WindowTexts(HWND hWnd);
size_t TextSetCount(HWND hWnd);
std::string WindowText(HWND hWnd);
// Called on the setting thread after each SetWindowTextA on hWnd.
void OnTextSet(HWND hWnd, std::function<void(const std::string&)> hook);

// Progress bar state of a control.
int ProgressPos(HWND hWnd);
int ProgressStep(HWND hWnd);

// Visibility after ShowWindow (windows start hidden).
bool IsShown(HWND hWnd);

}  // namespace simwin
