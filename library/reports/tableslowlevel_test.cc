#include "reports/tableslowlevel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kr/time.h"
#include "output_test_util.h"
#include "reports/sql.h"
#include "testing.h"

using kr_testing::TestHome;
using kr_testing::TraceCapture;

namespace {

Ref<RepFieldDef> F(const char* name, int32_t type = kRepTypeInteger) {
  return RepNewFieldDef(name, type, 8);
}

using rep_test::Fields;
constexpr auto* V = &rep_test::Normal;
constexpr auto* I = &rep_test::Int;
constexpr auto* S = &rep_test::Str;
constexpr auto* State = &rep_test::InState;
constexpr auto* Rec = &rep_test::Record;

Ref<List> Names(std::initializer_list<const char*> names) {
  Ref<List> l = ListNewFromPool();
  for (const char* n : names) ListPushLastItemInternal(l.get(), F(n));
  return l;
}

Ref<RepTable> Table(const char* name, Ref<List> fields, std::vector<Ref<RepRecord>> records) {
  Ref<List> l = ListNewFromPool();
  for (Ref<RepRecord>& r : records) ListPushLastItemInternal(l.get(), std::move(r));
  return RepNewTable(name, std::move(fields), std::move(l));
}

Ref<List> Joins(std::initializer_list<std::pair<const char*, const char*>> pairs) {
  Ref<List> l = ListNewFromPool();
  for (const auto& [target, source] : pairs) {
    Ref<RepSqlMerge> m = RepSqlMerge::New();
    m->set_first_table("t");
    m->set_second_table("s");
    m->set_first_field(target);
    m->set_second_field(source);
    ListPushLastItemInternal(l.get(), std::move(m));
  }
  return l;
}

std::vector<std::string> FieldNames(const RepTable* t) {
  std::vector<std::string> v;
  for (Obj* o : *t->fields()) v.push_back(ObjCast<RepFieldDef>(o)->name());
  return v;
}

std::vector<int32_t> MergePositions(const RepTable* t) {
  std::vector<int32_t> v;
  for (Obj* o : *t->fields()) v.push_back(ObjCast<RepFieldDef>(o)->merge_position());
  return v;
}

const RepRecord* RecordOf(const RepTable* t, size_t i) {
  return ObjCast<RepRecord>(t->records()->at(i));
}

// Record i of a table as text: each value as its integer or string, "?" for Unknown, "-" for
// another state.
std::string Row(const RepTable* t, size_t i) {
  std::string out;
  for (Obj* o : *RecordOf(t, i)->values()) {
    const RepFieldValue* v = ObjCast<RepFieldValue>(o);
    if (!out.empty()) out += ",";
    if (v->state() == kRepStateUnknown) {
      out += "?";
    } else if (v->state() != kRepStateNormal) {
      out += "-";
    } else if (ObjGetMagic(v->value()) == kObjStringType) {
      out += ObjGetString(v->value());
    } else {
      out += std::to_string(ObjGetInteger(v->value()));
    }
  }
  return out;
}

using Strings = std::vector<std::string>;

// Every record of a table, as Row gives it.
Strings Rows(const RepTable* t) {
  Strings v;
  for (size_t i = 0; i < t->records()->size(); ++i) v.push_back(Row(t, i));
  return v;
}

int CountingProgress(void* argument, int reserved) {
  EXPECT_EQ(reserved, 0);
  if (argument != nullptr) ++*static_cast<int*>(argument);
  return 0;
}

// A source table a, b, c with three records.
Ref<RepTable> Abc() {
  return Table("src", Fields({F("a"), F("b"), F("c", kRepTypeString)}),
               {Rec({I(1), I(10), S("x")}), Rec({I(2), I(20), S("y")}),
                Rec({I(3), State(kRepStateNever), S("z")})});
}

// RepTableFromTable's result, null when it fails.
Ref<RepTable> Project(const RepTable* src, const List* wanted, const List* order, int records = 1,
                      int* calls = nullptr) {
  Ref<RepTable> out;
  int rc = RepTableFromTable(&out, src, wanted, order, records, CountingProgress, calls);
  EXPECT_EQ(rc == 1, static_cast<bool>(out));
  return out;
}

int Merge(RepTable* target, const RepTable* source, const List* take, const List* joins,
          const List* order = nullptr, int records = 1) {
  return RepMergeTables(target, source, take, order, joins, records, nullptr, nullptr);
}

// A target (id, key) projected by the order list.
Ref<RepTable> Target(std::vector<Ref<RepRecord>> records, const List* order = nullptr) {
  Ref<RepTable> raw = Table("tgt", Fields({F("id"), F("key")}), std::move(records));
  return Project(raw.get(), Names({"id", "key"}).get(), order);
}

}  // namespace

