// Values, records and tables, and the encoding of values from text.
#include "reports/reports.h"

#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "kr/config.h"
#include "kr/context.h"
#include "kr/text.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "kr/unique.h"

namespace {

constexpr const char kTag[] = "RPTMAIN";

// --- localised words -----------------------------------------------------------------------------

struct Word {
  const char* text;
  size_t chars;
  size_t bytes;
};

Word MakeWord(const char* default_text, int id) {
  const char* t = LocaleGetStaticString(default_text, id);
  return Word{t, StrCharCount(t), std::strlen(t)};
}

// The offset units, in the order of the move tables below.
enum Unit { kYears, kMonths, kWeeks, kDays, kHours, kMinutes, kSeconds, kUnitCount };

struct Words {
  Word now, today;
  Word true_words[3], false_words[3];
  Word days[7];
  Word last_day;
  Word last_week[2];
  Word units[kUnitCount];
  Word states[kRepStateCount];
  const char* unrecognised_state;
};

Words LoadWords() {
  Words w;
  w.now = MakeWord("now", 8287);
  w.today = MakeWord("today", 8288);
  w.true_words[0] = MakeWord("TRUE", 8289);
  w.true_words[1] = MakeWord("YES", 8291);
  w.true_words[2] = MakeWord("Y", 8293);
  w.false_words[0] = MakeWord("FALSE", 8290);
  w.false_words[1] = MakeWord("NO", 8292);
  w.false_words[2] = MakeWord("N", 8294);
  static constexpr const char* kDays[7] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
  for (int i = 0; i < 7; ++i) w.days[i] = MakeWord(kDays[i], 8295 + i);
  w.last_day = MakeWord("l", 8302);
  w.last_week[0] = MakeWord("l", 8303);
  w.last_week[1] = MakeWord("L", 8304);
  static constexpr const char* kUnits[kUnitCount] = {"YE", "MO", "WE", "DA", "HO", "MI", "SE"};
  for (int i = 0; i < kUnitCount; ++i) w.units[i] = MakeWord(kUnits[i], 8317 + i);
  static constexpr const char* kStates[kRepStateCount] = {"Normal", "N/A", "Unknown", "Never",
                                                          "Unlimited"};
  for (int i = 0; i < kRepStateCount; ++i) w.states[i] = MakeWord(kStates[i], 8305 + i);
  w.unrecognised_state = LocaleGetStaticString("UNRECOGNISEDSTATE", 8310);
  return w;
}

// Fetched once per process; a function-local static is initialised exactly once even when
// several threads get here first together.
const Words& TheWords() {
  static const Words words = LoadWords();
  return words;
}

// True when `text` begins with `w`, case-blind over the word's characters. An empty word (a
// catalogue that blanks a keyword) never matches, so it cannot swallow every text.
bool StartsWithWord(const char* text, const Word& w) {
  return w.chars > 0 && StrCompareRangeNoCase(text, w.text, w.chars) == 0;
}

// True when the next w.chars characters of `text` are exactly `w`, case-blind.
bool AtWord(const char* text, const Word& w) {
  return w.chars > 0 && StrCompareRangeExactNoCase(text, w.chars, w.text) == 0;
}

// --- comparison helpers --------------------------------------------------------------------------

template <class T>
inline int Sign(T a, T b) {
  return (a > b) - (a < b);
}

// Compares two objects through view V with `f`. An object not of V's form sorts before every
// well-formed one; two such objects are equal.
template <class V, class F>
inline int CompareAs(const Obj* a, const Obj* b, F f) {
  const V* x = ObjCast<V>(a);
  const V* y = ObjCast<V>(b);
  if (x == nullptr || y == nullptr) [[unlikely]]
    return (x != nullptr) - (y != nullptr);
  return f(*x, *y);
}

// Byte blocks from byte 0: at the first byte that differs, the larger (a selected day, 1, against
// an unselected one, 0) sorts after.
inline int CompareBytes(const unsigned char* a, const unsigned char* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
  return 0;
}

// hdwmycount reduced to hours (a month is 31 days, a year 365); 64-bit so a large count cannot
// overflow.
inline int64_t HdwmyHours(const RepHdwmyCountValue& v) {
  static constexpr int64_t kHours[5] = {1, 24, 168, 744, 8760};
  int32_t u = v.unit();
  return (u >= 0 && u < 5) ? static_cast<int64_t>(v.count()) * kHours[u] : 0;
}

// --- encoding helpers ----------------------------------------------------------------------------

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// n decimal digits at p (the caller has checked that the text has them).
bool Digits(const char* p, int n, int32_t* out) {
  int32_t v = 0;
  for (int i = 0; i < n; ++i) {
    if (!IsDigit(p[i])) return false;
    v = v * 10 + (p[i] - '0');
  }
  *out = v;
  return true;
}

// YYYYMMDD or YYYY/MM/DD (a backslash also separates). The day is not checked against the
// month's length: a date constant may name a day such as 30 February.
bool ParseAbsoluteDate(const char* text, int32_t* y, int32_t* m, int32_t* d) {
  size_t len = std::strlen(text);
  bool ok;
  if (len == 8) {
    ok = Digits(text, 4, y) && Digits(text + 4, 2, m) && Digits(text + 6, 2, d);
  } else if (len == 10) {
    auto sep = [](char c) { return c == '/' || c == '\\'; };
    ok = sep(text[4]) && sep(text[7]) && Digits(text, 4, y) && Digits(text + 5, 2, m) &&
         Digits(text + 8, 2, d);
  } else {
    ok = false;
  }
  return ok && *y >= 1900 && *m >= 1 && *m <= 12 && *d >= 1 && *d <= 31;
}

// HHMMSS or HH:MM:SS.
bool ParseClock(const char* text, int32_t* h, int32_t* m, int32_t* s) {
  size_t len = std::strlen(text);
  bool ok;
  if (len == 6) {
    ok = Digits(text, 2, h) && Digits(text + 2, 2, m) && Digits(text + 4, 2, s);
  } else if (len == 8) {
    ok = text[2] == ':' && text[5] == ':' && Digits(text, 2, h) && Digits(text + 3, 2, m) &&
         Digits(text + 6, 2, s);
  } else {
    ok = false;
  }
  return ok && *h <= 23 && *m <= 59 && *s <= 59;
}

using MoveFn = int (*)(TimeBreakdown*, int32_t);
constexpr MoveFn kMoveBack[kUnitCount] = {TimeBreakdownMoveBackYears,  TimeBreakdownMoveBackMonths,
                                          TimeBreakdownMoveBackWeeks,  TimeBreakdownMoveBackDays,
                                          TimeBreakdownMoveBackHours,  TimeBreakdownMoveBackMinutes,
                                          TimeBreakdownMoveBackSeconds};
constexpr MoveFn kMoveForward[kUnitCount] = {
    TimeBreakdownMoveForwardYears,  TimeBreakdownMoveForwardMonths, TimeBreakdownMoveForwardWeeks,
    TimeBreakdownMoveForwardDays,   TimeBreakdownMoveForwardHours,  TimeBreakdownMoveForwardMinutes,
    TimeBreakdownMoveForwardSeconds};

// Moves *bd by the offset at `text` (digits then a unit word, the sign already read).
int MoveTimeBreakdown(TimeBreakdown* bd, const char* text, bool back) {
  const char* p = text;
  while (IsDigit(*p)) ++p;
  std::string digits(text, p);
  int32_t count = 0;
  if (digits.empty() || StrToInteger(&count, digits.c_str()) == 0) {
    TraceMessage(kTag, 1, 0, -1, "Could not encode number '%s' in RepMoveTimeBreakdown",
                 digits.c_str());
    return 0;
  }
  const Words& w = TheWords();
  for (int u = 0; u < kUnitCount; ++u) {
    if (StartsWithWord(p, w.units[u])) return (back ? kMoveBack : kMoveForward)[u](bd, count);
  }
  TraceMessage(kTag, 2, 0, -1, "Unrecognised unit type in RepMoveTimeBreakdown");
  return 0;
}

enum class Relative { kNotRelative, kDone, kFailed };

// Reads a relative time ("now", or "today" when allowed, with an optional signed offset) into
// *bd, a copy of the context's broken-down current time. *moved tells whether an offset applied.
Relative RelativeBreakdown(TimeBreakdown* bd, bool* moved, const char* text, bool allow_today) {
  const Words& w = TheWords();
  const char* after;
  if (StartsWithWord(text, w.now)) {
    after = text + w.now.bytes;
  } else if (allow_today && StartsWithWord(text, w.today)) {
    after = text + w.today.bytes;
  } else {
    return Relative::kNotRelative;
  }
  *bd = RepGetContextData()->now_breakdown;
  *moved = false;
  if (*after != '-' && *after != '+') return Relative::kDone;
  bool back = *after == '-';
  if (!MoveTimeBreakdown(bd, after + 1, back)) {
    if (back)
      TraceMessage(kTag, 3, 0, -1, "Failed to move time breakdown back");
    else
      TraceMessage(kTag, 4, 0, -1, "Failed to move time breakdown forward");
    return Relative::kFailed;
  }
  *moved = true;
  return Relative::kDone;
}

Ref<Obj> NewDate(int32_t y, int32_t m, int32_t d) {
  Ref<RepDateValue> v = RepDateValue::New();
  v->set_year(y);
  v->set_month(m);
  v->set_day(d);
  return v;
}

Ref<Obj> NewTime(int32_t h, int32_t m, int32_t s) {
  Ref<RepTimeValue> v = RepTimeValue::New();
  v->set_hour(h);
  v->set_minute(m);
  v->set_second(s);
  return v;
}

Ref<Obj> EncodeDate(const char* text) {
  TimeBreakdown bd;
  bool moved;
  switch (RelativeBreakdown(&bd, &moved, text, true)) {
    case Relative::kDone:
      return NewDate(bd.w[kTimeBdYear], bd.w[kTimeBdMonth], bd.w[kTimeBdDay]);
    case Relative::kFailed:
      return nullptr;
    case Relative::kNotRelative:
      break;
  }
  int32_t y, m, d;
  if (!ParseAbsoluteDate(text, &y, &m, &d)) return nullptr;
  return NewDate(y, m, d);
}

Ref<Obj> EncodeTime(const char* text) {
  TimeBreakdown bd;
  bool moved;
  switch (RelativeBreakdown(&bd, &moved, text, false)) {
    case Relative::kDone:
      return NewTime(bd.w[kTimeBdHour], bd.w[kTimeBdMinute], bd.w[kTimeBdSecond]);
    case Relative::kFailed:
      return nullptr;
    case Relative::kNotRelative:
      break;
  }
  int32_t h, m, s;
  if (!ParseClock(text, &h, &m, &s)) {
    TraceMessage(kTag, 5, 0, -1, "Failed to interpret absolute time '%s'", text);
    return nullptr;
  }
  return NewTime(h, m, s);
}

Ref<Obj> EncodeTimePassed(const char* text) {
  int32_t h, m, s;
  if (!ParseClock(text, &h, &m, &s)) {
    TraceMessage(kTag, 6, 0, -1, "Failed to interpret time passed '%s'", text);
    return nullptr;
  }
  return ObjNewInteger(h * 3600 + m * 60 + s);
}

Ref<Obj> EncodeSysTime(const char* text) {
  TimeBreakdown bd;
  bool moved;
  switch (RelativeBreakdown(&bd, &moved, text, true)) {
    case Relative::kDone: {
      // Without an offset the stored instant itself, which a breakdown taken back through a
      // repeated daylight-saving hour might not give.
      int64_t t = RepGetContextData()->now;
      if ((moved && TimeFromBreakdown(&t, &bd) == 0) || t < INT32_MIN || t > INT32_MAX) {
        TraceMessage(kTag, 7, 0, -1, "Cannot convert breakdown time back to TimeT");
        return nullptr;
      }
      return ObjNewInteger(static_cast<int32_t>(t));
    }
    case Relative::kFailed:
      return nullptr;
    case Relative::kNotRelative:
      break;
  }
  int32_t v;
  if (StrToInteger(&v, text) == 0) return nullptr;
  return ObjNewInteger(v);
}

Ref<Obj> EncodeHdwmyCount(const char* text) {
  size_t chars = StrCharCount(text);
  if (chars < 2) {
    TraceMessage(kTag, 8, 0, -1, "String too short to convert to HDWMY count");
    return nullptr;
  }
  size_t number_bytes = StrBytesForChars(text, chars - 1);
  std::string number(text, number_bytes);
  int32_t count;
  if (StrToInteger(&count, number.c_str()) == 0) {
    TraceMessage(kTag, 9, 0, -1, "Failed to convert number part of HDWMY constant");
    return nullptr;
  }
  int32_t unit;
  switch (StrGetCharAtPointer(text + number_bytes)) {
    case 'h':
    case 'H':
      unit = kRepHdwmyHours;
      break;
    case 'd':
    case 'D':
      unit = kRepHdwmyDays;
      break;
    case 'w':
    case 'W':
      unit = kRepHdwmyWeeks;
      break;
    case 'm':
    case 'M':
      unit = kRepHdwmyMonths;
      break;
    case 'y':
    case 'Y':
      unit = kRepHdwmyYears;
      break;
    default:
      TraceMessage(kTag, 10, 0, -1, "Bad character part of HDWMY count");
      return nullptr;
  }
  Ref<RepHdwmyCountValue> v = RepHdwmyCountValue::New();
  v->set_unit(unit);
  v->set_count(count);
  return v;
}

Ref<Obj> EncodeBoolean(const char* text) {
  const Words& w = TheWords();
  for (const Word& t : w.true_words)
    if (StrCompareNoCase(text, t.text) == 0) return ObjNewBoolean(true);
  for (const Word& f : w.false_words)
    if (StrCompareNoCase(text, f.text) == 0) return ObjNewBoolean(false);
  return nullptr;
}

Ref<Obj> EncodeDaysInWeek(const char* text) {
  if (StrCharCount(text) % 2 != 0) return nullptr;
  const Words& w = TheWords();
  Ref<RepDaysInWeekValue> v = RepDaysInWeekValue::New();
  const char* p = text;
  while (*p != '\0') {
    int day = 0;
    while (day < 7 && !AtWord(p, w.days[day])) ++day;
    if (day == 7) return nullptr;
    v->days()[day] = 1;
    p = StrAdvanceChars(p, w.days[day].chars);
  }
  return v;
}

Ref<Obj> EncodeDaysInMonth(const char* text) {
  const Words& w = TheWords();
  Ref<RepDaysInMonthValue> v = RepDaysInMonthValue::New();
  if (*text == '\0') return v;
  const char* p = text;
  for (;;) {
    const char* comma = std::strchr(p, ',');
    std::string item = comma ? std::string(p, comma) : std::string(p);
    int32_t day;
    if (w.last_day.chars > 0 && StrCompareNoCase(item.c_str(), w.last_day.text) == 0) {
      v->days()[RepDaysInMonthValue::kLastDay] = 1;
    } else if (StrToInteger(&day, item.c_str()) != 0 && day >= 1 && day <= 31) {
      v->days()[day - 1] = 1;
    } else {
      return nullptr;
    }
    if (comma == nullptr) break;
    p = comma + 1;
  }
  return v;
}

Ref<Obj> EncodeWeeksInMonth(const char* text) {
  const Words& w = TheWords();
  Ref<RepWeeksInMonthValue> v = RepWeeksInMonthValue::New();
  const char* p = text;
  while (*p != '\0') {
    if (*p >= '1' && *p <= '4') {
      v->weeks()[*p - '1'] = 1;
      ++p;
    } else if (AtWord(p, w.last_week[0]) || AtWord(p, w.last_week[1])) {
      v->weeks()[RepWeeksInMonthValue::kLastWeek] = 1;
      p = StrAdvanceChars(p,
                          AtWord(p, w.last_week[0]) ? w.last_week[0].chars : w.last_week[1].chars);
    } else {
      return nullptr;
    }
  }
  return v;
}

// Digits, then an optional unit: "b" on its first character, "kb" to "pb" on two. A number or a
// product beyond 64 bits is refused rather than wrapped.
Ref<Obj> EncodeDataCount(const char* text) {
  const char* p = text;
  int64_t n = 0;
  while (IsDigit(*p)) {
    if (__builtin_mul_overflow(n, 10, &n) || __builtin_add_overflow(n, *p - '0', &n))
      return nullptr;
    ++p;
  }
  if (p == text) return nullptr;
  static constexpr struct {
    const char* word;
    int64_t factor;
  } kUnits[] = {{"kb", int64_t{1} << 10},
                {"mb", int64_t{1} << 20},
                {"gb", int64_t{1} << 30},
                {"tb", int64_t{1} << 40},
                {"pb", int64_t{1} << 50}};
  int64_t factor = 1;
  for (const auto& u : kUnits) {
    if (StrCompareRangeNoCase(p, u.word, 2) == 0) {
      factor = u.factor;
      break;
    }
  }
  int64_t bytes;
  if (__builtin_mul_overflow(n, factor, &bytes)) return nullptr;
  return ObjNewInt64(bytes);
}

Ref<Obj> Encode(const char* text, int32_t type) {
  switch (type) {
    case kRepTypeInteger: {
      int32_t v;
      return StrToInteger(&v, text) ? ObjNewInteger(v) : nullptr;
    }
    case kRepTypeString:
      return ObjNewString(text);
    case kRepTypeBoolean:
      return EncodeBoolean(text);
    case kRepTypeDate:
      return EncodeDate(text);
    case kRepTypeTime:
      return EncodeTime(text);
    case kRepTypeTimePassed:
      return EncodeTimePassed(text);
    case kRepTypeHdwmyCount:
      return EncodeHdwmyCount(text);
    case kRepTypeDaysInWeek:
      return EncodeDaysInWeek(text);
    case kRepTypeDaysInMonth:
      return EncodeDaysInMonth(text);
    case kRepTypeWeeksInMonth:
      return EncodeWeeksInMonth(text);
    case kRepTypeInt64: {
      int64_t v;
      return StrToInt64(&v, text) ? ObjNewInt64(v) : nullptr;
    }
    case kRepTypeSysTime:
      return EncodeSysTime(text);
    case kRepTypeUnique: {
      UniqueId id;
      return UniqueFromString(&id, text) ? ObjNewUnique(id) : nullptr;
    }
    case kRepTypeDataCount:
      return EncodeDataCount(text);
    default:  // selectiontree, pluginscreen: no text form
      return nullptr;
  }
}

}  // namespace

