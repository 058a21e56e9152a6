// Filter push-down on a SQLite catalog: what is pushed into the SELECT, and, over thousands of
// random filters on a catalog of awkward rows, that the filter keeps exactly the same records
// with push-down as without.

#include <gtest/gtest.h>

#include "catalog.h"
#include "catalog_test_util.h"
#include "reports/reports.h"
#include "source.h"
#include "testing.h"

namespace {

using namespace catalog_testing;

class PushDownTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CopyExampleFields(home_);
    RepSetTimeNow(kNow);
  }
  void TearDown() override { catalog::Close(); }
  kr_testing::TestHome home_;
};

// What translates and what stays with the filter, on the example catalog.
TEST_F(PushDownTest, OnlyTheExactPartReachesTheWhere) {
  const std::string db = home_.HomePath("catalog.db");
  catalog::GenerateOptions o;
  o.jobs = 50;
  o.now = kNow;
  std::string error;
  ASSERT_EQ(catalog::Generate(db, o, &error), 1) << error;
  ASSERT_EQ(catalog::Open(db, &error), 1) << error;
  Ref<List> fields = AllFields("jobs");
  const struct {
    const char* filter;
    const char* where;  // what the WHERE must hold; null: no WHERE at all
  } kCases[] = {
      {"%size > 1000000", "WHERE (CAST((\"size\") AS INTEGER) > ?1)"},
      {"%status = 'ok'", "lower(\"status\") = ?1 OR (\"status\") GLOB ?2"},
      {"%status > 'ok'", "WHERE (1 = 0)"},
      {"%jobid != 5", "(CAST((\"jobid\") AS INTEGER) IS NULL OR"},
      {"%size = status:Normal", "WHERE (\"size\") IS NOT NULL"},
      {"(%client = 'apo*' AND %files < 10)", "WHERE (CAST((\"files\") AS INTEGER) < ?1)"},
      {"%client = 'apo*'", nullptr},                   // a pattern
      {"%client = regexp:'^a'", nullptr},              // a regular expression
      {"%client = '\xc3\x89ric'", nullptr},            // folded beyond ASCII by the filter
      {"(%client = 'apo*' OR %files < 10)", nullptr},  // an OR with a side left out
      {"%startdate = today", nullptr},                 // a date
  };
  for (const auto& c : kCases) {
    Ref<RepFilterTree> tree = RepMakeFilterTree(c.filter, fields.get());
    ASSERT_TRUE(tree) << c.filter;
    const std::string sql = catalog::SelectFor("jobs", fields.get(), nullptr, tree.get());
    if (c.where == nullptr) {
      EXPECT_EQ(sql.find("WHERE"), std::string::npos) << c.filter << "\n" << sql;
    } else {
      EXPECT_NE(sql.find(c.where), std::string::npos) << c.filter << "\n" << sql;
    }
  }
}

TEST_F(PushDownTest, RandomFiltersKeepTheSameRecordsWithAndWithoutPushDown) {
  const std::string db = home_.HomePath("awkward.db");
  std::string error;
  {
    auto writer = catalog::CreateSqliteWriter(db, &error);
    ASSERT_TRUE(writer) << error;
    ASSERT_TRUE(WriteAwkwardCatalog(writer.get(), 120, true, &error)) << error;
  }
  const std::string mapping = home_.HomePath("awkward.map");
  ASSERT_TRUE(kr_testing::WriteFile(mapping, kAwkwardMapping));
  ASSERT_EQ(catalog::Open(db, mapping, &error), 1) << error;
  const auto [built, pushed] = DifferentialRun(2000, 20261207);
  EXPECT_GT(built, 1300);
  EXPECT_GT(pushed, built / 3);
}

}  // namespace