// --- projection ---------------------------------------------------------------------------------

TEST(TableProjection, ColumnsFollowTheOrderListAndUnrankedOnesComeLast) {
  TestHome home;
  Ref<RepTable> src = Abc();
  Ref<RepTable> out = Project(src.get(), Names({"a", "b"}).get(), Names({"B", "a"}).get());
  EXPECT_EQ(FieldNames(out.get()), (Strings{"b", "a"}));
  EXPECT_EQ(MergePositions(out.get()), (std::vector<int32_t>{1, 2}));
  EXPECT_STREQ(out->name(), "");
  ASSERT_EQ(out->records()->size(), 3u);
  EXPECT_EQ(Row(out.get(), 0), "10,1");
  EXPECT_EQ(Row(out.get(), 2), "-,3");  // states travel with the values
  // Copies of the definitions; the typed values are shared.
  EXPECT_NE(out->fields()->at(0), src->fields()->at(1));
  EXPECT_EQ(ObjCast<RepFieldDef>(src->fields()->at(0))->merge_position(), 0);
  EXPECT_EQ(RecordOf(out.get(), 0)->value_at(1)->value(),
            RecordOf(src.get(), 0)->value_at(0)->value());

  out = Project(src.get(), Names({"c", "b", "a"}).get(), Names({"b"}).get());
  EXPECT_EQ(FieldNames(out.get()), (Strings{"b", "a", "c"}));
  EXPECT_EQ(MergePositions(out.get()),
            (std::vector<int32_t>{1, kRepUnrankedPosition, kRepUnrankedPosition}));
  EXPECT_EQ(Row(out.get(), 1), "20,2,y");
  // No order list: source order. A wanted field named twice is taken once.
  out = Project(src.get(), Names({"c", "a", "C"}).get(), nullptr);
  EXPECT_EQ(FieldNames(out.get()), (Strings{"a", "c"}));
  EXPECT_EQ(Row(out.get(), 0), "1,x");
}

TEST(TableProjection, FieldsOnlyEmptySourcesFailuresAndProgress) {
  TestHome home;
  Ref<RepTable> out = Project(Abc().get(), Names({"a"}).get(), nullptr, 0);
  EXPECT_EQ(out->fields()->size(), 1u);
  EXPECT_EQ(out->records(), nullptr);
  out = Project(RepNewTable("e", ListNewFromPool(), nullptr).get(), Names({"a"}).get(), nullptr);
  EXPECT_TRUE(out->fields()->empty());
  {
    TraceCapture trace;
    EXPECT_FALSE(Project(Abc().get(), Names({}).get(), nullptr));
    EXPECT_TRUE(trace.Contains("RepSortTableFieldIndices() - bad params", -1));
    EXPECT_FALSE(Project(Abc().get(), Names({"a", "nope"}).get(), nullptr));
    EXPECT_TRUE(trace.Contains(
        "Cannot make table from table 'src' as cannot find field 'nope' in source table.", -1));
  }
  std::vector<Ref<RepRecord>> records;
  for (int i = 0; i < 12000; ++i) records.push_back(Rec({I(i)}));
  int calls = 0;
  out = Project(Table("big", Fields({F("a")}), std::move(records)).get(), Names({"a"}).get(),
                nullptr, 1, &calls);
  EXPECT_EQ(calls, 2);  // after 5000 and 10000 records
  EXPECT_EQ(out->records()->size(), 12000u);

  int32_t position = -1;
  EXPECT_EQ(RepFindTableFieldIndex(&position, "C", Abc().get()), 1);
  EXPECT_EQ(position, 3);
  EXPECT_EQ(RepFindTableFieldIndex(&position, "d", Abc().get()), 0);
  EXPECT_EQ(position, 0);
  position = -1;
  EXPECT_EQ(RepFindTableFieldIndex(&position, "a", Abc()->fields()), 0);  // not a table
  EXPECT_EQ(RepFindTableFieldIndex(&position, "a", nullptr), 0);
  EXPECT_EQ(position, -1);
}

