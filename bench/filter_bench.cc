// Filtering a report's records: RepFilterRecords over 1,000,000 records with the include filter
//
//   %status = 'OK' AND %size > 1000000
//
// (a string pattern with no wildcard and a data count), against a loop over plain structs
// evaluating the same predicate (case-blind string equality, 64-bit comparison) and compacting
// the survivors the same way. Each iteration filters a fresh copy of the record list; making the
// copy is not timed. The ratio of the two times is the cost of the general machinery: records of
// typed value objects, a tree walk, the pattern check.
//
// Building trees from filter texts is measured too: a short report filter and a long chain
// with groups and quoted constants.
//
// Run: build/filter_bench   (Release or RelWithDebInfo build)

#include <benchmark/benchmark.h>
#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "reports/control.h"
#include "reports/filter.h"
#include "reports/params.h"
#include "reports/reports.h"

namespace {

constexpr int kRecords = 1000000;
constexpr const char* kFilter = "%status = 'OK' AND %size > 1000000";

// One record's data, for both sides.
struct Data {
  std::string name;
  std::string status;
  int64_t size;
  int32_t count;
};

const std::vector<Data>& TheData() {
  static const std::vector<Data> data = [] {
    std::mt19937_64 rng(42);
    const char* statuses[] = {"OK", "ok", "Failed", "Running", "OK", "Cancelled"};
    std::vector<Data> d;
    d.reserve(kRecords);
    for (int i = 0; i < kRecords; ++i) {
      d.push_back(Data{"job" + std::to_string(i), statuses[rng() % 6],
                       static_cast<int64_t>(rng() % 2000000), static_cast<int32_t>(i)});
    }
    return d;
  }();
  return data;
}

Ref<List> Fields() {
  Ref<List> l = ListNewFromPool();
  ListPushLastItemInternal(l.get(), RepNewFieldDef("name", kRepTypeString, 10));
  ListPushLastItemInternal(l.get(), RepNewFieldDef("status", kRepTypeString, 10));
  ListPushLastItemInternal(l.get(), RepNewFieldDef("size", kRepTypeDataCount, 10));
  ListPushLastItemInternal(l.get(), RepNewFieldDef("count", kRepTypeInteger, 10));
  return l;
}

// The records, made once: every iteration filters a new list of references to them.
const List* TheRecords() {
  static const Ref<List> records = [] {
    Ref<List> l = ListNewWithCapacity(kRecords);
    for (const Data& d : TheData()) {
      Ref<List> values = ListNewWithCapacity(4);
      ListPushLastItemInternal(values.get(), RepNewFieldValue(0, ObjNewString(d.name.c_str())));
      ListPushLastItemInternal(values.get(), RepNewFieldValue(0, ObjNewString(d.status.c_str())));
      ListPushLastItemInternal(values.get(), RepNewFieldValue(0, ObjNewInt64(d.size)));
      ListPushLastItemInternal(values.get(), RepNewFieldValue(0, ObjNewInteger(d.count)));
      Ref<RepRecord> r = RepRecord::New();
      r->set_values(std::move(values));
      ListPushLastItemInternal(l.get(), std::move(r));
    }
    return l;
  }();
  return records.get();
}

void FilterRecords(benchmark::State& state, int keep_filtered) {
  const List* all = TheRecords();
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetInclude(params.get(), kFilter);
  size_t kept = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Ref<List> copy;
    ListClone(&copy, all);
    Ref<RepTable> table = RepNewTable("jobs", Fields(), copy);
    Ref<RepControl> control = RepControlFromTable(params.get(), table.get());
    if (RepBuildFilterSpec(control.get()) != 1) state.SkipWithError("filter did not build");
    state.ResumeTiming();
    RepFilterRecords(control.get(), 0, keep_filtered, nullptr, nullptr);
    state.PauseTiming();
    kept = control->table()->records()->size();
    control.reset();  // releasing the copies is not part of filtering
    table.reset();
    copy.reset();
    state.ResumeTiming();
  }
  state.counters["kept"] = static_cast<double>(kept);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_FilterRecords(benchmark::State& state) { FilterRecords(state, 0); }
void BM_FilterRecordsKeepFiltered(benchmark::State& state) { FilterRecords(state, 1); }

// The same predicate over plain structs, compacting a fresh vector of pointers in one stable
// pass, as the list is compacted above.
void BM_PlainStructLoop(benchmark::State& state) {
  const std::vector<Data>& data = TheData();
  std::vector<const Data*> all;
  all.reserve(data.size());
  for (const Data& d : data) all.push_back(&d);
  size_t kept = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<const Data*> copy = all;
    state.ResumeTiming();
    std::erase_if(copy, [](const Data* d) {
      return !(strcasecmp(d->status.c_str(), "OK") == 0 && d->size > 1000000);
    });
    benchmark::DoNotOptimize(copy.data());
    kept = copy.size();
  }
  state.counters["kept"] = static_cast<double>(kept);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

// Building a tree from a filter text, the way every report and table request starts.
void MakeTree(benchmark::State& state, const std::string& text) {
  Ref<List> fields = Fields();
  for (auto _ : state) {
    Ref<RepFilterTree> tree = RepMakeFilterTree(text.c_str(), fields.get());
    if (!tree) state.SkipWithError("filter did not build");
    benchmark::DoNotOptimize(tree.get());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_MakeFilterTree(benchmark::State& state) {
  MakeTree(state, "%status = 'OK' AND (%size > 1mb OR %name = regexp:'^job1') AND %count != 3");
}

void BM_MakeFilterTreeLongChain(benchmark::State& state) {
  std::string text = "%name = job*";
  for (int i = 0; i < 200; ++i) {
    text += i % 3 == 0 ? " OR (%status = \"Failed run\" AND %size > " : " AND (%count <= ";
    text += std::to_string(i) + ")";
  }
  MakeTree(state, text);
}

BENCHMARK(BM_MakeFilterTree)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_MakeFilterTreeLongChain)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_PlainStructLoop)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FilterRecords)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FilterRecordsKeepFiltered)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
