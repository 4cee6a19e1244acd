#include "ui/imagebutton.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/ui/ui_test_util.h"

namespace {

struct Received {
  UINT uMsg;
  WPARAM wParam;
  LPARAM lParam;
};
std::vector<Received> g_received;

LRESULT CALLBACK RecordingParentProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == WM_CLOSE || uMsg == WM_COMMAND) {
    g_received.push_back({uMsg, wParam, lParam});
    return 0;
  }
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

HWND CreateRecordingParent(int x, int y) {
  static bool s_registered = false;
  if (!s_registered) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = RecordingParentProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "PavonixTestParent";
    RegisterClassA(&wc);
    s_registered = true;
  }
  return CreateWindowExA(0, "PavonixTestParent", "", WS_POPUP, x, y, 200, 120, NULL, NULL,
                         GetModuleHandleA(NULL), NULL);
}

class CloseButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_received.clear();
    g_ImageButton = ImageButton{};
    m_hParent = CreateRecordingParent(300, 300);
    ASSERT_NE(nullptr, m_hParent);
    RECT rc = {150, 30, 170, 50};
    ASSERT_TRUE(CreateCloseButton(m_hParent, rc));
    m_hButton = GetDlgItem(m_hParent, IDC_CLOSE_BUTTON);
    ASSERT_NE(nullptr, m_hButton);
  }
  void TearDown() override {
    DestroyWindow(m_hParent);
    g_ImageButton = ImageButton{};
  }
  HWND m_hParent = NULL;
  HWND m_hButton = NULL;
};

}  // namespace

TEST(ImageCaption, SplitsAtTheFourCharacterSequenceOnly) {
  std::string first, second;
  EXPECT_TRUE(SplitImageCaption("Close\\r\\nNow", first, second));
  EXPECT_EQ("Close", first);
  EXPECT_EQ("Now", second);

  // A real carriage return and line feed is no break.
  EXPECT_FALSE(SplitImageCaption("Close\r\nNow", first, second));
  EXPECT_EQ("Close\r\nNow", first);
  EXPECT_EQ("", second);

  // Only the first sequence splits; the rest stays in the second line.
  EXPECT_TRUE(SplitImageCaption("a\\r\\nb\\r\\nc", first, second));
  EXPECT_EQ("a", first);
  EXPECT_EQ("b\\r\\nc", second);

  EXPECT_TRUE(SplitImageCaption("\\r\\n", first, second));
  EXPECT_EQ("", first);
  EXPECT_EQ("", second);
  EXPECT_FALSE(SplitImageCaption("\\r\\", first, second));
  EXPECT_FALSE(SplitImageCaption(nullptr, first, second));
}

TEST(ImageCaption, LineRectanglesMeetAroundTheMiddle) {
  RECT upper, lower;
  SplitCaptionRects(RECT{0, 0, 100, 40}, upper, lower);
  EXPECT_EQ(1, upper.top);
  EXPECT_EQ(20, upper.bottom);
  EXPECT_EQ(19, lower.top);
  EXPECT_EQ(40, lower.bottom);
  EXPECT_EQ(0, lower.left);
  EXPECT_EQ(100, lower.right);

  // Pressed: the rectangle starts 2 lower; the middle truncates toward zero.
  SplitCaptionRects(RECT{0, 2, 60, 17}, upper, lower);
  EXPECT_EQ(3, upper.top);
  EXPECT_EQ(9, upper.bottom);
  EXPECT_EQ(8, lower.top);
  EXPECT_EQ(16, lower.bottom);
}

TEST(ImageCaption, FaceFramesOfSingleImageAndStrip) {
  for (int state : {BTN_STATE_NORMAL, BTN_STATE_PRESSED, BTN_STATE_HOVER}) {
    RECT rc = ImageButtonFrameRect(17, 18, state);
    EXPECT_EQ(0, rc.left);
    EXPECT_EQ(17, rc.right);
    EXPECT_EQ(18, rc.bottom);
  }
  RECT hover = ImageButtonFrameRect(54, 18, BTN_STATE_HOVER);
  EXPECT_EQ(36, hover.left);
  EXPECT_EQ(54, hover.right);
  RECT pressed = ImageButtonFrameRect(54, 18, BTN_STATE_PRESSED);
  EXPECT_EQ(18, pressed.left);
  EXPECT_EQ(36, pressed.right);
  RECT odd = ImageButtonFrameRect(54, 18, 7);
  EXPECT_EQ(0, odd.left);
  EXPECT_EQ(54, odd.right);
}

