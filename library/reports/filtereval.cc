// Filter evaluation: compiled patterns, applying trees to records, and the filters of a report
// over its records. It needs trees only, never the text, so it is its own file.

#include "reports/filter.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kr/config.h"
#include "kr/pattern.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/control.h"
#include "reports/params.h"
#include "reports/reports.h"
#include "filter_internal.h"
#include "secondthread.h"

using kr_internal::filter::kTag;

namespace {

// Whether the comparison code of a record's value against a constant satisfies the operator.
// Code -1: the record's value is greater; 1: smaller; 0: equal or the pattern matched;
// 2: no match or not comparable.
bool OperatorMatches(int32_t op, int code) {
  switch (code) {
    case 0:
      return op == kRepOpEqual || op == kRepOpGreaterEqual || op == kRepOpLessEqual;
    case -1:
      return op == kRepOpGreater || op == kRepOpGreaterEqual || op == kRepOpNotEqual;
    case 1:
      return op == kRepOpLess || op == kRepOpLessEqual || op == kRepOpNotEqual;
    case 2:
      return op == kRepOpNotEqual;
    default:
      return false;
  }
}
// --- compiled patterns --------------------------------------------------------------------------

// The compiled pattern of a string expression, compiled on first use; null when it does not
// compile (traced at every attempt, so a later evaluation tries again).
const Obj* PatternOf(RepFilterExpression* e, const RepFilterConstant* c) {
  if (const Obj* compiled = e->compiled_pattern()) return compiled;
  const char* text = ObjGetString(c->value());
  if (text == nullptr) return nullptr;
  Ref<Obj> compiled;
  std::string expression;
  int rc;
  if ((c->flags() & kRepConstRegExp) != 0) {
    TraceMessage(kTag, 60, 0, 3, "Need to pre-calc standard regexp '%s'", text);
    expression = text;
    rc = PatternCompile(&compiled, text);
  } else {
    TraceMessage(kTag, 61, 0, 3, "Need to pre-calc simplified regexp '%s'", text);
    rc = PatternCompileSimplified(&compiled, &expression, text);
  }
  if (rc == kPatternTooCostly) {
    TraceMessage(kTag, 65, 0, -1, "Regular expression '%s' would cost too much to compile or run",
                 expression.c_str());
  }
  if (rc != kPatternCompiled) {
    TraceMessage(kTag, 63, 0, -1, "Failed to convert string '%s' to pre-compiled regexp",
                 expression.c_str());
    return nullptr;
  }
  const Obj* kept = compiled.get();
  e->set_compiled_pattern(std::move(compiled));
  TraceMessage(kTag, 64, 0, 3, "Regexp pre-calc OK");
  return kept;
}

// --- evaluation ---------------------------------------------------------------------------------

// Evaluation of trees made elsewhere (front ends) is bounded too.
constexpr int kMaxEvalDepth = 10000;

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

int ComparisonCode(RepFilterExpression* e, const RepRecord* record) {
  const RepFilterConstant* c = e->constant();
  if (c == nullptr || record == nullptr || e->field_index() < 0) return 2;
  const RepFieldValue* v = record->value_at(static_cast<size_t>(e->field_index()));
  if (v == nullptr) return 2;
  if (v->state() != kRepStateNormal || c->kind() == kRepConstStatus)
    return c->state() == v->state() ? 0 : 2;
  if (e->field_type() == kRepTypeString) {
    const Obj* pattern = PatternOf(e, c);
    if (pattern == nullptr) return 2;
    return PatternMatch(pattern, ObjGetString(v->value())) == 1 ? 0 : 2;
  }
  if (v->value() == nullptr) return 2;
  return Sign(RepCompareData(c->value(), v->value(), e->field_type()));
}

int ApplyNode(TreeNode* node, const RepRecord* record, int depth) {
  if (node == nullptr || depth > kMaxEvalDepth) return 0;
  Obj* item = TreeNodeItem(node);
  if (RepFilterExpression* e = ObjCast<RepFilterExpression>(item))
    return OperatorMatches(e->op(), ComparisonCode(e, record)) ? 1 : 0;
  const RepFilterBoolNode* b = ObjCast<RepFilterBoolNode>(item);
  if (b == nullptr) return 0;
  TreeNode* first = TreeNodeFirstChild(node);
  if (first == nullptr) return 0;
  switch (b->op()) {
    case kRepBoolTop:
      return ApplyNode(first, record, depth + 1);
    case kRepBoolAnd:
      if (ApplyNode(first, record, depth + 1) == 0) return 0;
      return ApplyNode(TreeNodeNextSibling(first), record, depth + 1);
    case kRepBoolOr:
      if (ApplyNode(first, record, depth + 1) != 0) return 1;
      return ApplyNode(TreeNodeNextSibling(first), record, depth + 1);
    default:
      return 0;
  }
}

struct BinCookie {
  TreeNode* top;
  int drop_when;  // the match result that drops a record
};

int BinDrop(Obj* item, void* cookie) {
  const auto* c = static_cast<const BinCookie*>(cookie);
  return ApplyNode(c->top, ObjCast<RepRecord>(item), 0) == c->drop_when ? 1 : 0;
}

void Bin(const RepFilterTree* tree, List* records, int drop_when) {
  if (tree == nullptr || records == nullptr) return;
  BinCookie cookie{TreeFirstNode(tree), drop_when};
  ListRemoveIf(records, BinDrop, nullptr, &cookie);
}

// One run of RepFilterRecords: the first nodes of the trees in use, the bin, the progress, and
// the answers decided ahead (`decided`, one per record in list order; empty: decide each in
// turn).
struct FilterRun {
  TreeNode* include;
  TreeNode* exclude;
  TreeNode* condition;
  List* bin;
  RepProgressCallback callback;
  void* argument;
  int examined;
  std::vector<uint8_t> decided;
  size_t next = 0;
};

// Whether the report's filters drop the record. Only reads the record and the trees once their
// patterns are compiled.
int Drops(const FilterRun& run, const RepRecord* r) {
  if (run.include != nullptr && ApplyNode(run.include, r, 0) == 0) return 1;
  if (run.exclude != nullptr && ApplyNode(run.exclude, r, 0) != 0) return 1;
  if (run.condition != nullptr && ApplyNode(run.condition, r, 0) == 0) return 1;
  return 0;
}

int DropFromReport(Obj* item, void* cookie) {
  auto* run = static_cast<FilterRun*>(cookie);
  if (run->callback != nullptr && ++run->examined == kRepFilterProgressEvery) {
    run->examined = 0;
    run->callback(run->argument, 0);
  }
  if (!run->decided.empty()) return run->decided[run->next++];
  return Drops(*run, ObjCast<RepRecord>(item));
}

// Compiles the pattern of every text comparison under `node` (with the same traces as when
// the first record reaches it). False when one does not compile: evaluating it traces the
// failure again each time, which must stay on the calling thread.
bool PatternsCompiled(TreeNode* node, int depth) {
  if (node == nullptr) return true;
  if (depth > kMaxEvalDepth) return false;
  if (RepFilterExpression* e = ObjCast<RepFilterExpression>(TreeNodeItem(node))) {
    const RepFilterConstant* c = e->constant();
    if (c == nullptr || e->field_index() < 0 || e->field_type() != kRepTypeString ||
        c->kind() == kRepConstStatus)
      return true;
    return PatternOf(e, c) != nullptr;
  }
  for (TreeNode* child = TreeNodeFirstChild(node); child != nullptr;
       child = TreeNodeNextSibling(child))
    if (!PatternsCompiled(child, depth + 1)) return false;
  return true;
}

// A long list is decided by two threads, each over half of it, before the one pass that closes
// the kept records up (in the same order, with the same progress calls): the decisions only read
// the records, whose values lie scattered in memory.
void DecideAhead(FilterRun* run, const List* records) {
  const size_t n = records->size();
  if (n < kr_internal::kSharedMinRecords || !PatternsCompiled(run->include, 0) ||
      !PatternsCompiled(run->exclude, 0) || !PatternsCompiled(run->condition, 0))
    return;
  std::vector<uint8_t> decided(n);
  auto decide = [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i)
      decided[i] = static_cast<uint8_t>(Drops(*run, ObjCast<RepRecord>(records->at(i))));
  };
  kr_internal::OnSecondThread([&] { decide(n / 2, n); }, [&] { decide(0, n / 2); });
  run->decided = std::move(decided);
}

