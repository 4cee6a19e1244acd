#include "ui/dpi.h"

#include <gtest/gtest.h>

namespace {

struct MetricsCase {
  int nDpi;
  PageMetrics expected;
  RECT closeIn369;  // the close button of a page 369 pixels wide (246 dialog units at 96 DPI)
};

// 96 DPI gives the values the pages were laid out with; the others are those
// values times DPI / 96, halves rounded up.
const MetricsCase kMetricsCases[] = {
    {96, {50, 30, 10, 14, 12, 2, 1}, {319, 30, 329, 40}},
    {120, {63, 38, 13, 18, 15, 3, 1}, {306, 38, 319, 51}},
    {144, {75, 45, 15, 21, 18, 3, 2}, {294, 45, 309, 60}},
};

TEST(PageDpi, FixedPixelValuesFollowTheDisplay) {
  for (const MetricsCase& c : kMetricsCases) {
    SCOPED_TRACE(c.nDpi);
    const PageMetrics m = MakePageMetrics(c.nDpi);
    EXPECT_EQ(c.expected.m_nCloseRightInset, m.m_nCloseRightInset);
    EXPECT_EQ(c.expected.m_nCloseTop, m.m_nCloseTop);
    EXPECT_EQ(c.expected.m_nCloseSize, m.m_nCloseSize);
    EXPECT_EQ(c.expected.m_nLinkFontHeight, m.m_nLinkFontHeight);
    EXPECT_EQ(c.expected.m_nCaptionFontHeight, m.m_nCaptionFontHeight);
    EXPECT_EQ(c.expected.m_nPressSink, m.m_nPressSink);
    EXPECT_EQ(c.expected.m_nCaptionLineGap, m.m_nCaptionLineGap);
    const RECT rc = CloseButtonRect(369, m);
    EXPECT_EQ(c.closeIn369.left, rc.left);
    EXPECT_EQ(c.closeIn369.top, rc.top);
    EXPECT_EQ(c.closeIn369.right, rc.right);
    EXPECT_EQ(c.closeIn369.bottom, rc.bottom);
  }
}

TEST(PageDpi, RoundsHalvesAwayFromZeroAndIgnoresAnUnknownDpi) {
  struct {
    int nPixels, nDpi, nExpected;
  } const cases[] = {
      {10, 0, 10}, {10, -120, 10}, {0, 144, 0},   {1, 72, 1},     {1, 47, 0},
      {2, 120, 3}, {-2, 120, -3},  {14, 168, 25}, {50, 192, 100}, {30, 110, 34},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.nPixels << " at " << c.nDpi);
    EXPECT_EQ(c.nExpected, ScaleForDpi(c.nPixels, c.nDpi));
  }
}

}  // namespace
