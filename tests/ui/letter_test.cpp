#include "ui/imagebutton.h"
#include "ui/letter.h"
#include "ui/startup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/ui/ui_test_util.h"

namespace {

// "数据授权书" in GBK.
const char kLetterTitleGbk[] = "\xCA\xFD\xBE\xDD\xCA\xDA\xC8\xA8\xCA\xE9";

std::string EditText(HWND hEdit) {
  // The length may count characters; a GBK character takes up to two bytes.
  const int n = (int)SendMessageA(hEdit, WM_GETTEXTLENGTH, 0, 0);
  std::vector<char> buf((size_t)n * 2 + 2, 0);
  SendMessageA(hEdit, WM_GETTEXT, (WPARAM)buf.size(), (LPARAM)buf.data());
  return std::string(buf.data());
}

class RichEditEnv : public ::testing::Environment {
 public:
  void SetUp() override { LoadRichEditFromSystem(); }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new RichEditEnv);

}  // namespace

TEST(LetterStream, HandsOutTheBytesInRequestedChunks) {
  const char data[] = "0123456789";  // 10 bytes and the terminator: 11 to hand out
  LetterStreamCookie cookie = {reinterpret_cast<const BYTE*>(data),
                               reinterpret_cast<const BYTE*>(data), 11};
  BYTE out[16];
  std::memset(out, 0xEE, sizeof(out));
  LONG cb = -1;

  EXPECT_EQ(0u, LetterStreamInCallback((DWORD_PTR)&cookie, out, 4, &cb));
  EXPECT_EQ(4, cb);
  EXPECT_EQ(0, std::memcmp(out, "0123", 4));
  EXPECT_EQ(0xEE, out[4]) << "nothing written past the request";

  EXPECT_EQ(0u, LetterStreamInCallback((DWORD_PTR)&cookie, out, 4, &cb));
  EXPECT_EQ(4, cb);
  EXPECT_EQ(0, std::memcmp(out, "4567", 4));

  std::memset(out, 0xEE, sizeof(out));
  EXPECT_EQ(0u, LetterStreamInCallback((DWORD_PTR)&cookie, out, 16, &cb));
  EXPECT_EQ(3, cb);
  EXPECT_EQ(0, std::memcmp(out, "89\0", 3));
  EXPECT_EQ(0xEE, out[3]);

  // At the end: 0 bytes, which ends the stream, and stays so.
  EXPECT_EQ(0u, LetterStreamInCallback((DWORD_PTR)&cookie, out, 16, &cb));
  EXPECT_EQ(0, cb);
  EXPECT_EQ(0u, LetterStreamInCallback((DWORD_PTR)&cookie, out, 16, &cb));
  EXPECT_EQ(0, cb);
  EXPECT_EQ(cookie.m_pBase + 11, cookie.m_pCursor);
}

TEST(LetterStream, ZeroRequestAndMissingCookieTransferNothing) {
  const char data[] = "ab";
  LetterStreamCookie cookie = {reinterpret_cast<const BYTE*>(data),
                               reinterpret_cast<const BYTE*>(data), 3};
  BYTE out[4] = {};
  LONG cb = -1;
  EXPECT_EQ(0u, LetterStreamInCallback((DWORD_PTR)&cookie, out, 0, &cb));
  EXPECT_EQ(0, cb);
  EXPECT_EQ(cookie.m_pBase, cookie.m_pCursor);
  cb = -1;
  EXPECT_EQ(0u, LetterStreamInCallback(0, out, 4, &cb));
  EXPECT_EQ(0, cb);
}

TEST(LetterStream, RtfWithCodePage936EscapesBecomesGbkText) {
  HWND hParent = CreateTestParent(0, 0, 300, 200);
  HWND hEdit = CreateWindowExA(0, "RichEdit20A", "", WS_CHILD | ES_MULTILINE | ES_READONLY, 0, 0,
                               300, 200, hParent, NULL, NULL, NULL);
  ASSERT_NE(nullptr, hEdit) << "RICHED20.dll from the system folder";
  const char rtf[] =
      "{\\rtf1\\ansi\\ansicpg936\\deff0{\\fonttbl{\\f0\\fnil\\fcharset134 SimSun;}}"
      "\\f0 Letter: \\'ca\\'fd\\'be\\'dd\\'ca\\'da\\'c8\\'a8\\'ca\\'e9\\par}";
  const LONG n = StreamRtfInto(hEdit, rtf, (DWORD)std::strlen(rtf));
  EXPECT_EQ((LONG)std::strlen(rtf) + 1, n);
  const std::string text = EditText(hEdit);
  EXPECT_NE(std::string::npos, text.find(std::string("Letter: ") + kLetterTitleGbk))
      << ::testing::PrintToString(text);
  DestroyWindow(hParent);
}

