#include "ui/pages.h"

#include "app/contract.h"
#include "app/worker.h"
#include "config/sysconfig.h"
#include "ui/dpi.h"
#include "ui/imagebutton.h"
#include "ui/skin.h"
#include "ui/startup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/ui/ui_test_util.h"

namespace {

const COLORREF kBlue = RGB(1, 140, 237);
const COLORREF kWhite = RGB(255, 255, 255);
// "企业实名认证和授权软件——"
const char kTitlePrefix[] =
    "\xC6\xF3\xD2\xB5\xCA\xB5\xC3\xFB\xC8\xCF\xD6\xA4\xBA\xCD\xCA\xDA\xC8\xA8\xC8\xED\xBC\xFE\xA1"
    "\xAA\xA1\xAA";
// "专用"
const char kTitleSuffix[] = "\xD7\xA8\xD3\xC3";
// "请先阅读并同意《数据授权协议》"
const char kAgreeFirst[] =
    "\xC7\xEB\xCF\xC8\xD4\xC4\xB6\xC1\xB2\xA2\xCD\xAC\xD2\xE2\xA1\xB6\xCA\xFD\xBE\xDD\xCA\xDA\xC8"
    "\xA8\xD0\xAD\xD2\xE9\xA1\xB7";
// "宋体"
const char kSongTi[] = "\xCB\xCE\xCC\xE5";

// The install click's thread, replaced: records what it was given and runs a
// worker that only waits to be released.
HANDLE g_hRelease = NULL;
int g_nStarts = 0;
LPTHREAD_START_ROUTINE g_pfnStarted = nullptr;
std::string g_strTempDir;
HWND g_hNotify = NULL;

DWORD WINAPI WaitingWorker(LPVOID) {
  WaitForSingleObject(g_hRelease, 20000);
  return 0;
}

HANDLE FakeStart(LPTHREAD_START_ROUTINE pfnProc, LPVOID pParam) {
  ++g_nStarts;
  g_pfnStarted = pfnProc;
  InstallThreadParam* p = static_cast<InstallThreadParam*>(pParam);
  g_strTempDir = p->m_strTempDir;
  g_hNotify = p->m_hNotifyWnd;
  delete p;
  return CreateThread(NULL, 0, WaitingWorker, NULL, 0, NULL);
}

// A WM_QUIT waiting in the queue, taken out; its exit code in *pCode.
bool QuitPosted(WPARAM* pCode = nullptr) {
  MSG msg;
  if (PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE) == 0) return false;
  if (pCode) *pCode = msg.wParam;
  return true;
}

COLORREF BrushColour(INT_PTR hBrush) {
  LOGBRUSH lb = {};
  GetObjectA((HBRUSH)hBrush, sizeof(lb), &lb);
  return lb.lbColor;
}

// Samples of a brush painted over a w x h area.
std::vector<COLORREF> BrushSamples(HBRUSH hBrush, int w, int h) {
  TestCanvas canvas(w, h);
  RECT rc = {0, 0, w, h};
  FillRect(canvas.dc(), &rc, hBrush);
  std::vector<COLORREF> out;
  for (int y = 0; y < h; y += 7)
    for (int x = 0; x < w; x += 7) out.push_back(canvas.At(x, y));
  return out;
}

// The page's background is the given picture (as MakeSkinBrush scales it).
bool ShowsPicture(HWND hPage, int nResId) {
  RECT rc;
  GetClientRect(hPage, &rc);
  HBRUSH hExpected = MakeSkinBrush(hPage, nResId);
  bool same = BrushSamples(GetSkinBrush(hPage), rc.right, rc.bottom) ==
              BrushSamples(hExpected, rc.right, rc.bottom);
  DeleteObject(hExpected);
  return same;
}

// Finds the message box owned by the main dialog, reads it and presses OK.
struct BoxProbe {
  HWND hOwner = NULL;
  std::atomic<bool> found{false};
  std::atomic<bool> textOk{false};
  std::atomic<bool> captionEmpty{false};
  std::atomic<bool> infoIcon{false};
};

BOOL CALLBACK ProbeBoxText(HWND hChild, LPARAM lParam) {
  BoxProbe* probe = reinterpret_cast<BoxProbe*>(lParam);
  char sz[256] = {};
  GetWindowTextA(hChild, sz, sizeof(sz));
  if (std::strcmp(sz, kAgreeFirst) == 0) probe->textOk = true;
  // The box's icon is the shared system one of its MB_ICON... style.
  HICON hIcon = (HICON)SendMessageA(hChild, STM_GETICON, 0, 0);
  if (hIcon != NULL && hIcon == LoadIconA(NULL, MAKEINTRESOURCEA(32516)))  // IDI_INFORMATION
    probe->infoIcon = true;
  return TRUE;
}

BOOL CALLBACK ProbeMessageBox(HWND hWnd, LPARAM lParam) {
  BoxProbe* probe = reinterpret_cast<BoxProbe*>(lParam);
  if (GetWindow(hWnd, GW_OWNER) != probe->hOwner || !IsWindowVisible(hWnd)) return TRUE;
  char szCaption[64] = {};
  GetWindowTextA(hWnd, szCaption, sizeof(szCaption));
  probe->captionEmpty = szCaption[0] == '\0';
  EnumChildWindows(hWnd, ProbeBoxText, lParam);
  probe->found = true;
  PostMessageA(hWnd, WM_COMMAND, IDOK, 0);
  return FALSE;
}