// --- merge --------------------------------------------------------------------------------------

TEST(TableMerge, AddsColumnsByRankAndLeavesUnmatchedUnknown) {
  TestHome home;
  Ref<List> order = Names({"id", "label", "key", "size"});
  Ref<RepTable> target =
      Target({Rec({I(1), I(10)}), Rec({I(2), I(99)}), Rec({I(3), I(20)})}, order.get());
  Ref<RepTable> source = Table("src", Fields({F("size"), F("k"), F("label", kRepTypeString)}),
                               {Rec({I(500), I(20), S("twenty")}), Rec({I(100), I(10), S("ten")})});
  ASSERT_EQ(Merge(target.get(), source.get(), Names({"label", "size"}).get(),
                  Joins({{"key", "k"}}).get(), order.get()),
            1);
  EXPECT_EQ(FieldNames(target.get()), (Strings{"id", "label", "key", "size"}));
  EXPECT_EQ(Rows(target.get()), (Strings{"1,ten,10,100", "2,?,99,?", "3,twenty,20,500"}));

  // Without records only the fields change.
  Ref<RepTable> fields_only = Target({Rec({I(1), I(10)})});
  ASSERT_EQ(Merge(fields_only.get(), source.get(), Names({"size"}).get(),
                  Joins({{"key", "k"}}).get(), nullptr, 0),
            1);
  EXPECT_EQ(FieldNames(fields_only.get()), (Strings{"id", "key", "size"}));
  EXPECT_EQ(Row(fields_only.get(), 0), "1,10");
}

TEST(TableMerge, AFieldTheTargetHasIsOverwrittenWhenMatchedAndKeptOtherwise) {
  TestHome home;
  Ref<List> order = Names({"id", "key"});
  Ref<RepTable> target = Target({Rec({I(1), I(10)}), Rec({I(2), I(99)})}, order.get());
  Ref<RepTable> source =
      Table("src", Fields({F("ID"), F("k")}), {Rec({I(100), I(10)}), Rec({I(200), I(20)})});
  ASSERT_EQ(Merge(target.get(), source.get(), Names({"id"}).get(), Joins({{"key", "k"}}).get(),
                  order.get()),
            1);
  EXPECT_EQ(FieldNames(target.get()), (Strings{"id", "key"}));  // no new column
  EXPECT_EQ(Rows(target.get()), (Strings{"100,10", "2,99"}));
}

TEST(TableMerge, UnknownJoinValuesMatchNothing) {
  TestHome home;
  Ref<RepTable> target = Target({Rec({I(1), State(kRepStateUnknown)}), Rec({I(2), I(5)}),
                                 Rec({I(3), RepNewFieldValue(kRepStateNormal, nullptr)}),
                                 Rec({I(4), S("5")})});  // not an integer object
  // The first source key is Unknown (its blank value would equal a 0 key), the second is not an
  // integer object, so only the third can match.
  Ref<RepTable> source =
      Table("src", Fields({F("k"), F("v")}),
            {Rec({State(kRepStateUnknown), I(7)}), Rec({S("5"), I(8)}), Rec({I(5), I(9)})});
  ASSERT_EQ(Merge(target.get(), source.get(), Names({"v"}).get(), Joins({{"key", "k"}}).get()), 1);
  EXPECT_EQ(Rows(target.get()), (Strings{"1,?,?", "2,5,9", "3,0,?", "4,5,?"}));
}

