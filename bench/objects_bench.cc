// Heap bytes per integer field value, and the cost of serializing and rebuilding a list of them.
//
// A field value is an object of spec "i;o;o;" (state, value object, reserved) whose value is an
// integer object: the commonest shape in a report. The target is at most 48 bytes of heap for
// the pair, measured here from malloc's own accounting (which includes the pool's slabs).

#include <benchmark/benchmark.h>

#include <string>

#include "bench_records.h"
#include "kr/list.h"
#include "kr/object.h"
#include "kr/serialize.h"

namespace {

constexpr int kValues = 1000000;

Ref<List> MakeValues(int n) {
  Ref<List> l = ListNewWithCapacity(static_cast<size_t>(n));
  const ObjType* t = ObjTypeIntern(0xc934910e, "i;o;o;", "RepFieldValue");
  for (int i = 0; i < n; ++i) {
    Ref<Obj> v = ObjNewOfType(t);
    ObjSetSlotObject(v.get(), 2,
                     ObjNewInteger(static_cast<int32_t>(static_cast<uint32_t>(i) * 7919u)));
    ListPushLastItemInternal(l.get(), std::move(v));
  }
  return l;
}

void BM_HeapBytesPerIntegerFieldValue(benchmark::State& state) {
  MakeValues(1000);  // intern the types and start the pool before measuring
  for (auto _ : state) {
    state.PauseTiming();
    size_t before = bench::HeapInUse();
    state.ResumeTiming();
    Ref<List> l = MakeValues(kValues);
    state.PauseTiming();
    size_t after = bench::HeapInUse();
    // The list's own item array (8 bytes a value) is not part of the value.
    double per_value =
        (static_cast<double>(after - before) - 8.0 * kValues) / static_cast<double>(kValues);
    state.counters["heap_bytes_per_value"] = per_value;
    l.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_HeapBytesPerIntegerFieldValue)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SerializeValues(benchmark::State& state) {
  Ref<List> l = MakeValues(kValues);
  std::string bytes;
  for (auto _ : state) {
    bytes.clear();
    benchmark::DoNotOptimize(ObjSerializeToMemory(&bytes, l.get()));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kValues);
  state.counters["bytes_per_value"] = static_cast<double>(bytes.size()) / kValues;
}
BENCHMARK(BM_SerializeValues)->Unit(benchmark::kMillisecond);

void BM_RebuildValues(benchmark::State& state) {
  Ref<List> l = MakeValues(kValues);
  std::string bytes;
  ObjSerializeToMemory(&bytes, l.get());
  for (auto _ : state) {
    Ref<Obj> back;
    ObjReconstructFromMemory(&back, bytes.data() + kObjHeaderSize, bytes.size() - kObjHeaderSize);
    benchmark::DoNotOptimize(back.get());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kValues);
}
BENCHMARK(BM_RebuildValues)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
