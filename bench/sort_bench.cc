// Sorting a million records on two keys, against std::stable_sort of plain structs.
//
// The records have a client name (string, sorted ascending, case-blind) and a size (int64,
// sorted descending); names repeat with varying case, so the second key decides often. Each
// iteration sorts a fresh copy of the unsorted list with RepApplySortToRecords, and a fresh copy
// of the same data as plain structs with std::stable_sort and the same case-blind comparison
// (StrCompareNoCase). The counter "ratio" is the record sort's time over the plain sort's, both
// measured in the same iteration as processor time of the thread; the target is at most 3.

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kr/list.h"
#include "kr/object.h"
#include "kr/text.h"
#include "reports/fields.h"
#include "reports/reports.h"
#include "reports/sort.h"

namespace {

constexpr size_t kRecords = 1000000;

struct Plain {
  std::string client;
  int64_t size;
};

struct Data {
  std::vector<Plain> plain;
  Ref<List> fields;
  Ref<List> records;  // the same values as records, in the same order
  Ref<List> spec;
};

const Data& GetData() {
  static const Data data = [] {
    Data d;
    std::mt19937_64 rng(42);
    d.plain.reserve(kRecords);
    for (size_t i = 0; i < kRecords; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "client%05u", static_cast<unsigned>(rng() % 20000));
      for (char* p = name; *p != '\0'; ++p)
        if (rng() % 4 == 0 && *p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
      d.plain.push_back({name, static_cast<int64_t>(rng() % 100000) - 50000});
    }
    d.fields = ListNewFromPool();
    ListPushLastItemInternal(d.fields.get(), RepNewFieldDef("client", kRepTypeString, 16));
    ListPushLastItemInternal(d.fields.get(), RepNewFieldDef("size", kRepTypeInt64, 12));
    d.records = ListNewWithCapacity(kRecords);
    for (const Plain& p : d.plain) {
      Ref<List> values = ListNewWithCapacity(2);
      ListPushLastItemInternal(values.get(),
                               RepNewFieldValue(kRepStateNormal, ObjNewString(p.client.c_str())));
      ListPushLastItemInternal(values.get(),
                               RepNewFieldValue(kRepStateNormal, ObjNewInt64(p.size)));
      Ref<RepRecord> r = RepRecord::New();
      r->set_values(std::move(values));
      ListPushLastItemInternal(d.records.get(), std::move(r));
    }
    RepBuildSortSpec(&d.spec, d.fields.get(), "%client %size-");
    return d;
  }();
  return data;
}

bool PlainLess(const Plain& a, const Plain& b) {
  int r = StrCompareNoCase(a.client.c_str(), b.client.c_str());
  if (r != 0) return r < 0;
  return a.size > b.size;
}

// Both sorts must give the same sequence of keys.
bool SameOrder(const List* records, const std::vector<Plain>& plain) {
  for (size_t i = 0; i < plain.size(); ++i) {
    const RepRecord* r = ObjCast<RepRecord>(records->at(i));
    if (plain[i].client != ObjGetString(r->value_at(0)->value()) ||
        plain[i].size != ObjGetInt64(r->value_at(1)->value()))
      return false;
  }
  return true;
}

// The calling thread's processor time: the machine may be shared, and wall time would count
// the other work on it.
double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void BM_SortRecordsVersusStableSort(benchmark::State& state) {
  const Data& data = GetData();
  double record_seconds = 0, plain_seconds = 0;
  bool same = true;
  for (auto _ : state) {
    Ref<List> records;
    ListClone(&records, data.records.get());
    std::vector<Plain> plain = data.plain;

    double t0 = ThreadSeconds();
    RepApplySortToRecords(data.spec.get(), records.get());
    double t1 = ThreadSeconds();
    std::stable_sort(plain.begin(), plain.end(), PlainLess);
    double t2 = ThreadSeconds();

    record_seconds += t1 - t0;
    plain_seconds += t2 - t1;
    state.SetIterationTime(t1 - t0);
    same = same && SameOrder(records.get(), plain);
  }
  double n = static_cast<double>(state.iterations());
  state.counters["record_sort_ms"] = record_seconds / n * 1e3;
  state.counters["std_stable_sort_ms"] = plain_seconds / n * 1e3;
  state.counters["ratio"] = record_seconds / plain_seconds;
  state.counters["same_order"] = same ? 1 : 0;
  if (!same) state.SkipWithError("the record sort and the plain sort disagree");
}
BENCHMARK(BM_SortRecordsVersusStableSort)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
