#include "ui/skin.h"
#include "ui/res/resource.h"

#include <gtest/gtest.h>

#include "tests/ui/ui_test_util.h"

namespace {

// 4 x 3 RGBA PNG; rows: red green blue white / (1,140,237) (10,20,30) (200,100,50) black /
// yellow cyan magenta grey.
const unsigned char kPng4x3[] = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44,
    0x52, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x03, 0x08, 0x06, 0x00, 0x00, 0x00, 0xB4,
    0xF4, 0xAE, 0xC6, 0x00, 0x00, 0x00, 0x2C, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9C, 0x63, 0xF8,
    0xCF, 0xC0, 0xF0, 0x1F, 0x0C, 0x19, 0xFE, 0x83, 0x01, 0x03, 0x63, 0xCF, 0xDB, 0xFF, 0x5C,
    0x22, 0x72, 0xFF, 0x4F, 0xA4, 0x18, 0x01, 0x05, 0x41, 0x52, 0x60, 0x79, 0x90, 0xD4, 0xFF,
    0xFF, 0x0D, 0x0D, 0x0D, 0xFF, 0x01, 0xB0, 0xAF, 0x1C, 0x7D, 0x90, 0xC7, 0x73, 0xC6, 0x00,
    0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

COLORREF ImagePixel(const CSkinImage& image, int x, int y) {
  const BYTE* p = image.GetBits() + (y * image.GetWidth() + x) * 4;
  return RGB(p[2], p[1], p[0]);
}

const COLORREF kBlue = RGB(1, 140, 237);
const COLORREF kWhite = RGB(255, 255, 255);

// Fills a canvas of the window's size with the window's skin brush.
void PaintBrush(HBRUSH hBrush, TestCanvas& canvas) {
  RECT rc = {0, 0, canvas.width(), canvas.height()};
  SetBrushOrgEx(canvas.dc(), 0, 0, NULL);
  FillRect(canvas.dc(), &rc, hBrush);
}

// First row, top down, where column x is white.
int FirstWhiteRow(const TestCanvas& canvas, int x) {
  for (int y = 0; y < canvas.height(); ++y)
    if (Near(canvas.At(x, y), kWhite, 2)) return y;
  return -1;
}

}  // namespace

TEST(SkinImage, DecodesPngPixelsExactly) {
  CSkinImage image;
  LoadPngBytes(kPng4x3, sizeof(kPng4x3), image);
  ASSERT_FALSE(image.IsNull());
  EXPECT_EQ(4, image.GetWidth());
  EXPECT_EQ(3, image.GetHeight());
  EXPECT_EQ(RGB(255, 0, 0), ImagePixel(image, 0, 0));
  EXPECT_EQ(RGB(0, 0, 255), ImagePixel(image, 2, 0));
  EXPECT_EQ(RGB(255, 255, 255), ImagePixel(image, 3, 0));
  EXPECT_EQ(kBlue, ImagePixel(image, 0, 1));
  EXPECT_EQ(RGB(200, 100, 50), ImagePixel(image, 2, 1));
  EXPECT_EQ(RGB(128, 128, 128), ImagePixel(image, 3, 2));

  // The device context shows the same pixels; nested GetDC calls share it.
  HDC hDC = image.GetDC();
  ASSERT_NE(nullptr, hDC);
  EXPECT_EQ(hDC, image.GetDC());
  EXPECT_EQ(RGB(0, 255, 0), GetPixel(hDC, 1, 0));
  EXPECT_EQ(RGB(255, 0, 255), GetPixel(hDC, 2, 2));
  image.ReleaseDC();
  image.ReleaseDC();
}

TEST(SkinImage, RejectsDataThatIsNoImage) {
  CSkinImage image;
  const char junk[] = "this is not a picture at all";
  LoadPngBytes(junk, sizeof(junk), image);
  EXPECT_TRUE(image.IsNull());
  EXPECT_EQ(0, image.GetWidth());
  EXPECT_EQ(nullptr, image.GetDC());

  // A truncated PNG is refused as well.
  LoadPngBytes(kPng4x3, 40, image);
  EXPECT_TRUE(image.IsNull());
  LoadPngBytes(nullptr, 0, image);
  EXPECT_TRUE(image.IsNull());
}