TEST(TableMerge, FirstMatchWinsUnderTheComparisonOfTheSourceType) {
  TestHome home;
  auto hdwmy = [](int32_t unit, int32_t count) {
    Ref<RepHdwmyCountValue> h = RepHdwmyCountValue::New();
    h->set_unit(unit);
    h->set_count(count);
    return V(h);
  };
  Ref<RepTable> target = Table(
      "tgt", Fields({F("name", kRepTypeString), F("age", kRepTypeHdwmyCount)}),
      {Rec({S("Alpha"), hdwmy(kRepHdwmyDays, 31)}), Rec({S("beta"), hdwmy(kRepHdwmyHours, 48)})});
  Ref<RepTable> source =
      Table("src", Fields({F("n", kRepTypeString), F("a", kRepTypeHdwmyCount), F("v")}),
            {Rec({S("BETA"), hdwmy(kRepHdwmyDays, 2), I(1)}),
             Rec({S("alpha"), hdwmy(kRepHdwmyMonths, 1), I(2)}),
             Rec({S("ALPHA"), hdwmy(kRepHdwmyHours, 744), I(3)}),
             Rec({S("beta"), hdwmy(kRepHdwmyDays, 2), I(4)})});
  ASSERT_EQ(Merge(target.get(), source.get(), Names({"v"}).get(),
                  Joins({{"name", "n"}, {"age", "a"}}).get()),
            1);
  // 31 days is one month; the first of two wins.
  EXPECT_EQ(Rows(target.get()), (Strings{"Alpha,0,2", "beta,0,1"}));
  // One source record may serve many target records; values are shared, not copied.
  EXPECT_EQ(RecordOf(target.get(), 1)->value_at(2)->value(),
            RecordOf(source.get(), 0)->value_at(2)->value());
}

TEST(TableMerge, FailuresLeaveTheTargetUntouched) {
  TestHome home;
  Ref<RepTable> target = Target({Rec({I(1), I(10)})});
  Ref<RepTable> source = Table("src", Fields({F("k"), F("v")}), {Rec({I(10), I(3)})});
  {
    TraceCapture trace;
    EXPECT_EQ(Merge(target.get(), source.get(), Names({"v"}).get(), Joins({}).get()), 0);
    EXPECT_EQ(Merge(target.get(), source.get(), Names({"v"}).get(), nullptr), 0);
    EXPECT_TRUE(trace.lines().empty()) << trace.Dump();
  }
  struct Case {
    RepTable* source;
    Ref<List> joins;
    Ref<List> take;
    const char* message;
  };
  const std::vector<Case> cases = {
      {source.get(), Joins({{"nope", "k"}}), Names({"v"}), "cannot find field 'nope' in merge to"},
      {source.get(), Joins({{"key", "nope"}}), Names({"v"}), "find field 'nope' in merge from"},
      {source.get(), Joins({{"key", "nope"}}), Names({"v"}), "Errrrr"},
      {source.get(), Joins({{"key", "k"}}), Names({"nope"}), "field 'nope' not present in merge"},
      // One source field joined to two target fields is refused.
      {source.get(), Joins({{"key", "k"}, {"id", "k"}}), Names({"v"}), "field 'k' of merge from"},
      {target.get(), Joins({{"key", "key"}}), Names({"id"}), "into itself."},
  };
  for (const Case& c : cases) {
    TraceCapture trace;
    EXPECT_EQ(Merge(target.get(), c.source, c.take.get(), c.joins.get()), 0) << c.message;
    EXPECT_TRUE(trace.Contains(c.message, -1)) << trace.Dump();
    EXPECT_EQ(FieldNames(target.get()), (Strings{"id", "key"}));
    EXPECT_EQ(Row(target.get(), 0), "1,10");
  }
}

