#include "kr/time.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "testing.h"

namespace {

constexpr int64_t kSat5Dec2026At143005Utc = 1796481005;

// A breakdown at the given date and time (weekday left 0: the calls fill it in).
TimeBreakdown Bd(int y, int mo, int d, int h = 12, int mi = 0, int s = 0) {
  return TimeBreakdown{{h, mi, s, y, mo, d, 0}};
}

std::string Show(const TimeBreakdown& bd) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d wd%d", bd.w[kTimeBdYear],
                bd.w[kTimeBdMonth], bd.w[kTimeBdDay], bd.w[kTimeBdHour], bd.w[kTimeBdMinute],
                bd.w[kTimeBdSecond], bd.w[kTimeBdWeekday]);
  return buf;
}

// Every test runs in its own home with a fixed clock; most in UTC, so that local time is plain.
class TimeTest : public ::testing::Test {
 protected:
  static kr_testing::TestHome::Options Fixed() {
    kr_testing::TestHome::Options o;
    o.fixed_time = kSat5Dec2026At143005Utc;
    return o;
  }
  kr_testing::ScopedTimeZone utc_{"UTC0"};
  kr_testing::TestHome home_{Fixed()};
};

TEST_F(TimeTest, FixedClockAndMicrosecondStamps) {
  int64_t t = 0;
  EXPECT_EQ(QuorTime(&t), 1);
  EXPECT_EQ(t, kSat5Dec2026At143005Utc);
  // Stamps start at the fixed time and never repeat, under either clock.
  int64_t last = TimeNowAsInt64();
  EXPECT_GE(last, kSat5Dec2026At143005Utc * 1000000);
  EXPECT_LT(last, (kSat5Dec2026At143005Utc + 1) * 1000000);
  for (int i = 0; i < 2000; ++i) {
    if (i == 1000) TimeSetFixed(std::nullopt);
    const int64_t next = TimeNowAsInt64();
    ASSERT_GT(next, last);
    last = next;
  }
  EXPECT_LE(std::llabs(TimeNow() - static_cast<int64_t>(time(nullptr))), 2);
}

TEST_F(TimeTest, BreakdownRoundTripAndRanges) {
  TimeBreakdown bd;
  ASSERT_EQ(TimeToBreakdownStruct(&bd, kSat5Dec2026At143005Utc), 1);
  EXPECT_EQ(Show(bd), "2026-12-05 14:30:05 wd5");
  int64_t t = 0;
  ASSERT_EQ(TimeFromBreakdown(&t, &bd), 1);
  EXPECT_EQ(t, kSat5Dec2026At143005Utc);
  // One second before 1970 is -1, which must not be taken for mktime's failure value.
  TimeBreakdown eve = Bd(1969, 12, 31, 23, 59, 59);
  ASSERT_EQ(TimeFromBreakdown(&t, &eve), 1);
  EXPECT_EQ(t, -1);
  for (const TimeBreakdown& bad :
       {Bd(2026, 13, 1), Bd(2026, 4, 31), Bd(2025, 2, 29), Bd(2026, 1, 1, 24), Bd(0, 1, 1)})
    EXPECT_EQ(TimeFromBreakdown(&t, &bad), 0) << Show(bad);
  EXPECT_EQ(t, -1);
  EXPECT_EQ(TimeToBreakdownStruct(&bd, INT64_MAX), 0);  // beyond the year 9999

  // Local midnight follows TZ.
  const TimeDate date = {2026, 12, 5, 0};
  kr_testing::ScopedTimeZone ny("America/New_York");
  ASSERT_EQ(TimeFromDate(&t, &date), 1);
  EXPECT_EQ(t, kSat5Dec2026At143005Utc - (14 * 3600 + 30 * 60 + 5) + 5 * 3600);
}

TEST_F(TimeTest, TextForms) {
  const int64_t t = kSat5Dec2026At143005Utc;
  char buf[24];
  auto text = [&](int ok) { return ok == 1 ? std::string(buf) : "failed:" + std::string(buf); };
  EXPECT_EQ(text(TimeToNumericDateString(buf, 9, t)), "20261205");
  EXPECT_EQ(text(TimeToShortTimeOfDayString(buf, 7, t)), "143005");
  EXPECT_EQ(text(TimeToLongDateStringInternal(buf, sizeof buf, t, 0, 0)), "5 December 2026");
  EXPECT_EQ(text(TimeToLongDateStringInternal(buf, sizeof buf, t, 1, 0)), "Sat 5 December 2026");
  EXPECT_EQ(text(TimeToTimeOfDayStringInternal(buf, 9, t, 0)), "14:30:05");
  // The longest long date still fits 24 bytes.
  TimeBreakdown bd = Bd(9999, 9, 29);
  int64_t longest = 0;
  ASSERT_EQ(TimeFromBreakdown(&longest, &bd), 1);
  EXPECT_EQ(text(TimeToLongDateStringInternal(buf, sizeof buf, longest, 1, 0)),
            "Wed 29 September 9999");
  // Too small a buffer, or a time with no date: 0 and an empty text.
  EXPECT_EQ(text(TimeToNumericDateString(buf, 8, t)), "failed:");
  EXPECT_EQ(text(TimeToLongDateStringInternal(buf, 19, t, 1, 0)), "failed:");
  EXPECT_EQ(text(TimeToTimeOfDayStringInternal(buf, 9, INT64_MIN, 0)), "failed:");
}

