// Simulated windows: a table of test-made windows and controls, message
// delivery to test handlers, and the records the tests read.
#include <map>
#include <mutex>

#include "platform/sim/core.h"
#include "platform/sim/ctl/window.h"
#include "platform/sim/kernel.h"
#include "platform/sim/window.h"

namespace simwin {
namespace {

struct Window {
  std::string name;
  HWND parent = nullptr;
  int id = 0;
  MessageHandler handler;
  std::string text;
  std::vector<std::string> texts;
  size_t textCount = 0;
  std::function<void(const std::string&)> onText;
  bool shown = false;
  // progress bar
  int minPos = 0, maxPos = 100, pos = 0, step = 10;
};

struct State {
  std::mutex lock;
  std::map<uintptr_t, Window> windows;
  uintptr_t next = 0x20000;
  uint64_t seq = 0;
  std::vector<SentMessage> sent;
};

State& S() {
  static State s;
  return s;
}

Window* Find(HWND h) {
  auto it = S().windows.find(reinterpret_cast<uintptr_t>(h));
  return it == S().windows.end() ? nullptr : &it->second;
}

struct WindowReset {
  WindowReset() {
    core::OnReset([] {
      std::lock_guard<std::mutex> g(S().lock);
      S().windows.clear();
      S().sent.clear();
      S().seq = 0;
    });
  }
};
WindowReset g_windowReset;

// Progress-bar messages on a control; the lock is held.
LRESULT ProgressMessage(Window& w, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto clamp = [&](int v) { return v < w.minPos ? w.minPos : (v > w.maxPos ? w.maxPos : v); };
  int old = w.pos;
  switch (msg) {
    case PBM_SETRANGE: {
      LRESULT prev =
          static_cast<LRESULT>((static_cast<DWORD>(w.maxPos) << 16) | static_cast<WORD>(w.minPos));
      w.minPos = static_cast<WORD>(lParam & 0xFFFF);
      w.maxPos = static_cast<WORD>((lParam >> 16) & 0xFFFF);
      w.pos = clamp(w.pos);
      return prev;
    }
    case PBM_SETPOS:
      w.pos = clamp(static_cast<int>(wParam));
      return old;
    case PBM_DELTAPOS:
      w.pos = clamp(w.pos + static_cast<int>(wParam));
      return old;
    case PBM_SETSTEP: {
      int prev = w.step;
      w.step = static_cast<int>(wParam);
      return prev;
    }
    case PBM_STEPIT: {
      // Past the maximum the bar starts over from the minimum, as comctl32 does.
      int v = w.pos + w.step;
      if (w.maxPos > w.minPos && v > w.maxPos)
        v = w.minPos + (v - w.minPos) % (w.maxPos - w.minPos);
      w.pos = clamp(v);
      return old;
    }
    case PBM_GETPOS:
      return w.pos;
    default:
      return 0;
  }
}

void RecordText(Window& w, const char* text) {
  w.text = text ? text : "";
  ++w.textCount;
  if (w.texts.size() < kMaxRecordedTexts) w.texts.push_back(w.text);
}

}  // namespace

HWND CreateTestWindow(const std::string& name, MessageHandler handler) {
  std::lock_guard<std::mutex> g(S().lock);
  uintptr_t h = S().next;
  S().next += 0x10;
  Window& w = S().windows[h];
  w.name = name;
  w.handler = std::move(handler);
  return reinterpret_cast<HWND>(h);
}

void SetMessageHandler(HWND hWnd, MessageHandler handler) {
  std::lock_guard<std::mutex> g(S().lock);
  if (Window* w = Find(hWnd)) w->handler = std::move(handler);
}

HWND AddDlgItem(HWND hDlg, int id) {
  std::lock_guard<std::mutex> g(S().lock);
  if (!Find(hDlg)) return nullptr;
  uintptr_t h = S().next;
  S().next += 0x10;
  Window& w = S().windows[h];
  w.parent = hDlg;
  w.id = id;
  return reinterpret_cast<HWND>(h);
}

void DestroyTestWindow(HWND hWnd) {
  std::lock_guard<std::mutex> g(S().lock);
  for (auto it = S().windows.begin(); it != S().windows.end();) {
    if (it->second.parent == hWnd) {
      it = S().windows.erase(it);
    } else {
      ++it;
    }
  }
  S().windows.erase(reinterpret_cast<uintptr_t>(hWnd));
}

std::vector<SentMessage> SentMessages(HWND hWnd) {
  std::lock_guard<std::mutex> g(S().lock);
  if (!hWnd) return S().sent;
  std::vector<SentMessage> out;
  for (const auto& m : S().sent)
    if (m.hwnd == hWnd) out.push_back(m);
  return out;
}

void ClearSentMessages() {
  std::lock_guard<std::mutex> g(S().lock);
  S().sent.clear();
}

std::vector<std::string> WindowTexts(HWND hWnd) {
  std::lock_guard<std::mutex> g(S().lock);
  Window* w = Find(hWnd);
  return w ? w->texts : std::vector<std::string>{};
}

size_t TextSetCount(HWND hWnd) {
  std::lock_guard<std::mutex> g(S().lock);
  Window* w = Find(hWnd);
  return w ? w->textCount : 0;
}

std::string WindowText(HWND hWnd) {
  std::lock_guard<std::mutex> g(S().lock);
  Window* w = Find(hWnd);
  return w ? w->text : std::string();
}

int ProgressPos(HWND hWnd) {
  std::lock_guard<std::mutex> g(S().lock);
  Window* w = Find(hWnd);
  return w ? w->pos : -1;
}

int ProgressStep(HWND hWnd) {
  std::lock_guard<std::mutex> g(S().lock);
  Window* w = Find(hWnd);
  return w ? w->step : -1;
}

bool IsShown(HWND hWnd) {
  std::lock_guard<std::mutex> g(S().lock);
  Window* w = Find(hWnd);
  return w && w->shown;
}

}  // namespace simwin