TEST(TableMerge, NothingToTakeAddsNothingAndRepeatedJoinsAreDropped) {
  TestHome home;
  Ref<RepTable> target = Target({Rec({I(1), I(10)})});
  Ref<RepTable> source = Table("src", Fields({F("k"), F("v")}), {Rec({I(10), I(3)})});
  {
    TraceCapture trace;
    ASSERT_EQ(Merge(target.get(), source.get(), Names({}).get(), Joins({{"key", "k"}}).get()), 1);
    EXPECT_TRUE(trace.Contains("RepSortTableFieldIndices() - bad params"));
    EXPECT_EQ(Row(target.get(), 0), "1,10");
  }
  ASSERT_EQ(Merge(target.get(), source.get(), Names({"v", "V"}).get(),
                  Joins({{"key", "k"}, {"KEY", "K"}}).get()),
            1);
  EXPECT_EQ(FieldNames(target.get()), (Strings{"id", "key", "v"}));
  EXPECT_EQ(Row(target.get(), 0), "1,10,3");
}

// --- the indexed merge against a plain scan ------------------------------------------------------

namespace {

// Whether a value object has the form of the type, judged by a blank value of the type.
bool Fits(const Obj* v, int32_t type) {
  if (v == nullptr) return false;
  Ref<Obj> blank;
  if (RepMakeBlankObject(&blank, type) != 1) return true;  // no form defined: anything goes
  return ObjGetMagic(v) == ObjGetMagic(blank.get()) &&
         std::strcmp(ObjGetSpec(v), ObjGetSpec(blank.get())) == 0;
}

struct ScanResult {
  std::vector<long> match;  // per target record, the source index or -1
  int progress_calls = 0;
};

// The merge's matching as a scan of the source for every target record.
ScanResult Scan(const RepTable* target, const RepTable* source,
                const std::vector<std::pair<size_t, size_t>>& pairs) {
  ScanResult r;
  long examined = 0;
  for (Obj* o : *target->records()) {
    const RepRecord* t = ObjCast<RepRecord>(o);
    bool normal = true;
    for (const auto& [tp, sp] : pairs) {
      const RepFieldValue* v = t->value_at(tp);
      normal = normal && v != nullptr && v->state() == kRepStateNormal;
    }
    long found = -1;
    if (normal) {
      for (size_t s = 0; s < source->records()->size(); ++s) {
        const RepRecord* rec = RecordOf(source, s);
        bool all = true;
        for (const auto& [tp, sp] : pairs) {
          const int32_t type = ObjCast<RepFieldDef>(source->fields()->at(sp))->type();
          const RepFieldValue* sv = rec->value_at(sp);
          const RepFieldValue* tv = t->value_at(tp);
          all = all && sv != nullptr && sv->state() == kRepStateNormal && Fits(sv->value(), type) &&
                Fits(tv->value(), type) && RepCompareData(sv->value(), tv->value(), type) == 0;
        }
        ++examined;
        if (all) {
          found = static_cast<long>(s);
          break;
        }
      }
    }
    r.match.push_back(found);
    if (examined > 4999) {
      ++r.progress_calls;
      examined = 0;
    }
  }
  return r;
}

// A random join value of the type: few distinct values, so keys repeat; now and then another
// state, no value object, or an object of the wrong form.
Ref<RepFieldValue> RandomKey(std::mt19937* rng, int32_t type) {
  const int roll = static_cast<int>((*rng)() % 100);
  if (roll < 8) return State(kRepStateUnknown);
  if (roll < 12) return State(kRepStateNA);
  if (roll < 15) return RepNewFieldValue(kRepStateNormal, nullptr);
  if (roll < 18) return V(type == kRepTypeString ? ObjNewInteger(1) : ObjNewString("1"));
  const int k = static_cast<int>((*rng)() % 4);
  switch (type) {
    case kRepTypeString: {
      static const char* const kWords[] = {"ab", "AB", "Ab", "cd", "CD", "e", "", "é"};
      return S(kWords[(*rng)() % 8]);
    }
    case kRepTypeHdwmyCount: {
      Ref<RepHdwmyCountValue> h = RepHdwmyCountValue::New();
      const bool in_days = (*rng)() % 2 == 0;
      h->set_unit(in_days ? kRepHdwmyDays : kRepHdwmyHours);
      h->set_count(in_days ? k : k * 24);
      return V(h);
    }
    case kRepTypeSelectionTree:
      return V(RepSelectionTreeValue::New());
    case kRepTypeInt64:
      return V(ObjNewInt64(static_cast<int64_t>(k) << 40));
    default:
      return I(k);
  }
}

}  // namespace