// Moves a copy of `from` and shows the result, or "refused" (checking the breakdown was left).
using Move = int (*)(TimeBreakdown*, int32_t);
std::string Moved(Move move, TimeBreakdown from, int32_t count) {
  TimeBreakdown bd = from;
  if (move(&bd, count) == 0) return Show(bd) == Show(from) ? "refused" : "refused but changed";
  return Show(bd);
}

TEST_F(TimeTest, MovesCrossMonthAndYearEndsAndClampTheDay) {
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardSeconds, Bd(2026, 12, 31, 23, 59, 59), 1),
            "2027-01-01 00:00:00 wd4");
  EXPECT_EQ(Moved(TimeBreakdownMoveBackHours, Bd(2024, 3, 1, 0, 15), 1), "2024-02-29 23:15:00 wd3");
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardDays, Bd(2026, 1, 31, 8, 5, 9), 1),
            "2026-02-01 08:05:09 wd6");
  EXPECT_EQ(Moved(TimeBreakdownMoveBackDays, Bd(2024, 3, 1), 1), "2024-02-29 12:00:00 wd3");
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardWeeks, Bd(2026, 12, 28), 1), "2027-01-04 12:00:00 wd0");
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardMonths, Bd(2024, 1, 31), 1), "2024-02-29 12:00:00 wd3");
  EXPECT_EQ(Moved(TimeBreakdownMoveBackMonths, Bd(2026, 3, 31), 1), "2026-02-28 12:00:00 wd5");
  EXPECT_EQ(Moved(TimeBreakdownMoveBackMonths, Bd(2026, 1, 15), 25), "2023-12-15 12:00:00 wd4");
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardYears, Bd(2024, 2, 29), 1), "2025-02-28 12:00:00 wd4");
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardYears, Bd(2024, 2, 29), 4), "2028-02-29 12:00:00 wd1");
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardYears, Bd(2096, 2, 29), 4), "2100-02-28 12:00:00 wd6");
}

TEST_F(TimeTest, MovesRefuseBadInputAndOverflow) {
  for (Move move : {TimeBreakdownMoveForwardSeconds, TimeBreakdownMoveBackDays,
                    TimeBreakdownMoveForwardMonths, TimeBreakdownMoveBackYears}) {
    EXPECT_EQ(Moved(move, Bd(2026, 6, 15), -1), "refused");
    EXPECT_EQ(Moved(move, Bd(2026, 6, 31), 1), "refused");  // no 31 June
  }
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardYears, Bd(2026, 6, 15), 7973), "9999-06-15 12:00:00 wd1");
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardYears, Bd(9999, 6, 15), 1), "refused");
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardWeeks, Bd(2026, 6, 15), INT32_MAX), "refused");
  EXPECT_EQ(Moved(TimeBreakdownMoveBackMonths, Bd(2026, 6, 15), INT32_MAX), "refused");
}

// 2026 in London: clocks go forward at 01:00 GMT on 29 March and back at 02:00 BST on 25 October.
TEST_F(TimeTest, DaylightSavingChanges) {
  kr_testing::ScopedTimeZone london("Europe/London");
  // Elapsed hours count real hours: 01:00-02:00 on 29 March never happens, and on 25 October
  // 01:00-02:00 happens twice.
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardHours, Bd(2026, 3, 29, 0, 30), 1),
            "2026-03-29 02:30:00 wd6");
  EXPECT_EQ(Moved(TimeBreakdownMoveBackMinutes, Bd(2026, 3, 29, 2, 10), 20),
            "2026-03-29 00:50:00 wd6");
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardHours, Bd(2026, 10, 25, 0, 30), 2),
            "2026-10-25 01:30:00 wd6");
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardHours, Bd(2026, 10, 24, 12), 24),
            "2026-10-25 11:00:00 wd6");
  // A calendar day keeps the wall-clock time (even one the change skips), so it lasts 23 hours.
  TimeBreakdown bd = Bd(2026, 3, 28, 12);
  int64_t before = 0, after = 0;
  ASSERT_EQ(TimeFromBreakdown(&before, &bd), 1);
  EXPECT_EQ(before, 1774699200);
  ASSERT_EQ(TimeBreakdownMoveForwardDays(&bd, 1), 1);
  ASSERT_EQ(TimeFromBreakdown(&after, &bd), 1);
  EXPECT_EQ(after - before, 23 * 3600);
  EXPECT_EQ(Moved(TimeBreakdownMoveForwardDays, Bd(2026, 3, 28, 1, 30), 1),
            "2026-03-29 01:30:00 wd6");
  // Breaking down follows the zone: 14:30:05 UTC is 14:30:05 GMT in December, 15:30:05 BST in July.
  ASSERT_EQ(TimeToBreakdownStruct(&bd, kSat5Dec2026At143005Utc - 147 * 86400), 1);
  EXPECT_EQ(Show(bd), "2026-07-11 15:30:05 wd5");
}

}  // namespace