class RichEditEnv : public ::testing::Environment {
 public:
  void SetUp() override { LoadRichEditFromSystem(); }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new RichEditEnv);

class PagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_hRelease = CreateEventA(NULL, TRUE, FALSE, NULL);
    g_nStarts = 0;
    g_pfnStarted = nullptr;
    g_pfnStartInstallThread = FakeStart;
    g_ImageButton = ImageButton{};
    g_hProgressDlg = g_hSuccessDlg = g_hFailureDlg = g_hLetterDlg = NULL;
    g_hWorkerThread = NULL;
    g_bWorkerClosed = false;
    g_nInstallResult = 0;
    g_hInstance = GetModuleHandleA(NULL);
    g_hMainDlg = CreateDialogParamA(g_hInstance, MAKEINTRESOURCEA(IDD_MAIN), GetDesktopWindow(),
                                    MainDlgProc, 0);
    ASSERT_NE(nullptr, g_hMainDlg);
    SetPropA(g_hMainDlg, PAVONIX_INSTANCE_PROP, (HANDLE)1);
    ShowWindow(g_hMainDlg, SW_SHOW);
    PumpFor(20);
  }
  void TearDown() override {
    SetEvent(g_hRelease);
    PumpUntil([] { return g_hWorkerThread == NULL || g_bWorkerClosed; }, 2000);
    for (HWND h : {g_hMainDlg, g_hProgressDlg, g_hSuccessDlg, g_hFailureDlg})
      if (h != NULL) DestroyWindow(h);
    g_hMainDlg = g_hProgressDlg = g_hSuccessDlg = g_hFailureDlg = NULL;
    CloseHandle(g_hRelease);
    g_ImageButton = ImageButton{};
    QuitPosted();
  }
  void ClickInstall() {
    SendMessageA(g_hMainDlg, WM_COMMAND, MAKEWPARAM(IDC_ACTION_BUTTON, BN_CLICKED),
                 (LPARAM)GetDlgItem(g_hMainDlg, IDC_ACTION_BUTTON));
  }
  HWND Item(HWND hDlg, int id) { return GetDlgItem(hDlg, id); }
};

}  // namespace

TEST(PercentText, ClampsAndNeverOverrunsTwelveBytes) {
  struct Case {
    int value;
    const char* text;
  } cases[] = {{0, "0%"},     {37, "37%"},     {100, "100%"},    {-1, "0%"},
               {101, "100%"}, {INT_MIN, "0%"}, {INT_MAX, "100%"}};
  for (const Case& c : cases) {
    char sz[12];
    std::memset(sz, 'x', sizeof(sz));
    FormatPercentText(c.value, sz);
    EXPECT_STREQ(c.text, sz) << c.value;
  }
}

TEST(FailureReason, CodesSelectTheirControlsAndOthersNone) {
  EXPECT_EQ(IDC_REASON_NOT_INVOICE_PC, FailureReasonControl(1));
  EXPECT_EQ(IDC_REASON_CLIENT_FAILED, FailureReasonControl(2));
  EXPECT_EQ(IDC_REASON_NETWORK, FailureReasonControl(3));
  EXPECT_EQ(IDC_REASON_VENDOR_FAILED, FailureReasonControl(4));
  EXPECT_EQ(0, FailureReasonControl(0));
  EXPECT_EQ(0, FailureReasonControl(5));
  EXPECT_EQ(0, FailureReasonControl(-1));
}

TEST_F(PagesTest, MainPageStartsTickedTitledWithCloseButtonAndLinkFont) {
  EXPECT_EQ(BST_CHECKED, SendMessageA(Item(g_hMainDlg, IDC_AGREE_CHECK), BM_GETCHECK, 0, 0));
  const std::string maker = CPavonixSysConfig::GetInstance()->m_strMakerName;
  EXPECT_FALSE(maker.empty());
  EXPECT_EQ(std::string(kTitlePrefix) + maker + kTitleSuffix, WindowText(g_hMainDlg));

  RECT rcDlg, rcClose;
  GetWindowRect(g_hMainDlg, &rcDlg);
  HWND hClose = Item(g_hMainDlg, IDC_CLOSE_BUTTON);
  ASSERT_NE(nullptr, hClose);
  GetWindowRect(hClose, &rcClose);
  EXPECT_EQ(rcDlg.right - 50, rcClose.left);
  EXPECT_EQ(rcDlg.top + 30, rcClose.top);
  EXPECT_EQ(10, rcClose.right - rcClose.left);
  EXPECT_EQ(10, rcClose.bottom - rcClose.top);

  HFONT hFont = (HFONT)SendMessageA(Item(g_hMainDlg, IDC_LETTER_LINK), WM_GETFONT, 0, 0);
  LOGFONTA lf = {};
  ASSERT_NE(0, GetObjectA(hFont, sizeof(lf), &lf));
  EXPECT_EQ(14, lf.lfHeight);
  EXPECT_STREQ(kSongTi, lf.lfFaceName);

  EXPECT_EQ((LONG_PTR)HandCursorButtonProc,
            GetWindowLongPtrA(Item(g_hMainDlg, IDC_ACTION_BUTTON), GWLP_WNDPROC));
  EXPECT_EQ((LONG_PTR)HandCursorLinkProc,
            GetWindowLongPtrA(Item(g_hMainDlg, IDC_LETTER_LINK), GWLP_WNDPROC));
  EXPECT_NE(0, SendMessageA(g_hMainDlg, WM_CTLCOLORDLG, 0, (LPARAM)g_hMainDlg));
  // Pages have no caption: nothing to drag them by.
  EXPECT_FALSE(GetWindowLongA(g_hMainDlg, GWL_STYLE) & WS_CAPTION);
}