TEST(TableMergeIndex, GivesTheScansMatchesAndProgressOnGeneratedTables) {
  TestHome home;
  TraceSetLevel(-2);
  const std::vector<std::vector<int32_t>> key_sets = {
      {kRepTypeInteger},
      {kRepTypeString},
      {kRepTypeString, kRepTypeInteger, kRepTypeHdwmyCount},
      {kRepTypeSelectionTree, kRepTypeInt64},
      {kRepTypeSelectionTree},
  };
  for (unsigned seed = 1; seed <= 12; ++seed) {
    for (const std::vector<int32_t>& types : key_sets) {
      std::mt19937 rng(seed);
      const size_t target_count = 150 + rng() % 300;
      const size_t source_count = rng() % 400;  // sometimes none
      // Target: id, then the keys; source: payload, then the keys in reverse order.
      Ref<List> tf = Fields({F("id")});
      Ref<List> sf = Fields({F("payload")});
      Ref<List> joins = ListNewFromPool();
      std::vector<std::pair<size_t, size_t>> pairs;
      for (size_t k = 0; k < types.size(); ++k) {
        const std::string tn = "t" + std::to_string(k), sn = "s" + std::to_string(k);
        ListPushLastItemInternal(tf.get(), F(tn.c_str(), types[k]));
        ListPushFirstItemInternal(sf.get(), F(sn.c_str(), types[k]));
        ListJoin(joins.get(), Joins({{tn.c_str(), sn.c_str()}}).get());
        pairs.emplace_back(k + 1, types.size() - 1 - k);
      }
      Ref<RepTable> target = Table("t", tf, {});
      for (size_t i = 0; i < target_count; ++i) {
        Ref<RepRecord> r = Rec({I(static_cast<int32_t>(i))});
        for (int32_t type : types) ListPushLastItemInternal(r->values(), RandomKey(&rng, type));
        ListPushLastItemInternal(target->records(), r);
      }
      Ref<RepTable> source = Table("s", sf, {});
      for (size_t i = 0; i < source_count; ++i) {
        Ref<RepRecord> r = Rec({I(static_cast<int32_t>(1000 + i))});
        for (int32_t type : types) ListPushFirstItemInternal(r->values(), RandomKey(&rng, type));
        ListPushLastItemInternal(source->records(), r);
      }
      const ScanResult expected = Scan(target.get(), source.get(), pairs);
      int calls = 0;
      ASSERT_EQ(RepMergeTables(target.get(), source.get(), Names({"payload"}).get(), nullptr,
                               joins.get(), 1, CountingProgress, &calls),
                1);
      const size_t payload = types.size() + 1;
      size_t matched = 0;
      for (size_t i = 0; i < target_count; ++i) {
        const RepFieldValue* v = RecordOf(target.get(), i)->value_at(payload);
        ASSERT_NE(v, nullptr);
        if (expected.match[i] < 0) {
          EXPECT_EQ(v->state(), kRepStateUnknown) << "seed " << seed << " record " << i;
        } else {
          ++matched;
          EXPECT_EQ(ObjGetInteger(v->value()), 1000 + expected.match[i])
              << "seed " << seed << " record " << i;
        }
      }
      EXPECT_EQ(calls, expected.progress_calls) << "seed " << seed;
      if (source_count > 50) {
        EXPECT_GT(matched, 0u) << "seed " << seed;
      }
    }
  }
}

