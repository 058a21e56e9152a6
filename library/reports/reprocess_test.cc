#include "reports/reprocess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kr/time.h"
#include "reports/classes.h"
#include "reports/params.h"
#include "reports/produced.h"
#include "reports/reports.h"
#include "testing.h"

using kr_testing::ScopedTimeZone;
using kr_testing::TestHome;
using kr_testing::TraceCapture;

namespace {

constexpr int64_t kMarch5th2004 = 1078495629;  // 2004-03-05 14:07:09 UTC
constexpr int64_t kMay1st2004 = 1083412800;    // 2004-05-01 12:00:00 UTC

Ref<RepRecord> Row(int32_t id, int day) {
  Ref<List> values = ListNewFromPool();
  ListPushLastItemInternal(values.get(), RepNewFieldValue(kRepStateNormal, ObjNewInteger(id)));
  Ref<RepDateValue> date = RepDateValue::New();
  date->set_year(2004);
  date->set_month(3);
  date->set_day(day);
  ListPushLastItemInternal(values.get(), RepNewFieldValue(kRepStateNormal, std::move(date)));
  Ref<RepRecord> r = RepRecord::New();
  r->set_values(std::move(values));
  return r;
}

Ref<List> Rows(std::initializer_list<std::pair<int32_t, int>> rows) {
  Ref<List> list = ListNewFromPool();
  for (const auto& [id, day] : rows) ListPushLastItemInternal(list.get(), Row(id, day));
  return list;
}

std::vector<int32_t> Ids(const List* records) {
  std::vector<int32_t> ids;
  if (records == nullptr) return ids;
  for (Obj* item : *records) {
    ids.push_back(ObjGetInteger(ObjCast<RepRecord>(item)->value_at(0)->value()));
  }
  return ids;
}

// A stored report, as production leaves it with include "%id < 6" and sort "%id-": records 5, 3
// and 1 (days 5, 4, 5 of March), and, when `keep_dropped`, the dropped records 7 and 9. The test
// then changes the control's parameters to the new ones and re-processes.
class Reprocess : public ::testing::Test {
 protected:
  Reprocess() : utc_("UTC"), home_(Options()) {}

  static TestHome::Options Options() {
    TestHome::Options o;
    o.fixed_time = kMarch5th2004;
    return o;
  }

  void Store(bool keep_dropped, bool used_condition = false, const char* condition = nullptr) {
    Ref<List> fields = ListNewFromPool();
    ListPushLastItemInternal(fields.get(), RepNewFieldDef("id", kRepTypeInteger, 4));
    ListPushLastItemInternal(fields.get(), RepNewFieldDef("day", kRepTypeDate, 10));
    Ref<RepTable> table = RepNewTable("result", std::move(fields), Rows({{5, 5}, {3, 4}, {1, 5}}));
    Ref<RepParams> params = RepParamsAlloc();
    RepParamsSetClass(params.get(), "Jobs");
    RepParamsSetOutputType(params.get(), 0);
    RepParamsSetInclude(params.get(), "%id < 6");
    RepParamsSetCondition(params.get(), condition);
    RepParamsSetSort(params.get(), "%id-");
    control_ = RepControlFromTable(params.get(), table.get());
    if (keep_dropped) control_->set_filtered_out(Rows({{7, 5}, {9, 5}}));
    control_->set_time_of_production(static_cast<int32_t>(kMarch5th2004));

    Ref<List> classes = ListNewFromPool();
    Ref<RepClass> c = RepClass::New();
    c->set_file_name("jobs");
    c->set_nice_name("Jobs");
    ListPushLastItemInternal(classes.get(), std::move(c));
    ASSERT_EQ(RepSerialiseProducedReport(&name_, "r", control_.get(), classes.get(),
                                         used_condition ? 1 : 0),
              1);
  }

  RepParams* params() { return control_->params(); }
  std::vector<int32_t> Result() { return Ids(control_->table()->records()); }
  int Run(int use_condition = 0) {
    return RepReProcessProducedReport(control_.get(), name_.c_str(), use_condition);
  }

  ScopedTimeZone utc_;
  TestHome home_;
  Ref<RepControl> control_;
  std::string name_;
  TraceCapture trace_;
};

}  // namespace

TEST_F(Reprocess, UnchangedParametersWithDroppedRecordsDoNothingButCaseCounts) {
  Store(true);
  ASSERT_EQ(Run(), 1);
  EXPECT_EQ(Result(), (std::vector<int32_t>{5, 3, 1}));
  EXPECT_EQ(Ids(control_->filtered_out()), (std::vector<int32_t>{7, 9}));
  EXPECT_TRUE(
      trace_.Contains("Filters unchanged with filtered out records, so no need to re-filter"));
  EXPECT_TRUE(trace_.Contains("No need to re-sort records", 3));
  EXPECT_FALSE(trace_.Contains("Going to re-filter"));

  // A difference of letter case is a change.
  RepParamsSetInclude(params(), "%ID < 6");
  ASSERT_EQ(Run(), 1);
  EXPECT_TRUE(trace_.Contains("combine records and re-filter"));
  EXPECT_EQ(Result(), (std::vector<int32_t>{5, 3, 1}));
}