TEST_F(PagesTest, ControlColoursOfMainAndFailurePages) {
  TestCanvas canvas(10, 10);
  HDC hDC = canvas.dc();
  SetTextColor(hDC, RGB(1, 2, 3));
  INT_PTR hBrush = SendMessageA(g_hMainDlg, WM_CTLCOLORBTN, (WPARAM)hDC,
                                (LPARAM)Item(g_hMainDlg, IDC_ACTION_BUTTON));
  ASSERT_NE(0, hBrush);
  EXPECT_EQ(kBlue, BrushColour(hBrush));
  EXPECT_EQ(kWhite, GetTextColor(hDC));
  EXPECT_EQ(TRANSPARENT, GetBkMode(hDC));
  // Buttons not listed get the dialog manager's default answer, not the blue face.
  SetTextColor(hDC, RGB(1, 2, 3));
  INT_PTR hDefault = SendMessageA(g_hMainDlg, WM_CTLCOLORBTN, (WPARAM)hDC,
                                  (LPARAM)Item(g_hMainDlg, IDC_CLOSE_BUTTON));
  EXPECT_NE(hBrush, hDefault);
  EXPECT_NE(kWhite, GetTextColor(hDC));

  hBrush = SendMessageA(g_hMainDlg, WM_CTLCOLORSTATIC, (WPARAM)hDC,
                        (LPARAM)Item(g_hMainDlg, IDC_LETTER_LINK));
  EXPECT_EQ(kWhite, BrushColour(hBrush));
  EXPECT_EQ(kBlue, GetTextColor(hDC));
  SetTextColor(hDC, RGB(1, 2, 3));
  hBrush = SendMessageA(g_hMainDlg, WM_CTLCOLORSTATIC, (WPARAM)hDC,
                        (LPARAM)Item(g_hMainDlg, IDC_AGREE_CHECK));
  EXPECT_EQ(kWhite, BrushColour(hBrush));
  EXPECT_EQ(RGB(1, 2, 3), GetTextColor(hDC));

  g_nInstallResult = 2;
  SendMessageA(g_hMainDlg, WM_INSTALL_FAILED, 0, 0);
  ASSERT_NE(nullptr, g_hFailureDlg);
  hBrush = SendMessageA(g_hFailureDlg, WM_CTLCOLORBTN, (WPARAM)hDC,
                        (LPARAM)Item(g_hFailureDlg, IDC_ACTION_BUTTON));
  EXPECT_EQ(kWhite, BrushColour(hBrush));
  EXPECT_EQ(kBlue, GetTextColor(hDC));
}

TEST_F(PagesTest, ControlColoursOfProgressSuccessAndFailurePages) {
  TestCanvas canvas(10, 10);
  HDC hDC = canvas.dc();
  ClickInstall();
  ASSERT_NE(nullptr, g_hProgressDlg);
  // The bar's own colours: grey trough, blue bar.
  HWND hBar = Item(g_hProgressDlg, IDC_PROGRESS_BAR);
  EXPECT_EQ(RGB(195, 195, 195), (COLORREF)SendMessageA(hBar, PBM_GETBKCOLOR, 0, 0));
  EXPECT_EQ(RGB(1, 140, 237), (COLORREF)SendMessageA(hBar, PBM_GETBARCOLOR, 0, 0));
  // The progress page's statics: blue text on white.
  for (int id : {IDC_DOWNLOADING_LABEL, IDC_INSTALLING_LABEL, IDC_PERCENT_TEXT}) {
    SetTextColor(hDC, RGB(1, 2, 3));
    INT_PTR hBrush = SendMessageA(g_hProgressDlg, WM_CTLCOLORSTATIC, (WPARAM)hDC,
                                  (LPARAM)Item(g_hProgressDlg, id));
    EXPECT_EQ(kWhite, BrushColour(hBrush)) << id;
    EXPECT_EQ(kBlue, GetTextColor(hDC)) << id;
  }

  // The success page's button: white on the blue face.
  SendMessageA(g_hMainDlg, WM_INSTALL_DONE, 0, 0);
  ASSERT_NE(nullptr, g_hSuccessDlg);
  SetTextColor(hDC, RGB(1, 2, 3));
  INT_PTR hBrush = SendMessageA(g_hSuccessDlg, WM_CTLCOLORBTN, (WPARAM)hDC,
                                (LPARAM)Item(g_hSuccessDlg, IDC_ACTION_BUTTON));
  EXPECT_EQ(kBlue, BrushColour(hBrush));
  EXPECT_EQ(kWhite, GetTextColor(hDC));

  // The failure page's reasons: blue text on white.
  g_nInstallResult = INSTALL_RESULT_NETWORK_ERROR;
  SendMessageA(g_hMainDlg, WM_INSTALL_FAILED, 0, 0);
  ASSERT_NE(nullptr, g_hFailureDlg);
  for (int id : {IDC_REASON_NOT_INVOICE_PC, IDC_REASON_CLIENT_FAILED, IDC_REASON_NETWORK,
                 IDC_REASON_VENDOR_FAILED}) {
    SetTextColor(hDC, RGB(1, 2, 3));
    hBrush = SendMessageA(g_hFailureDlg, WM_CTLCOLORSTATIC, (WPARAM)hDC,
                          (LPARAM)Item(g_hFailureDlg, id));
    EXPECT_EQ(kWhite, BrushColour(hBrush)) << id;
    EXPECT_EQ(kBlue, GetTextColor(hDC)) << id;
  }
}

