#include "reports/filter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filter_test_util.h"
#include "kr/text.h"
#include "reports/control.h"
#include "reports/params.h"
#include "reports/reports.h"
#include "testing.h"

using kr_testing::TestHome;
using kr_testing::TraceCapture;
using namespace filter_test;

namespace {

// --- evaluation ---------------------------------------------------------------------------------

TEST(FilterEvaluation, OrderedTypesFollowTheComparison) {
  TestHome home;
  Row r{.count = 7};
  // clang-format off
  const char* match[] = {"%count > 5", "%count >= 5", "%count != 5", "%count = 7", "%count <= 7",
                         "%count >= 7", "%count < 8", "%when = 2024/02/29 AND %flag = no"};
  const char* no_match[] = {"%count < 5", "%count <= 5", "%count = 5", "%when > 20240301"};
  // clang-format on
  for (const char* f : match) EXPECT_EQ(Matches(f, r), 1) << f;
  for (const char* f : no_match) EXPECT_EQ(Matches(f, r), 0) << f;
  EXPECT_EQ(Matches("%size > 1mb", Row{.size = 1048577}), 1);
  EXPECT_EQ(Matches("%size > 1mb", Row{.size = 1048576}), 0);
}

// A comparison with a status constant, or of a value not in state Normal, is equal (code 0) or
// not comparable (code 2): only =, >=, <= or only != match.
TEST(FilterEvaluation, StatesMatchOnlyTheirStatusConstant) {
  TestHome home;
  const char* words[] = {"Normal", "N/A", "Unknown", "Never", "Unlimited"};
  const char* ops[] = {"=", "!=", ">", ">=", "<", "<="};
  const bool on_equal[] = {true, false, false, true, false, true};
  for (int32_t state = 0; state < 5; ++state) {
    Row r{.count = 5};
    r.states[kCount] = r.states[kName] = state;
    for (int32_t k = 0; k < 5; ++k) {
      for (int op = 0; op < 6; ++op) {
        std::string f = std::string("%count ") + ops[op] + " status:" + words[k];
        const bool expected = state == k ? on_equal[op] : op == kRepOpNotEqual;
        EXPECT_EQ(Matches(f.c_str(), r), expected ? 1 : 0) << f << " in state " << state;
      }
    }
    // A value constant equals only Normal values; otherwise only != matches.
    const int normal = state == kRepStateNormal ? 1 : 0;
    EXPECT_EQ(Matches("%count = 5", r), normal);
    EXPECT_EQ(Matches("%count != 5", r), 1 - normal);
    EXPECT_EQ(Matches("%count > 4", r), normal);
    EXPECT_EQ(Matches("%name = backup", r), normal);
    EXPECT_EQ(Matches("%name != backup", r), 1 - normal);
  }
}

TEST(FilterEvaluation, StringPatternsAreCaseBlindAndWhole) {
  TestHome home;
  Row r{.name = "Backup-Daily.1"};
  // A simplified pattern matches the whole value, a regular expression anywhere in it.
  const char* match[] = {"%name = 'BACKUP-DAILY.1'", "%name = backup*", "%name = regexp:daily",
                         "%name != regexp:'^daily'"};
  const char* no_match[] = {"%name = backup", "%name = regexp:'^daily'", "%name = ''"};
  for (const char* f : match) EXPECT_EQ(Matches(f, r), 1) << f;
  for (const char* f : no_match) EXPECT_EQ(Matches(f, r), 0) << f;
  EXPECT_EQ(Matches("%name = ''", Row{.name = ""}), 1);
  // > and < never match strings; >= is =, and != is exactly the complement of =.
  for (std::string v : {"a", "z", "backup-daily.1", "*"}) {
    int eq = Matches(("%name = '" + v + "'").c_str(), r);
    EXPECT_EQ(Matches(("%name > '" + v + "'").c_str(), r), 0);
    EXPECT_EQ(Matches(("%name < '" + v + "'").c_str(), r), 0);
    EXPECT_EQ(Matches(("%name >= '" + v + "'").c_str(), r), eq);
    EXPECT_EQ(Matches(("%name != '" + v + "'").c_str(), r), 1 - eq);
  }
}

TEST(FilterEvaluation, PatternIsCompiledOnceAndFailuresRetry) {
  TestHome home;
  Ref<List> f = Fields();
  Ref<RepFilterTree> t = RepMakeFilterTree("%name = regexp:'a[' OR %status = ok", f.get());
  ASSERT_TRUE(t);
  Ref<RepRecord> rec = Record(Row{});
  TraceCapture trace;
  EXPECT_EQ(RepFilterCatchesRecord(rec.get(), t.get()), 1);
  EXPECT_EQ(RepFilterCatchesRecord(rec.get(), t.get()), 1);
  int failures = 0, compiles = 0;
  for (const auto& l : trace.lines()) {
    if (l.text == "Failed to convert string 'a[' to pre-compiled regexp") ++failures;
    if (l.text == "Regexp pre-calc OK") ++compiles;
  }
  EXPECT_EQ(failures, 2);  // traced at every evaluation, never kept
  EXPECT_EQ(compiles, 1);  // the good pattern is compiled once and kept
  TreeNode* or_node = TreeNodeFirstChild(TreeFirstNode(t.get()));
  auto* bad = ObjCast<RepFilterExpression>(TreeNodeItem(TreeNodeFirstChild(or_node)));
  auto* good = ObjCast<RepFilterExpression>(TreeNodeItem(TreeNodeNthChild(or_node, 2)));
  EXPECT_EQ(bad->compiled_pattern(), nullptr);
  EXPECT_NE(good->compiled_pattern(), nullptr);
  // A pattern that does not compile, or that would cost too much, gives code 2: only != matches.
  EXPECT_EQ(Matches("%name != regexp:'a['", Row{}), 1);
  trace.Clear();
  std::string pluses = "%name = regexp:'a" + std::string(60, '+') + "'";
  EXPECT_EQ(Matches(pluses.c_str(), Row{.name = "aaaa"}), 0);
  EXPECT_TRUE(trace.Contains("would cost too much to compile or run"));
  EXPECT_TRUE(trace.Contains("Failed to convert string 'a+++"));
}

TEST(FilterEvaluation, MissingValuesCompareAsNotComparable) {
  TestHome home;
  Ref<List> f = Fields();
  Ref<RepFilterTree> eq = RepMakeFilterTree("%flag = no", f.get());
  Ref<RepFilterTree> ne = RepMakeFilterTree("%flag != no", f.get());
  Ref<RepFilterTree> name = RepMakeFilterTree("%name != x", f.get());
  // A record shorter than the field list, whose string value is not a string.
  Ref<List> values = ListNewFromPool();
  ListPushLastItemInternal(values.get(), RepNewFieldValue(0, ObjNewInteger(3)));
  Ref<RepRecord> shorter = RepRecord::New();
  shorter->set_values(values);
  EXPECT_EQ(RepFilterCatchesRecord(shorter.get(), eq.get()), 0);
  EXPECT_EQ(RepFilterCatchesRecord(shorter.get(), ne.get()), 1);
  EXPECT_EQ(RepFilterCatchesRecord(shorter.get(), name.get()), 1);
  EXPECT_EQ(RepFilterCatchesRecord(nullptr, ne.get()), 1);
  EXPECT_EQ(RepFilterCatchesRecord(shorter.get(), nullptr), 0);
}

TEST(FilterEvaluation, AndOrEvaluateTheSecondOperandOnlyWhenNeeded) {
  TestHome home;
  Ref<List> f = Fields();
  Ref<RepRecord> rec = Record(Row{.count = 2});
  // The second operand's pattern is compiled only when it is evaluated.
  struct {
    const char* text;
    int result;
  } cases[] = {{"%count = 1 AND %name = x", 0}, {"%count = 2 OR %name = x", 1}};
  for (const auto& [text, result] : cases) {
    Ref<RepFilterTree> t = RepMakeFilterTree(text, f.get());
    EXPECT_EQ(RepFilterCatchesRecord(rec.get(), t.get()), result);
    TreeNode* word = TreeNodeFirstChild(TreeFirstNode(t.get()));
    auto* name = ObjCast<RepFilterExpression>(TreeNodeItem(TreeNodeNthChild(word, 2)));
    EXPECT_EQ(name->compiled_pattern(), nullptr) << text;
    // Either operand evaluates on its own from its node, as a provider's grabber may ask.
    EXPECT_EQ(RepApplyFilterNodeToRecord(TreeNodeNthChild(word, 1), rec.get()), result) << text;
    EXPECT_EQ(RepApplyFilterNodeToRecord(TreeNodeNthChild(word, 2), rec.get()), 0) << text;
  }
}

// --- binning ------------------------------------------------------------------------------------

// The counts of the records, in order.
std::vector<int> Counts(const List* records) {
  std::vector<int> out;
  for (Obj* o : *records) out.push_back(kr_testing::IntegerAt(o, kCount));
  return out;
}

TEST(FilterBinning, RemovesInOrderKeepingTheRest) {
  TestHome home;
  Ref<List> f = Fields();
  Ref<List> records = ListNewFromPool();
  for (int32_t i = 0; i < 10; ++i) ListPushLastItemInternal(records.get(), Record(Row{.count = i}));
  Ref<List> copy;
  ListClone(&copy, records.get());
  Ref<RepFilterTree> even = RepMakeFilterTree("%count < 3 OR %count > 6", f.get());
  RepApplyFilterBinNonMatching(even.get(), records.get());
  EXPECT_EQ(Counts(records.get()), (std::vector<int>{0, 1, 2, 7, 8, 9}));
  RepApplyFilterBinMatching(even.get(), copy.get());
  EXPECT_EQ(Counts(copy.get()), (std::vector<int>{3, 4, 5, 6}));
  RepApplyFilterBinMatching(nullptr, copy.get());  // no tree: nothing happens
  EXPECT_EQ(copy->size(), 4u);
  RepApplyFilterBinMatching(even.get(), nullptr);
}

// --- filtering a report's records --------------------------------------------------------------

// A control over `n` records with counts 0..n-1, its trees built from the three texts; `built`
// is what building them should give.
Ref<RepControl> ReportOver(int n, const char* include, const char* exclude, const char* condition,
                           int built = 1) {
  Ref<List> records = ListNewWithCapacity(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) ListPushLastItemInternal(records.get(), Record(Row{.count = i}));
  Ref<RepTable> table = RepNewTable("jobs", Fields(), records);
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetInclude(params.get(), include);
  RepParamsSetExclude(params.get(), exclude);
  RepParamsSetCondition(params.get(), condition);
  Ref<RepControl> c = RepControlFromTable(params.get(), table.get());
  EXPECT_EQ(RepBuildFilterSpec(c.get()), built);
  return c;
}

TEST(FilterReport, IncludeExcludeAndConditionInTurn) {
  TestHome home;
  Ref<RepControl> c = ReportOver(10, "%count < 8", "%count = 2 OR %count = 5", "%count > 0");
  ASSERT_NE(c->include_tree(), nullptr);
  ASSERT_NE(c->condition_tree(), nullptr);
  // The condition tree plays no part in RepFilterRecord.
  EXPECT_EQ(RepFilterRecord(Record(Row{.count = 0}).get(), c.get()), 1);
  EXPECT_EQ(RepFilterRecord(Record(Row{.count = 8}).get(), c.get()), 0);
  EXPECT_EQ(RepFilterRecord(Record(Row{.count = 5}).get(), c.get()), 0);

  RepFilterRecords(c.get(), 0, 1, nullptr, nullptr);
  EXPECT_EQ(Counts(c->table()->records()), (std::vector<int>{0, 1, 3, 4, 6, 7}));
  EXPECT_EQ(Counts(c->filtered_out()), (std::vector<int>{2, 5, 8, 9}));
  RepFilterRecords(c.get(), 1, 0, nullptr, nullptr);  // the bin stays as it was
  EXPECT_EQ(Counts(c->table()->records()), (std::vector<int>{1, 3, 4, 6, 7}));
  EXPECT_EQ(c->filtered_out()->size(), 4u);
  TraceCapture trace;
  RepFilterRecords(c.get(), 1, 1, nullptr, nullptr);  // a new bin, even with nothing dropped
  EXPECT_EQ(c->filtered_out()->size(), 0u);
  EXPECT_TRUE(trace.Contains("RepFilterRecords: 0 filtered records kept"));
}

TEST(FilterReport, NoTreeLeavesRecordsAndBinAlone) {
  TestHome home;
  Ref<RepControl> c = ReportOver(5, "", nullptr, "%count = 1");
  EXPECT_EQ(c->include_tree(), nullptr);
  Ref<List> old_bin = ListNewFromPool();
  ListAddLastItem(old_bin.get(), c->table()->records()->at(0));
  c->set_filtered_out(old_bin);
  RepFilterRecords(c.get(), 0, 1, nullptr, nullptr);  // the condition is not in use
  EXPECT_EQ(c->table()->records()->size(), 5u);
  EXPECT_EQ(c->filtered_out(), old_bin.get());
  RepFilterRecords(c.get(), 1, 1, nullptr, nullptr);
  EXPECT_EQ(Counts(c->table()->records()), (std::vector<int>{1}));
  EXPECT_EQ(c->filtered_out()->size(), 4u);
  RepFilterRecords(nullptr, 1, 1, nullptr, nullptr);
}

int g_progress_calls = 0;
int CountProgress(void* argument, int reserved) {
  EXPECT_EQ(argument, &g_progress_calls);
  EXPECT_EQ(reserved, 0);
  ++g_progress_calls;
  return 1;
}

TEST(FilterReport, ProgressEveryFiveThousandRecords) {
  TestHome home;
  Ref<RepControl> c = ReportOver(12000, "%count >= 6000", nullptr, nullptr);
  g_progress_calls = 0;
  RepFilterRecords(c.get(), 0, 0, CountProgress, &g_progress_calls);
  EXPECT_EQ(g_progress_calls, 2);
  EXPECT_EQ(c->table()->records()->size(), 6000u);
  EXPECT_EQ(c->filtered_out(), nullptr);
}

// A list long enough to be decided by two threads keeps and bins exactly the records a filter
// catches one by one, in order, with text patterns and states among the tests.
TEST(FilterReport, LongListsKeepExactlyWhatEachRecordGives) {
  TestHome home;
  const int n = 70001;
  const char* names[] = {"backup", "Backup-2", "archive", "x"};
  Ref<List> records = ListNewWithCapacity(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    Row row{.name = names[i % 4], .size = i * 7919 % 1000, .count = i};
    if (i % 11 == 0) row.states[1] = kRepStateUnknown;
    ListPushLastItemInternal(records.get(), Record(row));
  }
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetInclude(params.get(), "%name = backup* OR %size < 100");
  RepParamsSetExclude(params.get(), "%size = status:Unknown OR %count > 69990");
  Ref<RepControl> c = RepControlFromTable(
      params.get(), RepNewTable("jobs", Fields(), records).get());
  ASSERT_EQ(RepBuildFilterSpec(c.get()), 1);
  std::vector<int> kept, binned;
  for (Obj* item : *records) {
    const RepRecord* r = ObjCast<RepRecord>(item);
    const bool keep = RepFilterCatchesRecord(r, ObjCast<RepFilterTree>(c->include_tree())) == 1 &&
                      RepFilterCatchesRecord(r, ObjCast<RepFilterTree>(c->exclude_tree())) == 0;
    (keep ? kept : binned).push_back(ObjGetInteger(r->value_at(2)->value()));
  }
  g_progress_calls = 0;
  RepFilterRecords(c.get(), 0, 1, CountProgress, &g_progress_calls);
  EXPECT_EQ(g_progress_calls, n / kRepFilterProgressEvery);
  EXPECT_EQ(Counts(c->table()->records()), kept);
  EXPECT_EQ(Counts(c->filtered_out()), binned);
  EXPECT_GT(kept.size(), 10000u);
  EXPECT_GT(binned.size(), 10000u);
}

TEST(FilterReport, EveryBadFilterIsTriedAndReported) {
  TestHome home;
  TraceCapture trace;
  Ref<RepControl> c = ReportOver(0, "((%count = 1))", "%count = 2", "%nosuch = 3", 0);
  EXPECT_EQ(c->include_tree(), nullptr);
  EXPECT_NE(c->exclude_tree(), nullptr);
  EXPECT_EQ(c->condition_tree(), nullptr);
  EXPECT_TRUE(trace.Contains("Failed to get field index and type"));
}

}  // namespace
