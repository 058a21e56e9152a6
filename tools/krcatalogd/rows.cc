// Rows to records.

#include "rows.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kr/text.h"
#include "reports/fields.h"

namespace catalog {

bool ReadAsFor(int32_t type, ReadAs* as) {
  switch (type) {
    case kRepTypeInteger:
    case kRepTypeTimePassed:
    case kRepTypeSysTime:
    case kRepTypeInt64:
    case kRepTypeDataCount:
    case kRepTypeBoolean:
    case kRepTypeDate:
    case kRepTypeTime:
      *as = ReadAs::kInt;
      return true;
    case kRepTypeString:
    case kRepTypeDaysInWeek:
    case kRepTypeHdwmyCount:
      *as = ReadAs::kText;
      return true;
    default:
      return false;
  }
}

namespace {

// The local days of a time column's values, when a day has 86,400 seconds of one UTC offset:
// a value in a known day is broken down from the day's midnight without asking the C library
// (whose localtime_r takes a lock and walks the zone's rules, for every value of a million
// rows). A local day overlaps at most two UTC days, and is kept under both, so a value finds its
// day under its own UTC day.
struct LocalDay {
  int64_t start = 1;  // the day's local midnight; start > end: nothing kept here
  int64_t end = 0;
  std::tm midnight{};
};
constexpr int64_t kDaysKept = 1024;
thread_local std::array<LocalDay, kDaysKept> t_days;

int64_t UtcDay(int64_t seconds) {
  return seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
}
LocalDay& DaySlot(int64_t utc_day) {
  return t_days[static_cast<size_t>(((utc_day % kDaysKept) + kDaysKept) % kDaysKept)];
}

}  // namespace

bool LocalTime(int64_t seconds, std::tm* tm) {
  const LocalDay& d = DaySlot(UtcDay(seconds));
  if (seconds >= d.start && seconds < d.end) {
    const int64_t into = seconds - d.start;
    *tm = d.midnight;
    tm->tm_hour = static_cast<int>(into / 3600);
    tm->tm_min = static_cast<int>(into / 60 % 60);
    tm->tm_sec = static_cast<int>(into % 60);
    return true;
  }
  const std::time_t t = static_cast<std::time_t>(seconds);
  if (localtime_r(&t, tm) == nullptr) return false;
  // The day is kept only when its midnight and its last second are where a day without a
  // change of offset puts them.
  const int64_t start = seconds - (tm->tm_hour * 3600 + tm->tm_min * 60 + tm->tm_sec);
  const std::time_t first = static_cast<std::time_t>(start);
  const std::time_t last = static_cast<std::time_t>(start + 86399);
  std::tm a{}, b{};
  if (localtime_r(&first, &a) != nullptr && localtime_r(&last, &b) != nullptr && a.tm_hour == 0 &&
      a.tm_min == 0 && a.tm_sec == 0 && b.tm_hour == 23 && b.tm_min == 59 && b.tm_sec == 59 &&
      a.tm_mday == tm->tm_mday && b.tm_mday == tm->tm_mday && a.tm_gmtoff == b.tm_gmtoff) {
    const LocalDay day{start, start + 86400, a};
    DaySlot(UtcDay(start)) = day;
    DaySlot(UtcDay(start + 86399)) = day;
  }
  return true;
}

// A fetch starts with no day cached: the zone may have changed since the last one.
void ForgetLocalDay() { t_days.fill(LocalDay{}); }

namespace {

// The local date or time of day of a time column.
bool SetDateOrTime(Obj* obj, int64_t seconds) {
  std::tm tm{};
  auto* date = ObjCast<RepDateValue>(obj);
  auto* tod = ObjCast<RepTimeValue>(obj);
  if ((date == nullptr && tod == nullptr) || !LocalTime(seconds, &tm)) return false;
  if (date != nullptr) {
    date->set_year(tm.tm_year + 1900);
    date->set_month(tm.tm_mon + 1);
    date->set_day(tm.tm_mday);
  } else {
    tod->set_hour(tm.tm_hour);
    tod->set_minute(tm.tm_min);
    tod->set_second(tm.tm_sec);
  }
  return true;
}

// Seven 0/1 characters, Monday first.
bool SetDaysInWeek(Obj* obj, const char* text) {
  auto* days = ObjCast<RepDaysInWeekValue>(obj);
  if (days == nullptr) return false;
  for (size_t i = 0; i < RepDaysInWeekValue::kUsed; ++i) {
    days->days()[i] = (text[i] == '1') ? 1 : 0;
    if (text[i] == '\0') break;
  }
  return true;
}

// A count and a unit letter: 30d, 4w, 6m, 1y, 12h.
bool SetHdwmyCount(Obj* obj, const char* text) {
  auto* count = ObjCast<RepHdwmyCountValue>(obj);
  const size_t n = std::strlen(text);
  const char* units = "hdwmy";
  const char* unit = n > 1 ? std::strchr(units, text[n - 1]) : nullptr;
  if (count == nullptr || unit == nullptr) return false;
  count->set_unit(static_cast<int32_t>(unit - units));
  count->set_count(std::atoi(text));
  return true;
}

bool SetMappedText(Obj* obj, const char* text,
                   const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [stored, served] : values) {
    if (stored == text) return ObjSetString(obj, served.c_str()) == 1;
  }
  return false;
}

bool FillValue(Obj* obj, const ColumnRead& c, Rows* rows) {
  if (c.as == ReadAs::kInt) {
    const int64_t v = rows->Int(c.column);
    switch (c.type) {
      case kRepTypeInteger:
      case kRepTypeTimePassed:
      case kRepTypeSysTime:
        if (v < INT32_MIN || v > INT32_MAX) return false;
        return ObjSetInteger(obj, static_cast<int32_t>(v)) == 1;
      case kRepTypeInt64:
      case kRepTypeDataCount:
        return ObjSetInt64(obj, v) == 1;
      case kRepTypeBoolean:
        return ObjSetBoolean(obj, v != 0) == 1;
      case kRepTypeDate:
      case kRepTypeTime:
        return SetDateOrTime(obj, v);
      default:
        return false;
    }
  }
  const char* text = rows->Text(c.column);
  switch (c.type) {
    case kRepTypeString:
      return c.values != nullptr ? SetMappedText(obj, text, *c.values)
                                 : ObjSetString(obj, text) == 1;
    case kRepTypeDaysInWeek:
      return SetDaysInWeek(obj, text);
    case kRepTypeHdwmyCount:
      return SetHdwmyCount(obj, text);
    default:
      return false;
  }
}

}  // namespace

void FillRecord(RepRecord* record, const std::vector<ColumnRead>& plan, Rows* rows) {
  for (size_t i = 0; i < plan.size(); ++i) {
    RepFieldValue* value = record->value_at(i);
    if (value == nullptr) continue;
    const ColumnRead& c = plan[i];
    if (c.column < 0) {
      value->set_state(kRepStateUnknown);
    } else if (rows->IsNull(c.column)) {
      value->set_state(c.null_state);
    } else if (!FillValue(value->value(), c, rows)) {
      value->set_state(kRepStateUnknown);
    }
  }
}

}  // namespace catalog
