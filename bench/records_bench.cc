// Heap bytes per record and the cost of sorting records by two keys.
//
// A record of nine fields (four integers, two strings of at most 15 bytes, a systime, a datacount
// and a boolean) is the shape of a typical job report. The target is at most 600 bytes of heap
// for such a record with all its values, measured from malloc's own accounting (which includes
// the object pool's slabs). The sort orders a million records by a string field, then an integer
// field, through RepCompareData and the runtime's stable list sort, as report sorting does.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/fields.h"
#include "reports/reports.h"

namespace {

constexpr int kRecords = 1000000;

constexpr int32_t kTypes[9] = {kRepTypeInteger, kRepTypeInteger,   kRepTypeInteger,
                               kRepTypeInteger, kRepTypeString,    kRepTypeString,
                               kRepTypeSysTime, kRepTypeDataCount, kRepTypeBoolean};
constexpr int kStringKey = 4;   // first sort key: a string with many repeats
constexpr int kIntegerKey = 0;  // second sort key

uint64_t Mix(uint64_t x) {  // splitmix64: varied but repeatable values
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

Ref<List> FieldList() {
  static const char* names[9] = {"id",     "client", "level", "files", "host",
                                 "policy", "start",  "size",  "ok"};
  Ref<List> l = ListNewWithCapacity(9);
  for (int i = 0; i < 9; ++i)
    ListPushLastItemInternal(l.get(), RepNewFieldDef(names[i], kTypes[i], 10));
  return l;
}

// A value of the field's type drawn from `h`.
Ref<Obj> Value(int32_t type, uint64_t h, std::string* scratch) {
  switch (type) {
    case kRepTypeInteger:
      return ObjNewInteger(static_cast<int32_t>(h % 2000000) - 1000000);
    case kRepTypeString: {
      // 1 to 15 bytes, about a thousand distinct texts in mixed case.
      static const char* stems[4] = {"host", "Server", "db", "backup-node"};
      *scratch = stems[h % 4];
      *scratch += std::to_string((h >> 8) % 250);
      return ObjNewString(scratch->c_str());
    }
    case kRepTypeSysTime:
      return ObjNewInteger(1700000000 + static_cast<int32_t>(h % 100000000));
    case kRepTypeDataCount:
      return ObjNewInt64(static_cast<int64_t>(h >> 20));
    case kRepTypeBoolean:
      return ObjNewBoolean((h & 1) != 0);
    default:
      return nullptr;
  }
}

// Records made as a table transform makes them: one exactly sized value list per record.
Ref<List> MakeRecords(int n) {
  Ref<List> records = ListNewWithCapacity(static_cast<size_t>(n));
  std::string scratch;
  for (int r = 0; r < n; ++r) {
    Ref<List> values = ListNewWithCapacity(9);
    for (int f = 0; f < 9; ++f) {
      uint64_t h = Mix(static_cast<uint64_t>(r) * 16 + static_cast<uint64_t>(f));
      ListPushLastItemInternal(values.get(),
                               RepNewFieldValue(kRepStateNormal, Value(kTypes[f], h, &scratch)));
    }
    Ref<RepRecord> record = RepRecord::New();
    record->set_values(std::move(values));
    ListPushLastItemInternal(records.get(), std::move(record));
  }
  return records;
}

size_t HeapInUse() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

void BM_HeapBytesPerRecord(benchmark::State& state) {
  MakeRecords(1000);  // intern the types and start the pool before measuring
  for (auto _ : state) {
    state.PauseTiming();
    size_t before = HeapInUse();
    state.ResumeTiming();
    Ref<List> records = MakeRecords(kRecords);
    state.PauseTiming();
    size_t after = HeapInUse();
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
  Ref<List> fields = FieldList();
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
  Ref<List> records = MakeRecords(kRecords);
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
  Ref<List> records = MakeRecords(kRecords);
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
  for (int i = 0; i < 1024; ++i) v.push_back(ObjNewInteger(static_cast<int32_t>(Mix(i))));
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
