#include "reports/sort.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "reports/control.h"
#include "reports/fields.h"
#include "reports/reports.h"
#include "sort_internal.h"
#include "testing.h"

using kr_testing::TestHome;
using kr_testing::TraceCapture;

namespace {

struct Column {
  const char* name;
  int32_t type;
};

// A table whose rows are given as texts: a value text, encoded with the column's type, or a
// state text after "!" ("!Unknown", "!N/A", ...).
Ref<RepTable> MakeTable(const std::vector<Column>& columns,
                        const std::vector<std::vector<std::string>>& rows) {
  Ref<List> fields = ListNewFromPool();
  for (const Column& c : columns)
    ListPushLastItemInternal(fields.get(), RepNewFieldDef(c.name, c.type, 8));
  Ref<List> records = ListNewFromPool();
  for (const auto& row : rows) {
    Ref<RepRecord> r = RepMakeBlankRecord(fields.get(), kRepStateNormal);
    for (size_t i = 0; i < row.size(); ++i) {
      RepFieldValue* v = r->value_at(i);
      if (!row[i].empty() && row[i][0] == '!') {
        int32_t state = 0;
        EXPECT_EQ(RepStateTextToState(&state, row[i].c_str() + 1), 1) << row[i];
        v->set_state(state);
      } else {
        Ref<Obj> value;
        EXPECT_EQ(RepEncodeData(&value, row[i].c_str(), columns[i].type), 1) << row[i];
        v->set_value(std::move(value));
      }
    }
    ListPushLastItemInternal(records.get(), std::move(r));
  }
  return RepNewTable("t", std::move(fields), std::move(records));
}

// One column of the records as text: the value as the test wrote it, or "!" and the state.
std::vector<std::string> ColumnOf(const List* records, size_t index) {
  std::vector<std::string> out;
  for (Obj* o : *records) {
    const RepFieldValue* v = ObjCast<RepRecord>(o)->value_at(index);
    if (v->state() != kRepStateNormal) {
      out.push_back(std::string("!") + RepStateToText(v->state()));
    } else if (ObjGetMagic(v->value()) == kObjStringType) {
      out.push_back(ObjGetString(v->value()));
    } else if (ObjGetMagic(v->value()) == kObjInt64Type) {
      out.push_back(std::to_string(ObjGetInt64(v->value())));
    } else {
      out.push_back(std::to_string(ObjGetInteger(v->value())));
    }
  }
  return out;
}

using Texts = std::vector<std::string>;

void SortBy(RepTable* table, const char* text) {
  Ref<List> spec;
  ASSERT_EQ(RepBuildSortSpec(&spec, table->fields(), text), 1);
  RepApplySortToRecords(spec.get(), table->records());
}

struct KeyShape {
  int32_t type;
  int32_t index;
  bool ascending;
};

std::vector<KeyShape> Shape(const List* spec) {
  std::vector<KeyShape> v;
  for (Obj* o : *spec) {
    auto* k = ObjCast<RepSortKey>(o);
    v.push_back({k->type(), k->index(), k->ascending()});
  }
  return v;
}

bool operator==(const KeyShape& a, const KeyShape& b) {
  return a.type == b.type && a.index == b.index && a.ascending == b.ascending;
}

}  // namespace

TEST(SortSpec, KeysInOrderWithTheirDirections) {
  TestHome home;
  Ref<RepTable> t = MakeTable(
      {{"id", kRepTypeInteger}, {"name", kRepTypeString}, {"size", kRepTypeDataCount}}, {});
  const List* fields = t->fields();
  struct Case {
    const char* text;
    std::vector<KeyShape> keys;
  } cases[] = {
      {"%size- %ID,%name",
       {{kRepTypeDataCount, 2, false}, {kRepTypeInteger, 0, true}, {kRepTypeString, 1, true}}},
      {"%size-%id", {{kRepTypeDataCount, 2, false}, {kRepTypeInteger, 0, true}}},
      {"%size -", {{kRepTypeDataCount, 2, true}}},  // the minus must touch the name
      {"by %name then%%size and %'x %\\n", {{kRepTypeString, 1, true}}},
      {"%id %id-", {{kRepTypeInteger, 0, true}, {kRepTypeInteger, 0, false}}},
      {"", {}},
      {nullptr, {}},
  };
  for (const Case& c : cases) {
    Ref<List> spec;
    ASSERT_EQ(RepBuildSortSpec(&spec, fields, c.text), 1) << c.text;
    EXPECT_EQ(Shape(spec.get()), c.keys) << (c.text ? c.text : "(null)");
  }
}