// --- records, values and tables ------------------------------------------------------------------

Ref<RepFieldValue> RepNewFieldValue(int32_t state, Ref<Obj> value) noexcept {
  Ref<RepFieldValue> v = RepFieldValue::New();
  v->set_state(state);
  v->set_value(std::move(value));
  return v;
}

Ref<RepTable> RepNewTable(const char* name, Ref<List> fields, Ref<List> records) noexcept {
  Ref<RepTable> t = RepTable::New();
  t->set_name(name);
  t->set_fields(std::move(fields));
  t->set_records(std::move(records));
  return t;
}

int RepMakeBlankObject(Ref<Obj>* value, int32_t type) noexcept {
  if (value == nullptr) return 0;
  switch (type) {
    case kRepTypeInteger:
    case kRepTypeTimePassed:
    case kRepTypeSysTime:
      *value = ObjNewInteger(0);
      return 1;
    case kRepTypeString:
      *value = ObjNewString("");
      return 1;
    case kRepTypeBoolean:
      *value = ObjNewBoolean(false);
      return 1;
    case kRepTypeDate:
      *value = RepDateValue::New();
      return 1;
    case kRepTypeTime:
      *value = RepTimeValue::New();
      return 1;
    case kRepTypeHdwmyCount:
      *value = RepHdwmyCountValue::New();
      return 1;
    case kRepTypeSelectionTree:
      *value = RepSelectionTreeValue::New();
      return 1;
    case kRepTypeDaysInWeek:
      *value = RepDaysInWeekValue::New();
      return 1;
    case kRepTypeDaysInMonth:
      *value = RepDaysInMonthValue::New();
      return 1;
    case kRepTypeWeeksInMonth:
      *value = RepWeeksInMonthValue::New();
      return 1;
    case kRepTypePluginScreen:
      *value = RepPluginScreenValue::New();
      return 1;
    case kRepTypeInt64:
    case kRepTypeDataCount:
      *value = ObjNewInt64(0);
      return 1;
    case kRepTypeUnique: {
      UniqueId id;
      UniqueInvalidate(&id);
      *value = ObjNewUnique(id);
      return 1;
    }
    default:
      TraceMessage(kTag, 11, 0, -1, "Bad object type %d passed to RepMakeBlankObject", type);
      return 0;
  }
}

