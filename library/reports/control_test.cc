#include "reports/control.h"

#include <gtest/gtest.h>

#include <string>

#include "provider_test_util.h"
#include "reports/fields.h"
#include "reports/outputtypes.h"
#include "reports/reports.h"
#include "testing.h"

using kr_testing::TestHome;

namespace {

// A table of fields id (integer) and name (string) with `n` blank records.
Ref<RepTable> SmallTable(int n) {
  Ref<List> fields = ListNewFromPool();
  ListPushLastItemInternal(fields.get(), RepNewFieldDef("id", kRepTypeInteger, 5));
  ListPushLastItemInternal(fields.get(), RepNewFieldDef("name", kRepTypeString, 10));
  Ref<List> records = ListNewFromPool();
  for (int i = 0; i < n; ++i)
    ListPushLastItemInternal(records.get(), RepMakeBlankRecord(fields.get(), kRepStateNormal));
  return RepNewTable("jobs", std::move(fields), std::move(records));
}

}  // namespace

TEST(Control, UnproducedControlHasNoRecords) {
  Ref<RepControl> c = RepControl::New();
  EXPECT_EQ(RepGiveNumRecords(c.get()), 0u);
  EXPECT_EQ(RepGiveNumRecords(nullptr), 0u);
  c->set_table(RepNewTable("t", ListNewFromPool(), nullptr));  // fields only, no record list
  EXPECT_EQ(RepGiveNumRecords(c.get()), 0u);
  EXPECT_FALSE(RepControlGetParams(c.get()));
  std::string text = "untouched";
  EXPECT_EQ(RepControlGetFieldString(&text, c.get()), 0);
  EXPECT_EQ(text, "untouched");
}

TEST(Control, FromTableSharesTheTableAndKeepsFieldPositions) {
  TestHome home;
  Ref<RepTable> table = SmallTable(3);
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetSort(params.get(), "%name");
  Ref<RepControl> c = RepControlFromTable(params.get(), table.get());
  ASSERT_TRUE(c);
  EXPECT_EQ(c->table(), table.get());
  EXPECT_EQ(c->possible_fields(), table->fields());
  ASSERT_NE(c->report_fields(), nullptr);
  EXPECT_NE(c->report_fields(), table->fields());  // its own list...
  ASSERT_EQ(c->report_fields()->size(), 2u);
  for (size_t i = 0; i < 2; ++i)  // ...of the same definitions, in record order
    EXPECT_EQ(c->report_fields()->at(i), table->fields()->at(i));
  EXPECT_EQ(RepGiveNumRecords(c.get()), 3u);
  EXPECT_EQ(c->filtered_out(), nullptr);
  EXPECT_EQ(c->include_tree(), nullptr);
  EXPECT_EQ(c->time_of_production(), 0);

  // The control keeps its own parameters.
  RepParamsSetSort(params.get(), "%id");
  EXPECT_STREQ(RepParamsGetSort(c->params()), "%name");

  std::string names;
  ASSERT_EQ(RepControlGetFieldString(&names, c.get()), 1);
  EXPECT_EQ(names, "id\nname\n");

  Ref<RepControl> defaults = RepControlFromTable(nullptr, table.get());
  ASSERT_TRUE(defaults);
  EXPECT_EQ(RepParamsGetOutputType(defaults->params()), -1);
  EXPECT_FALSE(RepControlFromTable(params.get(), nullptr));
  Ref<RepTable> bare = RepNewTable("bare", nullptr, nullptr);
  EXPECT_FALSE(RepControlFromTable(params.get(), bare.get()));
}

TEST(Control, GetParamsHandsOutACopy) {
  Ref<RepTable> table = SmallTable(0);
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetFormat(params.get(), "%id %name");
  Ref<RepControl> c = RepControlFromTable(params.get(), table.get());
  Ref<RepParams> copy = RepControlGetParams(c.get());
  ASSERT_TRUE(copy);
  EXPECT_NE(copy.get(), c->params());
  EXPECT_STREQ(RepParamsGetFormat(copy.get()), "%id %name");
  RepParamsSetFormat(copy.get(), "%id");
  Ref<List> copied_options;
  RepParamsGetOutputOptions(&copied_options, copy.get());
  ListPushLastItemInternal(copied_options.get(), ObjNewString("extra"));
  EXPECT_STREQ(RepParamsGetFormat(c->params()), "%id %name");
  EXPECT_EQ(c->params()->output_options()->size(), 0u);
}