TEST(SortSpec, BadReferencesAreSkippedAndAFieldlessReportRefused) {
  TestHome home;
  Ref<RepTable> t = MakeTable({{"id", kRepTypeInteger}, {"size", kRepTypeInt64}}, {});
  for (const char* text : {"%owner %size-", "%size- %", "% %size-", "%size-%sizes"}) {
    TraceCapture trace;
    Ref<List> spec;
    ASSERT_EQ(RepBuildSortSpec(&spec, t->fields(), text), 1) << text;
    EXPECT_EQ(Shape(spec.get()), (std::vector<KeyShape>{{kRepTypeInt64, 1, false}})) << text;
    EXPECT_TRUE(trace.Contains("Sort spec contains bad field. Ignoring it.")) << text;
  }
  TraceCapture trace;
  Ref<List> empty = ListNewFromPool();
  Ref<List> spec;
  EXPECT_EQ(RepBuildSortSpec(&spec, empty.get(), "%id"), 0);
  EXPECT_EQ(RepBuildSortSpec(&spec, nullptr, "%id"), 0);
  EXPECT_FALSE(spec);
  EXPECT_TRUE(trace.Contains("Not making sort spec - report has no fields"));
}

TEST(SortSpec, FieldsInSortAreListedInReferenceOrder) {
  TestHome home;
  Ref<RepTable> t = MakeTable({{"id", kRepTypeInteger}, {"size", kRepTypeInt64}}, {});
  Ref<List> fields;
  ASSERT_EQ(RepGetFieldsInSort(&fields, t->fields(), "%size- %id,%SIZE"), 1);
  ASSERT_EQ(fields->size(), 3u);
  EXPECT_EQ(fields->at(0), t->fields()->at(1));
  EXPECT_EQ(fields->at(1), t->fields()->at(0));
  EXPECT_EQ(fields->at(2), t->fields()->at(1));
  ASSERT_EQ(RepGetFieldsInSort(&fields, t->fields(), nullptr), 1);
  EXPECT_EQ(fields->size(), 0u);

  TraceCapture trace;
  Ref<List> bad;
  EXPECT_EQ(RepGetFieldsInSort(&bad, t->fields(), "%id %owner- %size"), 0);
  EXPECT_FALSE(bad);
  EXPECT_TRUE(trace.Contains("Bad field in sort spec. (Pointer at 'owner- %size')"))
      << trace.Dump();
}

TEST(Sorting, StatesFollowNormalValuesInEitherDirection) {
  TestHome home;
  const std::vector<std::vector<std::string>> rows = {
      {"5"}, {"!Unknown"}, {"9"}, {"!Unlimited"}, {"!N/A"}, {"7"}, {"!Never"}, {"!N/A"}};
  Ref<RepTable> t = MakeTable({{"size", kRepTypeInt64}}, rows);
  SortBy(t.get(), "%size-");
  EXPECT_EQ(ColumnOf(t->records(), 0),
            (Texts{"9", "7", "5", "!N/A", "!N/A", "!Unknown", "!Never", "!Unlimited"}));
  SortBy(t.get(), "%size");
  EXPECT_EQ(ColumnOf(t->records(), 0),
            (Texts{"5", "7", "9", "!N/A", "!N/A", "!Unknown", "!Never", "!Unlimited"}));

  // The same with the values held as objects rather than inline (a date key).
  Ref<RepTable> d =
      MakeTable({{"day", kRepTypeDate}}, {{"2024/03/01"}, {"!Never"}, {"2023/12/31"}, {"!N/A"}});
  SortBy(d.get(), "%day-");
  auto year = [&](size_t i) {
    auto* v = ObjCast<RepRecord>(d->records()->at(i))->value_at(0);
    return v->state() == kRepStateNormal ? ObjCast<RepDateValue>(v->value())->year() : -v->state();
  };
  EXPECT_EQ((std::vector<int>{year(0), year(1), year(2), year(3)}),
            (std::vector<int>{2024, 2023, -kRepStateNA, -kRepStateNever}));
}

