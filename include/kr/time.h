// Time: the current time (the system clock, or the calling context's fixed clock), broken-down
// local times, calendar moves, and dates and times of day as text.
//
// A time is a number of seconds since 1970-01-01 00:00:00 UTC, held in int64_t. Broken-down
// times are local times in the zone named by TZ (the system's zone when TZ is unset); the zone is
// looked at afresh at each conversion, so a program or test that changes TZ and calls tzset sees
// the change at once. Broken-down years run from 1 to 9999; a time outside them cannot be broken
// down.
//
// The current time is the calling context's fixed time when one is set (ContextOptions,
// KR_FIXED_TIME or TimeSetFixed), so tests and re-runs can pin "now"; otherwise it is the system
// clock.
//
// Every conversion returns 1 on success and 0 on failure, leaving its out-parameter untouched
// on failure unless stated otherwise.
//
// Thread safety: safe from any thread; TimeSetFixed and TimeNowAsInt64 act on the calling
// thread's context. Changing TZ while another thread converts times is not safe (setenv never
// is).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// --- The current time --------------------------------------------------------------------------

// The current time: the calling context's fixed time when set, else the system clock.
int64_t TimeNow() noexcept;
// The system-wide current time, as TimeNow. 1 on success (0 only for a null t).
int QuorTime(int64_t* t) noexcept;
// Sets (a value) or clears (nullopt) the calling context's fixed time.
void TimeSetFixed(std::optional<int64_t> t) noexcept;
// The current time in microseconds since 1970, strictly increasing from call to call on one
// thread (and so in one context), for names that must not repeat. Under a fixed clock it is the
// fixed time times 10^6 plus a count of the calls made so far on the thread; under the system
// clock it is the clock's microseconds, nudged forward when two calls fall in one microsecond.
int64_t TimeNowAsInt64() noexcept;

// --- Broken-down times -------------------------------------------------------------------------

// Seven words of a local time.
struct TimeBreakdown {
  int32_t w[7];
};
inline constexpr int kTimeBdHour = 0;     // 0-23
inline constexpr int kTimeBdMinute = 1;   // 0-59
inline constexpr int kTimeBdSecond = 2;   // 0-59 (60 accepted for a leap second)
inline constexpr int kTimeBdYear = 3;     // the full year, 1-9999
inline constexpr int kTimeBdMonth = 4;    // 1-12
inline constexpr int kTimeBdDay = 5;      // 1 to the length of the month
inline constexpr int kTimeBdWeekday = 6;  // 0 Monday .. 6 Sunday; ignored on input

int TimeToBreakdownStruct(TimeBreakdown* bd, int64_t t) noexcept;
// The time of a broken-down local time. 0 when a field is out of range (the day is checked
// against the month's length) or the system cannot represent the time. A wall-clock time that a
// daylight-saving change skips is taken as the system's mktime takes it (moved by the change);
// one that occurs twice gives one of its two times.
int TimeFromBreakdown(int64_t* t, const TimeBreakdown* bd) noexcept;

// A calendar date and a time of day; `reserved` is 0 on output and ignored on input.
struct TimeDate {
  int32_t year, month, day, reserved;
};
struct TimeOfDay {
  int32_t hour, minute, second, reserved;
};

int TimeToDateStruct(TimeDate* date, int64_t t) noexcept;
// The local midnight that starts the date (or, where a daylight-saving change skips midnight,
// the first time of that day).
int TimeFromDate(int64_t* t, const TimeDate* date) noexcept;
int TimeToTimeOfDayStruct(TimeOfDay* tod, int64_t t) noexcept;

// --- Calendar moves ----------------------------------------------------------------------------
// Each moves a valid breakdown back or forward by `count` units and returns 1; it returns 0,
// leaving the breakdown untouched, when the breakdown is not valid, count is negative, or the
// result falls outside the years 1-9999 or what the system can represent.
//
// Seconds, minutes and hours are elapsed time: the breakdown is turned into a time, moved and
// broken down again, so moving across a daylight-saving change gives the wall-clock time that
// many real hours later. Days and weeks move the calendar date and keep the wall-clock time (and
// the weekday is recomputed). Months and years move the calendar and keep the day of the month
// where the target month has it, else take the month's last day: 31 January plus one month is
// 28 or 29 February, 29 February plus one year is 28 February.

int TimeBreakdownMoveBackSeconds(TimeBreakdown* bd, int32_t count) noexcept;
int TimeBreakdownMoveForwardSeconds(TimeBreakdown* bd, int32_t count) noexcept;
int TimeBreakdownMoveBackMinutes(TimeBreakdown* bd, int32_t count) noexcept;
int TimeBreakdownMoveForwardMinutes(TimeBreakdown* bd, int32_t count) noexcept;
int TimeBreakdownMoveBackHours(TimeBreakdown* bd, int32_t count) noexcept;
int TimeBreakdownMoveForwardHours(TimeBreakdown* bd, int32_t count) noexcept;
int TimeBreakdownMoveBackDays(TimeBreakdown* bd, int32_t count) noexcept;
int TimeBreakdownMoveForwardDays(TimeBreakdown* bd, int32_t count) noexcept;
int TimeBreakdownMoveBackWeeks(TimeBreakdown* bd, int32_t count) noexcept;
int TimeBreakdownMoveForwardWeeks(TimeBreakdown* bd, int32_t count) noexcept;
int TimeBreakdownMoveBackMonths(TimeBreakdown* bd, int32_t count) noexcept;
int TimeBreakdownMoveForwardMonths(TimeBreakdown* bd, int32_t count) noexcept;
int TimeBreakdownMoveBackYears(TimeBreakdown* bd, int32_t count) noexcept;
int TimeBreakdownMoveForwardYears(TimeBreakdown* bd, int32_t count) noexcept;

// --- Text --------------------------------------------------------------------------------------
// Each writes a NUL-terminated text of the local time into buf and returns 1. When the buffer is
// too small or the time cannot be broken down it returns 0 and leaves buf holding an empty text
// (when size is at least 1).

// "YYYYMMDD", e.g. "20261205". Needs 9 bytes.
int TimeToNumericDateString(char* buf, size_t size, int64_t t) noexcept;
// "hhmmss", e.g. "143005". Needs 7 bytes.
int TimeToShortTimeOfDayString(char* buf, size_t size, int64_t t) noexcept;
// The day without a leading zero, the English month name and the year: "5 December 2026".
// With a non-zero flag the English weekday abbreviation comes first: "Sat 5 December 2026".
// The longest text has 21 characters, so 24 bytes always suffice. `reserved` is 0.
int TimeToLongDateStringInternal(char* buf, size_t size, int64_t t, int flag,
                                 int reserved) noexcept;
// "HH:MM:SS" in 24-hour form, e.g. "14:30:05". Needs 9 bytes. `flag` is reserved (pass 0).
int TimeToTimeOfDayStringInternal(char* buf, size_t size, int64_t t, int flag) noexcept;
