// Heap bytes per record and the cost of sorting records by two keys.
//
// A record of nine fields (four integers, two strings of at most 15 bytes, a systime, a datacount
// and a boolean) is the shape of a typical job report. The target is at most 600 bytes of heap
// for such a record with all its values, measured from malloc's own accounting (which includes
// the object pool's slabs). The sort orders a million records by a string field, then an integer
// field, through RepCompareData and the runtime's stable list sort, as report sorting does.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bench_records.h"
#include "kr/list.h"
#include "kr/object.h"
#include "reports/fields.h"
#include "reports/reports.h"

namespace {

constexpr int kRecords = 1000000;

constexpr int kStringKey = 4;   // first sort key: a string with many repeats
constexpr int kIntegerKey = 0;  // second sort key

void BM_HeapBytesPerRecord(benchmark::State& state) {
  bench::NineFieldRecords(1000);  // intern the types and start the pool before measuring
  for (auto _ : state) {
    state.PauseTiming();
    size_t before = bench::HeapInUse();
    state.ResumeTiming();
    Ref<List> records = bench::NineFieldRecords(kRecords);
    state.PauseTiming();
    size_t after = bench::HeapInUse();
    double total = static_cast<double>(after - before);
    // The table's own item array (8 bytes a record) is not part of the record.
    state.counters["heap_bytes_per_record"] = (total - 8.0 * kRecords) / kRecords;
    state.counters["with_table_slot"] = total / kRecords;
    records.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRecords);
}
BENCHMARK(BM_HeapBytesPerRecord)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_MakeBlankRecords(benchmark::State& state) {
  Ref<List> fields = bench::NineFieldList();
  for (auto _ : state) {
    Ref<RepRecord> r = RepMakeBlankRecord(fields.get(), kRepStateNormal);
    benchmark::DoNotOptimize(r.get());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_MakeBlankRecords);

struct SortKeys {
  int first, second;
  int32_t first_type, second_type;
  int64_t comparisons;
};

int CompareRecords(Obj* a, Obj* b, void* cookie) {
  auto* keys = static_cast<SortKeys*>(cookie);
  const RepRecord* ra = static_cast<const RepRecord*>(a);
  const RepRecord* rb = static_cast<const RepRecord*>(b);
  ++keys->comparisons;
  int r = RepCompareData(ra->value_at(keys->first)->value(), rb->value_at(keys->first)->value(),
                         keys->first_type);
  if (r != 0) return r;
  ++keys->comparisons;
  return RepCompareData(ra->value_at(keys->second)->value(), rb->value_at(keys->second)->value(),
                        keys->second_type);
}

void BM_SortRecordsByTwoKeys(benchmark::State& state) {
  Ref<List> records = bench::NineFieldRecords(kRecords);
  SortKeys keys{kStringKey, kIntegerKey, kRepTypeString, kRepTypeInteger, 0};
  for (auto _ : state) {
    state.PauseTiming();
    Ref<List> copy;
    ListClone(&copy, records.get());
    state.ResumeTiming();
    ListSortWithCookie(copy.get(), CompareRecords, &keys);
    state.PauseTiming();
    copy.reset();
    state.ResumeTiming();
  }
  state.counters["comparisons_per_second"] =
      benchmark::Counter(static_cast<double>(keys.comparisons), benchmark::Counter::kIsRate);
  state.counters["comparisons_per_sort"] =
      static_cast<double>(keys.comparisons) / static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRecords);
}
BENCHMARK(BM_SortRecordsByTwoKeys)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same order with both keys' value objects gathered first, as a sort that extracts its keys
// would do: the difference from the sort above is the cost of walking from each record to its
// values on every comparison.
void BM_SortExtractedKeysByTwoKeys(benchmark::State& state) {
  Ref<List> records = bench::NineFieldRecords(kRecords);
  struct Row {
    const Obj* first;
    const Obj* second;
    Obj* record;
  };
  int64_t comparisons = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<Row> rows;
    rows.reserve(records->size());
    state.ResumeTiming();
    for (Obj* o : *records) {
      const RepRecord* r = static_cast<const RepRecord*>(o);
      rows.push_back(Row{r->value_at(kStringKey)->value(), r->value_at(kIntegerKey)->value(), o});
    }
    std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
      ++comparisons;
      int c = RepCompareData(a.first, b.first, kRepTypeString);
      if (c == 0) {
        ++comparisons;
        c = RepCompareData(a.second, b.second, kRepTypeInteger);
      }
      return c < 0;
    });
    benchmark::DoNotOptimize(rows.data());
  }
  state.counters["comparisons_per_second"] =
      benchmark::Counter(static_cast<double>(comparisons), benchmark::Counter::kIsRate);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRecords);
}
BENCHMARK(BM_SortExtractedKeysByTwoKeys)->Unit(benchmark::kMillisecond)->Iterations(3);

// The comparison alone, on integers: the floor under every sort.
void BM_CompareIntegers(benchmark::State& state) {
  std::vector<Ref<Obj>> v;
  for (int i = 0; i < 1024; ++i) v.push_back(ObjNewInteger(static_cast<int32_t>(bench::Mix(i))));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        RepCompareData(v[i & 1023].get(), v[(i + 1) & 1023].get(), kRepTypeInteger));
    ++i;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_CompareIntegers);

}  // namespace

BENCHMARK_MAIN();