TEST(SkinImage, CreateGivesZeroFilledBitmapAndDetachKeepsItAlive) {
  CSkinImage image;
  EXPECT_FALSE(image.Create(8, 8, 24));
  EXPECT_FALSE(image.Create(0, 5, 32));
  ASSERT_TRUE(image.Create(7, 5, 32));
  EXPECT_EQ(7, image.GetWidth());
  EXPECT_EQ(5, image.GetHeight());
  HDC hDC = image.GetDC();
  ASSERT_NE(nullptr, hDC);
  EXPECT_EQ(RGB(0, 0, 0), GetPixel(hDC, 6, 4));
  SetPixel(hDC, 3, 2, RGB(9, 99, 199));
  image.ReleaseDC();

  HBITMAP hBitmap = image.Detach();
  ASSERT_NE(nullptr, hBitmap);
  EXPECT_TRUE(image.IsNull());
  image.Destroy();  // must not take the detached bitmap with it
  BITMAP bm = {};
  ASSERT_EQ((int)sizeof(bm), GetObjectA(hBitmap, sizeof(bm), &bm));
  EXPECT_EQ(7, bm.bmWidth);
  EXPECT_EQ(5, bm.bmHeight);
  HDC hMem = CreateCompatibleDC(NULL);
  HGDIOBJ hOld = SelectObject(hMem, hBitmap);
  EXPECT_EQ(RGB(9, 99, 199), GetPixel(hMem, 3, 2));
  SelectObject(hMem, hOld);
  DeleteDC(hMem);
  DeleteObject(hBitmap);
}

TEST(SkinImage, LoadsTheProgramsPictures) {
  struct Case {
    int id, w, h;
  } cases[] = {{IDB_SKIN_MAIN, 600, 360},    {IDB_SKIN_PROGRESS, 600, 360},
               {IDB_SKIN_SUCCESS, 600, 360}, {IDB_SKIN_FAILURE, 600, 360},
               {IDB_SKIN_LETTER, 755, 488},  {IDB_CLOSE_FACE, 17, 18}};
  for (const Case& c : cases) {
    CSkinImage image;
    LoadPngResource(c.id, image);
    ASSERT_FALSE(image.IsNull()) << c.id;
    EXPECT_EQ(c.w, image.GetWidth()) << c.id;
    EXPECT_EQ(c.h, image.GetHeight()) << c.id;
  }
  CSkinImage missing;
  LoadPngResource(4242, missing);
  EXPECT_TRUE(missing.IsNull());
}

TEST(SkinBrush, ScalesThePictureToTheWindowSize) {
  // The main picture: blue above, the white strip in its bottom 60 of 360 rows.
  const int sizes[][2] = {{615, 453}, {300, 180}, {900, 540}};
  for (const auto& size : sizes) {
    const int w = size[0], h = size[1];
    HWND hWnd = CreateTestParent(0, 0, w, h);
    ASSERT_NE(nullptr, hWnd);
    HBRUSH hBrush = MakeSkinBrush(hWnd, IDB_SKIN_MAIN);
    ASSERT_NE(nullptr, hBrush);
    TestCanvas canvas(w, h);
    PaintBrush(hBrush, canvas);
    EXPECT_TRUE(Near(kBlue, canvas.At(1, 1))) << w;
    EXPECT_TRUE(Near(kBlue, canvas.At(w - 3, 3))) << w;
    EXPECT_TRUE(Near(kWhite, canvas.At(w / 2, h - 2))) << w;
    const int expected = h * 300 / 360;
    EXPECT_NEAR(expected, FirstWhiteRow(canvas, 2), 3) << w;
    DeleteObject(hBrush);
    DestroyWindow(hWnd);
  }
}

TEST(SkinBrush, MissingPictureGivesBlackBackground) {
  HWND hWnd = CreateTestParent(0, 0, 120, 80);
  HBRUSH hBrush = MakeSkinBrush(hWnd, 4242);
  ASSERT_NE(nullptr, hBrush);
  TestCanvas canvas(120, 80);
  canvas.Fill(RGB(50, 60, 70));
  PaintBrush(hBrush, canvas);
  EXPECT_EQ(RGB(0, 0, 0), canvas.At(0, 0));
  EXPECT_EQ(RGB(0, 0, 0), canvas.At(119, 79));
  DeleteObject(hBrush);
  DestroyWindow(hWnd);
}

TEST(SkinBrush, EachWindowKeepsItsOwnBrush) {
  HWND hA = CreateTestParent(0, 0, 200, 120);
  HWND hB = CreateTestParent(0, 0, 300, 180);
  HBRUSH hBrushA = AttachSkinBrush(hA, IDB_SKIN_MAIN);
  HBRUSH hBrushB = AttachSkinBrush(hB, IDB_SKIN_FAILURE);
  EXPECT_NE(hBrushA, hBrushB);
  EXPECT_EQ(hBrushA, GetSkinBrush(hA));
  EXPECT_EQ(hBrushB, GetSkinBrush(hB));
  // The failure picture has no white strip: its bottom row is blue.
  TestCanvas canvas(300, 180);
  PaintBrush(GetSkinBrush(hB), canvas);
  EXPECT_TRUE(Near(kBlue, canvas.At(2, 178)));
  DestroyWindow(hA);
  DestroyWindow(hB);
}