void KeepDropped(Obj* item, void* cookie) {
  ListAddLastItem(static_cast<FilterRun*>(cookie)->bin, item);
}

TreeNode* FirstNodeOf(Obj* tree) { return TreeFirstNode(ObjCast<Tree>(tree)); }

// Builds one of a report's trees into its slot; an absent or empty text leaves the slot alone.
bool BuildReportTree(RepControl* control, const char* text, void (RepControl::*set)(Ref<Obj>)) {
  if (text == nullptr || *text == '\0') return true;
  Ref<RepFilterTree> tree = RepMakeFilterTree(text, control->report_fields());
  if (!tree) return false;
  (control->*set)(std::move(tree));
  return true;
}

}  // namespace

// --- evaluation ---------------------------------------------------------------------------------

int RepApplyFilterNodeToRecord(TreeNode* node, const RepRecord* record) noexcept {
  return ApplyNode(node, record, 0);
}

int RepFilterCatchesRecord(const RepRecord* record, const RepFilterTree* tree) noexcept {
  return ApplyNode(TreeFirstNode(tree), record, 0);
}

void RepApplyFilterBinNonMatching(const RepFilterTree* tree, List* records) noexcept {
  Bin(tree, records, 0);
}

void RepApplyFilterBinMatching(const RepFilterTree* tree, List* records) noexcept {
  Bin(tree, records, 1);
}

