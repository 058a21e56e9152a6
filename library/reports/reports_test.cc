#include "reports/reports.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "kr/text.h"
#include "kr/tree.h"
#include "kr/unique.h"
#include "testing.h"

namespace {

// Seconds since the epoch of a UTC calendar time.
int64_t Utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return timegm(&tm);
}

Ref<RepFieldDef> Field(const char* name, int32_t type) { return RepNewFieldDef(name, type, 10); }

// A value as text, so tables of cases can say what they expect.
std::string Show(const Obj* v, int32_t type) {
  auto n = [](int32_t i) { return std::to_string(i); };
  if (auto* d = ObjCast<RepDateValue>(v))
    return n(d->year()) + "-" + n(d->month()) + "-" + n(d->day());
  if (auto* t = ObjCast<RepTimeValue>(v))
    return n(t->hour()) + ":" + n(t->minute()) + ":" + n(t->second()) + "/" + n(t->reserved());
  if (auto* h = ObjCast<RepHdwmyCountValue>(v)) return "u" + n(h->unit()) + " c" + n(h->count());
  UniqueId id;
  std::string s;
  if (ObjGetUnique(&id, v) && UniqueToString(&s, &id)) return s;
  size_t size = 0;
  if (const unsigned char* b = ObjGetSlotBytes(v, 1, &size)) {
    for (size_t i = 0; i < size; ++i) s += static_cast<char>('0' + b[i]);
    return s;
  }
  if (type == kRepTypeString) return ObjGetString(v) ? ObjGetString(v) : "<null>";
  if (type == kRepTypeBoolean) return ObjGetBoolean(v) ? "true" : "false";
  if (type == kRepTypeInt64 || type == kRepTypeDataCount) return std::to_string(ObjGetInt64(v));
  return n(ObjGetInteger(v));
}

Ref<Obj> Encode(const char* text, int32_t type) {
  Ref<Obj> v;
  return RepEncodeData(&v, text, type) ? v : nullptr;
}

std::string EncodeShow(const char* text, int32_t type) {
  Ref<Obj> v = Encode(text, type);
  return v ? Show(v.get(), type) : "<refused>";
}

class RecordsTest : public ::testing::Test {
 protected:
  kr_testing::TestHome home_;
};

// --- records and blank values --------------------------------------------------------------------