TEST_F(PagesTest, OwnerDrawnButtonsArePaintedFlatWithCentredCaption) {
  HWND hButton = Item(g_hMainDlg, IDC_ACTION_BUTTON);
  RECT rc;
  GetClientRect(hButton, &rc);
  TestCanvas canvas(rc.right, rc.bottom);
  canvas.Fill(RGB(0, 0, 0));
  DRAWITEMSTRUCT dis = {};
  dis.CtlType = ODT_BUTTON;
  dis.CtlID = IDC_ACTION_BUTTON;
  dis.itemAction = ODA_DRAWENTIRE;
  dis.hwndItem = hButton;
  dis.hDC = canvas.dc();
  dis.rcItem = rc;
  SelectObject(canvas.dc(), (HFONT)SendMessageA(hButton, WM_GETFONT, 0, 0));
  SendMessageA(g_hMainDlg, WM_DRAWITEM, IDC_ACTION_BUTTON, (LPARAM)&dis);
  EXPECT_EQ(kBlue, canvas.At(0, 0));
  EXPECT_EQ(kBlue, canvas.At(rc.right - 1, rc.bottom - 1));
  int white = 0;
  for (int y = 0; y < rc.bottom; ++y)
    for (int x = 0; x < rc.right; ++x) white += Near(canvas.At(x, y), kWhite, 40) ? 1 : 0;
  EXPECT_GT(white, 10) << "the caption is drawn in white";

  // Drawn again after a click, the face is filled afresh, not drawn over itself.
  const COLORREF before = canvas.At(rc.right / 2, rc.bottom / 2);
  SendMessageA(g_hMainDlg, WM_DRAWITEM, IDC_ACTION_BUTTON, (LPARAM)&dis);
  EXPECT_EQ(before, canvas.At(rc.right / 2, rc.bottom / 2));
}