namespace {

// Rows of the canvas that hold pixels of the text colour.
std::vector<int> InkRows(const TestCanvas& canvas, COLORREF ink) {
  std::vector<int> rows;
  for (int y = 0; y < canvas.height(); ++y)
    for (int x = 0; x < canvas.width(); ++x)
      if (Near(canvas.At(x, y), ink, 60)) {
        rows.push_back(y);
        break;
      }
  return rows;
}

struct PaintFixture {
  PaintFixture(const char* pszText, int w, int h) {
    m_hWnd = CreateWindowExA(0, "BUTTON", pszText, WS_POPUP, 0, 0, w, h, NULL, NULL, NULL, NULL);
    face.Create(2, 2);
    button = ImageButton{};
    button.m_hWnd = m_hWnd;
    button.m_hBitmap = face.bitmap;
    button.m_hFont =
        CreateFontA(12, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                    CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, FF_SWISS | DEFAULT_PITCH, "Arial");
  }
  ~PaintFixture() {
    DeleteObject(button.m_hFont);
    DestroyWindow(m_hWnd);
  }
  struct Face {
    HBITMAP bitmap = NULL;
    void Create(int w, int h) {
      TestCanvas tmp(w, h);  // only for a compatible DC
      BITMAPINFO bmi = {};
      bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
      bmi.bmiHeader.biWidth = w;
      bmi.bmiHeader.biHeight = -h;
      bmi.bmiHeader.biPlanes = 1;
      bmi.bmiHeader.biBitCount = 32;
      void* pBits = nullptr;
      bitmap = CreateDIBSection(tmp.dc(), &bmi, DIB_RGB_COLORS, &pBits, NULL, 0);
      DWORD* p = static_cast<DWORD*>(pBits);
      for (int i = 0; i < w * h; ++i) p[i] = 0x00008000;  // green
    }
    ~Face() { DeleteObject(bitmap); }
  } face;
  HWND m_hWnd = NULL;
  ImageButton button;
};

}  // namespace

TEST(PaintImageButton, StretchesTheFaceOverTheWholeButton) {
  PaintFixture fx("", 40, 30);
  TestCanvas canvas(40, 30);
  canvas.Fill(RGB(255, 0, 0));
  PaintImageButton(&fx.button, canvas.dc());
  EXPECT_EQ(RGB(0, 128, 0), canvas.At(0, 0));
  EXPECT_EQ(RGB(0, 128, 0), canvas.At(39, 29));
  EXPECT_EQ(RGB(0, 128, 0), canvas.At(20, 15));
}

TEST(PaintImageButton, SplitCaptionGoesOnTwoLinesAndSingleOnOne) {
  const COLORREF ink = RGB(255, 255, 0);
  const int h = 60;
  {
    PaintFixture fx("AB\\r\\nCD", 80, h);
    TestCanvas canvas(80, h);
    SetTextColor(canvas.dc(), ink);
    PaintImageButton(&fx.button, canvas.dc());
    std::vector<int> rows = InkRows(canvas, ink);
    ASSERT_FALSE(rows.empty());
    // First line from the top, second from just above the middle.
    EXPECT_LT(rows.front(), 10);
    EXPECT_GT(rows.back(), h / 2);
    bool gap = false;
    for (size_t i = 1; i < rows.size(); ++i) gap = gap || rows[i] - rows[i - 1] > 2;
    EXPECT_TRUE(gap) << "two separate lines";
    // The backslashes are not drawn: both lines are short and centred.
  }
  {
    PaintFixture fx("ABCD", 80, h);
    TestCanvas canvas(80, h);
    SetTextColor(canvas.dc(), ink);
    PaintImageButton(&fx.button, canvas.dc());
    std::vector<int> rows = InkRows(canvas, ink);
    ASSERT_FALSE(rows.empty());
    EXPECT_GT(rows.front(), 15);
    EXPECT_LT(rows.back(), 45);
    const int centre = (rows.front() + rows.back()) / 2;
    EXPECT_NEAR(h / 2, centre, 4);
  }
}

