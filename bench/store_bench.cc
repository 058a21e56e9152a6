// Storing a produced report and reading it back.
//
// A report of a million records of nine fields (four integers, two strings of 1 to 15 bytes, a
// systime, a datacount and a boolean) is stored with RepSerialiseProducedReport and read back
// with RepReConstructProducedReport (records included). Reported: the time per record in each
// direction, and the records file's size against the raw payload, the sum of the values' own
// bytes (4 for an integer or systime, 8 for a datacount, 1 for a boolean, a string's length).
//
// The store writes into a temporary installation home made here and removed at the end.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bench_records.h"
#include "kr/context.h"
#include "kr/file.h"
#include "kr/list.h"
#include "kr/object.h"
#include "kr/serialize.h"
#include "reports/classes.h"
#include "reports/control.h"
#include "reports/params.h"
#include "reports/produced.h"
#include "reports/reports.h"

namespace {

constexpr int kRecords = 1000000;

Ref<RepTable> MakeTable(int n, int64_t* payload) {
  return RepNewTable("result", bench::NineFieldList(), bench::NineFieldRecords(n, payload));
}

// A temporary home with a reports directory, current on this thread while it lives.
class BenchHome {
 public:
  BenchHome() {
    char pattern[] = "/tmp/kr_store_bench.XXXXXX";
    home_ = mkdtemp(pattern);
    std::filesystem::create_directories(home_ + "/config");
    std::filesystem::create_directories(home_ + "/reports/produced");
    std::ofstream(home_ + "/config/configure.cfg")
        << "[Directories]\nReports = \"" << home_ << "/reports\"\n";
    ContextOptions o;
    o.home = home_;
    o.machine_name = "benchhost";
    context_ = ContextCreate(o);
    previous_ = ContextSetCurrent(context_.get());
  }
  ~BenchHome() {
    ContextSetCurrent(previous_);
    std::filesystem::remove_all(home_);
  }
  const std::string& home() const { return home_; }

 private:
  std::string home_;
  std::unique_ptr<KrContext> context_;
  KrContext* previous_ = nullptr;
};

void BM_StoreAndReadBack(benchmark::State& state) {
  BenchHome home;
  int64_t payload = 0;
  Ref<RepTable> table = MakeTable(kRecords, &payload);
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetClass(params.get(), "Jobs");
  RepParamsSetOutputType(params.get(), 0);
  Ref<RepControl> control = RepControlFromTable(params.get(), table.get());
  Ref<List> classes = ListNewFromPool();
  Ref<RepClass> c = RepClass::New();
  c->set_file_name("jobs");
  c->set_nice_name("Jobs");
  ListPushLastItemInternal(classes.get(), std::move(c));

  double store_seconds = 0, read_seconds = 0;
  int64_t file_size = 0;
  for (auto _ : state) {
    std::string name;
    auto t0 = std::chrono::steady_clock::now();
    if (!RepSerialiseProducedReport(&name, "bench", control.get(), classes.get(), 0)) {
      state.SkipWithError("store failed");
      break;
    }
    auto t1 = std::chrono::steady_clock::now();
    Ref<RepStoredControl> stored;
    if (!RepReConstructProducedReport(&stored, name.c_str(), 1) ||
        RepGiveNumRecords(stored->control()) != static_cast<size_t>(kRecords)) {
      state.SkipWithError("read back failed");
      break;
    }
    auto t2 = std::chrono::steady_clock::now();
    stored.reset();
    store_seconds += std::chrono::duration<double>(t1 - t0).count();
    read_seconds += std::chrono::duration<double>(t2 - t1).count();
    const std::string date = name.substr(name.find('%') + 1, 8);
    FileSize(&file_size, (home.home() + "/reports/produced/" + date + "/records/" + name).c_str());
    RepDeleteProducedReport(name.c_str());
  }
  const double n = static_cast<double>(state.iterations()) * kRecords;
  state.counters["store_ns_per_record"] = store_seconds * 1e9 / n;
  state.counters["read_ns_per_record"] = read_seconds * 1e9 / n;
  state.counters["records_file_bytes"] = static_cast<double>(file_size);
  state.counters["payload_bytes"] = static_cast<double>(payload);
  state.counters["file_to_payload"] =
      payload > 0 ? static_cast<double>(file_size) / static_cast<double>(payload) : 0;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRecords);
}
BENCHMARK(BM_StoreAndReadBack)->Iterations(3)->Unit(benchmark::kMillisecond);

// The runtime's share of the cost: the records file's object turned into bytes and back, in
// memory, without the file, the lock or the checks of the store.
void BM_SerializeRecordsInMemory(benchmark::State& state) {
  int64_t payload = 0;
  Ref<RepTable> table = MakeTable(kRecords, &payload);
  Ref<RepStoredRecords> stored = RepStoredRecords::New();
  stored->set_records(Ref<List>::Share(table->records()));
  double to_bytes = 0, from_bytes = 0;
  for (auto _ : state) {
    std::string bytes;
    auto t0 = std::chrono::steady_clock::now();
    ObjSerializeToMemory(&bytes, stored.get());
    auto t1 = std::chrono::steady_clock::now();
    Ref<Obj> back;
    ObjReconstructFromMemory(&back, bytes.data() + kObjHeaderSize, bytes.size() - kObjHeaderSize);
    auto t2 = std::chrono::steady_clock::now();
    to_bytes += std::chrono::duration<double>(t1 - t0).count();
    from_bytes += std::chrono::duration<double>(t2 - t1).count();
    back.reset();
  }
  const double n = static_cast<double>(state.iterations()) * kRecords;
  state.counters["serialize_ns_per_record"] = to_bytes * 1e9 / n;
  state.counters["reconstruct_ns_per_record"] = from_bytes * 1e9 / n;
}
BENCHMARK(BM_SerializeRecordsInMemory)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
