// Day numbers give true calendar ages, within a year and across year turns.
#include <gtest/gtest.h>

#include "log/log.h"

namespace {

bool Leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int MonthLength(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return kDays[m - 1] + (m == 2 && Leap(y) ? 1 : 0);
}

TEST(DayNumber, ConsecutiveCalendarDaysDifferByOne) {
  int prev = DayNumber(1599, 12, 31);
  for (int y = 1600; y <= 2404; ++y)
    for (int m = 1; m <= 12; ++m)
      for (int d = 1; d <= MonthLength(y, m); ++d) {
        int n = DayNumber(y, m, d);
        ASSERT_EQ(n - prev, 1) << y << "-" << m << "-" << d;
        prev = n;
      }
}

TEST(DayNumber, AgesAcrossYearTurnsAndLeapDays) {
  // Into and out of a leap year: yesterday is one day ago.
  EXPECT_EQ(DayNumber(2020, 1, 1) - DayNumber(2019, 12, 31), 1);
  EXPECT_EQ(DayNumber(2021, 1, 1) - DayNumber(2020, 12, 31), 1);
  EXPECT_EQ(DayNumber(2024, 1, 2) - DayNumber(2023, 12, 31), 2);
  EXPECT_EQ(DayNumber(2101, 1, 1) - DayNumber(2100, 12, 31), 1);
  EXPECT_EQ(DayNumber(2001, 1, 1) - DayNumber(2000, 1, 1), 366);
  EXPECT_EQ(DayNumber(2101, 1, 1) - DayNumber(2100, 1, 1), 365);
  // Within a year ages are the plain month arithmetic.
  EXPECT_EQ(DayNumber(2024, 3, 1) - DayNumber(2024, 2, 28), 2);
  EXPECT_EQ(DayNumber(2023, 3, 1) - DayNumber(2023, 2, 28), 1);
  EXPECT_EQ(DayNumber(2026, 12, 31) - DayNumber(2026, 1, 1), 364);
}

TEST(DayNumber, MonthsZeroAndThirteenAndOutOfRange) {
  EXPECT_EQ(DayNumber(2024, 0, 5), DayNumber(2024, 1, 5));
  EXPECT_EQ(DayNumber(2024, 13, 1), DayNumber(2025, 1, 1));  // 13 adds the whole year
  EXPECT_EQ(DayNumber(2023, 13, 1), DayNumber(2024, 1, 1));
  // Never beyond the month table.
  EXPECT_EQ(DayNumber(2024, 99, 1), DayNumber(2024, 13, 1));
  EXPECT_EQ(DayNumber(2024, -7, 1), DayNumber(2024, 0, 1));
  // A name without a date is year 0, day 0: far in the past.
  EXPECT_LT(DayNumber(0, 0, 0), DayNumber(1, 1, 1));
  EXPECT_GT(DayNumber(2026, 3, 15) - DayNumber(0, 0, 0), 700000);
}

}  // namespace