TEST_F(RecordsTest, BlankRecordsHaveOneBlankValuePerFieldInOrder) {
  kr_testing::TraceCapture trace;
  Ref<List> fields = ListNewFromPool();
  for (int32_t t = 0; t < kRepFieldTypeCount; ++t)
    ListPushLastItemInternal(fields.get(), Field(("f" + std::to_string(t)).c_str(), t));
  ListPushLastItemInternal(fields.get(), Field("bad", 99));
  ListPushLastItemInternal(fields.get(), ObjNewInteger(5));  // not a field definition
  Ref<RepRecord> r = RepMakeBlankRecord(fields.get(), kRepStateUnknown);
  ASSERT_EQ(r->values()->size(), static_cast<size_t>(kRepFieldTypeCount + 2));
  for (int32_t t = 0; t < kRepFieldTypeCount; ++t) {
    RepFieldValue* v = r->value_at(static_cast<size_t>(t));
    EXPECT_EQ(v->state(), kRepStateUnknown);
    ASSERT_NE(v->value(), nullptr) << t;
    // Equal to a fresh blank, which also proves the form: a mismatched object would sort first.
    Ref<Obj> other;
    ASSERT_EQ(RepMakeBlankObject(&other, t), 1);
    EXPECT_EQ(RepCompareData(v->value(), other.get(), t), 0) << t;
  }
  // Positions stay right past fields that have no blank value.
  EXPECT_EQ(r->value_at(kRepFieldTypeCount)->value(), nullptr);
  EXPECT_EQ(r->value_at(kRepFieldTypeCount + 1)->value(), nullptr);
  EXPECT_TRUE(trace.Contains("Bad object type 99 passed to RepMakeBlankObject", -1));
  EXPECT_EQ(Show(r->value_at(kRepTypeDate)->value(), kRepTypeDate), "0-0-0");
  EXPECT_EQ(Show(r->value_at(kRepTypeUnique)->value(), kRepTypeUnique),
            "00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(Show(r->value_at(kRepTypeDaysInMonth)->value(), 0), std::string(32, '0'));
  EXPECT_EQ(ObjGetSlotObject(r->value_at(kRepTypeSelectionTree)->value(), 1), nullptr);
  EXPECT_EQ(RepMakeBlankRecord(nullptr, 0), nullptr);
}

// --- comparison ----------------------------------------------------------------------------------

// For each type, texts in strictly ascending order (or groups that compare equal).
struct OrderCase {
  int32_t type;
  std::vector<std::vector<const char*>> ascending;  // each inner group compares equal
};

TEST_F(RecordsTest, CompareDataOrdersEveryType) {
  const OrderCase cases[] = {
      // clang-format off
      {kRepTypeInteger, {{"-2147483648"}, {"-1"}, {"0"}, {"7"}, {"2147483647"}}},
      {kRepTypeTimePassed, {{"000000"}, {"00:00:59"}, {"010000"}, {"23:59:59"}}},
      {kRepTypeSysTime, {{"-5"}, {"0"}, {"1700000000"}, {"2147483647"}}},
      {kRepTypeString, {{""}, {"abc", "ABC", "aBc"}, {"abd"}, {"b"}, {"\xc3\xa9"}}},
      {kRepTypeBoolean, {{"no", "FALSE", "n"}, {"yes", "true", "Y"}}},
      {kRepTypeDate, {{"19991231"}, {"20000101"}, {"20000102"}, {"20000201"}, {"2001/01/01"}}},
      {kRepTypeTime, {{"000000"}, {"000001"}, {"00:01:00"}, {"010000"}, {"235959"}}},
      {kRepTypeHdwmyCount,
       {{"-1d"}, {"0h", "0y"}, {"1h"}, {"47h"}, {"2d", "48H"}, {"1w", "7d"}, {"1m", "31d", "744h"},
        {"1y", "365d"}, {"2y"}}},
      {kRepTypeDaysInWeek, {{""}, {"SU"}, {"SA"}, {"SASU"}, {"TU"}, {"MO"}, {"MOSU", "sumo"}}},
      {kRepTypeDaysInMonth, {{""}, {"l"}, {"31"}, {"2"}, {"1"}, {"1,l"}, {"1,2"}}},
      {kRepTypeWeeksInMonth, {{""}, {"l"}, {"4"}, {"3"}, {"2"}, {"1"}, {"1L", "l1"}}},
      {kRepTypeInt64,
       {{"-9223372036854775808"}, {"-4294967296"}, {"-1"}, {"0"}, {"4294967295"}, {"4294967296"},
        {"9223372036854775807"}}},
      {kRepTypeDataCount, {{"0"}, {"1023"}, {"1kb", "1024"}, {"1mb"}, {"1pb"}}},
      {kRepTypeUnique,
       {{"00000000-0000-0000-0000-000000000000"},
        {"00000000-0000-0000-0000-000000000001"},
        {"7fffffff-0000-0000-0000-000000000000"},
        {"80000000-0000-0000-0000-000000000000", "80000000-0000-0000-0000-000000000000"},
        {"ffffffff-ffff-ffff-ffff-ffffffffffff"}}},
      // clang-format on
  };
  for (const OrderCase& c : cases) {
    std::vector<std::pair<size_t, Ref<Obj>>> values;  // (rank, value)
    for (size_t rank = 0; rank < c.ascending.size(); ++rank)
      for (const char* text : c.ascending[rank]) {
        Ref<Obj> v = Encode(text, c.type);
        ASSERT_TRUE(v) << "type " << c.type << " text '" << text << "'";
        values.emplace_back(rank, v);
      }
    for (auto& [ra, a] : values)
      for (auto& [rb, b] : values) {
        int expect = (ra > rb) - (ra < rb);
        EXPECT_EQ(RepCompareData(a.get(), b.get(), c.type), expect)
            << "type " << c.type << ": " << Show(a.get(), c.type) << " vs "
            << Show(b.get(), c.type);
      }
  }
}

TEST_F(RecordsTest, CompareDataGivesUnitResultsAndIgnoresUnorderedTypes) {
  Ref<Obj> a = ObjNewInteger(-2000000000), b = ObjNewInteger(2000000000);
  EXPECT_EQ(RepCompareData(a.get(), b.get(), kRepTypeInteger), -1);  // no overflowing subtraction
  EXPECT_EQ(RepCompareData(b.get(), a.get(), kRepTypeInteger), 1);

  // A large hdwmycount must not wrap when reduced to hours.
  Ref<Obj> big = Encode("2000000000y", kRepTypeHdwmyCount),
           small = Encode("1h", kRepTypeHdwmyCount);
  EXPECT_EQ(RepCompareData(big.get(), small.get(), kRepTypeHdwmyCount), 1);
  // A unit outside 0-4 counts as no hours.
  Ref<RepHdwmyCountValue> odd = RepHdwmyCountValue::New();
  odd->set_unit(9);
  odd->set_count(100);
  Ref<Obj> zero = Encode("0h", kRepTypeHdwmyCount);
  EXPECT_EQ(RepCompareData(odd.get(), zero.get(), kRepTypeHdwmyCount), 0);

  // Bytes past the used part of a block do not count.
  Ref<RepWeeksInMonthValue> w1 = RepWeeksInMonthValue::New(), w2 = RepWeeksInMonthValue::New();
  w2->weeks()[6] = 1;
  EXPECT_EQ(RepCompareData(w1.get(), w2.get(), kRepTypeWeeksInMonth), 0);

  Ref<RepSelectionTreeValue> s1 = RepSelectionTreeValue::New(), s2 = RepSelectionTreeValue::New();
  s2->set_tree(TreeNewFromPool());
  EXPECT_EQ(RepCompareData(s1.get(), s2.get(), kRepTypeSelectionTree), 0);
  EXPECT_EQ(RepCompareData(s1.get(), s2.get(), kRepTypePluginScreen), 0);
  EXPECT_EQ(RepCompareData(a.get(), b.get(), 16), 0);
  EXPECT_EQ(RepCompareData(a.get(), b.get(), -1), 0);
}

TEST_F(RecordsTest, CompareDataPutsMismatchedObjectsFirstWithoutCrashing) {
  Ref<Obj> i = ObjNewInteger(1), s = ObjNewString("x"), l = ObjNewInt64(1);
  // The date type code with another spec is not a date.
  Ref<Obj> fake_date = ObjNewInternal(0, RepDateValue::kTypeCode, "i;", 0, nullptr);
  Ref<Obj> date = Encode("20240101", kRepTypeDate);
  for (int32_t t = 0; t < kRepFieldTypeCount; ++t) {
    Ref<Obj> good;
    RepMakeBlankObject(&good, t);
    int ordered = (t == kRepTypeSelectionTree || t == kRepTypePluginScreen) ? 0 : 1;
    const Obj* mismatched[] = {nullptr, fake_date.get(), t == kRepTypeString ? i.get() : s.get()};
    for (const Obj* bad : mismatched) {
      EXPECT_EQ(RepCompareData(good.get(), bad, t), ordered) << t;
      EXPECT_EQ(RepCompareData(bad, good.get(), t), -ordered) << t;
      EXPECT_EQ(RepCompareData(bad, nullptr, t), 0) << t;
    }
  }
  // An integer is not a 64-bit integer, nor the other way round.
  EXPECT_EQ(RepCompareData(l.get(), i.get(), kRepTypeInt64), 1);
  EXPECT_EQ(RepCompareData(l.get(), i.get(), kRepTypeInteger), -1);
  EXPECT_EQ(RepCompareData(date.get(), fake_date.get(), kRepTypeDate), 1);
}

// --- derivation ----------------------------------------------------------------------------------

TEST_F(RecordsTest, DeriveValueFromSysTimeOnly) {
  kr_testing::ScopedTimeZone tz("UTC0");
  kr_testing::TraceCapture trace;
  Ref<Obj> t = ObjNewInteger(static_cast<int32_t>(Utc(2024, 2, 29, 23, 59, 58)));
  Ref<Obj> v;
  ASSERT_EQ(RepDeriveValue(&v, kRepTypeDate, t.get(), kRepTypeSysTime), 1);
  EXPECT_EQ(Show(v.get(), kRepTypeDate), "2024-2-29");
  ASSERT_EQ(RepDeriveValue(&v, kRepTypeTime, t.get(), kRepTypeSysTime), 1);
  EXPECT_EQ(Show(v.get(), kRepTypeTime), "23:59:58/0");
  {
    // Local time: the same instant is already 1 March an hour east.
    kr_testing::ScopedTimeZone cet("CET-1");
    ASSERT_EQ(RepDeriveValue(&v, kRepTypeDate, t.get(), kRepTypeSysTime), 1);
    EXPECT_EQ(Show(v.get(), kRepTypeDate), "2024-3-1");
  }

  Ref<Obj> kept = v;
  EXPECT_EQ(RepDeriveValue(&v, kRepTypeDate, t.get(), kRepTypeInteger), 0);
  EXPECT_TRUE(trace.Contains("RepDeriveValue - Cannot derive type 0", -1));
  EXPECT_EQ(RepDeriveValue(&v, kRepTypeString, t.get(), kRepTypeSysTime), 0);
  EXPECT_TRUE(trace.Contains("RepDeriveValue - Cannot convert systime fields to type 1", -1));
  Ref<Obj> not_a_time = ObjNewString("x");
  EXPECT_EQ(RepDeriveValue(&v, kRepTypeDate, not_a_time.get(), kRepTypeSysTime), 0);
  EXPECT_TRUE(trace.Contains("RepDeriveValue - Failed when converting systime to date", -1));
  EXPECT_EQ(RepDeriveValue(&v, kRepTypeTime, nullptr, kRepTypeSysTime), 0);
  EXPECT_TRUE(trace.Contains("RepDeriveValue - Failed when converting systime to time", -1));
  EXPECT_EQ(v, kept);  // untouched by the failures
}

// --- extracting a value's text -------------------------------------------------------------------

TEST_F(RecordsTest, ExtractValue) {
  kr_testing::TraceCapture trace;
  struct Case {
    const char* source;
    int result;
    const char* text;
    const char* rest;  // what *end points at
  } cases[] = {
      {"\"two words\" and more", 1, "two words", " and more"},
      {"'it\"s' x", 1, "it\"s", " x"},
      {"''rest", 1, "", "rest"},
      {"word) and", 1, "word", " and"},
      {"word\tnext", 1, "word", "next"},
      {"word", 1, "word", ""},
      {" leading", 1, "", "leading"},
      {"\xc3\xa9t\xc3\xa9 x", 1, "\xc3\xa9t\xc3\xa9", "x"},
      {"\"unterminated", 2, nullptr, nullptr},
      {"'", 2, nullptr, nullptr},
      {"", 3, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    std::string text = "untouched";
    const char* end = nullptr;
    EXPECT_EQ(RepExtractValue(&text, &end, c.source), c.result) << c.source;
    if (c.result == 1) {
      EXPECT_EQ(text, c.text) << c.source;
      EXPECT_STREQ(end, c.rest) << c.source;
    } else {
      EXPECT_EQ(text, "untouched");
      EXPECT_EQ(end, nullptr);
    }
  }
  EXPECT_TRUE(trace.Contains("No closing quote for value '\"unterminated'", -1));
  EXPECT_TRUE(trace.Contains("Value string is of no length!", -1));
  std::string text;
  const char* end;
  EXPECT_EQ(RepExtractValue(&text, &end, nullptr), 3);
}

// --- states --------------------------------------------------------------------------------------

TEST_F(RecordsTest, StatesToTextAndBack) {
  kr_testing::TraceCapture trace;
  const char* names[] = {"Normal", "N/A", "Unknown", "Never", "Unlimited"};
  for (int32_t s = 0; s < kRepStateCount; ++s) {
    EXPECT_STREQ(RepStateToText(s), names[s]);
    int32_t back = -1;
    ASSERT_EQ(RepStateTextToState(&back, RepStateToText(s)), 1);
    EXPECT_EQ(back, s);
  }
  EXPECT_STREQ(RepStateToText(5), "UNRECOGNISEDSTATE");
  EXPECT_STREQ(RepStateToText(-1), "UNRECOGNISEDSTATE");
  EXPECT_TRUE(trace.Contains("Warning - cannot convert unknown state to text", -1));

  int32_t state = -1;
  EXPECT_EQ(RepStateTextToState(&state, "NEVER again, in any case"), 1);
  EXPECT_EQ(state, kRepStateNever);
  EXPECT_EQ(RepStateTextToState(&state, "n/a"), 1);
  EXPECT_EQ(state, kRepStateNA);
  state = -1;
  EXPECT_EQ(RepStateTextToState(&state, "nev"), 0);
  EXPECT_EQ(RepStateTextToState(&state, ""), 0);
  EXPECT_EQ(RepStateTextToState(&state, nullptr), 0);
  EXPECT_EQ(state, -1);
  EXPECT_TRUE(trace.Contains("Cannot convert text 'nev' to state value", -1));
}

// --- encoding ------------------------------------------------------------------------------------

constexpr const char* kNo = "<refused>";

TEST_F(RecordsTest, EncodeAcceptsAndRefusesTextsOfEveryType) {
  // Per type: each text and Show() of its value, or kNo. None of these traces anything.
  const struct {
    int32_t type;
    std::vector<std::pair<const char*, const char*>> texts;
  } silent[] = {
      // clang-format off
      {kRepTypeInteger, {{"-42", "-42"}, {"2147483648", kNo}, {"12abc", kNo}, {"", kNo}}},
      {kRepTypeString, {{"any thing", "any thing"}}},
      {kRepTypeBoolean,
       {{"yes", "true"}, {"y", "true"}, {"N", "false"}, {"yeah", kNo}, {"", kNo}}},
      {kRepTypeDate,
       {{"20240230", "2024-2-30"}, {"2024/02/29", "2024-2-29"}, {"2024\\12\\31", "2024-12-31"},
        {"19000101", "1900-1-1"}, {"18991231", kNo}, {"2024-02-29", kNo}, {"20241301", kNo},
        {"20240100", kNo}, {"2024+1+1", kNo}}},
      {kRepTypeTime, {{"235959", "23:59:59/0"}, {"00:00:00", "0:0:0/0"}}},
      {kRepTypeTimePassed, {{"01:30:00", "5400"}}},
      {kRepTypeHdwmyCount, {{"12h", "u0 c12"}, {"3Y", "u4 c3"}, {"-2d", "u1 c-2"}}},
      {kRepTypeSelectionTree, {{"anything", kNo}}},
      {kRepTypePluginScreen, {{"", kNo}}},
      {kRepTypeDaysInWeek,
       {{"mosu", "10000010"}, {"MOWEFR", "10101000"}, {"", "00000000"}, {"MOT", kNo},
        {"MOXX", kNo}}},
      {kRepTypeDaysInMonth,
       {{"1,15,L", "10000000000000100000000000000001"},
        {"31", "00000000000000000000000000000010"}, {"", "00000000000000000000000000000000"},
        {"0", kNo}, {"32", kNo}, {"1,,2", kNo}, {"1, 2", kNo}}},
      {kRepTypeWeeksInMonth,
       {{"13l", "10101000"}, {"L4", "00011000"}, {"", "00000000"}, {"1,3", kNo}, {"5", kNo}}},
      {kRepTypeInt64,
       {{"-9223372036854775808", "-9223372036854775808"}, {"9223372036854775808", kNo}}},
      {kRepTypeSysTime, {{"1700000000", "1700000000"}, {"soon", kNo}}},
      {kRepTypeUnique,
       {{"3F2504E0-4F89-41D3-9A0C-0305E82C3301", "3f2504e0-4f89-41d3-9a0c-0305e82c3301"},
        {"3f2504e0-4f89-41d3-9a0c-0305e82c330", kNo}}},
      // Only a whole unit word scales; anything else after the number is ignored.
      {kRepTypeDataCount,
       {{"2KB", "2048"}, {"2k", "2"}, {"10 GB", "10"}, {"3mB", "3145728"},
        {"1PB", "1125899906842624"}, {"8191pb", "9222246136947933184"}, {"8192pb", kNo},
        {"99999999999999999999", kNo}, {"kb", kNo}}},
      {16, {{"1", kNo}}},
      // clang-format on
  };
  for (const auto& c : silent) {
    for (const auto& [text, expect] : c.texts) {
      kr_testing::TraceCapture trace;
      EXPECT_EQ(EncodeShow(text, c.type), expect) << "type " << c.type << " '" << text << "'";
      EXPECT_TRUE(trace.lines().empty()) << text << "\n" << trace.Dump();
    }
  }
  // Refusals that say why.
  const struct {
    int32_t type;
    const char* text;
    const char* message;
  } traced[] = {
      {kRepTypeTime, "24:00:00", "Failed to interpret absolute time '24:00:00'"},
      {kRepTypeTime, "12:60:00", "Failed to interpret absolute time"},
      {kRepTypeTime, "today", "Failed to interpret absolute time 'today'"},
      {kRepTypeTime, "1200", "Failed to interpret absolute time"},
      {kRepTypeTimePassed, "24:00:00", "Failed to interpret time passed '24:00:00'"},
      {kRepTypeHdwmyCount, "h", "String too short to convert to HDWMY count"},
      {kRepTypeHdwmyCount, "3x", "Bad character part of HDWMY count"},
      {kRepTypeHdwmyCount, "3\xc3\xa9", "Bad character part of HDWMY count"},
      {kRepTypeHdwmyCount, "xh", "Failed to convert number part of HDWMY constant"},
      {kRepTypeHdwmyCount, "1 h", "Failed to convert number part of HDWMY constant"},
  };
  for (const auto& c : traced) {
    kr_testing::TraceCapture trace;
    EXPECT_EQ(EncodeShow(c.text, c.type), kNo) << c.text;
    EXPECT_TRUE(trace.Contains(c.message, -1)) << c.text << "\n" << trace.Dump();
  }
}

TEST_F(RecordsTest, EncodeTreatsNullAsEmptyAndLeavesValueOnFailure) {
  Ref<Obj> v = ObjNewInteger(3);
  Obj* before = v.get();
  EXPECT_EQ(RepEncodeData(&v, "nope", kRepTypeInteger), 0);
  EXPECT_EQ(v.get(), before);
  ASSERT_EQ(RepEncodeData(&v, nullptr, kRepTypeString), 1);
  EXPECT_STREQ(ObjGetString(v.get()), "");
  EXPECT_EQ(RepEncodeData(nullptr, "1", kRepTypeInteger), 0);
}

// --- relative times under a fixed clock ----------------------------------------------------------

class RelativeTimeTest : public ::testing::Test {
 protected:
  // Makes `t` the clock and the report's current time.
  void At(int64_t t) {
    TimeSetFixed(t);
    int64_t now = 0;
    ASSERT_EQ(QuorTime(&now), 1);
    ASSERT_EQ(RepSetTimeNow(now), 1);
  }
  static kr_testing::TestHome::Options Fixed() {
    kr_testing::TestHome::Options o;
    o.fixed_time = Utc(2024, 3, 1, 10, 0, 0);
    return o;
  }
  kr_testing::ScopedTimeZone utc_{"UTC0"};
  kr_testing::TestHome home_{Fixed()};
};

struct RelativeCase {
  int64_t now;
  int32_t type;
  const char* text;
  std::string expect;
};

TEST_F(RelativeTimeTest, OffsetsAcrossMonthEndsLeapDaysAndYearEnds) {
  const int64_t leap_march = Utc(2024, 3, 1, 10, 0, 0);
  const int64_t jan31 = Utc(2023, 1, 31, 12, 0, 0);
  const int64_t leap_jan31 = Utc(2024, 1, 31, 12, 0, 0);
  const int64_t leap_day = Utc(2024, 2, 29, 8, 15, 30);
  const int64_t new_year_eve = Utc(2023, 12, 31, 23, 30, 0);
  const int64_t new_year = Utc(2024, 1, 1, 0, 0, 0);
  const RelativeCase cases[] = {
      {leap_march, kRepTypeDate, "today-1DA", "2024-2-29"},
      {leap_march, kRepTypeDate, "TODAY-1days", "2024-2-29"},
      {leap_march, kRepTypeDate, "today", "2024-3-1"},
      {leap_march, kRepTypeDate, "today-1MO", "2024-2-1"},
      {leap_march, kRepTypeDate, "today-1WE", "2024-2-23"},
      {leap_march, kRepTypeDate, "today+14HO", "2024-3-2"},
      {leap_march, kRepTypeDate, "today 1DA", "2024-3-1"},  // no sign: the time itself
      {leap_march, kRepTypeDate, "nowadays", "2024-3-1"},   // the keyword is a prefix
      {jan31, kRepTypeDate, "today+1MO", "2023-2-28"},
      {leap_jan31, kRepTypeDate, "today+1MO", "2024-2-29"},
      {leap_jan31, kRepTypeDate, "today+2MO", "2024-3-31"},
      {leap_day, kRepTypeDate, "today+1YE", "2025-2-28"},
      {leap_day, kRepTypeDate, "today-4YE", "2020-2-29"},
      {new_year_eve, kRepTypeDate, "today+1DA", "2024-1-1"},
      {new_year_eve, kRepTypeDate, "now+30MI", "2024-1-1"},
      {new_year, kRepTypeDate, "today-1SE", "2023-12-31"},
      {leap_day, kRepTypeTime, "now", "8:15:30/0"},
      {leap_day, kRepTypeTime, "NOW+45SE", "8:16:15/0"},
      {leap_day, kRepTypeTime, "now-9HO", "23:15:30/0"},
      {new_year_eve, kRepTypeTime, "now+1HO", "0:30:0/0"},
      {leap_day, kRepTypeSysTime, "now", std::to_string(leap_day)},
      {leap_day, kRepTypeSysTime, "today", std::to_string(leap_day)},  // the instant, not midnight
      {leap_day, kRepTypeSysTime, "today-1DA", std::to_string(leap_day - 86400)},
      {leap_day, kRepTypeSysTime, "now+90mi", std::to_string(leap_day + 5400)},
      {leap_day, kRepTypeSysTime, "now+1YE", std::to_string(Utc(2025, 2, 28, 8, 15, 30))},
      {new_year_eve, kRepTypeSysTime, "now+1SE", std::to_string(new_year_eve + 1)},
  };
  for (const RelativeCase& c : cases) {
    At(c.now);
    kr_testing::TraceCapture trace;
    EXPECT_EQ(EncodeShow(c.text, c.type), c.expect) << c.text << " at " << c.now;
    EXPECT_TRUE(trace.lines().empty()) << trace.Dump();
  }
}

TEST_F(RelativeTimeTest, BadOffsetsAreRefusedWithTheirReasons) {
  At(Utc(2024, 3, 1, 10, 0, 0));
  const char* unit = "Unrecognised unit type in RepMoveTimeBreakdown";
  const char* no_number = "Could not encode number '' in RepMoveTimeBreakdown";
  const char* back = "Failed to move time breakdown back";
  const char* forward = "Failed to move time breakdown forward";
  struct Case {
    int32_t type;
    const char* text;
    const char* reason;
    const char* then;
  } cases[] = {
      {kRepTypeDate, "today-1D", unit, back},
      {kRepTypeDate, "today+1", unit, forward},
      {kRepTypeDate, "today-DA", no_number, back},
      {kRepTypeTime, "now+ 1HO", no_number, forward},
      {kRepTypeSysTime, "now-", no_number, back},
      {kRepTypeSysTime, "now-99999999999DA",
       "Could not encode number '99999999999' in RepMoveTimeBreakdown", back},
      {kRepTypeDate, "today+9000YE", nullptr, forward},
      {kRepTypeSysTime, "now+100YE", "Cannot convert breakdown time back to TimeT", nullptr},
  };
  for (const Case& c : cases) {
    kr_testing::TraceCapture trace;
    EXPECT_EQ(EncodeShow(c.text, c.type), "<refused>") << c.text;
    if (c.reason) {
      EXPECT_TRUE(trace.Contains(c.reason, -1)) << c.text << "\n" << trace.Dump();
    }
    if (c.then) {
      EXPECT_TRUE(trace.Contains(c.then, -1)) << c.text << "\n" << trace.Dump();
    }
  }
}

TEST_F(RelativeTimeTest, EachContextKeepsItsOwnCurrentTime) {
  const int64_t t1 = Utc(2024, 3, 1, 10, 0, 0);
  At(t1);
  {
    kr_testing::TestHome other;
    const int64_t t2 = Utc(2030, 6, 15, 1, 2, 3);
    ASSERT_EQ(RepSetTimeNow(t2), 1);
    EXPECT_EQ(EncodeShow("now", kRepTypeSysTime), std::to_string(t2));
    EXPECT_EQ(RepGetContextData()->now, t2);
  }
  EXPECT_EQ(EncodeShow("now", kRepTypeSysTime), std::to_string(t1));
  EXPECT_EQ(RepGetContextData()->now_breakdown.w[kTimeBdYear], 2024);

  // A time that cannot be broken down leaves the current time as it was.
  EXPECT_EQ(RepSetTimeNow(int64_t{1} << 50), 0);
  EXPECT_EQ(RepGetContextData()->now, t1);
  EXPECT_EQ(EncodeShow("today", kRepTypeDate), "2024-3-1");
}

TEST_F(RelativeTimeTest, LocalTimeDecidesTheDate) {
  kr_testing::ScopedTimeZone tokyo("JST-9");
  At(Utc(2024, 2, 29, 20, 0, 0));  // 05:00 on 1 March in Tokyo
  EXPECT_EQ(EncodeShow("today", kRepTypeDate), "2024-3-1");
  EXPECT_EQ(EncodeShow("now", kRepTypeTime), "5:0:0/0");
  EXPECT_EQ(EncodeShow("today-1DA", kRepTypeDate), "2024-2-29");
}

}  // namespace

// The value cache hands records holding the same text in the same column one value object;
// a record that takes its value for itself changes no other record.
TEST(ValueCache, SharesEqualTextsPerColumnAndCopiesBeforeAChange) {
  RepValueCache cache(2);
  Ref<RepFieldValue> a = cache.Encode(0, "client7", kRepTypeString);
  Ref<RepFieldValue> b = cache.Encode(0, "client7", kRepTypeString);
  Ref<RepFieldValue> other_column = cache.Encode(1, "client7", kRepTypeString);
  Ref<RepFieldValue> bad = cache.Encode(1, "x", kRepTypeInteger);
  Ref<RepFieldValue> beyond = cache.Encode(5, "12", kRepTypeInteger);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_NE(a.get(), other_column.get());
  EXPECT_EQ(cache.hits(), 1u);
  EXPECT_EQ(bad->state(), kRepStateUnknown);  // the column's type changed: nothing shared
  EXPECT_EQ(ObjGetInteger(beyond->value()), 12);

  std::string long_text(48, 'x');  // too long to remember: a value of its own each time
  EXPECT_NE(cache.Encode(0, long_text.c_str(), kRepTypeString).get(),
            cache.Encode(0, long_text.c_str(), kRepTypeString).get());

  Ref<RepRecord> r1 = RepRecord::New(), r2 = RepRecord::New();
  for (RepRecord* r : {r1.get(), r2.get()}) {
    Ref<List> values = ListNewFromPool();
    ListAddLastItem(values.get(), a.get());
    r->set_values(std::move(values));
  }
  RepFieldValue* own = RepRecordOwnValue(r1.get(), 0);
  ASSERT_NE(own, nullptr);
  EXPECT_NE(own, a.get());
  own->set_value(ObjNewString("changed"));
  EXPECT_STREQ(ObjGetString(r2->value_at(0)->value()), "client7");
  EXPECT_STREQ(ObjGetString(r1->value_at(0)->value()), "changed");
  EXPECT_EQ(RepRecordOwnValue(r1.get(), 0), own);  // already its own: no second copy
  EXPECT_EQ(RepRecordOwnValue(r1.get(), 3), nullptr);

  // A column of nearly all different texts stops being remembered after its trial.
  RepValueCache ids(1);
  for (int i = 0; i < 5000; ++i) ids.Encode(0, std::to_string(i).c_str(), kRepTypeInteger);
  EXPECT_NE(ids.Encode(0, "1", kRepTypeInteger).get(), ids.Encode(0, "1", kRepTypeInteger).get());
}

// Sharing across many records, texts of every length the cache remembers, and counts that are
// exact again once the cache is gone: a record then holding a value alone changes it in place,
// while two records sharing one still part before a change.
TEST(ValueCache, ManyHoldersAndAllLengthsShareAndPartCorrectly) {
  const std::vector<std::string> texts = {
      "", "a", std::string(15, 'b'), std::string(16, 'b'), std::string(47, 'c'), "OK", "ok"};
  std::vector<Ref<RepRecord>> records;
  {
    RepValueCache cache(1);
    for (int round = 0; round < 1500; ++round) {  // past a batch of references
      for (const std::string& t : texts) {
        Ref<RepRecord> r = RepRecord::New();
        Ref<List> values = ListNewFromPool();
        ListPushLastItemInternal(values.get(), cache.Encode(0, t.c_str(), kRepTypeString));
        r->set_values(std::move(values));
        records.push_back(std::move(r));
      }
    }
    EXPECT_EQ(cache.hits(), 1499u * texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
      EXPECT_EQ(records[i]->value_at(0), records[i + texts.size()]->value_at(0)) << i;
      EXPECT_STREQ(ObjGetString(records[i]->value_at(0)->value()), texts[i].c_str());
    }
    EXPECT_NE(records[5]->value_at(0), records[6]->value_at(0));  // case counts
  }
  // Every text is held by 1500 records, no more.
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(records[i]->value_at(0)->ref_count, 1500u);
  RepFieldValue* own = RepRecordOwnValue(records[0].get(), 0);
  ASSERT_NE(own, nullptr);
  own->set_value(ObjNewString("changed"));
  EXPECT_STREQ(ObjGetString(records[texts.size()]->value_at(0)->value()), "");
  // Drop all but one holder of "a": the last one owns it and changes it in place.
  const RepFieldValue* a = records[1]->value_at(0);
  for (size_t i = 1 + texts.size(); i < records.size(); i += texts.size()) records[i] = nullptr;
  EXPECT_EQ(a->ref_count, 1u);
  EXPECT_EQ(RepRecordOwnValue(records[1].get(), 0), a);
}