TEST_F(PagesTest, InstallRunThroughProgressToFailureWithOneReason) {
  ClickInstall();
  EXPECT_EQ(1, g_nStarts);
  EXPECT_EQ(&InstallWorkerProc, g_pfnStarted);
  EXPECT_EQ(g_hMainDlg, g_hNotify);
  ASSERT_FALSE(g_strTempDir.empty());
  EXPECT_EQ('\\', g_strTempDir.back());
  ASSERT_NE(nullptr, g_hProgressDlg);
  ASSERT_NE(nullptr, g_hWorkerThread);
  EXPECT_TRUE(IsWindowVisible(g_hProgressDlg));
  EXPECT_FALSE(IsWindowVisible(g_hMainDlg));
  EXPECT_FALSE(IsWindowEnabled(Item(g_hMainDlg, IDC_AGREE_CHECK)));
  EXPECT_TRUE(IsWindowVisible(Item(g_hProgressDlg, IDC_DOWNLOADING_LABEL)));
  EXPECT_FALSE(IsWindowVisible(Item(g_hProgressDlg, IDC_INSTALLING_LABEL)));

  // A second click while the worker runs starts nothing.
  ClickInstall();
  EXPECT_EQ(1, g_nStarts);

  for (int pct : {0, 37, 100}) {
    SendMessageA(g_hMainDlg, WM_DOWNLOAD_PROGRESS, (WPARAM)pct, 0);
    EXPECT_EQ(std::to_string(pct) + "%", WindowText(Item(g_hProgressDlg, IDC_PERCENT_TEXT)));
    EXPECT_EQ(pct, SendMessageA(Item(g_hProgressDlg, IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0));
  }
  // Out of range: shown clamped.
  SendMessageA(g_hProgressDlg, WM_DOWNLOAD_PROGRESS, (WPARAM)-5, 0);
  EXPECT_EQ("0%", WindowText(Item(g_hProgressDlg, IDC_PERCENT_TEXT)));
  SendMessageA(g_hMainDlg, WM_DOWNLOAD_PROGRESS, 4000, 0);
  EXPECT_EQ("100%", WindowText(Item(g_hProgressDlg, IDC_PERCENT_TEXT)));
  EXPECT_EQ(100, SendMessageA(Item(g_hProgressDlg, IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0));

  SendMessageA(g_hMainDlg, WM_INSTALL_STARTED, 0, 0);
  EXPECT_FALSE(IsWindowVisible(Item(g_hProgressDlg, IDC_DOWNLOADING_LABEL)));
  EXPECT_TRUE(IsWindowVisible(Item(g_hProgressDlg, IDC_INSTALLING_LABEL)));

  g_nInstallResult = INSTALL_RESULT_NETWORK_ERROR;
  SendMessageA(g_hMainDlg, WM_INSTALL_FAILED, 0, 0);
  SendMessageA(g_hMainDlg, WM_SHOW_FAIL_REASON, 0, 0);
  ASSERT_NE(nullptr, g_hFailureDlg);
  EXPECT_TRUE(IsWindowVisible(g_hFailureDlg));
  EXPECT_FALSE(IsWindowVisible(g_hProgressDlg));
  EXPECT_TRUE(GetWindowLongA(g_hFailureDlg, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_TRUE(IsWindowVisible(Item(g_hFailureDlg, IDC_REASON_NETWORK)));
  for (int id : {IDC_REASON_NOT_INVOICE_PC, IDC_REASON_CLIENT_FAILED, IDC_REASON_VENDOR_FAILED})
    EXPECT_FALSE(IsWindowVisible(Item(g_hFailureDlg, id))) << id;

  // The worker ends: the watch timer closes its handle and frees the box.
  EXPECT_FALSE(g_bWorkerClosed);
  SetEvent(g_hRelease);
  EXPECT_TRUE(PumpUntil([] { return g_bWorkerClosed; }, 3000));
  EXPECT_EQ(nullptr, g_hWorkerThread);
  EXPECT_TRUE(IsWindowEnabled(Item(g_hMainDlg, IDC_AGREE_CHECK)));
}

TEST_F(PagesTest, EachFailureCodeShowsItsReasonAndOthersNone) {
  const int ids[] = {IDC_REASON_NOT_INVOICE_PC, IDC_REASON_CLIENT_FAILED, IDC_REASON_NETWORK,
                     IDC_REASON_VENDOR_FAILED};
  for (int code = 0; code <= 5; ++code) {
    g_nInstallResult = code;
    SendMessageA(g_hMainDlg, WM_INSTALL_FAILED, 0, 0);
    SendMessageA(g_hMainDlg, WM_SHOW_FAIL_REASON, 0, 0);
    ASSERT_NE(nullptr, g_hFailureDlg);
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(code == i + 1, IsWindowVisible(Item(g_hFailureDlg, ids[i])) != FALSE) << code;
    EXPECT_TRUE(IsWindowVisible(Item(g_hFailureDlg, IDC_ACTION_BUTTON)));
    DestroyWindow(g_hFailureDlg);
    g_hFailureDlg = NULL;
  }
}

TEST_F(PagesTest, SuccessPageAndItsButtonQuits) {
  ClickInstall();
  ASSERT_NE(nullptr, g_hProgressDlg);
  SendMessageA(g_hMainDlg, WM_INSTALL_DONE, 0, 0);
  ASSERT_NE(nullptr, g_hSuccessDlg);
  EXPECT_TRUE(IsWindowVisible(g_hSuccessDlg));
  EXPECT_FALSE(IsWindowVisible(g_hProgressDlg));
  EXPECT_FALSE(GetWindowLongA(g_hSuccessDlg, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_FALSE(QuitPosted());

  SendMessageA(g_hSuccessDlg, WM_COMMAND, MAKEWPARAM(IDC_ACTION_BUTTON, BN_CLICKED),
               (LPARAM)Item(g_hSuccessDlg, IDC_ACTION_BUTTON));
  EXPECT_TRUE(QuitPosted());
  EXPECT_EQ(nullptr, GetPropA(g_hMainDlg, PAVONIX_INSTANCE_PROP));
  // The worker is not waited for; its handle is released.
  EXPECT_EQ(nullptr, g_hWorkerThread);
}

TEST_F(PagesTest, AltF4OnAnyPageAndTheClosePressQuit) {
  ClickInstall();
  ASSERT_NE(nullptr, g_hProgressDlg);
  SendMessageA(g_hProgressDlg, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_TRUE(QuitPosted());
  EXPECT_EQ(nullptr, GetPropA(g_hMainDlg, PAVONIX_INSTANCE_PROP));

  SetPropA(g_hMainDlg, PAVONIX_INSTANCE_PROP, (HANDLE)1);
  SendMessageA(g_hMainDlg, WM_SYSCOMMAND, SC_CLOSE, 0);
  WPARAM code = 99;
  EXPECT_TRUE(QuitPosted(&code));
  EXPECT_EQ(code, 0u) << "the loop ends with exit code 0";

  // Pressing the close button ends the program at the press.
  SetPropA(g_hMainDlg, PAVONIX_INSTANCE_PROP, (HANDLE)1);
  SendMessageA(Item(g_hMainDlg, IDC_CLOSE_BUTTON), WM_LBUTTONDOWN, MK_LBUTTON, 0);
  ReleaseCapture();
  EXPECT_TRUE(QuitPosted());
  EXPECT_EQ(nullptr, GetPropA(g_hMainDlg, PAVONIX_INSTANCE_PROP));

  // The close button's own command is ignored.
  SendMessageA(g_hMainDlg, WM_COMMAND, MAKEWPARAM(IDC_CLOSE_BUTTON, 0), 0);
  EXPECT_FALSE(QuitPosted());
}

TEST_F(PagesTest, EachPageShowsItsPicture) {
  ClickInstall();
  ASSERT_NE(nullptr, g_hProgressDlg);
  SendMessageA(g_hMainDlg, WM_INSTALL_DONE, 0, 0);
  ASSERT_NE(nullptr, g_hSuccessDlg);
  g_nInstallResult = INSTALL_RESULT_NETWORK_ERROR;
  SendMessageA(g_hMainDlg, WM_INSTALL_FAILED, 0, 0);
  ASSERT_NE(nullptr, g_hFailureDlg);
  const struct {
    HWND page;
    int picture;
  } pages[] = {
      {g_hMainDlg, 166}, {g_hProgressDlg, 167}, {g_hSuccessDlg, 168}, {g_hFailureDlg, 169}};
  for (const auto& p : pages) EXPECT_TRUE(ShowsPicture(p.page, p.picture)) << p.picture;
  // The pictures differ, so a swapped id shows (167 and 168 are the same
  // picture).
  EXPECT_FALSE(ShowsPicture(g_hMainDlg, 169));
  EXPECT_FALSE(ShowsPicture(g_hFailureDlg, 167));
  EXPECT_FALSE(ShowsPicture(g_hProgressDlg, 166));
}

TEST_F(PagesTest, PagesCannotBeDraggedAndAltF4QuitsFromTheFinalPages) {
  ClickInstall();
  SendMessageA(g_hMainDlg, WM_INSTALL_DONE, 0, 0);
  ASSERT_NE(nullptr, g_hSuccessDlg);
  g_nInstallResult = INSTALL_RESULT_NETWORK_ERROR;
  SendMessageA(g_hMainDlg, WM_INSTALL_FAILED, 0, 0);
  ASSERT_NE(nullptr, g_hFailureDlg);
  for (HWND page : {g_hMainDlg, g_hProgressDlg, g_hSuccessDlg, g_hFailureDlg}) {
    RECT rc;
    GetWindowRect(page, &rc);
    // No point of the page is a caption to drag by.
    for (int fy : {1, 5, 50, 95}) {
      LPARAM at =
          MAKELPARAM(rc.left + (rc.right - rc.left) / 2, rc.top + (rc.bottom - rc.top) * fy / 100);
      LRESULT hit = SendMessageA(page, WM_NCHITTEST, 0, at);
      EXPECT_NE(HTCAPTION, hit) << page << " at " << fy << "%";
    }
  }
  for (HWND page : {g_hSuccessDlg, g_hFailureDlg}) {
    SetPropA(g_hMainDlg, PAVONIX_INSTANCE_PROP, (HANDLE)1);
    SendMessageA(page, WM_SYSCOMMAND, SC_CLOSE, 0);
    WPARAM code = 99;
    EXPECT_TRUE(QuitPosted(&code)) << page;
    EXPECT_EQ(0u, code);
    EXPECT_EQ(nullptr, GetPropA(g_hMainDlg, PAVONIX_INSTANCE_PROP));
  }
}

TEST_F(PagesTest, HandCursorOverTheFinalButtonsOnly) {
  ClickInstall();
  SendMessageA(g_hMainDlg, WM_INSTALL_DONE, 0, 0);
  g_nInstallResult = INSTALL_RESULT_NETWORK_ERROR;
  SendMessageA(g_hMainDlg, WM_INSTALL_FAILED, 0, 0);
  ASSERT_NE(nullptr, g_hSuccessDlg);
  ASSERT_NE(nullptr, g_hFailureDlg);
  const HCURSOR hHand = LoadCursorA(NULL, MAKEINTRESOURCEA(32649));
  const HCURSOR hArrow = LoadCursorA(NULL, MAKEINTRESOURCEA(32512));
  for (HWND page : {g_hSuccessDlg, g_hFailureDlg}) {
    SetCursor(hArrow);
    SendMessageA(Item(page, IDC_ACTION_BUTTON), WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    EXPECT_EQ(hHand, GetCursor()) << page;
    // Elsewhere on the page the arrow stays.
    SetCursor(hArrow);
    SendMessageA(page, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    EXPECT_EQ(hArrow, GetCursor()) << page;
  }
  SetCursor(hArrow);
  SendMessageA(Item(g_hFailureDlg, IDC_REASON_NETWORK), WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
  EXPECT_EQ(hArrow, GetCursor());
}

TEST_F(PagesTest, TabAndEnterAreNotDialogKeys) {
  // The loop has no dialog-manager step: Tab does not move the focus and
  // Enter on the focused install button does not press it.
  HWND hCheck = Item(g_hMainDlg, IDC_AGREE_CHECK);
  HWND hInstall = Item(g_hMainDlg, IDC_ACTION_BUTTON);
  SetForegroundWindow(g_hMainDlg);
  SetFocus(hCheck);
  ASSERT_EQ(hCheck, GetFocus());
  PostMessageA(hCheck, WM_KEYDOWN, VK_TAB, 0x000F0001);
  PostMessageA(hCheck, WM_KEYUP, VK_TAB, 0xC00F0001);
  PostQuitMessage(0);
  RunMessageLoop();
  EXPECT_EQ(hCheck, GetFocus());

  SetFocus(hInstall);
  ASSERT_EQ(hInstall, GetFocus());
  PostMessageA(hInstall, WM_KEYDOWN, VK_RETURN, 0x001C0001);
  PostMessageA(hInstall, WM_KEYUP, VK_RETURN, 0xC01C0001);
  PostQuitMessage(0);
  RunMessageLoop();
  EXPECT_EQ(0, g_nStarts);
  EXPECT_EQ(nullptr, g_hProgressDlg);
}

TEST_F(PagesTest, SecondStartRestoresAMinimisedInstance) {
  HANDLE hFirst = CreateMutexA(NULL, FALSE, PAVONIX_SINGLE_MUTEX);
  ASSERT_NE(nullptr, hFirst);
  ShowWindow(g_hMainDlg, SW_MINIMIZE);
  PumpFor(20);
  ASSERT_TRUE(IsIconic(g_hMainDlg));
  EXPECT_TRUE(HandOverToRunningInstance());
  PumpFor(20);
  EXPECT_FALSE(IsIconic(g_hMainDlg));
  EXPECT_TRUE(IsWindowVisible(g_hMainDlg));
  // No window with the property: the second start goes on as a first one.
  RemovePropA(g_hMainDlg, PAVONIX_INSTANCE_PROP);
  HANDLE hKept = g_hSingleMutex;
  EXPECT_FALSE(HandOverToRunningInstance());
  EXPECT_EQ(hKept, g_hSingleMutex);
  SetPropA(g_hMainDlg, PAVONIX_INSTANCE_PROP, (HANDLE)1);
  CloseHandle(hFirst);
}

TEST_F(PagesTest, ClearedAgreementShowsTheMessageAndStartsNothing) {
  HWND hCheck = Item(g_hMainDlg, IDC_AGREE_CHECK);
  SendMessageA(hCheck, BM_SETCHECK, BST_UNCHECKED, 0);

  // The message box is modal on this thread; a helper reads and closes it.
  BoxProbe probe;
  probe.hOwner = g_hMainDlg;
  const DWORD uiThread = GetCurrentThreadId();
  std::thread closer([&] {
    for (int i = 0; i < 500 && !probe.found; ++i) {
      Sleep(10);
      EnumThreadWindows(uiThread, ProbeMessageBox, (LPARAM)&probe);
    }
  });
  ClickInstall();
  closer.join();
  EXPECT_TRUE(probe.found);
  EXPECT_TRUE(probe.textOk);
  EXPECT_TRUE(probe.captionEmpty);
  EXPECT_TRUE(probe.infoIcon) << "the information icon";
  EXPECT_EQ(0, g_nStarts);
  EXPECT_EQ(nullptr, g_hProgressDlg);
  EXPECT_EQ(nullptr, g_hWorkerThread);
  EXPECT_TRUE(IsWindowVisible(g_hMainDlg));
  EXPECT_TRUE(IsWindowEnabled(hCheck));
}

TEST_F(PagesTest, EveryLinkClickOpensAnotherViewer) {
  HWND hLink = Item(g_hMainDlg, IDC_LETTER_LINK);
  SendMessageA(g_hMainDlg, WM_COMMAND, MAKEWPARAM(IDC_LETTER_LINK, STN_CLICKED), (LPARAM)hLink);
  HWND hFirst = g_hLetterDlg;
  SendMessageA(g_hMainDlg, WM_COMMAND, MAKEWPARAM(IDC_LETTER_LINK, STN_CLICKED), (LPARAM)hLink);
  HWND hSecond = g_hLetterDlg;
  ASSERT_NE(nullptr, hFirst);
  ASSERT_NE(nullptr, hSecond);
  EXPECT_NE(hFirst, hSecond);
  EXPECT_TRUE(IsWindowVisible(hFirst));
  EXPECT_TRUE(IsWindowVisible(hSecond));
  // The main page keeps its own background brush.
  const INT_PTR hMainBrush = SendMessageA(g_hMainDlg, WM_CTLCOLORDLG, 0, 0);
  EXPECT_NE(hMainBrush, SendMessageA(hFirst, WM_CTLCOLORDLG, 0, 0));
  SendMessageA(hFirst, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
  EXPECT_EQ(hMainBrush, SendMessageA(g_hMainDlg, WM_CTLCOLORDLG, 0, 0));
  DestroyWindow(hFirst);
  DestroyWindow(hSecond);
}

TEST_F(PagesTest, RunningInstanceIsFoundByItsProperty) {
  EXPECT_EQ(g_hMainDlg, FindRunningInstance());
  RemovePropA(g_hMainDlg, PAVONIX_INSTANCE_PROP);
  EXPECT_EQ(nullptr, FindRunningInstance());
}

TEST_F(PagesTest, FailedWaitCountsAsTheWorkersEnd) {
  HWND hProgress = CreateDialogParamA(g_hInstance, MAKEINTRESOURCEA(IDD_PROGRESS),
                                      GetDesktopWindow(), ProgressDlgProc, 0);
  ASSERT_NE(nullptr, hProgress);
  g_hProgressDlg = hProgress;
  EnableWindow(Item(g_hMainDlg, IDC_AGREE_CHECK), FALSE);
  g_hWorkerThread = NULL;  // a wait on it fails at once
  SendMessageA(hProgress, WM_TIMER, WORKER_WATCH_TIMER, 0);
  EXPECT_TRUE(g_bWorkerClosed);
  EXPECT_TRUE(IsWindowEnabled(Item(g_hMainDlg, IDC_AGREE_CHECK)));
}

namespace {

// The prefix's display DPI for the processes started while it lives; the
// value before is put back.
class ScopedLogPixels {
 public:
  explicit ScopedLogPixels(DWORD dwDpi) {
    RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, NULL, 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE, NULL, &m_hKey, NULL);
    DWORD cb = sizeof(m_dwOld);
    m_bHadOld = RegQueryValueExA(m_hKey, "LogPixels", NULL, NULL, (BYTE*)&m_dwOld, &cb) == 0;
    RegSetValueExA(m_hKey, "LogPixels", 0, REG_DWORD, (const BYTE*)&dwDpi, sizeof(dwDpi));
  }
  ~ScopedLogPixels() {
    if (m_bHadOld)
      RegSetValueExA(m_hKey, "LogPixels", 0, REG_DWORD, (const BYTE*)&m_dwOld, sizeof(m_dwOld));
    else
      RegDeleteValueA(m_hKey, "LogPixels");
    RegCloseKey(m_hKey);
  }

 private:
  HKEY m_hKey = NULL;
  DWORD m_dwOld = 0;
  bool m_bHadOld = false;
};

// This program's folder, where the probe is built and its files go.
std::string ModuleFolder() {
  char sz[MAX_PATH] = {};
  GetModuleFileNameA(NULL, sz, MAX_PATH);
  std::string s = sz;
  return s.substr(0, s.rfind('\\'));
}

// The probe's report: each line a name and its numbers.
std::map<std::string, std::vector<long>> RunDpiProbe(int nDpi, const std::string& strPicture) {
  const std::string strReport = ModuleFolder() + "\\pages-dpi-" + std::to_string(nDpi) + ".txt";
  DeleteFileA(strReport.c_str());
  std::string cmd =
      "\"" + ModuleFolder() + "\\ui_dpi_probe.exe\" \"" + strReport + "\" \"" + strPicture + "\"";
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  std::map<std::string, std::vector<long>> report;
  {
    ScopedLogPixels dpi(nDpi);
    if (!CreateProcessA(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return report;
    WaitForSingleObject(pi.hProcess, 120000);
  }
  DWORD dwExit = 1;
  GetExitCodeProcess(pi.hProcess, &dwExit);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  if (dwExit != 0) return report;
  std::ifstream in(strReport);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string name;
    words >> name;
    for (long v; words >> v;) report[name].push_back(v);
    if (report[name].empty()) report[name].push_back(LONG_MIN);  // "cross none"
  }
  return report;
}

// The main page made at 120 and 144 DPI: the fixed pixel values grew with the
// dialog units, the close button sits on its cross, and the texts fit, as do
// the final pages' button captions.
TEST(PagesDpi, MainPageAtLargerDisplayScales) {
  for (int nDpi : {120, 144}) {
    SCOPED_TRACE(nDpi);
    const std::string strPicture = ModuleFolder() + "\\pages-dpi-" + std::to_string(nDpi) + ".bmp";
    auto report = RunDpiProbe(nDpi, strPicture);
    ASSERT_FALSE(report.empty()) << "the probe did not report";
    ASSERT_EQ(std::vector<long>{nDpi}, report["dpi"]) << "the prefix's LogPixels was not taken";
    const PageMetrics m = MakePageMetrics(nDpi);
    const auto& win = report["window"];
    const auto& close = report["close"];
    ASSERT_EQ(4u, win.size());
    ASSERT_EQ(4u, close.size());
    const long w = win[2] - win[0];
    // Dialog units grew with the display.
    EXPECT_GT(w, 369 * nDpi / 96 - 20);
    EXPECT_EQ(w - m.m_nCloseRightInset, close[0]);
    EXPECT_EQ(m.m_nCloseTop, close[1]);
    EXPECT_EQ(m.m_nCloseSize, close[2] - close[0]);
    EXPECT_EQ(m.m_nCloseSize, close[3] - close[1]);
    // The white cross is drawn inside the button's rectangle and fills most of it.
    const auto& cross = report["cross"];
    ASSERT_EQ(4u, cross.size()) << "no cross on the page";
    EXPECT_GE(cross[0], close[0]);
    EXPECT_GE(cross[1], close[1]);
    EXPECT_LE(cross[2], close[2]);
    EXPECT_LE(cross[3], close[3]);
    EXPECT_GE(cross[2] - cross[0], m.m_nCloseSize / 2);
    EXPECT_GE(cross[3] - cross[1], m.m_nCloseSize / 2);
    EXPECT_EQ(std::vector<long>{m.m_nLinkFontHeight}, report["linkfont"]);
    // Client width and height, then the text's: the text fits its box.
    for (const char* box : {"link", "button", "success", "failure"}) {
      const auto& v = report[box];
      ASSERT_EQ(4u, v.size()) << box;
      EXPECT_LE(v[2], v[0]) << box;
      EXPECT_LE(v[3], v[1]) << box;
    }
    EXPECT_EQ(std::vector<long>{0}, report["cut"]);
    EXPECT_EQ(std::vector<long>{1}, report["saved"]);
  }
}

}  // namespace
