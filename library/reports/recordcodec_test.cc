#include "recordcodec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kr/list.h"
#include "kr/serialize.h"

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

}  // namespace