// --- record conversion --------------------------------------------------------------------------

namespace {

// A systime field "when" with the derived fields "when_date" and "when_time".
Ref<RepFieldDef> WhenField() {
  Ref<RepFieldDef> when = F("when", kRepTypeSysTime);
  when->set_derived(Fields({F("when_date", kRepTypeDate), F("when_time", kRepTypeTime)}));
  return when;
}

}  // namespace

TEST(RecordConversion, ReordersDerivesAndLeavesMissingFieldsUnknown) {
  TestHome home;
  const int64_t t = 1700000000;  // a fixed instant; the expected date comes from the runtime
  TimeDate date{};
  ASSERT_EQ(TimeToDateStruct(&date, t), 1);
  Ref<List> source = Fields({F("id"), WhenField(), F("name", kRepTypeString)});
  Ref<List> target = Fields({F("name", kRepTypeString), F("when_date", kRepTypeDate), F("extra"),
                             F("id"), F("when_time", kRepTypeTime)});
  Ref<RepRecordConversion> c;
  TraceCapture trace;
  ASSERT_EQ(RepRecordFromRecordPreCalc(&c, target.get(), source.get(), 1), 1);
  EXPECT_FALSE(c->identical());
  EXPECT_TRUE(trace.Contains(
      "Identified that derived field 1 of field 'when' is required in result records"));
  ASSERT_EQ(c->blank_template()->size(), 1u);  // only "extra" is missing
  EXPECT_EQ(c->index_count(), 4);
  EXPECT_EQ(c->placement_count(), 4);

  Ref<RepRecord> out;
  ASSERT_EQ(
      RepRecordFromRecord(&out, c.get(), Rec({I(7), I(static_cast<int32_t>(t)), S("n")}).get()), 1);
  ASSERT_EQ(out->values()->size(), 5u);
  EXPECT_STREQ(ObjGetString(out->value_at(0)->value()), "n");
  const RepDateValue* d = ObjCast<RepDateValue>(out->value_at(1)->value());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->year(), date.year);
  EXPECT_EQ(d->month(), date.month);
  EXPECT_EQ(d->day(), date.day);
  EXPECT_EQ(out->value_at(2)->state(), kRepStateUnknown);
  EXPECT_EQ(ObjGetInteger(out->value_at(3)->value()), 7);
  EXPECT_NE(ObjCast<RepTimeValue>(out->value_at(4)->value()), nullptr);

  // A source value that is not Normal passes its state to the derived fields; one that cannot be
  // derived from makes them Unknown.
  ASSERT_EQ(RepRecordFromRecord(&out, c.get(), Rec({I(7), State(kRepStateNever), S("n")}).get()),
            1);
  EXPECT_EQ(out->value_at(1)->state(), kRepStateNever);
  EXPECT_EQ(out->value_at(1)->value(), nullptr);
  trace.Clear();
  ASSERT_EQ(RepRecordFromRecord(&out, c.get(), Rec({I(7), S("not a time"), S("n")}).get()), 1);
  EXPECT_EQ(out->value_at(4)->state(), kRepStateUnknown);
  EXPECT_TRUE(trace.Contains("Failed to derive value object. Mark field as unknown", -1));

  // A short record from elsewhere: the values it lacks come out Unknown.
  ASSERT_EQ(RepRecordFromRecord(&out, c.get(), Rec({I(7)}).get()), 1);
  ASSERT_EQ(out->values()->size(), 5u);
  EXPECT_EQ(out->value_at(0)->state(), kRepStateUnknown);
  EXPECT_EQ(ObjGetInteger(out->value_at(3)->value()), 7);
}