Ref<RepRecord> RepMakeBlankRecord(const RepFieldList* fields, int32_t state) noexcept {
  if (fields == nullptr) return nullptr;
  // Sized exactly: a report holds millions of these lists, so growth slack would add up.
  Ref<List> values = ListNewWithCapacity(fields->size());
  for (Obj* item : *fields) {
    Ref<Obj> blank;
    if (const RepFieldDef* def = ObjCast<RepFieldDef>(item))
      RepMakeBlankObject(&blank, def->type());
    ListPushLastItemInternal(values.get(), RepNewFieldValue(state, std::move(blank)));
  }
  Ref<RepRecord> record = RepRecord::New();
  record->set_values(std::move(values));
  return record;
}

int RepCompareData(const Obj* a, const Obj* b, int32_t type) noexcept {
  switch (type) {
    case kRepTypeInteger:
    case kRepTypeTimePassed:
    case kRepTypeSysTime:
      return CompareAs<ObjInteger>(a, b, [](const ObjInteger& x, const ObjInteger& y) {
        return Sign(x.value(), y.value());
      });
    case kRepTypeString:
      return CompareAs<ObjString>(a, b, [](const ObjString& x, const ObjString& y) {
        int r = StrCompareNoCase(x.value(), y.value());
        return Sign(r, 0);
      });
    case kRepTypeBoolean:
      return CompareAs<ObjBoolean>(a, b, [](const ObjBoolean& x, const ObjBoolean& y) {
        return Sign<int>(x.value(), y.value());
      });
    case kRepTypeDate:
      return CompareAs<RepDateValue>(a, b, [](const RepDateValue& x, const RepDateValue& y) {
        if (int r = Sign(x.year(), y.year())) return r;
        if (int r = Sign(x.month(), y.month())) return r;
        return Sign(x.day(), y.day());
      });
    case kRepTypeTime:
      return CompareAs<RepTimeValue>(a, b, [](const RepTimeValue& x, const RepTimeValue& y) {
        if (int r = Sign(x.hour(), y.hour())) return r;
        if (int r = Sign(x.minute(), y.minute())) return r;
        if (int r = Sign(x.second(), y.second())) return r;
        return Sign(x.reserved(), y.reserved());
      });
    case kRepTypeHdwmyCount:
      return CompareAs<RepHdwmyCountValue>(
          a, b, [](const RepHdwmyCountValue& x, const RepHdwmyCountValue& y) {
            return Sign(HdwmyHours(x), HdwmyHours(y));
          });
    case kRepTypeDaysInWeek:
      return CompareAs<RepDaysInWeekValue>(
          a, b, [](const RepDaysInWeekValue& x, const RepDaysInWeekValue& y) {
            return CompareBytes(x.days(), y.days(), RepDaysInWeekValue::kUsed);
          });
    case kRepTypeDaysInMonth:
      return CompareAs<RepDaysInMonthValue>(
          a, b, [](const RepDaysInMonthValue& x, const RepDaysInMonthValue& y) {
            return CompareBytes(x.days(), y.days(), RepDaysInMonthValue::kUsed);
          });
    case kRepTypeWeeksInMonth:
      return CompareAs<RepWeeksInMonthValue>(
          a, b, [](const RepWeeksInMonthValue& x, const RepWeeksInMonthValue& y) {
            return CompareBytes(x.weeks(), y.weeks(), RepWeeksInMonthValue::kUsed);
          });
    case kRepTypeInt64:
    case kRepTypeDataCount:
      return CompareAs<ObjInt64>(
          a, b, [](const ObjInt64& x, const ObjInt64& y) { return Sign(x.value(), y.value()); });
    case kRepTypeUnique:
      return CompareAs<ObjUnique>(a, b, [](const ObjUnique& x, const ObjUnique& y) {
        UniqueId u, v;
        std::memcpy(u.bytes, x.bytes(), sizeof u.bytes);
        std::memcpy(v.bytes, y.bytes(), sizeof v.bytes);
        return Sign(UniqueCompare(&u, &v), 0);
      });
    default:  // selectiontree, pluginscreen and unknown types have no order
      return 0;
  }
}

