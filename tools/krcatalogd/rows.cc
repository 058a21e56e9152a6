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

// Where a row's values go: the objects of a blank record, or a record writer that writes them
// straight to the stream (RepRecordWriter). Each setter fails, changing nothing, when the field's
// value is of another kind; the writer's rules are the record's.
class RecordSink {
 public:
  explicit RecordSink(RepRecord* record) : record_(record) {}
  bool Has(size_t i) const { return record_->value_at(i) != nullptr; }
  void State(size_t i, int32_t state) { record_->value_at(i)->set_state(state); }
  bool Integer(size_t i, int32_t v) { return ObjSetInteger(Value(i), v) == 1; }
  bool Int64(size_t i, int64_t v) { return ObjSetInt64(Value(i), v) == 1; }
  bool Boolean(size_t i, bool v) { return ObjSetBoolean(Value(i), v) == 1; }
  bool Text(size_t i, const char* text) { return ObjSetString(Value(i), text) == 1; }
  bool Date(size_t i, const std::tm& tm) {
    auto* date = ObjCast<RepDateValue>(Value(i));
    if (date == nullptr) return false;
    date->set_year(tm.tm_year + 1900);
    date->set_month(tm.tm_mon + 1);
    date->set_day(tm.tm_mday);
    return true;
  }
  bool Time(size_t i, const std::tm& tm) {
    auto* tod = ObjCast<RepTimeValue>(Value(i));
    if (tod == nullptr) return false;
    tod->set_hour(tm.tm_hour);
    tod->set_minute(tm.tm_min);
    tod->set_second(tm.tm_sec);
    return true;
  }
  // Seven 0/1 characters, Monday first.
  bool DaysInWeek(size_t i, const char* text) {
    auto* days = ObjCast<RepDaysInWeekValue>(Value(i));
    if (days == nullptr) return false;
    for (size_t d = 0; d < RepDaysInWeekValue::kUsed; ++d) {
      days->days()[d] = (text[d] == '1') ? 1 : 0;
      if (text[d] == '\0') break;
    }
    return true;
  }
  bool HdwmyCount(size_t i, int32_t unit, int32_t count) {
    auto* c = ObjCast<RepHdwmyCountValue>(Value(i));
    if (c == nullptr) return false;
    c->set_unit(unit);
    c->set_count(count);
    return true;
  }

 private:
  Obj* Value(size_t i) { return record_->value_at(i)->value(); }
  RepRecord* record_;
};

class WriterSink {
 public:
  explicit WriterSink(RepRecordWriter* writer) : w_(writer) {}
  static bool Has(size_t) { return true; }
  void State(size_t i, int32_t state) { w_->SetState(i, state); }
  bool Integer(size_t i, int32_t v) { return w_->SetInteger(i, v); }
  bool Int64(size_t i, int64_t v) { return w_->SetInt64(i, v); }
  bool Boolean(size_t i, bool v) { return w_->SetBoolean(i, v); }
  bool Text(size_t i, const char* text) { return w_->SetText(i, text); }
  bool Date(size_t i, const std::tm& tm) {
    return w_->SetDate(i, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  }
  bool Time(size_t i, const std::tm& tm) {
    return w_->SetTime(i, tm.tm_hour, tm.tm_min, tm.tm_sec);
  }
  // The writer takes no such values (RepRecordWriter::Start refuses their fields).
  static bool DaysInWeek(size_t, const char*) { return false; }
  static bool HdwmyCount(size_t, int32_t, int32_t) { return false; }

 private:
  RepRecordWriter* w_;
};

// A count and a unit letter: 30d, 4w, 6m, 1y, 12h.
template <class Sink>
bool SetHdwmyCount(Sink* sink, size_t i, const char* text) {
  const size_t n = std::strlen(text);
  const char* units = "hdwmy";
  const char* unit = n > 1 ? std::strchr(units, text[n - 1]) : nullptr;
  if (unit == nullptr) return false;
  return sink->HdwmyCount(i, static_cast<int32_t>(unit - units), std::atoi(text));
}

template <class Sink>
bool SetMappedText(Sink* sink, size_t i, const char* text,
                   const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [stored, served] : values) {
    if (stored == text) return sink->Text(i, served.c_str());
  }
  return false;
}

template <class Sink>
bool FillValue(Sink* sink, size_t i, const ColumnRead& c, Rows* rows) {
  if (c.as == ReadAs::kInt) {
    const int64_t v = rows->Int(c.column);
    std::tm tm{};
    switch (c.type) {
      case kRepTypeInteger:
      case kRepTypeTimePassed:
      case kRepTypeSysTime:
        if (v < INT32_MIN || v > INT32_MAX) return false;
        return sink->Integer(i, static_cast<int32_t>(v));
      case kRepTypeInt64:
      case kRepTypeDataCount:
        return sink->Int64(i, v);
      case kRepTypeBoolean:
        return sink->Boolean(i, v != 0);
      case kRepTypeDate:
        return LocalTime(v, &tm) && sink->Date(i, tm);
      case kRepTypeTime:
        return LocalTime(v, &tm) && sink->Time(i, tm);
      default:
        return false;
    }
  }
  const char* text = rows->Text(c.column);
  switch (c.type) {
    case kRepTypeString:
      return c.values != nullptr ? SetMappedText(sink, i, text, *c.values) : sink->Text(i, text);
    case kRepTypeDaysInWeek:
      return sink->DaysInWeek(i, text);
    case kRepTypeHdwmyCount:
      return SetHdwmyCount(sink, i, text);
    default:
      return false;
  }
}

template <class Sink>
void Fill(Sink* sink, const std::vector<ColumnRead>& plan, Rows* rows) {
  for (size_t i = 0; i < plan.size(); ++i) {
    if (!sink->Has(i)) continue;
    const ColumnRead& c = plan[i];
    if (c.column < 0) {
      sink->State(i, kRepStateUnknown);
    } else if (rows->IsNull(c.column)) {
      sink->State(i, c.null_state);
    } else if (!FillValue(sink, i, c, rows)) {
      sink->State(i, kRepStateUnknown);
    }
  }
}

}  // namespace

void FillRecord(RepRecord* record, const std::vector<ColumnRead>& plan, Rows* rows) {
  RecordSink sink(record);
  Fill(&sink, plan, rows);
}

void WriteRecord(RepRecordWriter* writer, const std::vector<ColumnRead>& plan, Rows* rows) {
  WriterSink sink(writer);
  Fill(&sink, plan, rows);
}

}  // namespace catalog