TEST(PaintImageButton, PressedCaptionSinksByTwoPixels) {
  const COLORREF ink = RGB(255, 255, 0);
  int top[2] = {0, 0};
  for (int pressed = 0; pressed < 2; ++pressed) {
    PaintFixture fx("ABCD", 80, 40);
    fx.button.m_nState = pressed ? BTN_STATE_PRESSED : BTN_STATE_NORMAL;
    TestCanvas canvas(80, 40);
    SetTextColor(canvas.dc(), ink);
    PaintImageButton(&fx.button, canvas.dc());
    std::vector<int> rows = InkRows(canvas, ink);
    ASSERT_FALSE(rows.empty());
    top[pressed] = rows.front();
  }
  EXPECT_EQ(top[0] + 1, top[1]);  // centre of a box 2 shorter at the top moves down by 1
}

TEST_F(CloseButtonTest, IsCreatedOnceWithItsStyleAndRecord) {
  RECT rc = {0, 0, 10, 10};
  EXPECT_FALSE(CreateCloseButton(m_hParent, rc));
  EXPECT_EQ(m_hButton, g_ImageButton.m_hWnd);
  EXPECT_NE(nullptr, g_ImageButton.m_hBitmap);
  EXPECT_NE(nullptr, g_ImageButton.m_hFont);
  EXPECT_EQ((LONG_PTR)&g_ImageButton, GetWindowLongPtrA(m_hButton, GWLP_USERDATA));
  const LONG style = GetWindowLongA(m_hButton, GWL_STYLE);
  EXPECT_EQ(BS_OWNERDRAW, style & 0x0F);
  EXPECT_TRUE(style & WS_CHILD);
  RECT rcWnd;
  GetClientRect(m_hButton, &rcWnd);
  EXPECT_EQ(20, rcWnd.right);
  EXPECT_EQ(20, rcWnd.bottom);
  EXPECT_EQ(1, SendMessageA(m_hButton, WM_ERASEBKGND, 0, 0));
}

TEST_F(CloseButtonTest, HoverOnceUntilThePointerLeaves) {
  EXPECT_EQ(0, SendMessageA(m_hButton, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5)));
  EXPECT_EQ(BTN_STATE_HOVER, g_ImageButton.m_nState);
  EXPECT_EQ(1, g_ImageButton.m_nTracking);
  // Further moves change nothing, even if the state was changed meanwhile.
  g_ImageButton.m_nState = BTN_STATE_NORMAL;
  SendMessageA(m_hButton, WM_MOUSEMOVE, 0, MAKELPARAM(6, 6));
  EXPECT_EQ(BTN_STATE_NORMAL, g_ImageButton.m_nState);
  g_ImageButton.m_nState = BTN_STATE_HOVER;
  SendMessageA(m_hButton, WM_MOUSELEAVE, 0, 0);
  EXPECT_EQ(BTN_STATE_NORMAL, g_ImageButton.m_nState);
  EXPECT_EQ(0, g_ImageButton.m_nTracking);
  EXPECT_TRUE(g_received.empty());
}