int RepDeriveValue(Ref<Obj>* value, int32_t target_type, const Obj* source_value,
                   int32_t source_type) noexcept {
  if (value == nullptr) return 0;
  if (source_type != kRepTypeSysTime) {
    TraceMessage(kTag, 12, 0, -1, "RepDeriveValue - Cannot derive type %d", source_type);
    return 0;
  }
  const ObjInteger* source = ObjCast<ObjInteger>(source_value);
  if (target_type == kRepTypeDate) {
    TimeDate d;
    if (source == nullptr || TimeToDateStruct(&d, source->value()) == 0) {
      TraceMessage(kTag, 13, 0, -1, "RepDeriveValue - Failed when converting systime to date");
      return 0;
    }
    *value = NewDate(d.year, d.month, d.day);
    return 1;
  }
  if (target_type == kRepTypeTime) {
    TimeOfDay t;
    if (source == nullptr || TimeToTimeOfDayStruct(&t, source->value()) == 0) {
      TraceMessage(kTag, 14, 0, -1, "RepDeriveValue - Failed when converting systime to time");
      return 0;
    }
    *value = NewTime(t.hour, t.minute, t.second);
    return 1;
  }
  TraceMessage(kTag, 15, 0, -1, "RepDeriveValue - Cannot convert systime fields to type %d",
               target_type);
  return 0;
}