// --- filters of a report ------------------------------------------------------------------------

int RepFilterRecord(const RepRecord* record, const RepControl* control) noexcept {
  if (control == nullptr) return 0;
  TreeNode* include = FirstNodeOf(control->include_tree());
  if (include != nullptr && ApplyNode(include, record, 0) == 0) return 0;
  TreeNode* exclude = FirstNodeOf(control->exclude_tree());
  if (exclude != nullptr && ApplyNode(exclude, record, 0) != 0) return 0;
  return 1;
}

int RepBuildFilterSpec(RepControl* control) noexcept {
  if (control == nullptr) return 0;
  const RepParams* params = control->params();
  if (params == nullptr) return 0;
  // Every filter is tried, so that each bad one is traced.
  bool ok = BuildReportTree(control, RepParamsGetInclude(params), &RepControl::set_include_tree);
  ok = BuildReportTree(control, RepParamsGetExclude(params), &RepControl::set_exclude_tree) && ok;
  ok = BuildReportTree(control, RepParamsGetCondition(params), &RepControl::set_condition_tree) &&
       ok;
  return ok ? 1 : 0;
}

void RepFilterRecords(RepControl* control, int use_condition, int keep_filtered,
                      RepProgressCallback callback, void* argument) noexcept {
  if (control == nullptr || control->table() == nullptr) return;
  List* records = control->table()->records();
  if (records == nullptr) return;
  FilterRun run{FirstNodeOf(control->include_tree()),
                FirstNodeOf(control->exclude_tree()),
                use_condition == 1 ? FirstNodeOf(control->condition_tree()) : nullptr,
                nullptr,
                callback,
                argument,
                0,
                {}};
  if (run.include != nullptr || run.exclude != nullptr || run.condition != nullptr) {
    DecideAhead(&run, records);
    if (keep_filtered == 1) {
      // Room for every record up front: growing a large list copies it and touches fresh
      // pages each time, which cost more than the filtering itself. Pages never written are
      // never touched, so the unused room costs next to nothing.
      control->set_filtered_out(ListNewWithCapacity(records->size()));
      run.bin = control->filtered_out();
    }
    // One stable pass: kept records close up behind the dropped ones.
    ListRemoveIf(records, DropFromReport, run.bin != nullptr ? KeepDropped : nullptr, &run);
  }
  List* bin = control->filtered_out();
  TraceMessage(kTag, 160, 0, 2, "RepFilterRecords: %ld filtered records kept",
               static_cast<long>(bin != nullptr ? bin->size() : 0));
}