TEST_F(CloseButtonTest, PressSendsCloseAtOnceAndReleaseOverSendsCommand) {
  SendMessageA(m_hButton, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  EXPECT_EQ(BTN_STATE_PRESSED, g_ImageButton.m_nState);
  EXPECT_EQ(m_hButton, GetCapture());
  ASSERT_EQ(1u, g_received.size());
  EXPECT_EQ((UINT)WM_CLOSE, g_received[0].uMsg);
  EXPECT_EQ(IDC_CLOSE_BUTTON, LOWORD(g_received[0].wParam));
  EXPECT_EQ((LPARAM)m_hButton, g_received[0].lParam);

  RECT rc;
  GetWindowRect(m_hButton, &rc);
  ASSERT_TRUE(SetCursorPos(rc.left + 5, rc.top + 5));
  POINT pt;
  GetCursorPos(&pt);
  if (!PtInRect(&rc, pt)) GTEST_SKIP() << "the display does not move the pointer";
  SendMessageA(m_hButton, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  EXPECT_EQ(BTN_STATE_HOVER, g_ImageButton.m_nState);
  EXPECT_EQ(1, g_ImageButton.m_nTracking);
  EXPECT_NE(m_hButton, GetCapture());
  ASSERT_EQ(2u, g_received.size());
  EXPECT_EQ((UINT)WM_COMMAND, g_received[1].uMsg);
  EXPECT_EQ(MAKEWPARAM(IDC_CLOSE_BUTTON, 0), g_received[1].wParam);
  EXPECT_EQ((LPARAM)m_hButton, g_received[1].lParam);
}

TEST_F(CloseButtonTest, ReleaseElsewhereReturnsToNormalWithoutCommand) {
  SendMessageA(m_hButton, WM_LBUTTONDOWN, MK_LBUTTON, 0);
  ASSERT_TRUE(SetCursorPos(2, 2));
  SendMessageA(m_hButton, WM_LBUTTONUP, 0, MAKELPARAM(-200, -200));
  EXPECT_EQ(BTN_STATE_NORMAL, g_ImageButton.m_nState);
  EXPECT_EQ(0, g_ImageButton.m_nTracking);
  EXPECT_NE(m_hButton, GetCapture());
  ASSERT_EQ(1u, g_received.size());
  EXPECT_EQ((UINT)WM_CLOSE, g_received[0].uMsg);

  // A release without a press does nothing.
  SendMessageA(m_hButton, WM_LBUTTONUP, 0, 0);
  EXPECT_EQ(1u, g_received.size());
}

TEST_F(CloseButtonTest, DoubleClickActsAsASecondPress) {
  SendMessageA(m_hButton, WM_LBUTTONDOWN, MK_LBUTTON, 0);
  SendMessageA(m_hButton, WM_LBUTTONDBLCLK, MK_LBUTTON, 0);
  EXPECT_EQ(BTN_STATE_PRESSED, g_ImageButton.m_nState);
  ASSERT_EQ(2u, g_received.size());
  EXPECT_EQ((UINT)WM_CLOSE, g_received[1].uMsg);
  ReleaseCapture();
}

TEST(HandCursor, ButtonAndLinkShowTheHandAndPassEverythingElseOn) {
  HWND hParent = CreateTestParent(0, 0, 100, 100);
  HWND hButton = CreateWindowExA(0, "BUTTON", "Go", WS_CHILD | BS_PUSHBUTTON, 0, 0, 50, 20, hParent,
                                 NULL, NULL, NULL);
  HWND hLink = CreateWindowExA(0, "STATIC", "Read", WS_CHILD | SS_NOTIFY, 0, 30, 50, 20, hParent,
                               NULL, NULL, NULL);
  InstallHandCursorButton(hButton);
  InstallHandCursorLink(hLink);
  InstallHandCursorButton(hButton);  // installing twice must not loop
  EXPECT_NE(nullptr, g_pfnHandButtonPrev);
  EXPECT_NE(nullptr, g_pfnHandLinkPrev);

  HCURSOR hHand = LoadCursorA(NULL, MAKEINTRESOURCEA(32649));
  HCURSOR hArrow = LoadCursorA(NULL, MAKEINTRESOURCEA(32512));
  SetCursor(hArrow);
  EXPECT_EQ(0, SendMessageA(hButton, WM_MOUSEMOVE, 0, 0));
  EXPECT_EQ(hHand, GetCursor());
  SetCursor(hArrow);
  EXPECT_EQ(0, SendMessageA(hLink, WM_MOUSEMOVE, 0, 0));
  EXPECT_EQ(hHand, GetCursor());

  // Other messages reach the control's own procedure.
  EXPECT_EQ("Go", WindowText(hButton));
  EXPECT_EQ("Read", WindowText(hLink));
  SetWindowTextA(hButton, "Again");
  EXPECT_EQ("Again", WindowText(hButton));
  DestroyWindow(hParent);
}