int RepExtractValue(std::string* text, const char** end, const char* source) noexcept {
  if (source == nullptr || *source == '\0') {
    TraceMessage(kTag, 16, 0, -1, "Value string is of no length!");
    return kRepExtractEmpty;
  }
  if (text == nullptr || end == nullptr) return 0;
  const char* stop;
  const char* start = source;
  if (*source == '"' || *source == '\'') {
    ++start;
    stop = std::strchr(start, *source);
    if (stop == nullptr) {
      TraceMessage(kTag, 17, 0, -1, "No closing quote for value '%s'", source);
      return kRepExtractNoClosingQuote;
    }
  } else {
    stop = start;
    while (*stop != '\0' && *stop != ' ' && *stop != '\t' && *stop != ')') ++stop;
  }
  try {
    text->assign(start, stop);
  } catch (...) {
    return 0;
  }
  *end = *stop != '\0' ? stop + 1 : stop;
  return kRepExtractOk;
}

const char* RepStateToText(int32_t state) noexcept {
  const Words& w = TheWords();
  if (state >= 0 && state < kRepStateCount) return w.states[state].text;
  TraceMessage(kTag, 18, 0, -1, "Warning - cannot convert unknown state to text");
  return w.unrecognised_state;
}

int RepStateTextToState(int32_t* state, const char* text) noexcept {
  if (state == nullptr) return 0;
  const Words& w = TheWords();
  if (text != nullptr) {
    for (int32_t s = 0; s < kRepStateCount; ++s) {
      if (StartsWithWord(text, w.states[s])) {
        *state = s;
        return 1;
      }
    }
  }
  TraceMessage(kTag, 19, 0, -1, "Cannot convert text '%s' to state value", text ? text : "");
  return 0;
}