TEST(Sorting, LaterKeysBreakTiesAndEqualRecordsKeepTheirOrder) {
  TestHome home;
  Ref<RepTable> t =
      MakeTable({{"client", kRepTypeString}, {"size", kRepTypeDataCount}, {"seq", kRepTypeInteger}},
                {{"beta", "10", "1"},
                 {"Alpha", "5", "2"},
                 {"BETA", "20", "3"},
                 {"alpha", "5", "4"},
                 {"ALPHA", "7", "5"},
                 {"Beta", "10", "6"}});
  SortBy(t.get(), "%client %size-");
  EXPECT_EQ(ColumnOf(t->records(), 2), (Texts{"5", "2", "4", "3", "1", "6"}));
  // Case-blind: one key on the client alone keeps the spellings of each name in input order.
  SortBy(t.get(), "%seq");
  SortBy(t.get(), "%client");
  EXPECT_EQ(ColumnOf(t->records(), 0), (Texts{"Alpha", "alpha", "ALPHA", "beta", "BETA", "Beta"}));
  // A key on a field the report lacks is skipped; the others still sort.
  SortBy(t.get(), "%owner %seq-");
  EXPECT_EQ(ColumnOf(t->records(), 2), (Texts{"6", "5", "4", "3", "2", "1"}));
}

// The fast path must give exactly the order of the record comparator, whatever the values:
// every comparable type, every state, records that lack values, values of the wrong form and
// states no record of ours has.
// Sorts `records` by `text` and checks the order is the one the record comparator gives.
void ExpectSortedAsTheComparatorSorts(const List* fields, List* records, const std::string& text,
                                      int round) {
  Ref<List> spec;
  ASSERT_EQ(RepBuildSortSpec(&spec, fields, text.c_str()), 1);
  Ref<List> expected;
  ASSERT_EQ(ListClone(&expected, records), 1);
  Ref<RepSortCookie> cookie = kr_internal::SortMakeCookie(spec.get(), nullptr, nullptr);
  ListSortWithCookie(expected.get(), kr_internal::SortCompareWithCookie, cookie.get());
  RepApplySortToRecords(spec.get(), records);
  ASSERT_EQ(records->size(), expected->size());
  for (size_t r = 0; r < records->size(); ++r)
    ASSERT_EQ(records->at(r), expected->at(r)) << "round " << round << " spec " << text;
}

TEST(Sorting, ExtractedKeysOrderExactlyAsTheRecordComparator) {
  TestHome home;
  RepSetTimeNow(1700000000);
  const std::vector<Column> columns = {
      {"i", kRepTypeInteger}, {"s", kRepTypeString},     {"b", kRepTypeBoolean},
      {"d", kRepTypeDate},    {"h", kRepTypeHdwmyCount}, {"l", kRepTypeInt64},
      {"t", kRepTypeSysTime}, {"w", kRepTypeDaysInWeek}, {"c", kRepTypeDataCount}};
  const std::vector<std::vector<std::string>> samples = {
      {"-3", "0", "7", "2147483647", "-2147483648"},
      {"abc",
       "ABC",
       "abd",
       "",
       "Zeta",
       "\xc3\xa9t\xc3\xa9",
       "ab",
       "client_0001",
       "CLIENT_0001",
       "client[01",
       "clientXY",
       "clientxy",
       "clientxyz",
       "12345678",
       "1234567",
       "client_0001a",
       "CLIENT_0001B",
       "client_00010",
       "backup-client-00",
       "backup-client-000",
       "BACKUP-CLIENT-0001.example",
       "backup-client-0001.Example",
       "backup-client-0001.ex",
       "backup-client-00_1",
       "backup-client-00[1"},
      {"yes", "no"},
      {"2024/02/29", "2024/03/01", "1999/12/31"},
      {"2d", "47h", "1m", "31d", "1y"},
      {"9223372036854775807", "-9223372036854775808", "0", "12"},
      {"0", "1700000000", "-5"},
      {"MOWE", "TU", "", "SU"},
      {"2KB", "2048", "1gb", "7"}};
  std::mt19937 rng(12345);
  for (int round = 0; round < 60; ++round) {
    size_t n = 1 + rng() % 400;
    std::vector<std::vector<std::string>> rows;
    for (size_t r = 0; r < n; ++r) {
      std::vector<std::string> row;
      for (const auto& s : samples) {
        size_t pick = rng() % (s.size() + 3);
        if (pick == s.size() + 2)
          row.push_back("!Normal");  // Normal with the blank value
        else if (pick >= s.size())
          row.push_back(std::string("!") + RepStateToText(static_cast<int32_t>(1 + rng() % 4)));
        else
          row.push_back(s[pick]);
      }
      rows.push_back(row);
    }
    Ref<RepTable> t = MakeTable(columns, rows);
    // A type with no order: plugin screens, never encoded from text.
    ListPushLastItemInternal(t->fields(), RepNewFieldDef("p", kRepTypePluginScreen, 1));
    for (Obj* o : *t->records()) {
      Ref<Obj> blank;
      RepMakeBlankObject(&blank, kRepTypePluginScreen);
      ListPushLastItemInternal(ObjCast<RepRecord>(o)->values(),
                               RepNewFieldValue(kRepStateNormal, std::move(blank)));
    }
    // Odd records: now and then a value of the wrong form, a short record, a strange state.
    for (size_t r = 0; r < n; ++r) {
      auto* rec = ObjCast<RepRecord>(t->records()->at(r));
      uint32_t odd = static_cast<uint32_t>(rng() % 50);
      if (odd == 0 && round % 3 == 0) rec->value_at(1)->set_value(ObjNewInteger(4));
      if (odd == 1 && round % 4 == 0) rec->value_at(0)->set_value(nullptr);
      if (odd == 5 && round % 4 == 1) rec->value_at(1)->set_value(ObjNewString(nullptr));
      if (odd == 2 && round % 5 == 0) {
        while (rec->values()->size() > 3) ListRemoveNthItem(rec->values(), rec->values()->size());
      }
      if (odd == 3 && round % 7 == 0) rec->value_at(2)->set_state(300);
      if (odd == 4 && round % 6 == 0) rec->value_at(5)->set_state(-2);
    }
    // A spec of one to six random keys.
    std::string text;
    size_t keys = 1 + rng() % 6;
    for (size_t k = 0; k < keys; ++k) {
      text += std::string("%") + ObjCast<RepFieldDef>(t->fields()->at(rng() % 10))->name();
      if (rng() % 2) text += "-";
      text += " ";
    }
    ExpectSortedAsTheComparatorSorts(t->fields(), t->records(), text, round);
    if (HasFatalFailure()) return;
  }
}