using namespace simwin;

LRESULT SendMessageA(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  DWORD tid = GetCurrentThreadId();
  DWORD err;
  bool fault = core::TakeFault("SendMessageA", &err);
  MessageHandler handler;
  {
    std::lock_guard<std::mutex> g(S().lock);
    Window* w = Find(hWnd);
    S().sent.push_back(
        SentMessage{++S().seq, hWnd, msg, wParam, lParam, tid, core::NowMs(), w && !fault});
    if (fault || !w) {
      SetLastError(fault ? err : ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (w->parent) {
      if (msg == WM_SETTEXT) {
        RecordText(*w, reinterpret_cast<const char*>(lParam));
        return TRUE;
      }
      if (msg >= PBM_SETRANGE && msg <= PBM_GETPOS) return ProgressMessage(*w, msg, wParam, lParam);
    }
    handler = w->handler;
  }
  // Delivered outside the lock: a handler may send messages of its own.
  return handler ? handler(hWnd, msg, wParam, lParam) : 0;
}

HWND GetDlgItem(HWND hDlg, int id) {
  DWORD err;
  if (core::TakeFault("GetDlgItem", &err)) {
    SetLastError(err);
    return nullptr;
  }
  std::lock_guard<std::mutex> g(S().lock);
  if (!Find(hDlg)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  for (const auto& e : S().windows)
    if (e.second.parent == hDlg && e.second.id == id) return reinterpret_cast<HWND>(e.first);
  SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
  return nullptr;
}

BOOL SetWindowTextA(HWND hWnd, LPCSTR text) {
  DWORD err;
  if (core::TakeFault("SetWindowTextA", &err)) {
    SetLastError(err);
    return FALSE;
  }
  std::function<void(const std::string&)> onText;
  {
    std::lock_guard<std::mutex> g(S().lock);
    Window* w = Find(hWnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    RecordText(*w, text);
    onText = w->onText;
  }
  if (onText) onText(text ? text : "");
  return TRUE;
}

void simwin::OnTextSet(HWND hWnd, std::function<void(const std::string&)> hook) {
  std::lock_guard<std::mutex> g(S().lock);
  if (Window* w = Find(hWnd)) w->onText = std::move(hook);
}

int GetWindowTextA(HWND hWnd, LPSTR buffer, int maxCount) {
  std::lock_guard<std::mutex> g(S().lock);
  Window* w = Find(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    if (buffer && maxCount > 0) buffer[0] = '\0';
    return 0;
  }
  if (!buffer || maxCount <= 0) return 0;
  size_t n = w->text.size();
  if (n > static_cast<size_t>(maxCount - 1)) n = static_cast<size_t>(maxCount - 1);
  w->text.copy(buffer, n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

BOOL IsWindow(HWND hWnd) {
  std::lock_guard<std::mutex> g(S().lock);
  return Find(hWnd) ? TRUE : FALSE;
}

BOOL ShowWindow(HWND hWnd, int cmdShow) {
  std::lock_guard<std::mutex> g(S().lock);
  Window* w = Find(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  BOOL was = w->shown ? TRUE : FALSE;
  w->shown = cmdShow != SW_HIDE;
  return was;
}

BOOL UpdateWindow(HWND hWnd) {
  std::lock_guard<std::mutex> g(S().lock);
  if (!Find(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}
