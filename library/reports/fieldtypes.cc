// The behaviours of the sixteen field types: shared helpers first, then one section per type (or
// per family of types that hold the same object), then the table that names them.

#include "fieldtypes.h"

#include <charconv>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "kr/config.h"
#include "kr/text.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "kr/tree.h"
#include "kr/unique.h"
#include "reports/format.h"
#include "reports/reports.h"

namespace {

// Reading values from text and deriving them are part of the values area and trace under its
// tag, with the message numbers they have always had there.
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

// The keywords values are read with.
struct Words {
  Word now, today;
  Word true_words[3], false_words[3];
  Word days[7];
  Word last_day;
  Word last_week[2];
  Word units[kUnitCount];
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

// The localised texts values are rendered with.
struct RenderTexts {
  std::string_view none, yes, no;
  std::string_view units[5];
  std::string_view last, include, exclude;
};

const RenderTexts& Texts() noexcept {
  static const RenderTexts texts = [] {
    RenderTexts t{};
    t.none = LocaleGetStaticString("None", 8262);
    t.yes = LocaleGetStaticString("Yes", 8263);
    t.no = LocaleGetStaticString("No", 8264);
    const char* units[5] = {" hrs", " days", " wks", " mths", " yrs"};
    for (int i = 0; i < 5; ++i) t.units[i] = LocaleGetStaticString(units[i], 8265 + i);
    t.last = LocaleGetStaticString("last", 8270);
    t.include = LocaleGetStaticString("Include: ", 8272);
    t.exclude = LocaleGetStaticString("Exclude: ", 8273);
    return t;
  }();
  return texts;
}

// --- ordering and hashing helpers ----------------------------------------------------------------

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

uint64_t HashBytes(const unsigned char* b, size_t n) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 0x100000001b3ull;
  return h;
}

// Hash of a text as StrCompareNoCase sees it: ASCII letters folded, every other byte as is.
uint64_t HashFoldedText(const char* s) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p != 0; ++p) {
    unsigned char c = *p;
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    h = (h ^ c) * 0x100000001b3ull;
  }
  return h;
}

// The runtime's integer, 64-bit integer and boolean objects: ordered by their value, which is
// their key as well.
template <class V>
int CompareNumber(const Obj* a, const Obj* b) noexcept {
  return CompareAs<V>(a, b, [](const V& x, const V& y) { return Sign(x.value(), y.value()); });
}

template <class V>
bool HashNumber(const Obj* value, uint64_t* key) noexcept {
  const V* x = ObjCast<V>(value);
  if (x == nullptr) return false;
  *key = static_cast<uint64_t>(static_cast<int64_t>(x->value()));
  return true;
}

// The types held in a typed view of the library: blank is a new view, the form is the view's.
template <class V>
Ref<Obj> BlankView() noexcept {
  return V::New();
}

template <class V>
bool FitsView(const Obj* value) noexcept {
  return ObjCast<V>(value) != nullptr;
}

// The types whose values all compare equal: any two values of the form meet in a join.
int NoOrder(const Obj*, const Obj*) noexcept { return 0; }

template <class V>
bool HashUnordered(const Obj* value, uint64_t* key) noexcept {
  if (ObjCast<V>(value) == nullptr) return false;
  *key = 0;
  return true;
}

// --- reading and writing helpers -----------------------------------------------------------------

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

// "%.2ld:%.2ld:%.2ld", as a duration or a time of day is written.
void AppendClock(std::string* out, int64_t h, int64_t m, int64_t s) {
  char buf[72];
  int n = std::snprintf(buf, sizeof(buf), "%.2" PRId64 ":%.2" PRId64 ":%.2" PRId64, h, m, s);
  if (n > 0) out->append(buf, static_cast<size_t>(n));
}

// The text a renderer built in the scratch text.
bool Rendered(std::string_view* text, const std::string& s) {
  *text = s;
  return true;
}

// --- integer, timepassed, systime: the runtime's integer object ---------------------------------

Ref<Obj> BlankInteger() noexcept { return ObjNewInteger(0); }

bool FitsInteger(const Obj* value) noexcept {
  // The common value first, by its type index alone; the code check takes any type of that code.
  if (value != nullptr && value->type_index == ObjInteger::TypeIndex()) return true;
  return ObjCheckTypeInternal(value, kObjIntegerType) == 1;
}