// Lists of integer, boolean and string keys long enough for the byte-string keys: the same
// order as the record comparator with many ties, either direction, texts that agree on their
// first sixteen bytes or end there, case variants, every state, and now and then a value that
// sends the list back to the entry sort.
TEST(Sorting, NormalizedKeysOrderExactlyAsTheRecordComparator) {
  TestHome home;
  const std::vector<Column> columns = {{"i", kRepTypeInteger}, {"s", kRepTypeString},
                                       {"b", kRepTypeBoolean}, {"l", kRepTypeInt64},
                                       {"t", kRepTypeSysTime}, {"c", kRepTypeDataCount},
                                       {"n", kRepTypeString}};
  const std::vector<std::vector<std::string>> samples = {
      {"-1", "0", "1", "2147483647", "-2147483648", "256", "255"},
      {"client0001", "CLIENT0001", "client0002", "", "a", "A", "\xc3\xa9t\xc3\xa9", "client000",
       "backup-client-00", "backup-client-000", "Backup-Client-000", "backup-client-0001",
       "backup-client-0001.example", "BACKUP-CLIENT-0001.EXAMPLE", "backup-client-0001.ex",
       "backup-client-00_1", "backup-client-00[1", "zzzzzzzzzzzzzzzzzzzzzzzz"},
      {"yes", "no"},
      {"9223372036854775807", "-9223372036854775808", "0", "-1", "1", "4294967296"},
      {"0", "1700000000", "-5"},
      {"2KB", "2048", "7", "0"},
      {"Incremental", "Full", "full", "Differential", "0123456789abcdefX", "0123456789ABCDEFx"}};
  std::mt19937 rng(20261206);
  // The last rounds are long enough for the sort to share its work with a second thread.
  for (int round = 0; round < 42; ++round) {
    const size_t n = round < 40 ? 64 + rng() % 3000 : 70000 + rng() % 5000;
    std::vector<std::vector<std::string>> rows;
    for (size_t r = 0; r < n; ++r) {
      std::vector<std::string> row;
      for (const auto& s : samples) {
        size_t pick = rng() % (s.size() + 2);
        if (pick >= s.size())
          row.push_back(std::string("!") + RepStateToText(static_cast<int32_t>(1 + rng() % 4)));
        else
          row.push_back(s[pick]);
      }
      rows.push_back(row);
    }
    Ref<RepTable> t = MakeTable(columns, rows);
    if (round % 8 == 7) {  // a value of another form, or a state no record of ours has
      auto* rec = ObjCast<RepRecord>(t->records()->at(rng() % n));
      if (round % 16 == 7)
        rec->value_at(1)->set_value(ObjNewInteger(4));
      else
        rec->value_at(0)->set_state(300);
    }
    std::string text;
    const size_t keys = 1 + rng() % 5;
    for (size_t k = 0; k < keys; ++k) {
      text += std::string("%") + columns[rng() % columns.size()].name;
      if (rng() % 2) text += "-";
      text += " ";
    }
    ExpectSortedAsTheComparatorSorts(t->fields(), t->records(), text, round);
    if (HasFatalFailure()) return;
  }
}