TEST(RecordConversion, IdenticalWithoutExpansionAndFromACorruptConversion) {
  TestHome home;
  Ref<RepRecordConversion> c;
  Ref<RepRecord> out, in = Rec({I(1), I(2)});
  // Identical formats give the same record.
  ASSERT_EQ(
      RepRecordFromRecordPreCalc(&c, Names({"A", "b"}).get(), Fields({F("a"), F("b")}).get(), 1),
      1);
  EXPECT_TRUE(c->identical());
  EXPECT_EQ(c->blank_template(), nullptr);
  ASSERT_EQ(RepRecordFromRecord(&out, c.get(), in.get()), 1);
  EXPECT_EQ(out.get(), in.get());

  ASSERT_EQ(RepRecordFromRecordPreCalc(&c, Fields({F("when_date", kRepTypeDate), F("id")}).get(),
                                       Fields({F("id"), WhenField()}).get(), 0),
            1);
  ASSERT_EQ(RepRecordFromRecord(&out, c.get(), Rec({I(7), I(1700000000)}).get()), 1);
  EXPECT_EQ(out->values()->size(), 2u);
  EXPECT_EQ(out->value_at(0)->state(), kRepStateUnknown);  // derived fields not looked at
  EXPECT_EQ(ObjGetInteger(out->value_at(1)->value()), 7);
  // Counts larger than the stored blocks: only the blocks are read.
  c->set_placement_count(1000);
  c->set_index_count(1000);
  ASSERT_EQ(RepRecordFromRecord(&out, c.get(), Rec({I(3)}).get()), 1);
  EXPECT_EQ(out->values()->size(), 2u);
  EXPECT_EQ(RepRecordFromRecord(&out, nullptr, Rec({I(3)}).get()), 1);
  EXPECT_FALSE(out);
}

// Projections and joins share the source's value objects rather than copying them; whatever a
// later step writes goes into a value of its own, so the source never changes.
TEST(TableSharing, WritesAfterProjectionAndJoinNeverReachTheSource) {
  TestHome home;
  Ref<RepTable> raw = Table("tgt", Fields({F("id"), F("key")}), {Rec({I(1), I(5)})});
  Ref<RepTable> target = Project(raw.get(), Names({"id", "key"}).get(), nullptr);
  ASSERT_EQ(Row(target.get(), 0), "1,5");
  EXPECT_EQ(RecordOf(target.get(), 0)->value_at(1), RecordOf(raw.get(), 0)->value_at(1));

  // The first join adds v, sharing the first source's value (which carries a third slot); the
  // second replaces it, and the third slot must go to a copy, not to the second source's value.
  Ref<RepTable> first = Table("src", Fields({F("k"), F("v")}), {Rec({I(5), I(99)})});
  ObjSetSlotObject(RecordOf(first.get(), 0)->value_at(1), 3, ObjNewInteger(7));
  Ref<RepTable> second = Table("src", Fields({F("k"), F("v")}), {Rec({I(5), I(77)})});
  ASSERT_EQ(Merge(target.get(), first.get(), Names({"v"}).get(), Joins({{"key", "k"}}).get()), 1);
  ASSERT_EQ(Merge(target.get(), second.get(), Names({"v"}).get(), Joins({{"key", "k"}}).get()), 1);
  EXPECT_EQ(Row(target.get(), 0), "1,5,77");
  EXPECT_EQ(Row(first.get(), 0), "5,99");
  EXPECT_EQ(Row(second.get(), 0), "5,77");
  EXPECT_EQ(ObjGetSlotObject(RecordOf(second.get(), 0)->value_at(1), 3), nullptr);

  RepRecord* record = ObjCast<RepRecord>(target->records()->at(0));
  RepFieldValue* own = RepRecordOwnValue(record, 0);
  ASSERT_NE(own, nullptr);
  own->set_value(ObjNewInteger(42));
  EXPECT_EQ(Row(raw.get(), 0), "1,5");
  EXPECT_EQ(ObjGetInteger(record->value_at(0)->value()), 42);
}