// --- encoding ------------------------------------------------------------------------------------

int RepEncodeData(Ref<Obj>* value, const char* text, int32_t type) noexcept {
  if (value == nullptr) return 0;
  try {
    Ref<Obj> v = Encode(text != nullptr ? text : "", type);
    if (!v) return 0;
    *value = std::move(v);
    return 1;
  } catch (...) {  // a text copy that could not be allocated
    return 0;
  }
}

RepContextData* RepGetContextData() noexcept { return ContextPluginData<RepContextData>(); }

int RepSetTimeNow(int64_t time) noexcept {
  RepContextData* d = RepGetContextData();
  if (TimeToBreakdownStruct(&d->now_breakdown, time) == 0) return 0;
  d->now = time;
  return 1;
}

// --- shared values -------------------------------------------------------------------------------

namespace {

constexpr size_t kCacheTextMax = 47;         // longer texts are encoded afresh every time
constexpr size_t kCacheColumnLimit = 65536;  // texts remembered per column
constexpr uint64_t kCacheFirstLookups = 4096;   // fewer than 1% hits by then: stop
constexpr uint64_t kCacheTrialLookups = 65536;  // fewer than 25% hits by then: stop

// One remembered text: 64 bytes, so a probe touches one cache line.
struct CacheSlot {
  uint32_t hash = 0;
  uint8_t length = 0;
  char text[kCacheTextMax] = {};
  RepFieldValue* value = nullptr;  // owned: one reference, dropped with the cache
};
static_assert(sizeof(CacheSlot) == 64);

uint32_t TextHash(const char* text, size_t length) {
  uint64_t h = 0x9e3779b97f4a7c15ull ^ length;
  for (size_t i = 0; i < length; ++i) h = (h ^ static_cast<unsigned char>(text[i])) * 0x100000001b3ull;
  h ^= h >> 29;
  return static_cast<uint32_t>(h) | 1u;  // 0 marks a free slot
}

Ref<RepFieldValue> EncodeFieldValue(const char* text, int32_t type) {
  Ref<Obj> v;
  if (RepEncodeData(&v, text, type) == 1) return RepNewFieldValue(kRepStateNormal, std::move(v));
  return RepNewFieldValue(kRepStateUnknown, nullptr);
}

}  // namespace