TEST(LetterViewer, ShowsTheWholeLetterAndOnlyOkClosesIt) {
  std::vector<HWND> viewers;
  for (int i = 0; i < 2; ++i) {
    HWND hViewer = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_LETTER),
                                      GetDesktopWindow(), LetterViewerProc, 0);
    ASSERT_NE(nullptr, hViewer);
    ShowWindow(hViewer, SW_SHOW);
    viewers.push_back(hViewer);
  }
  for (HWND hViewer : viewers) {
    HWND hEdit = GetDlgItem(hViewer, IDC_LETTER_TEXT);
    ASSERT_NE(nullptr, hEdit);
    const std::string text = EditText(hEdit);
    EXPECT_GT(text.size(), 2000u);
    EXPECT_NE(std::string::npos, text.find(kLetterTitleGbk));
    EXPECT_TRUE(GetWindowLongA(hEdit, GWL_STYLE) & ES_READONLY);
    EXPECT_TRUE(GetWindowLongA(hEdit, GWL_STYLE) & WS_VSCROLL);
    // The OK button has the hand cursor installed.
    EXPECT_EQ((LONG_PTR)HandCursorButtonProc,
              GetWindowLongPtrA(GetDlgItem(hViewer, IDOK), GWLP_WNDPROC));
    // The background brush is the viewer's own.
    EXPECT_NE(0, (INT_PTR)SendMessageA(hViewer, WM_CTLCOLORDLG, 0, (LPARAM)hViewer));
  }
  EXPECT_NE(SendMessageA(viewers[0], WM_CTLCOLORDLG, 0, 0),
            SendMessageA(viewers[1], WM_CTLCOLORDLG, 0, 0));

  // Alt+F4 and the cancel command leave it open.
  SendMessageA(viewers[0], WM_SYSCOMMAND, SC_CLOSE, 0);
  SendMessageA(viewers[0], WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
  PumpFor(50);
  EXPECT_TRUE(IsWindowVisible(viewers[0]));

  // OK hides this viewer only; it is not destroyed.
  SendMessageA(viewers[0], WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               (LPARAM)GetDlgItem(viewers[0], IDOK));
  PumpFor(50);
  EXPECT_FALSE(IsWindowVisible(viewers[0]));
  EXPECT_TRUE(IsWindow(viewers[0]));
  EXPECT_TRUE(IsWindowVisible(viewers[1]));
  for (HWND hViewer : viewers) DestroyWindow(hViewer);
}

TEST(LetterViewer, LetterWrapsAtTheWidthOfItsBox) {
  HWND hViewer = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_LETTER),
                                    GetDesktopWindow(), LetterViewerProc, 0);
  ASSERT_NE(nullptr, hViewer);
  ShowWindow(hViewer, SW_SHOW);
  PumpFor(50);
  HWND hEdit = GetDlgItem(hViewer, IDC_LETTER_TEXT);
  RECT rc;
  GetClientRect(hEdit, &rc);
  const std::string text = EditText(hEdit);
  size_t paragraphs = 1;
  for (char c : text) paragraphs += c == '\r' ? 1 : 0;
  const int lines = (int)SendMessageA(hEdit, EM_GETLINECOUNT, 0, 0);
  // Long paragraphs take several lines...
  EXPECT_GT((size_t)lines, paragraphs + 10) << paragraphs << " paragraphs";
  // ...and no line runs past the box's right edge.
  for (int line = 0; line < lines; ++line) {
    LONG first = (LONG)SendMessageA(hEdit, EM_LINEINDEX, line, 0);
    LONG length = (LONG)SendMessageA(hEdit, EM_LINELENGTH, first, 0);
    if (length <= 0) continue;
    POINTL pt = {0, 0};
    SendMessageA(hEdit, EM_POSFROMCHAR, (WPARAM)&pt, first + length - 1);
    EXPECT_LT(pt.x, rc.right) << "line " << line;
  }
  DestroyWindow(hViewer);
}