Ref<Obj> EncodeInteger(const char* text) noexcept {
  int32_t v;
  return StrToInteger(&v, text) ? ObjNewInteger(v) : nullptr;
}

bool RenderInteger(const Obj* value, DString* scratch, std::string_view* text) noexcept {
  kr_internal::AppendDecimal(&scratch->text, ObjGetInteger(value));
  return Rendered(text, scratch->text);
}

// timepassed: seconds, read and written as hours, minutes and seconds.
Ref<Obj> EncodeTimePassed(const char* text) noexcept {
  int32_t h, m, s;
  if (!ParseClock(text, &h, &m, &s)) {
    TraceMessage(kTag, 6, 0, -1, "Failed to interpret time passed '%s'", text);
    return nullptr;
  }
  return ObjNewInteger(h * 3600 + m * 60 + s);
}

bool RenderTimePassed(const Obj* value, DString* scratch, std::string_view* text) noexcept {
  const int32_t secs = ObjGetInteger(value);
  AppendClock(&scratch->text, secs / 3600, (secs % 3600) / 60, (secs % 3600) % 60);
  return Rendered(text, scratch->text);
}

// systime: seconds since 1970, read as a number or relative to the report's current time.
Ref<Obj> EncodeSysTime(const char* text) noexcept {
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

// A systime gives its local date or time of day.
int DeriveFromSysTime(Ref<Obj>* value, int32_t target_type, const Obj* source_value) noexcept {
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

// --- string --------------------------------------------------------------------------------------

Ref<Obj> BlankString() noexcept { return ObjNewString(""); }

bool FitsString(const Obj* value) noexcept {
  // The common value first, by its type index alone; the code check takes any type of that code.
  if (value != nullptr && value->type_index == ObjString::TypeIndex()) return true;
  return ObjCheckTypeInternal(value, kObjStringType) == 1;
}

// Case-blind over ASCII letters.
int CompareString(const Obj* a, const Obj* b) noexcept {
  return CompareAs<ObjString>(a, b, [](const ObjString& x, const ObjString& y) {
    int r = StrCompareNoCase(x.value(), y.value());
    return Sign(r, 0);
  });
}

bool HashString(const Obj* value, uint64_t* key) noexcept {
  const ObjString* x = ObjCast<ObjString>(value);
  if (x == nullptr) return false;
  // A string object holding no text equals only another such object.
  *key = x->value() == nullptr ? 0x5bd1e995ull : HashFoldedText(x->value());
  return true;
}

Ref<Obj> EncodeString(const char* text) noexcept { return ObjNewString(text); }

// An empty text shows as the word for none; a text is its own view, valid while the value lives.
bool RenderString(const Obj* value, DString*, std::string_view* text) noexcept {
  const char* v = ObjGetString(value);
  *text = (v == nullptr || *v == '\0') ? Texts().none : std::string_view(v);
  return true;
}

// --- boolean -------------------------------------------------------------------------------------

Ref<Obj> BlankBoolean() noexcept { return ObjNewBoolean(false); }

bool FitsBoolean(const Obj* value) noexcept {
  return ObjCheckTypeInternal(value, kObjBooleanType) == 1;
}

Ref<Obj> EncodeBoolean(const char* text) noexcept {
  const Words& w = TheWords();
  for (const Word& t : w.true_words)
    if (StrCompareNoCase(text, t.text) == 0) return ObjNewBoolean(true);
  for (const Word& f : w.false_words)
    if (StrCompareNoCase(text, f.text) == 0) return ObjNewBoolean(false);
  return nullptr;
}

bool RenderBoolean(const Obj* value, DString*, std::string_view* text) noexcept {
  *text = ObjGetBoolean(value) ? Texts().yes : Texts().no;
  return true;
}

// --- date ----------------------------------------------------------------------------------------

int CompareDate(const Obj* a, const Obj* b) noexcept {
  return CompareAs<RepDateValue>(a, b, [](const RepDateValue& x, const RepDateValue& y) {
    if (int r = Sign(x.year(), y.year())) return r;
    if (int r = Sign(x.month(), y.month())) return r;
    return Sign(x.day(), y.day());
  });
}

bool HashDate(const Obj* value, uint64_t* key) noexcept {
  const RepDateValue* x = ObjCast<RepDateValue>(value);
  if (x == nullptr) return false;
  *key = kr_internal::HashCombine(
      kr_internal::HashCombine(static_cast<uint32_t>(x->year()), static_cast<uint32_t>(x->month())),
      static_cast<uint32_t>(x->day()));
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

Ref<Obj> EncodeDate(const char* text) noexcept {
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

bool RenderDate(const Obj* value, DString* scratch, std::string_view* text) noexcept {
  const RepDateValue* d = ObjCast<RepDateValue>(value);
  if (d == nullptr) return false;
  TimeDate date{d->year(), d->month(), d->day(), 0};
  int64_t time = 0;
  char buf[24];
  if (!TimeFromDate(&time, &date) || !TimeToLongDateStringInternal(buf, sizeof(buf), time, 1, 0))
    return false;
  scratch->text.append(buf);
  return Rendered(text, scratch->text);
}

// --- time ----------------------------------------------------------------------------------------

int CompareTime(const Obj* a, const Obj* b) noexcept {
  return CompareAs<RepTimeValue>(a, b, [](const RepTimeValue& x, const RepTimeValue& y) {
    if (int r = Sign(x.hour(), y.hour())) return r;
    if (int r = Sign(x.minute(), y.minute())) return r;
    if (int r = Sign(x.second(), y.second())) return r;
    return Sign(x.reserved(), y.reserved());
  });
}

bool HashTime(const Obj* value, uint64_t* key) noexcept {
  const RepTimeValue* x = ObjCast<RepTimeValue>(value);
  if (x == nullptr) return false;
  using kr_internal::HashCombine;
  *key = HashCombine(
      HashCombine(HashCombine(static_cast<uint32_t>(x->hour()), static_cast<uint32_t>(x->minute())),
                  static_cast<uint32_t>(x->second())),
      static_cast<uint32_t>(x->reserved()));
  return true;
}

Ref<Obj> EncodeTime(const char* text) noexcept {
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

bool RenderTime(const Obj* value, DString* scratch, std::string_view* text) noexcept {
  const RepTimeValue* v = ObjCast<RepTimeValue>(value);
  if (v == nullptr) return false;
  AppendClock(&scratch->text, v->hour(), v->minute(), v->second());
  return Rendered(text, scratch->text);
}

// --- hdwmycount ----------------------------------------------------------------------------------

// Reduced to hours (a month is 31 days, a year 365); 64-bit so a large count cannot overflow.
int64_t HdwmyHours(const RepHdwmyCountValue& v) {
  static constexpr int64_t kHours[5] = {1, 24, 168, 744, 8760};
  const int32_t u = v.unit();
  return (u >= 0 && u < 5) ? static_cast<int64_t>(v.count()) * kHours[u] : 0;
}

int CompareHdwmyCount(const Obj* a, const Obj* b) noexcept {
  return CompareAs<RepHdwmyCountValue>(
      a, b, [](const RepHdwmyCountValue& x, const RepHdwmyCountValue& y) {
        return Sign(HdwmyHours(x), HdwmyHours(y));
      });
}

bool HashHdwmyCount(const Obj* value, uint64_t* key) noexcept {
  const RepHdwmyCountValue* x = ObjCast<RepHdwmyCountValue>(value);
  if (x == nullptr) return false;
  *key = static_cast<uint64_t>(HdwmyHours(*x));
  return true;
}

// A count, then one unit letter.
Ref<Obj> EncodeHdwmyCount(const char* text) noexcept {
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

bool RenderHdwmyCount(const Obj* value, DString* scratch, std::string_view* text) noexcept {
  const RepHdwmyCountValue* v = ObjCast<RepHdwmyCountValue>(value);
  if (v == nullptr) return false;
  std::string& s = scratch->text;
  kr_internal::AppendDecimal(&s, v->count());
  if (v->unit() >= 0 && v->unit() <= 4) s.append(Texts().units[v->unit()]);
  return Rendered(text, s);
}

// --- selectiontree -------------------------------------------------------------------------------

const char* SlotText(const Obj* obj, int slot) noexcept {
  const char* s = ObjGetSlotString(obj, slot);
  return StrOrEmpty(s);
}

// One line per included or excluded item: the word, then the names from the root down.
int AppendSelectionLine(TreeNode* node, void* cookie) {
  const Obj* item = TreeNodeItem(node);
  bool include = ObjGetSlotBoolean(item, 7);
  bool exclude = ObjGetSlotBoolean(item, 8);
  if (!include && !exclude) return 1;
  std::string* out = static_cast<std::string*>(cookie);
  out->append(include ? Texts().include : Texts().exclude);
  std::vector<const TreeNode*> path;
  for (const TreeNode* n = node; n != nullptr; n = TreeNodeParent(n)) path.push_back(n);
  for (size_t i = path.size(); i-- > 0;) {
    out->append(SlotText(TreeNodeItem(path[i]), 2));
    if (i != 0) out->append("->");
  }
  out->push_back('\n');
  return 1;
}

bool RenderSelectionTree(const Obj* value, DString* scratch, std::string_view* text) noexcept {
  const RepSelectionTreeValue* v = ObjCast<RepSelectionTreeValue>(value);
  const Tree* tree = v != nullptr ? ObjCast<Tree>(v->tree()) : nullptr;
  if (tree != nullptr) TreeWalk(tree, AppendSelectionLine, &scratch->text);
  return Rendered(text, scratch->text);
}

// --- daysinweek, daysinmonth, weeksinmonth: byte blocks of selected days or weeks ---------------

// A block's bytes, through the view's accessor; compared and hashed over the bytes in use.
template <class V>
const unsigned char* BlockBytes(const V& v) {
  if constexpr (std::is_same_v<V, RepWeeksInMonthValue>) {
    return v.weeks();
  } else {
    return v.days();
  }
}

template <class V>
int CompareBlock(const Obj* a, const Obj* b) noexcept {
  return CompareAs<V>(a, b, [](const V& x, const V& y) {
    return CompareBytes(BlockBytes(x), BlockBytes(y), V::kUsed);
  });
}

template <class V>
bool HashBlock(const Obj* value, uint64_t* key) noexcept {
  const V* x = ObjCast<V>(value);
  if (x == nullptr) return false;
  *key = HashBytes(BlockBytes(*x), V::kUsed);
  return true;
}

// Two-letter day words, in any order.
Ref<Obj> EncodeDaysInWeek(const char* text) noexcept {
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

bool RenderDaysInWeek(const Obj* value, DString* scratch, std::string_view* text) noexcept {
  const RepDaysInWeekValue* v = ObjCast<RepDaysInWeekValue>(value);
  if (v == nullptr) return false;
  static const char kDays[] = "MTWTFSS";
  std::string& s = scratch->text;
  for (size_t i = 0; i < 7; ++i) s += v->days()[i] == 1 ? kDays[i] : '-';
  return Rendered(text, s);
}

// Day numbers and the word for the last day, separated by commas.
Ref<Obj> EncodeDaysInMonth(const char* text) noexcept {
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

bool RenderDaysInMonth(const Obj* value, DString* scratch, std::string_view* text) noexcept {
  const RepDaysInMonthValue* v = ObjCast<RepDaysInMonthValue>(value);
  if (v == nullptr) return false;
  std::string& s = scratch->text;
  for (size_t i = 0; i < 32; ++i) {
    if (v->days()[i] != 1) continue;
    if (!s.empty()) s += ',';
    if (i == RepDaysInMonthValue::kLastDay)
      s.append(Texts().last);
    else
      kr_internal::AppendDecimal(&s, static_cast<int64_t>(i) + 1);
  }
  return Rendered(text, s);
}

// Week digits 1-4 and the word for the last week, run together.
Ref<Obj> EncodeWeeksInMonth(const char* text) noexcept {
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

bool RenderWeeksInMonth(const Obj* value, DString* scratch, std::string_view* text) noexcept {
  const RepWeeksInMonthValue* v = ObjCast<RepWeeksInMonthValue>(value);
  if (v == nullptr) return false;
  static const char kWeeks[] = "1234L";
  std::string& s = scratch->text;
  for (size_t i = 0; i < 5; ++i) s += v->weeks()[i] == 1 ? kWeeks[i] : '-';
  return Rendered(text, s);
}

// --- pluginscreen --------------------------------------------------------------------------------

// Added to what the scratch text holds, as RepPluginScreenToText writes.
bool RenderPluginScreen(const Obj* value, DString* scratch, std::string_view* text) noexcept {
  const RepPluginScreenValue* v = ObjCast<RepPluginScreenValue>(value);
  if (v == nullptr || !RepPluginScreenToText(scratch, v->tree())) return false;
  return Rendered(text, scratch->text);
}

// --- int64, datacount: the runtime's 64-bit integer object ---------------------------------------

Ref<Obj> BlankInt64() noexcept { return ObjNewInt64(0); }

bool FitsInt64(const Obj* value) noexcept {
  // The common value first, by its type index alone; the code check takes any type of that code.
  if (value != nullptr && value->type_index == ObjInt64::TypeIndex()) return true;
  return ObjCheckTypeInternal(value, kObjInt64Type) == 1;
}

Ref<Obj> EncodeInt64(const char* text) noexcept {
  int64_t v;
  return StrToInt64(&v, text) ? ObjNewInt64(v) : nullptr;
}

bool RenderInt64(const Obj* value, DString* scratch, std::string_view* text) noexcept {
  kr_internal::AppendDecimal(&scratch->text, ObjGetInt64(value));
  return Rendered(text, scratch->text);
}

// datacount: bytes. Digits, then an optional unit: "b" on its first character, "kb" to "pb" on
// two. A number or a product beyond 64 bits is refused rather than wrapped.
Ref<Obj> EncodeDataCount(const char* text) noexcept {
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

// B and KB as whole numbers, then whole and tenths in MB, GB, TB, PB and EB.
bool RenderDataCount(const Obj* value, DString* scratch, std::string_view* text) noexcept {
  std::string* out = &scratch->text;
  const int64_t v = ObjGetInt64(value);
  if (v < 1024) {
    kr_internal::AppendDecimal(out, v);
    out->append("B");
    return Rendered(text, *out);
  }
  if (v < (int64_t{1} << 20)) {
    kr_internal::AppendDecimal(out, v / 1024);
    out->append("KB");
    return Rendered(text, *out);
  }
  static const char* const kUnits[] = {"MB", "GB", "TB", "PB", "EB"};
  int shift = 20, u = 0;
  while (u < 4 && v >= (int64_t{1} << (shift + 10))) {
    shift += 10;
    ++u;
  }
  const int64_t unit = int64_t{1} << shift;
  const int64_t whole = v / unit;
  // (v mod unit) * 10 would overflow for EB; the remainder's top bits give the same tenth.
  const uint64_t rest = static_cast<uint64_t>(v % unit);
  const int64_t tenth = static_cast<int64_t>((rest * 10) >> shift);
  kr_internal::AppendDecimal(out, whole);
  if (tenth != 0) {
    out->push_back('.');
    kr_internal::AppendDecimal(out, tenth);
  }
  out->append(kUnits[u]);
  return Rendered(text, *out);
}

// --- unique --------------------------------------------------------------------------------------

Ref<Obj> BlankUnique() noexcept {
  UniqueId id;
  UniqueInvalidate(&id);
  return ObjNewUnique(id);
}

bool FitsUnique(const Obj* value) noexcept {
  return ObjCheckTypeInternal(value, kObjUniqueType) == 1;
}

int CompareUnique(const Obj* a, const Obj* b) noexcept {
  return CompareAs<ObjUnique>(a, b, [](const ObjUnique& x, const ObjUnique& y) {
    UniqueId u, v;
    std::memcpy(u.bytes, x.bytes(), sizeof u.bytes);
    std::memcpy(v.bytes, y.bytes(), sizeof v.bytes);
    return Sign(UniqueCompare(&u, &v), 0);
  });
}

bool HashUnique(const Obj* value, uint64_t* key) noexcept {
  const ObjUnique* x = ObjCast<ObjUnique>(value);
  if (x == nullptr) return false;
  *key = HashBytes(x->bytes(), 16);
  return true;
}

Ref<Obj> EncodeUnique(const char* text) noexcept {
  UniqueId id;
  return UniqueFromString(&id, text) ? ObjNewUnique(id) : nullptr;
}

// A value that is not a unique id shows as the invalid one.
bool RenderUnique(const Obj* value, DString* scratch, std::string_view* text) noexcept {
  UniqueId id{};
  if (!ObjGetUnique(&id, value)) UniqueInvalidate(&id);
  UniqueToString(&scratch->text, &id);
  return Rendered(text, scratch->text);
}

}  // namespace

void kr_internal::AppendDecimal(std::string* out, int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof(buf), v);
  out->append(buf, static_cast<size_t>(r.ptr - buf));
}

// Indexed by type code; a member left out is null (no text form, nothing derived) or false.
const kr_internal::FieldTypeOps kr_internal::kFieldTypeOps[kRepFieldTypeCount] = {
    // integer
    {.blank = BlankInteger,
     .encode = EncodeInteger,
     .fits = FitsInteger,
     .compare = CompareNumber<ObjInteger>,
     .hash = HashNumber<ObjInteger>,
     .key_is_exact = true,
     .render = RenderInteger},
    // string
    {.blank = BlankString,
     .encode = EncodeString,
     .fits = FitsString,
     .compare = CompareString,
     .hash = HashString,
     .render = RenderString},
    // boolean
    {.blank = BlankBoolean,
     .encode = EncodeBoolean,
     .fits = FitsBoolean,
     .compare = CompareNumber<ObjBoolean>,
     .hash = HashNumber<ObjBoolean>,
     .key_is_exact = true,
     .render = RenderBoolean},
    // date
    {.blank = BlankView<RepDateValue>,
     .encode = EncodeDate,
     .fits = FitsView<RepDateValue>,
     .compare = CompareDate,
     .hash = HashDate,
     .render = RenderDate},
    // time
    {.blank = BlankView<RepTimeValue>,
     .encode = EncodeTime,
     .fits = FitsView<RepTimeValue>,
     .compare = CompareTime,
     .hash = HashTime,
     .render = RenderTime},
    // timepassed
    {.blank = BlankInteger,
     .encode = EncodeTimePassed,
     .fits = FitsInteger,
     .compare = CompareNumber<ObjInteger>,
     .hash = HashNumber<ObjInteger>,
     .key_is_exact = true,
     .render = RenderTimePassed},
    // hdwmycount
    {.blank = BlankView<RepHdwmyCountValue>,
     .encode = EncodeHdwmyCount,
     .fits = FitsView<RepHdwmyCountValue>,
     .compare = CompareHdwmyCount,
     .hash = HashHdwmyCount,
     .key_is_exact = true,
     .render = RenderHdwmyCount},
    // selectiontree
    {.blank = BlankView<RepSelectionTreeValue>,
     .fits = FitsView<RepSelectionTreeValue>,
     .compare = NoOrder,
     .hash = HashUnordered<RepSelectionTreeValue>,
     .key_is_exact = true,
     .render = RenderSelectionTree},
    // daysinweek
    {.blank = BlankView<RepDaysInWeekValue>,
     .encode = EncodeDaysInWeek,
     .fits = FitsView<RepDaysInWeekValue>,
     .compare = CompareBlock<RepDaysInWeekValue>,
     .hash = HashBlock<RepDaysInWeekValue>,
     .render = RenderDaysInWeek},
    // daysinmonth
    {.blank = BlankView<RepDaysInMonthValue>,
     .encode = EncodeDaysInMonth,
     .fits = FitsView<RepDaysInMonthValue>,
     .compare = CompareBlock<RepDaysInMonthValue>,
     .hash = HashBlock<RepDaysInMonthValue>,
     .render = RenderDaysInMonth},
    // weeksinmonth
    {.blank = BlankView<RepWeeksInMonthValue>,
     .encode = EncodeWeeksInMonth,
     .fits = FitsView<RepWeeksInMonthValue>,
     .compare = CompareBlock<RepWeeksInMonthValue>,
     .hash = HashBlock<RepWeeksInMonthValue>,
     .render = RenderWeeksInMonth},
    // pluginscreen
    {.blank = BlankView<RepPluginScreenValue>,
     .fits = FitsView<RepPluginScreenValue>,
     .compare = NoOrder,
     .hash = HashUnordered<RepPluginScreenValue>,
     .key_is_exact = true,
     .render = RenderPluginScreen,
     .render_appends = true},
    // int64
    {.blank = BlankInt64,
     .encode = EncodeInt64,
     .fits = FitsInt64,
     .compare = CompareNumber<ObjInt64>,
     .hash = HashNumber<ObjInt64>,
     .key_is_exact = true,
     .render = RenderInt64},
    // systime
    {.blank = BlankInteger,
     .encode = EncodeSysTime,
     .fits = FitsInteger,
     .compare = CompareNumber<ObjInteger>,
     .hash = HashNumber<ObjInteger>,
     .key_is_exact = true,
     .render = RenderInteger,
     .derive = DeriveFromSysTime},
    // unique
    {.blank = BlankUnique,
     .encode = EncodeUnique,
     .fits = FitsUnique,
     .compare = CompareUnique,
     .hash = HashUnique,
     .render = RenderUnique},
    // datacount
    {.blank = BlankInt64,
     .encode = EncodeDataCount,
     .fits = FitsInt64,
     .compare = CompareNumber<ObjInt64>,
     .hash = HashNumber<ObjInt64>,
     .key_is_exact = true,
     .render = RenderDataCount},
};