// Open addressing with linear probing over a power-of-two table kept at most half full.
struct RepValueCache::Column {
  std::vector<CacheSlot> slots;
  size_t used = 0;
  int32_t type = -1;
  uint64_t lookups = 0, hits = 0;
  bool remembering = true;

  ~Column() {
    for (CacheSlot& s : slots) ObjDecRefCount(s.value);
  }

  void Grow() {
    std::vector<CacheSlot> old = std::move(slots);
    slots.assign(old.empty() ? 1024 : old.size() * 2, CacheSlot{});
    const size_t mask = slots.size() - 1;
    for (const CacheSlot& s : old) {
      if (s.hash == 0) continue;
      size_t i = s.hash & mask;
      while (slots[i].hash != 0) i = (i + 1) & mask;
      slots[i] = s;
    }
  }
};

RepValueCache::RepValueCache(size_t columns) noexcept {
  columns_ = new (std::nothrow) Column[columns];
  column_count_ = columns_ != nullptr ? columns : 0;
}

RepValueCache::~RepValueCache() { delete[] columns_; }

Ref<RepFieldValue> RepValueCache::Encode(size_t column, const char* text, int32_t type) noexcept {
  if (text == nullptr) text = "";
  const size_t length = std::strlen(text);
  if (column >= column_count_ || length > kCacheTextMax) return EncodeFieldValue(text, type);
  Column& c = columns_[column];
  if (c.type != type) {  // a column read as another type: what it remembered no longer applies
    c.~Column();
    new (&c) Column();
    c.type = type;
  }
  if (!c.remembering) return EncodeFieldValue(text, type);
  ++c.lookups;
  if ((c.lookups == kCacheFirstLookups && c.hits * 100 < c.lookups) ||
      (c.lookups == kCacheTrialLookups && c.hits * 4 < c.lookups)) {
    c.remembering = false;  // nearly every text differs: sharing would save nothing
  }
  try {
    if (c.slots.empty()) c.Grow();
  } catch (...) {  // no room for a table: encode without remembering
    c.remembering = false;
    return EncodeFieldValue(text, type);
  }
  const uint32_t hash = TextHash(text, length);
  const size_t mask = c.slots.size() - 1;
  size_t i = hash & mask;
  for (; c.slots[i].hash != 0; i = (i + 1) & mask) {
    const CacheSlot& s = c.slots[i];
    if (s.hash == hash && s.length == length && std::memcmp(s.text, text, length) == 0) {
      ++c.hits;
      ++hits_;
      return Ref<RepFieldValue>::Share(s.value);
    }
  }
  Ref<RepFieldValue> made = EncodeFieldValue(text, type);
  if (made == nullptr || c.used >= kCacheColumnLimit) return made;
  if ((c.used + 1) * 2 > c.slots.size()) {
    try {
      c.Grow();
    } catch (...) {
      return made;
    }
    for (i = hash & (c.slots.size() - 1); c.slots[i].hash != 0; i = (i + 1) & (c.slots.size() - 1)) {
    }
  }
  CacheSlot& s = c.slots[i];
  s.hash = hash;
  s.length = static_cast<uint8_t>(length);
  std::memcpy(s.text, text, length);
  s.value = made.get();
  ObjIncRefCount(s.value);
  ++c.used;
  return made;
}

