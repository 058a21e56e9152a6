#include "reports/control.h"

#include <gtest/gtest.h>

#include <string>

#include "reports/fields.h"
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