TEST_F(Reprocess, OnlyTheSortChanged) {
  Store(true);
  RepParamsSetSort(params(), "%id");
  ASSERT_EQ(Run(), 1);
  EXPECT_EQ(Result(), (std::vector<int32_t>{1, 3, 5}));
  EXPECT_EQ(Ids(control_->filtered_out()), (std::vector<int32_t>{7, 9}));
  EXPECT_TRUE(trace_.Contains("Sort specs filters differ. Going to re-sort."));
  EXPECT_TRUE(trace_.Contains("Have applied re-processing sort spec"));
  EXPECT_FALSE(trace_.Contains("Going to re-filter"));
}

TEST_F(Reprocess, WidenedIncludeBringsDroppedRecordsBackAndResorts) {
  Store(true);
  RepParamsSetInclude(params(), "%id < 8");
  ASSERT_EQ(Run(), 1);
  // 7 is back, 9 still fails the include, and the sort runs although its text is unchanged.
  EXPECT_EQ(Result(), (std::vector<int32_t>{7, 5, 3, 1}));
  EXPECT_TRUE(
      trace_.Contains("At least one filter changed. Have filtered out records, so "
                      "combine records and re-filter"));
  EXPECT_TRUE(trace_.Contains("Include filters differ. Going to re-filter."));
  EXPECT_TRUE(trace_.Contains("Have applied re-processing sort spec"));
}

TEST_F(Reprocess, WithoutDroppedRecordsOnlyNewRestrictionsApply) {
  Store(false);
  // An emptied include cannot bring anything back.
  RepParamsSetInclude(params(), "");
  ASSERT_EQ(Run(), 1);
  EXPECT_EQ(Result(), (std::vector<int32_t>{5, 3, 1}));
  EXPECT_TRUE(trace_.Contains("Include filter unchanged, wont re-do"));
  EXPECT_TRUE(trace_.Contains("No need to re-sort records"));

  // A narrower include and a new exclude do apply.
  RepParamsSetInclude(params(), "%id < 5");
  RepParamsSetExclude(params(), "%id = 1");
  ASSERT_EQ(Run(), 1);
  EXPECT_EQ(Result(), std::vector<int32_t>{3});
  EXPECT_TRUE(
      trace_.Contains("Include filter changed, no filtered out records, so re-do include "
                      "filter"));
  EXPECT_TRUE(trace_.Contains("Have applied re-processing exclude filter"));
}

TEST_F(Reprocess, ConditionRunsWhenAskedForNowButNotThen) {
  Store(false, /*used_condition=*/false, "%id > 1");
  ASSERT_EQ(Run(/*use_condition=*/0), 1);
  EXPECT_TRUE(trace_.Contains("Condition filter unchanged, wont re-do"));
  EXPECT_EQ(Result(), (std::vector<int32_t>{5, 3, 1}));
  ASSERT_EQ(Run(/*use_condition=*/1), 1);
  EXPECT_TRUE(
      trace_.Contains("Condition filter changed, no filtered out records, so re-do "
                      "condition filter"));
  EXPECT_EQ(Result(), (std::vector<int32_t>{5, 3}));
}

TEST_F(Reprocess, TodayMeansTheDayOfProduction) {
  Store(false);
  // Weeks later: "today" in the new filter still means 5 March 2004.
  TimeSetFixed(kMay1st2004);
  RepSetTimeNow(kMay1st2004);
  RepParamsSetInclude(params(), "%day = today");
  ASSERT_EQ(Run(), 1);
  EXPECT_EQ(Result(), (std::vector<int32_t>{5, 1}));
  EXPECT_EQ(RepGetContextData()->now, kMarch5th2004);
}

TEST_F(Reprocess, Failures) {
  Store(true);
  RepParamsSetInclude(params(), "%nosuchfield = 1");
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(trace_.Contains("Bad new include filter '%nosuchfield = 1'"));

  // A good include with a bad exclude or condition changes nothing at all: the dropped records
  // are not joined back and no filter is applied.
  struct {
    const char* exclude;
    const char* condition;
    const char* message;
  } const cases[] = {
      {"%nosuchfield = 1", nullptr, "Bad new Exclude filter '%nosuchfield = 1'"},
      {nullptr, "%nosuchfield > 1", "Bad new condition filter '%nosuchfield > 1'"},
  };
  for (const auto& c : cases) {
    RepParamsSetInclude(params(), "%id < 8");
    RepParamsSetExclude(params(), c.exclude);
    RepParamsSetCondition(params(), c.condition);
    EXPECT_EQ(Run(/*use_condition=*/1), 0) << c.message;
    EXPECT_TRUE(trace_.Contains(c.message));
    EXPECT_EQ(Result(), (std::vector<int32_t>{5, 3, 1})) << c.message;
    EXPECT_EQ(Ids(control_->filtered_out()), (std::vector<int32_t>{7, 9})) << c.message;
    EXPECT_FALSE(trace_.Contains("Going to re-filter")) << c.message;
  }

  EXPECT_EQ(RepReProcessProducedReport(control_.get(), "r%20040305140709%000%gone", 0), 0);
  EXPECT_TRUE(
      trace_.Contains("Cannot re-process produced report - cannot read original control "
                      "object from file 'r%20040305140709%000%gone'"));
}