RepFieldValue* RepRecordOwnValue(RepRecord* record, size_t index) noexcept {
  if (record == nullptr) return nullptr;
  List* values = record->values();
  RepFieldValue* v = record->value_at(index);
  if (v == nullptr || v->ref_count <= 1) return v;
  Ref<Obj> copy;
  if (ObjDuplicate(&copy, v) != 1) return nullptr;
  ListRemoveNthItem(values, index + 1);
  ListInsertAt(values, index + 1, copy.get());
  return ObjCast<RepFieldValue>(values->at(index));
}

namespace {

// True when `obj` is a value object of the form the field type holds.
bool ValueFitsType(const Obj* obj, int32_t type) {
  switch (type) {
    case kRepTypeInteger:
    case kRepTypeTimePassed:
    case kRepTypeSysTime:
      return ObjCheckTypeInternal(obj, kObjIntegerType) == 1;
    case kRepTypeString:
      return ObjCheckTypeInternal(obj, kObjStringType) == 1;
    case kRepTypeBoolean:
      return ObjCheckTypeInternal(obj, kObjBooleanType) == 1;
    case kRepTypeInt64:
    case kRepTypeDataCount:
      return ObjCheckTypeInternal(obj, kObjInt64Type) == 1;
    case kRepTypeUnique:
      return ObjCheckTypeInternal(obj, kObjUniqueType) == 1;
    case kRepTypeDate:
      return ObjCast<RepDateValue>(obj) != nullptr;
    case kRepTypeTime:
      return ObjCast<RepTimeValue>(obj) != nullptr;
    case kRepTypeHdwmyCount:
      return ObjCast<RepHdwmyCountValue>(obj) != nullptr;
    case kRepTypeSelectionTree:
      return ObjCast<RepSelectionTreeValue>(obj) != nullptr;
    case kRepTypePluginScreen:
      return ObjCast<RepPluginScreenValue>(obj) != nullptr;
    case kRepTypeDaysInWeek:
      return ObjCast<RepDaysInWeekValue>(obj) != nullptr;
    case kRepTypeDaysInMonth:
      return ObjCast<RepDaysInMonthValue>(obj) != nullptr;
    case kRepTypeWeeksInMonth:
      return ObjCast<RepWeeksInMonthValue>(obj) != nullptr;
    default:
      return false;
  }
}

}  // namespace

bool kr_internal::RepCheckIncomingRecords(List* records, const RepFieldList* fields) noexcept {
  if (records == nullptr) return true;
  const size_t count = ListGetItemCount(fields);
  for (Obj* item : *records) {
    const RepRecord* record = ObjCast<RepRecord>(item);
    if (record == nullptr || record->values() == nullptr) return false;
    if (fields == nullptr) continue;
    if (record->values()->size() != count) return false;
    for (size_t i = 0; i < count; ++i) {
      RepFieldValue* value = ObjCast<RepFieldValue>(record->values()->at(i));
      if (value == nullptr) return false;
      const RepFieldDef* field = ObjCast<RepFieldDef>(fields->at(i));
      if (value->state() < 0 || value->state() >= kRepStateCount) {
        value->set_state(kRepStateUnknown);
      } else if (value->state() == kRepStateNormal &&
                 (field == nullptr || !ValueFitsType(value->value(), field->type()))) {
        value->set_state(kRepStateUnknown);
      }
    }
  }
  return true;
}