// --- allocation and production against an in-process provider --------------------------------

namespace {

class Producing : public ::testing::Test, public kr_testing::ProviderFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Ready());
    Class("jobowners",
          "%NICENAME = 'Job owners'\n"
          "SELECT jobs.id, jobs.name, jobs.size, owners.city FROM jobs, owners\n"
          "  WHERE jobs.owner = owners.owner\n");
  }
  Ref<RepControl> Alloc(const char* format, const char* sort = nullptr,
                        const char* include = nullptr) {
    Ref<RepParams> p = RepParamsAlloc();
    RepParamsSetClass(p.get(), "Job owners");
    RepParamsSetOutputType(p.get(), kRepOutputPlainText);
    RepParamsSetFormat(p.get(), format);
    RepParamsSetSort(p.get(), sort);
    RepParamsSetInclude(p.get(), include);
    return RepControlAlloc(p.get());
  }
};

int Count(void* argument, int) {
  ++*static_cast<int*>(argument);
  return 0;
}

std::vector<std::string> FieldNames(const List* l) {
  std::vector<std::string> v;
  for (Obj* o : *l) v.push_back(ObjGetSlotString(o, 1));
  return v;
}

}  // namespace

TEST_F(Producing, AllocationLoadsThePossibleFieldsOfTheClass) {
  Ref<RepControl> c = Alloc("%id");
  ASSERT_TRUE(c);
  EXPECT_EQ(FieldNames(c->possible_fields()),
            (std::vector<std::string>{"id", "name", "size", "owner", "city"}));
  EXPECT_EQ(ListGetItemCount(c->report_fields()), 0u);
  kr_testing::TraceCapture trace;
  Ref<RepParams> p = RepParamsAlloc();
  RepParamsSetClass(p.get(), "No such class");
  EXPECT_FALSE(RepControlAlloc(p.get()));
  EXPECT_TRUE(trace.Contains("Failed to load possible class fields", -1));
}

TEST_F(Producing, ReportFieldsFormatFirstThenSortAndFilters) {
  Ref<RepControl> c = Alloc("%city %id", "%size- %id", "%name != job3 AND %city != Rome");
  ASSERT_TRUE(c);
  int calls = 0;
  std::string error;
  ASSERT_EQ(RepControlProduceReport(&error, c.get(), 0, &Count, &calls), 1) << error;
  EXPECT_EQ(FieldNames(c->report_fields()),
            (std::vector<std::string>{"city", "id", "size", "name"}));
  EXPECT_EQ(calls, 2);  // once after fetching, once after filtering; too few records for more
  EXPECT_EQ(RepGiveNumRecords(c.get()), 19u);  // 30, less the 10 in Rome, less job3
  const auto* first = ObjCast<RepRecord>(c->table()->records()->at(0));
  EXPECT_EQ(ObjGetInteger(first->value_at(2)->value()), 9);  // largest size first
  EXPECT_NE(c->time_of_production(), 0);
}

TEST_F(Producing, FailuresGiveTheUserMessage) {
  struct Case {
    const char* format;
    const char* sort;
    const char* include;
    const char* error;
  };
  const Case cases[] = {
      {"", nullptr, nullptr,
       "Failed to work out fields required by report (No fields specified for report)"},
      {"%id", "%nosuch", nullptr,
       "Failed to work out fields required by report (Cannot interpret fields required to sort "
       "report)"},
      {"%nosuch", nullptr, nullptr,
       "Failed to work out fields required by report (Cannot interpret fields required to output "
       "report)"},
      {"%id", nullptr, "%nosuch = 1",
       "Failed to work out fields required by report (Cannot interpret fields required for "
       "include filter)"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.error);
    Ref<RepControl> c = Alloc(k.format, k.sort, k.include);
    ASSERT_TRUE(c);
    std::string error;
    EXPECT_EQ(RepControlProduceReport(&error, c.get(), 1, nullptr, nullptr), 0);
    EXPECT_EQ(error, k.error);
    EXPECT_EQ(kr_testing::g_table_requests, 0);
  }
  // A class whose table cannot be had.
  kr_testing::WriteFile(home_.config_dir() + "/reptables.cfg", "");
  Ref<RepControl> c = Alloc("%id");
  ASSERT_FALSE(c);  // its fields cannot be had either
}