TEST(Sorting, ReportSortUsesItsParametersAndReportsProgress) {
  TestHome home;
  std::vector<std::vector<std::string>> rows;
  for (int i = 0; i < 3000; ++i) rows.push_back({std::to_string((i * 7919) % 3000)});
  Ref<RepTable> t = MakeTable({{"n", kRepTypeInteger}}, rows);
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetSort(params.get(), "%n-");
  Ref<RepControl> c = RepControlFromTable(params.get(), t.get());

  int calls = 0;
  RepSort(
      c.get(),
      [](void* argument, int reserved) {
        EXPECT_EQ(reserved, 0);
        ++*static_cast<int*>(argument);
        return 0;
      },
      &calls);
  Texts got = ColumnOf(t->records(), 0);
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(got[static_cast<size_t>(i)], std::to_string(2999 - i));
  // Thousands of records take tens of thousands of comparisons: several calls, but one per
  // 5000 comparisons, not one per record (3000 records sort in under 3000 * 12 of them).
  EXPECT_GE(calls, 2);
  EXPECT_LE(calls, 3000 * 12 / 5000);

  // The record comparator counts the same way.
  Ref<List> spec;
  ASSERT_EQ(RepBuildSortSpec(&spec, t->fields(), "%n"), 1);
  int cookie_calls = 0;
  Ref<RepSortCookie> cookie = kr_internal::SortMakeCookie(
      spec.get(), [](void* a, int) { return ++*static_cast<int*>(a); }, &cookie_calls);
  for (int i = 0; i < 12345; ++i)
    kr_internal::SortCompareWithCookie(t->records()->at(0), t->records()->at(1), cookie.get());
  EXPECT_EQ(cookie_calls, 2);
  EXPECT_EQ(cookie->counter(), 2345);

  // Without a callback nothing is called, and a small sort makes no call either.
  RepParamsSetSort(c->params(), "%n");
  RepSort(c.get(), nullptr, nullptr);
  EXPECT_EQ(ColumnOf(t->records(), 0).front(), "0");
  Ref<RepTable> small = MakeTable({{"n", kRepTypeInteger}}, {{"2"}, {"1"}});
  Ref<RepControl> sc = RepControlFromTable(c->params(), small.get());
  calls = 0;
  RepSort(
      sc.get(), [](void* a, int) { return ++*static_cast<int*>(a); }, &calls);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(ColumnOf(small->records(), 0), (Texts{"1", "2"}));
}

TEST(Sorting, NothingToSortLeavesTheRecordsAlone) {
  TestHome home;
  Ref<RepTable> t = MakeTable({{"n", kRepTypeInteger}}, {{"2"}, {"1"}, {"3"}});
  Ref<List> not_keys = ListNewFromPool();
  ListPushLastItemInternal(not_keys.get(), ObjNewInteger(0));
  RepApplySortToRecords(not_keys.get(), t->records());
  RepApplySortToRecords(nullptr, t->records());
  Ref<RepControl> c = RepControlFromTable(nullptr, t.get());
  RepSort(c.get(), nullptr, nullptr);  // no sort text
  RepParamsSetSort(c->params(), "%owner");
  RepSort(c.get(), nullptr, nullptr);  // only a bad key
  EXPECT_EQ(ColumnOf(t->records(), 0), (Texts{"2", "1", "3"}));

  RepParamsSetSort(c->params(), "%n");
  t->set_fields(ListNewFromPool());  // a table without fields
  TraceCapture trace;
  RepSort(c.get(), nullptr, nullptr);
  EXPECT_EQ(ColumnOf(t->records(), 0), (Texts{"2", "1", "3"}));
  EXPECT_TRUE(trace.Contains("Not making sort spec - report has no fields"));
  RepSort(nullptr, nullptr, nullptr);
  Ref<RepControl> unproduced = RepControl::New();
  RepSort(unproduced.get(), nullptr, nullptr);
}
