// Time: the clock, local broken-down times, calendar moves and date texts.

#include "kr/time.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "kr/context.h"

namespace {

constexpr int32_t kMinYear = 1;
constexpr int32_t kMaxYear = 9999;

constexpr const char* kMonthNames[12] = {"January",   "February", "March",    "April",
                                         "May",       "June",     "July",     "August",
                                         "September", "October",  "November", "December"};
// Indexed by our weekday: 0 Monday .. 6 Sunday.
constexpr const char* kWeekdayAbbrevs[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

bool IsLeapYear(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int32_t DaysInMonth(int64_t year, int32_t month) {
  static constexpr int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, and back (the
// era-of-400-years method, exact for every year we accept).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, int32_t* m, int32_t* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

// 0 Monday .. 6 Sunday; day 0 (1970-01-01) was a Thursday.
int32_t WeekdayFromDays(int64_t days) { return static_cast<int32_t>(((days + 3) % 7 + 7) % 7); }

// Reads the zone afresh when TZ has changed since this thread last looked (localtime_r alone
// may keep an old TZ). Not on every conversion: with TZ unset, tzset looks at /etc/localtime
// in the file system each time, which would cost a report a system call per time it shows.
// True when it did (the zone may differ from before).
bool RefreshZone() {
  thread_local bool looked = false;
  thread_local bool was_set = false;
  thread_local std::string last;
  const char* tz = std::getenv("TZ");
  if (looked && (tz != nullptr) == was_set && (tz == nullptr || last == tz)) return false;
  tzset();
  looked = true;
  was_set = tz != nullptr;
  last = tz != nullptr ? tz : "";
  return true;
}

// mktime reads the zone afresh on every call (with TZ unset, a look at /etc/localtime in the file
// system), and a report that shows a date on every record asks about the same few days over and
// over: the answers are kept per thread, and forgotten when TZ changes.
struct MktimeAnswers {
  struct Entry {
    int32_t w[6] = {};
    int64_t t = 0;
    bool ok = false;
    bool used = false;
  };
  static constexpr size_t kSize = 64;
  Entry entries[kSize];
};
thread_local MktimeAnswers t_mktime;

// Breaks t down in local time. A change of TZ takes effect at the next conversion.
bool ToLocalTm(int64_t t, struct tm* out) {
  if (t < std::numeric_limits<time_t>::min() || t > std::numeric_limits<time_t>::max())
    return false;
  if (RefreshZone()) t_mktime = MktimeAnswers{};
  const time_t tt = static_cast<time_t>(t);
  if (localtime_r(&tt, out) == nullptr) return false;
  const int64_t year = int64_t{out->tm_year} + 1900;
  return year >= kMinYear && year <= kMaxYear;
}

bool ValidBreakdown(const TimeBreakdown& bd) {
  const int32_t year = bd.w[kTimeBdYear];
  const int32_t month = bd.w[kTimeBdMonth];
  if (year < kMinYear || year > kMaxYear || month < 1 || month > 12) return false;
  const int32_t day = bd.w[kTimeBdDay];
  if (day < 1 || day > DaysInMonth(year, month)) return false;
  return bd.w[kTimeBdHour] >= 0 && bd.w[kTimeBdHour] <= 23 && bd.w[kTimeBdMinute] >= 0 &&
         bd.w[kTimeBdMinute] <= 59 && bd.w[kTimeBdSecond] >= 0 && bd.w[kTimeBdSecond] <= 60;
}

bool MktimeOfValidBreakdown(const TimeBreakdown& bd, int64_t* t);

// mktime of a valid breakdown, letting the zone decide whether daylight saving applies.
bool FromValidBreakdown(const TimeBreakdown& bd, int64_t* t) {
  if (RefreshZone()) t_mktime = MktimeAnswers{};
  const int32_t key[6] = {bd.w[kTimeBdYear], bd.w[kTimeBdMonth],  bd.w[kTimeBdDay],
                          bd.w[kTimeBdHour], bd.w[kTimeBdMinute], bd.w[kTimeBdSecond]};
  uint32_t h = 0;
  for (int32_t k : key) h = h * 31 + static_cast<uint32_t>(k);
  MktimeAnswers::Entry& e = t_mktime.entries[h % MktimeAnswers::kSize];
  if (!e.used || std::memcmp(e.w, key, sizeof key) != 0) {
    std::memcpy(e.w, key, sizeof key);
    e.ok = MktimeOfValidBreakdown(bd, &e.t);
    e.used = true;
  }
  if (e.ok) *t = e.t;
  return e.ok;
}

bool MktimeOfValidBreakdown(const TimeBreakdown& bd, int64_t* t) {
  struct tm tm = {};
  tm.tm_year = bd.w[kTimeBdYear] - 1900;
  tm.tm_mon = bd.w[kTimeBdMonth] - 1;
  tm.tm_mday = bd.w[kTimeBdDay];
  tm.tm_hour = bd.w[kTimeBdHour];
  tm.tm_min = bd.w[kTimeBdMinute];
  tm.tm_sec = bd.w[kTimeBdSecond];
  tm.tm_isdst = -1;
  // mktime's -1 is also a real time (one second before 1970 UTC), so success is told by its
  // filling in the weekday.
  tm.tm_wday = -1;
  const time_t r = mktime(&tm);
  if (tm.tm_wday == -1) return false;
  *t = static_cast<int64_t>(r);
  return true;
}

void FillBreakdown(TimeBreakdown* bd, const struct tm& tm) {
  bd->w[kTimeBdHour] = tm.tm_hour;
  bd->w[kTimeBdMinute] = tm.tm_min;
  bd->w[kTimeBdSecond] = tm.tm_sec;
  bd->w[kTimeBdYear] = tm.tm_year + 1900;
  bd->w[kTimeBdMonth] = tm.tm_mon + 1;
  bd->w[kTimeBdDay] = tm.tm_mday;
  bd->w[kTimeBdWeekday] = (tm.tm_wday + 6) % 7;
}

// Elapsed-time move: through the time, so daylight-saving changes count as the hours they are.
int MoveElapsed(TimeBreakdown* bd, int32_t count, int64_t unit_seconds, int direction) {
  if (bd == nullptr || count < 0 || !ValidBreakdown(*bd)) return 0;
  int64_t t;
  if (!FromValidBreakdown(*bd, &t)) return 0;
  // |count| * 3600 is far inside int64, and so is t: no overflow is possible here.
  t += direction * int64_t{count} * unit_seconds;
  struct tm tm;
  if (!ToLocalTm(t, &tm)) return 0;
  FillBreakdown(bd, tm);
  return 1;
}

// Stores a moved date with the old wall-clock time, once it is known to be in range and to have
// a time.
int StoreMovedDate(TimeBreakdown* bd, int64_t year, int32_t month, int32_t day) {
  if (year < kMinYear || year > kMaxYear) return 0;
  TimeBreakdown moved = *bd;
  moved.w[kTimeBdYear] = static_cast<int32_t>(year);
  moved.w[kTimeBdMonth] = month;
  moved.w[kTimeBdDay] = day;
  moved.w[kTimeBdWeekday] = WeekdayFromDays(DaysFromCivil(year, month, day));
  int64_t t;
  if (!FromValidBreakdown(moved, &t)) return 0;
  *bd = moved;
  return 1;
}

int MoveDays(TimeBreakdown* bd, int32_t count, int64_t unit_days, int direction) {
  if (bd == nullptr || count < 0 || !ValidBreakdown(*bd)) return 0;
  const int64_t days = DaysFromCivil(bd->w[kTimeBdYear], bd->w[kTimeBdMonth], bd->w[kTimeBdDay]) +
                       direction * int64_t{count} * unit_days;
  int64_t year;
  int32_t month, day;
  CivilFromDays(days, &year, &month, &day);
  return StoreMovedDate(bd, year, month, day);
}

int MoveMonths(TimeBreakdown* bd, int32_t count, int64_t unit_months, int direction) {
  if (bd == nullptr || count < 0 || !ValidBreakdown(*bd)) return 0;
  const int64_t months = int64_t{bd->w[kTimeBdYear]} * 12 + (bd->w[kTimeBdMonth] - 1) +
                         direction * int64_t{count} * unit_months;
  if (months < int64_t{kMinYear} * 12 || months >= (int64_t{kMaxYear} + 1) * 12) return 0;
  const int64_t year = months / 12;
  const int32_t month = static_cast<int32_t>(months % 12) + 1;
  const int32_t last = DaysInMonth(year, month);
  const int32_t day = bd->w[kTimeBdDay] < last ? bd->w[kTimeBdDay] : last;
  return StoreMovedDate(bd, year, month, day);
}

// Writes a formatted text only when all of it fits; otherwise leaves an empty text.
template <typename... Args>
int WriteText(char* buf, size_t size, const char* fmt, Args... args) {
  if (buf == nullptr || size == 0) return 0;
  const int n = std::snprintf(buf, size, fmt, args...);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    buf[0] = '\0';
    return 0;
  }
  return 1;
}

int Fail(char* buf, size_t size) {
  if (buf != nullptr && size > 0) buf[0] = '\0';
  return 0;
}

// Counts the calls of TimeNowAsInt64 on this thread under a fixed clock, and remembers the last
// value given under the system clock.
thread_local int64_t t_fixed_clock_calls = 0;
thread_local int64_t t_last_clock_micros = 0;

}  // namespace

int64_t TimeNow() noexcept {
  const KrContext* c = ContextCurrent();
  if (c->fixed_time) return *c->fixed_time;
  return static_cast<int64_t>(time(nullptr));
}

int QuorTime(int64_t* t) noexcept {
  if (t == nullptr) return 0;
  *t = TimeNow();
  return 1;
}

void TimeSetFixed(std::optional<int64_t> t) noexcept { ContextCurrent()->fixed_time = t; }

int64_t TimeNowAsInt64() noexcept {
  const KrContext* c = ContextCurrent();
  if (c->fixed_time) {
    int64_t micros;
    // A fixed time beyond any calendar is still a fixed time; saturate rather than overflow.
    if (__builtin_mul_overflow(*c->fixed_time, int64_t{1000000}, &micros) ||
        __builtin_add_overflow(micros, t_fixed_clock_calls, &micros))
      return *c->fixed_time < 0 ? std::numeric_limits<int64_t>::min()
                                : std::numeric_limits<int64_t>::max();
    ++t_fixed_clock_calls;
    return micros;
  }
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  int64_t now = int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
  if (now <= t_last_clock_micros) now = t_last_clock_micros + 1;
  t_last_clock_micros = now;
  return now;
}

int TimeToBreakdownStruct(TimeBreakdown* bd, int64_t t) noexcept {
  struct tm tm;
  if (bd == nullptr || !ToLocalTm(t, &tm)) return 0;
  FillBreakdown(bd, tm);
  return 1;
}

int TimeFromBreakdown(int64_t* t, const TimeBreakdown* bd) noexcept {
  if (t == nullptr || bd == nullptr || !ValidBreakdown(*bd)) return 0;
  return FromValidBreakdown(*bd, t) ? 1 : 0;
}

int TimeToDateStruct(TimeDate* date, int64_t t) noexcept {
  struct tm tm;
  if (date == nullptr || !ToLocalTm(t, &tm)) return 0;
  *date = TimeDate{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, 0};
  return 1;
}

int TimeFromDate(int64_t* t, const TimeDate* date) noexcept {
  if (t == nullptr || date == nullptr) return 0;
  TimeBreakdown bd = {};
  bd.w[kTimeBdYear] = date->year;
  bd.w[kTimeBdMonth] = date->month;
  bd.w[kTimeBdDay] = date->day;
  return TimeFromBreakdown(t, &bd);
}

int TimeToTimeOfDayStruct(TimeOfDay* tod, int64_t t) noexcept {
  struct tm tm;
  if (tod == nullptr || !ToLocalTm(t, &tm)) return 0;
  *tod = TimeOfDay{tm.tm_hour, tm.tm_min, tm.tm_sec, 0};
  return 1;
}

int TimeBreakdownMoveBackSeconds(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveElapsed(bd, count, 1, -1);
}
int TimeBreakdownMoveForwardSeconds(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveElapsed(bd, count, 1, 1);
}
int TimeBreakdownMoveBackMinutes(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveElapsed(bd, count, 60, -1);
}
int TimeBreakdownMoveForwardMinutes(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveElapsed(bd, count, 60, 1);
}
int TimeBreakdownMoveBackHours(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveElapsed(bd, count, 3600, -1);
}
int TimeBreakdownMoveForwardHours(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveElapsed(bd, count, 3600, 1);
}
int TimeBreakdownMoveBackDays(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveDays(bd, count, 1, -1);
}
int TimeBreakdownMoveForwardDays(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveDays(bd, count, 1, 1);
}
int TimeBreakdownMoveBackWeeks(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveDays(bd, count, 7, -1);
}
int TimeBreakdownMoveForwardWeeks(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveDays(bd, count, 7, 1);
}
int TimeBreakdownMoveBackMonths(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveMonths(bd, count, 1, -1);
}
int TimeBreakdownMoveForwardMonths(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveMonths(bd, count, 1, 1);
}
int TimeBreakdownMoveBackYears(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveMonths(bd, count, 12, -1);
}
int TimeBreakdownMoveForwardYears(TimeBreakdown* bd, int32_t count) noexcept {
  return MoveMonths(bd, count, 12, 1);
}

int TimeToNumericDateString(char* buf, size_t size, int64_t t) noexcept {
  struct tm tm;
  if (!ToLocalTm(t, &tm)) return Fail(buf, size);
  return WriteText(buf, size, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

int TimeToShortTimeOfDayString(char* buf, size_t size, int64_t t) noexcept {
  struct tm tm;
  if (!ToLocalTm(t, &tm)) return Fail(buf, size);
  return WriteText(buf, size, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
}

int TimeToLongDateStringInternal(char* buf, size_t size, int64_t t, int flag,
                                 int /*reserved*/) noexcept {
  struct tm tm;
  if (!ToLocalTm(t, &tm)) return Fail(buf, size);
  const char* month = kMonthNames[tm.tm_mon];
  const int year = tm.tm_year + 1900;
  if (flag != 0) {
    return WriteText(buf, size, "%s %d %s %d", kWeekdayAbbrevs[(tm.tm_wday + 6) % 7], tm.tm_mday,
                     month, year);
  }
  return WriteText(buf, size, "%d %s %d", tm.tm_mday, month, year);
}

int TimeToTimeOfDayStringInternal(char* buf, size_t size, int64_t t, int /*flag*/) noexcept {
  struct tm tm;
  if (!ToLocalTm(t, &tm)) return Fail(buf, size);
  return WriteText(buf, size, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
}
