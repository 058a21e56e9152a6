// Fetching a large table, each way against a reference measured in the same run:
//
//   by serialized-record stream from a provider process on loopback
//       vs  serializing and rebuilding the same records in one process (target: at most 1.5x)
//   by acknowledged record packets from the same provider
//       (the stream should be the faster of the two)
//
// 1,000,000 nine-field records per fetch (bench_records.h). The provider is a thread with its
// own context, as a separate process would be; its data grabber makes each record as it is
// asked for, and the in-process reference makes its records the same way, so every side pays
// for the records' making. After the benchmarks the program prints the ratios.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_main.h"
#include "bench_records.h"
#include "kr/context.h"
#include "kr/message.h"
#include "kr/serialize.h"
#include "reports/fetch.h"
#include "reports/registry.h"
#include "reports/serializedrecords.h"
#include "reports/tablesprovider.h"

namespace {

constexpr int kRecords = 1000000;
std::string g_home;

std::unique_ptr<KrContext> MakeContext(const char* machine, const char* process) {
  ContextOptions o;
  o.home = g_home;
  o.machine_name = machine;
  o.process_name = process;
  return ContextCreate(o);
}

// --- the records, made as a grabber makes them ---------------------------------------------------

void FillNine(RepRecord* record, int64_t row, std::string* scratch) {
  for (size_t f = 0; f < 9; ++f) {
    uint64_t h = bench::Mix(static_cast<uint64_t>(row) * 16 + f);
    record->value_at(f)->set_value(
        bench::NineFieldValue(bench::kNineTypes[f], h, scratch, nullptr));
  }
}

int NineInit(Ref<Obj>* context, RepGrabberInitArgs*) {
  *context = ObjNewInt64(0);
  return 1;
}
int NineRecord(RepRecord* record, Obj* context, RepGrabberInitArgs*) {
  int64_t row = ObjGetInt64(context);
  if (row >= kRecords) return 2;
  ObjSetInt64(context, row + 1);
  thread_local std::string scratch;
  FillNine(record, row, &scratch);
  return 1;
}
int NineFinish(Ref<Obj>* context, RepGrabberInitArgs*) {
  context->reset();
  return 1;
}
int NineFields(Ref<List>* fields) {
  *fields = bench::NineFieldList();
  return 1;
}
const RepProvidedTableDesc kTables[] = {
    {"nine", nullptr, nullptr, &NineInit, &NineRecord, &NineFinish, &NineFields},
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Whether the provider serves "nine" by stream or by packets; set by each benchmark before it
// starts its provider, to match what its requester's registry entry says.
std::atomic<bool> g_stream{true};

int TableTask(Obj* task, void*) {
  if (g_stream) return RepHandleMyGetTableRequestBySRecords(kTables, task, kRepSRecordsNoIndex);
  return RepHandleMyGetTableRequest(kTables, task, 0, 0);
}

class Provider {
 public:
  Provider() {
    thread_ = std::thread([this] {
      auto ctx = MakeContext("beta", "Bench Provider");
      ContextSetCurrent(ctx.get());
      RepEnableRemoteRequests();
      ProcRegisterTaskHandler(kRepGetTableTaskKind, &TableTask, nullptr);
      MsgInit();
      ready_ = true;
      while (!stop_) {
        Ref<Obj> t;
        TimeCreateAndSetTimeout(&t, 0, 20);
        MsgWaitOnCallbackWithTimeout(
            [](void* p) { return static_cast<Provider*>(p)->stop_ ? 1 : 0; }, this, t.get());
      }
      ContextSetCurrent(nullptr);
    });
    while (!ready_) std::this_thread::yield();
  }
  ~Provider() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> ready_{false}, stop_{false};
  std::thread thread_;
};

void Fetch(benchmark::State& state, bool stream) {
  g_stream = stream;
  Provider provider;
  auto ctx = MakeContext("alpha", "Bench Requester");
  ContextSetCurrent(ctx.get());
  Ref<RepTableInfo> info = RepTableInfo::New();
  info->set_table_name("nine");
  info->set_process_name("Bench Provider");
  info->set_machine_name("beta");
  info->set_serialized_records(stream);
  Ref<List> wanted = bench::NineFieldList();
  for (auto _ : state) {
    if (!bench::FetchWhole(info.get(), wanted.get(), kRecords)) {
      state.SkipWithError("fetch failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
  ContextSetCurrent(nullptr);
}

void BM_FetchByStream(benchmark::State& state) { Fetch(state, true); }
void BM_FetchByPackets(benchmark::State& state) { Fetch(state, false); }

// The reference: the same records made, serialized as stream items into 1 MiB blocks and rebuilt
// into a table's record list, all in one process.
void BM_SerializeAndRebuild(benchmark::State& state) {
  auto ctx = MakeContext("alpha", "Bench Alone");
  ContextSetCurrent(ctx.get());
  Ref<List> fields = bench::NineFieldList();
  for (auto _ : state) {
    Ref<List> records = ListNewFromPool();
    std::string block, scratch;
    size_t at = 0;
    auto rebuild = [&] {
      const auto* p = reinterpret_cast<const unsigned char*>(block.data());
      for (at = 0; at < block.size();) {
        uint32_t length = static_cast<uint32_t>(p[at]) | static_cast<uint32_t>(p[at + 1]) << 8 |
                          static_cast<uint32_t>(p[at + 2]) << 16 |
                          static_cast<uint32_t>(p[at + 3]) << 24;
        uint32_t body = 0;
        Ref<Obj> r;
        ObjBufferAnalyze(&body, p + at + 4, length - 4);
        ObjReconstructFromMemory(&r, p + at + 4 + kObjHeaderSize, body);
        ListPushLastItemInternal(records.get(), std::move(r));
        at += length;
      }
      block.clear();
    };
    for (int64_t row = 0; row < kRecords; ++row) {
      Ref<RepRecord> record = RepMakeBlankRecord(fields.get(), kRepStateNormal);
      FillNine(record.get(), row, &scratch);
      RepSRecordsAppendRecord(&block, record.get(), kRepSRecordsNoIndex);
      if (block.size() >= kRepSRecordsProducerBlockSize) rebuild();
    }
    rebuild();
    if (ListGetItemCount(records.get()) != static_cast<size_t>(kRecords))
      state.SkipWithError("lost records");
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
  ContextSetCurrent(nullptr);
}

BENCHMARK(BM_SerializeAndRebuild)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_FetchByStream)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_FetchByPackets)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/kr-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  g_home = tmpl;
  kr_bench::BestRunReporter reporter;
  kr_bench::RunBenchmarks(argc, argv, &reporter, 3, true);
  std::printf("\nRatios of real time, best run of each:\n");
  reporter.PrintRatio("stream fetch / serialize and rebuild in one process", "BM_FetchByStream",
                      "BM_SerializeAndRebuild", true, "<= 1.5", 52);
  reporter.PrintRatio("stream fetch / packet fetch", "BM_FetchByStream", "BM_FetchByPackets", true,
                      "< 1", 52);
  std::error_code ec;
  std::filesystem::remove_all(g_home, ec);
  return 0;
}
