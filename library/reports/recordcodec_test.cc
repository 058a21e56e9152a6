#include "recordcodec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kr/list.h"
#include "kr/serialize.h"
#include "reports/serializedrecords.h"
#include "reptesting.h"
#include "testing.h"

namespace {

using kr_internal::RecordDecoder;

// A value of one of the kinds the fast path reads, or of another (a list), in any state.
Ref<RepFieldValue> RandomValue(std::mt19937* rng, int column) {
  Ref<RepFieldValue> v = RepFieldValue::New();
  v->set_state(static_cast<int32_t>((*rng)() % 7) - 1);  // includes states out of range
  const char* texts[] = {"OK", "ok", "", "Cancelled", "dück", "x%_'"};
  switch ((column + static_cast<int>((*rng)() % 3 == 0)) % 8) {
    case 0:
      v->set_value(ObjNewString(texts[(*rng)() % 6]));
      break;
    case 1:
      v->set_value(ObjNewInteger(static_cast<int32_t>((*rng)() % 5) - 2));
      break;
    case 2:
      v->set_value(ObjNewInt64(static_cast<int64_t>((*rng)() % 3) << 40));
      break;
    case 3:
      v->set_value(ObjNewBoolean((*rng)() % 2 == 0));
      break;
    case 4: {
      Ref<RepDateValue> d = RepDateValue::New();
      d->set_year(2026);
      d->set_day(static_cast<int32_t>((*rng)() % 3));
      v->set_value(std::move(d));
      break;
    }
    case 5: {
      Ref<RepTimeValue> t = RepTimeValue::New();
      t->set_hour(static_cast<int32_t>((*rng)() % 2));
      v->set_value(std::move(t));
      break;
    }
    case 6:
      v->set_value(ObjString::New());  // a string object holding null
      break;
    default:
      if ((*rng)() % 2 == 0) v->set_value(ListNewFromPool());  // not a value kind
      break;
  }
  return v;
}

std::string Serialized(const Obj* o) {
  std::string bytes;
  EXPECT_EQ(ObjSerializeToMemory(&bytes, o), 1);
  return bytes;
}

// The generic reader's answer, re-serialized ("" when it refuses the bytes).
std::string Generic(const std::string& body) {
  Ref<Obj> o;
  if (ObjReconstructFromMemory(&o, body.data(), body.size()) != 1) return "";
  return Serialized(o.get());
}

TEST(RecordDecoder, GivesWhatTheGenericReaderGivesForEveryRecordAndEveryCorruption) {
  std::mt19937 rng(7);
  RecordDecoder decoder;
  for (int i = 0; i < 3000; ++i) {
    Ref<RepRecord> record = RepRecord::New();
    Ref<List> values = ListNewFromPool();
    const int n = 1 + static_cast<int>(rng() % 8);
    for (int c = 0; c < n; ++c) ListPushLastItemInternal(values.get(), RandomValue(&rng, c));
    if (rng() % 20 != 0) record->set_values(std::move(values));
    std::string body = Serialized(record.get()).substr(8);
    if (i % 3 == 1) {  // cut short, or one byte changed
      if (rng() % 2 == 0) {
        body.resize(rng() % body.size());
      } else {
        body[rng() % body.size()] = static_cast<char>(rng());
      }
    }
    Ref<Obj> fast;
    const int rc =
        decoder.Rebuild(&fast, reinterpret_cast<const unsigned char*>(body.data()), body.size());
    const std::string expected = Generic(body);
    ASSERT_EQ(rc == 1, !expected.empty()) << "record " << i;
    if (rc == 1) {
      ASSERT_EQ(Serialized(fast.get()), expected) << "record " << i;
    }
  }
  EXPECT_GT(decoder.shared_count(), 0u);
}

TEST(RecordCodec, WritesWhatTheGenericWriterWrites) {
  std::mt19937 rng(11);
  int fast = 0;
  for (int i = 0; i < 3000; ++i) {
    Ref<RepRecord> record = RepRecord::New();
    Ref<List> values = ListNewFromPool();
    const int n = static_cast<int>(rng() % 8);
    for (int c = 0; c < n; ++c) ListPushLastItemInternal(values.get(), RandomValue(&rng, c));
    if (rng() % 20 != 0) record->set_values(std::move(values));
    std::string bytes = "prefix";
    if (kr_internal::AppendRecordFast(&bytes, record.get())) {
      ++fast;
      ASSERT_EQ(bytes, "prefix" + Serialized(record.get())) << "record " << i;
    } else {
      ASSERT_EQ(bytes, "prefix");
    }
  }
  EXPECT_GT(fast, 1000);
}

TEST(RecordDecoder, SharesEqualValuesOfAColumnUntilTheColumnTypesChange) {
  auto body = [](const char* status, int32_t id) {
    Ref<RepRecord> r = RepRecord::New();
    Ref<List> values = ListNewFromPool();
    ListPushLastItemInternal(values.get(), RepNewFieldValue(kRepStateNormal, ObjNewInteger(id)));
    ListPushLastItemInternal(values.get(), RepNewFieldValue(kRepStateNormal, ObjNewString(status)));
    r->set_values(std::move(values));
    std::string bytes;
    ObjSerializeToMemory(&bytes, r.get());
    return bytes.substr(8);
  };
  auto rebuild = [](RecordDecoder* d, const std::string& b) {
    Ref<Obj> o;
    EXPECT_EQ(d->Rebuild(&o, reinterpret_cast<const unsigned char*>(b.data()), b.size()), 1);
    return Ref<RepRecord>::Adopt(ObjCast<RepRecord>(o.release()));
  };
  RecordDecoder d;
  d.StartBlock({kRepTypeInteger, kRepTypeString});
  Ref<RepRecord> a = rebuild(&d, body("OK", 1));
  Ref<RepRecord> b = rebuild(&d, body("OK", 2));
  Ref<RepRecord> c = rebuild(&d, body("Failed", 3));
  EXPECT_EQ(a->value_at(1), b->value_at(1));
  EXPECT_NE(a->value_at(1), c->value_at(1));
  EXPECT_NE(a->value_at(0), b->value_at(0));
  d.StartBlock({kRepTypeInteger, kRepTypeString});  // the same columns: still shared
  EXPECT_EQ(rebuild(&d, body("OK", 4))->value_at(1), a->value_at(1));
  d.StartBlock({kRepTypeInteger, kRepTypeHdwmyCount});
  EXPECT_NE(rebuild(&d, body("OK", 5))->value_at(1), a->value_at(1));
}

// A record writer gives exactly the bytes of the record its values fill, and gives a record the
// same values: random values, states, null and empty texts, setters of the wrong kind (refused,
// the field unchanged), fields left blank (every record starts blank again, after a written or a
// discarded one), with and without an index, whose value is 0 when the first field holds no
// integer.
TEST(SRecordsRecordWriter, WritesWhatTheFilledRecordSerializesTo) {
  kr_testing::TestHome home;
  const Ref<List> layouts[] = {
      kr_testing::FieldList({{"id", kRepTypeInteger, 8},
                             {"name", kRepTypeString, 20},
                             {"size", kRepTypeInt64, 12},
                             {"bytes", kRepTypeDataCount, 12},
                             {"ok", kRepTypeBoolean, 3},
                             {"day", kRepTypeDate, 10},
                             {"at", kRepTypeTime, 8},
                             {"when", kRepTypeSysTime, 20},
                             {"took", kRepTypeTimePassed, 8}}),
      kr_testing::FieldList({{"name", kRepTypeString, 20}, {"id", kRepTypeInteger, 8}}),
  };
  const std::string long_text(300, 'x');
  const char* texts[] = {nullptr, "", "\xc3\x84rger 'quoted' %_", "odd", long_text.c_str()};
  std::mt19937 rng(11);
  auto pick = [&rng](int n) { return static_cast<int32_t>(rng() % static_cast<unsigned>(n)); };
  for (const Ref<List>& fields : layouts) {
    RepRecordWriter writer;
    ASSERT_TRUE(writer.Start(fields.get()));
    for (int n = 0; n < 1000; ++n) {
      Ref<RepRecord> record = RepMakeBlankRecord(fields.get(), kRepStateNormal);
      for (size_t i = 0; i < fields->size(); ++i) {
        RepFieldValue* field = record->value_at(i);
        Obj* value = field->value();
        const int32_t v = pick(2000001) - 1000000, a = pick(24), b = 1 + pick(12), c = pick(29);
        const char* text = texts[pick(5)];
        switch (pick(4)) {
          case 0:  // left blank
            break;
          case 1:  // a state; the value stays
            writer.SetState(i, a % 6);
            field->set_state(a % 6);
            break;
          default: {  // every setter: only the one of the field's kind takes
            ASSERT_EQ(writer.SetInteger(i, v), ObjSetInteger(value, v) == 1);
            ASSERT_EQ(writer.SetInt64(i, int64_t{v} << 20),
                      ObjSetInt64(value, int64_t{v} << 20) == 1);
            ASSERT_EQ(writer.SetBoolean(i, v % 2 != 0), ObjSetBoolean(value, v % 2 != 0) == 1);
            ASSERT_EQ(writer.SetText(i, text), ObjSetString(value, text) == 1);
            auto* date = ObjCast<RepDateValue>(value);
            ASSERT_EQ(writer.SetDate(i, 1990 + a, b, c), date != nullptr);
            if (date != nullptr) date->set_year(1990 + a), date->set_month(b), date->set_day(c);
            auto* time = ObjCast<RepTimeValue>(value);
            ASSERT_EQ(writer.SetTime(i, a, b, c), time != nullptr);
            if (time != nullptr) time->set_hour(a), time->set_minute(b), time->set_second(c);
          }
        }
      }
      // A record given the values (as a filter sees them) is the same record.
      Ref<RepRecord> given = RepMakeBlankRecord(fields.get(), kRepStateNormal);
      std::vector<size_t> all(fields->size());
      for (size_t i = 0; i < all.size(); ++i) all[i] = i;
      ASSERT_TRUE(writer.FillRecordFields(given.get(), all));
      if (n % 7 == 3) {  // dropped: the next record starts blank all the same
        writer.Discard();
        continue;
      }
      const int32_t index = n % 2 ? kRepTypeInteger : kRepSRecordsNoIndex;
      std::string written = "before", serialized = "before", from_given = "before";
      ASSERT_EQ(writer.Append(&written, index), 1);
      ASSERT_EQ(RepSRecordsAppendRecord(&serialized, record.get(), index), 1);
      ASSERT_EQ(RepSRecordsAppendRecord(&from_given, given.get(), index), 1);
      ASSERT_EQ(written, serialized) << n;
      ASSERT_EQ(from_given, serialized) << n;
    }
  }
  // Fields of a kind the writer does not write are refused, and nothing is written then.
  RepRecordWriter writer;
  Ref<List> days = kr_testing::FieldList({{"days", kRepTypeDaysInWeek, 7}});
  EXPECT_FALSE(writer.Start(days.get()));
  EXPECT_FALSE(writer.SetText(0, "1"));
  std::string out;
  EXPECT_EQ(writer.Append(&out, kRepTypeInteger), 0);
  EXPECT_TRUE(out.empty());
}

}  // namespace
