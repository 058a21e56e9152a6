// Fetching a table by record packets, against the floor any transport pays.
//
//   BM_FetchByPackets       a table of 1,000,000 nine-field records (bench_records.h) fetched
//                           from a provider process over loopback: GET_TABLE, then packets of
//                           100 records, each acknowledged before the next is made. The provider
//                           (a child of this program) makes the records once when it starts;
//                           its data grabber fills each blank record with the values of the next
//                           one, so that both sides measure the transport of the same records.
//   BM_SerializeAndRebuild  the same records, made in this process, serialized and rebuilt 100
//                           at a time as the same packet objects, and kept.
//
// Target: the fetch takes at most 2.5 times as long as serializing and rebuilding. Both report
// records per second. The best of the repetitions is used for the ratio. The fetch also reports
// the provider's CPU time (from /proc), so that on a loaded machine, where every hand-over
// between the two processes waits for the scheduler, the CPU both sides spend can be compared
// with the reference's too.

#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_main.h"
#include "bench_records.h"
#include "kr/context.h"
#include "kr/message.h"
#include "kr/serialize.h"
#include "reports/fetch.h"
#include "reports/tablesprovider.h"

namespace {

constexpr int kRecords = 1000000;
constexpr const char kMachine[] = "benchhost";
constexpr const char kProvider[] = "Bench Provider";
std::string g_home;
pid_t g_provider = 0;

// The CPU time (user and system) process `pid` has used so far, in seconds.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  double utime = 0, stime = 0;
  fields >> utime >> stime;
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// --- the provider process -------------------------------------------------------------------

int NineFields(Ref<RepFieldList>* fields) {
  *fields = bench::NineFieldList();
  return 1;
}
int StartGrab(Ref<Obj>* context, RepGrabberInitArgs*) {
  *context = ObjNewInteger(0);
  return 1;
}
Ref<List> g_records;  // the provider's table, made once

int NextRecord(RepRecord* record, Obj* context, RepGrabberInitArgs*) {
  const int r = ObjGetInteger(context);
  if (r >= kRecords) return 2;
  ObjSetInteger(context, r + 1);
  const RepRecord* source = ObjCast<RepRecord>(g_records->at(static_cast<size_t>(r)));
  for (size_t f = 0; f < 9; ++f) {
    record->value_at(f)->set_value(Ref<Obj>::Share(source->value_at(f)->value()));
  }
  return 1;
}
int EndGrab(Ref<Obj>* context, RepGrabberInitArgs*) {
  context->reset();
  return 1;
}

const RepProvidedTableDesc kTables[] = {
    {"nine", nullptr, nullptr, &StartGrab, &NextRecord, &EndGrab, &NineFields},
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

int ServeGetTable(Obj* task, void*) { return RepHandleMyGetTableRequest(kTables, task, 0, 0); }

pid_t g_parent = 0;
int ParentGone(void*) { return getppid() != g_parent ? 1 : 0; }

// Runs in the child: serves until this program ends.
[[noreturn]] void RunProvider(int ready_fd) {
  ContextOptions options;
  options.home = g_home;
  options.machine_name = kMachine;
  options.process_name = kProvider;
  std::unique_ptr<KrContext> context = ContextCreate(options);
  ContextSetCurrent(context.get());
  g_records = bench::NineFieldRecords(kRecords);
  ProcRegisterTaskHandler(kRepGetTableTaskKind, &ServeGetTable, nullptr);
  if (MsgInit() != 1) _exit(1);
  if (write(ready_fd, "r", 1) != 1) _exit(1);
  close(ready_fd);
  while (ParentGone(nullptr) == 0) {
    Ref<Obj> timeout;
    TimeCreateAndSetTimeout(&timeout, 0, 200);
    MsgWaitOnCallbackWithTimeout(&ParentGone, nullptr, timeout.get());
  }
  _exit(0);
}

pid_t StartProvider() {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  g_parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    RunProvider(fds[1]);
  }
  close(fds[1]);
  char c = 0;
  pollfd p{fds[0], POLLIN, 0};
  const bool ready = pid > 0 && poll(&p, 1, 60000) == 1 && read(fds[0], &c, 1) == 1;
  close(fds[0]);
  if (!ready && pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

// --- the benchmarks -------------------------------------------------------------------------

void BM_FetchByPackets(benchmark::State& state) {
  Ref<RepTableInfo> info = RepTableInfo::New();
  info->set_table_name("nine");
  info->set_process_name(kProvider);
  info->set_machine_name(kMachine);
  Ref<List> wanted = bench::NineFieldList();
  const double provider_cpu_before = ProcessCpuSeconds(g_provider);
  for (auto _ : state) {
    Ref<RepTable> table = bench::FetchWhole(info.get(), wanted.get(), kRecords);
    if (!table) {
      state.SkipWithError("fetch failed");
      return;
    }
    state.PauseTiming();
    table.reset();  // releasing a million records is not part of the fetch
    state.ResumeTiming();
  }
  state.counters["provider_cpu_s"] = ProcessCpuSeconds(g_provider) - provider_cpu_before;
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

void BM_SerializeAndRebuild(benchmark::State& state) {
  static Ref<List> source = bench::NineFieldRecords(kRecords);
  std::string bytes;
  for (auto _ : state) {
    Ref<List> received = ListNewFromPool();
    for (size_t start = 0; start < source->size(); start += 100) {
      Ref<List> chunk = ListNewWithCapacity(100);
      for (size_t i = start; i < start + 100 && i < source->size(); ++i) {
        ListAddLastItem(chunk.get(), source->at(i));
      }
      Ref<RepRecordPacket> packet = RepRecordPacket::New();
      packet->set_records(std::move(chunk));
      bytes.clear();
      Ref<Obj> rebuilt;
      if (ObjSerializeToMemory(&bytes, packet.get()) != 1 ||
          ObjReconstructFromMemory(&rebuilt, bytes.data() + kObjHeaderSize,
                                   bytes.size() - kObjHeaderSize) != 1) {
        state.SkipWithError("serialization failed");
        return;
      }
      ListJoin(received.get(), ObjCast<RepRecordPacket>(rebuilt.get())->records());
    }
    state.PauseTiming();
    received.reset();
    state.ResumeTiming();
  }
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

BENCHMARK(BM_FetchByPackets)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_SerializeAndRebuild)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void PrintRatios(const kr_bench::BestRunReporter& reporter) {
  const kr_bench::BestRun* a = reporter.Best("BM_FetchByPackets");
  const kr_bench::BestRun* b = reporter.Best("BM_SerializeAndRebuild");
  if (a == nullptr || b == nullptr) return;
  std::printf(
      "\nBest runs: fetch %.0f ms (%.0f records/s), serialize+rebuild %.0f ms (%.0f "
      "records/s)\n",
      a->real, kRecords / (a->real / 1000), b->real, kRecords / (b->real / 1000));
  reporter.PrintRatio("fetch by packets / serialize+rebuild (time)", "BM_FetchByPackets",
                      "BM_SerializeAndRebuild", true, "<= 2.5");
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/kr-fetch-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  g_home = tmpl;
  const pid_t provider = StartProvider();
  g_provider = provider;
  if (provider <= 0) {
    std::fprintf(stderr, "cannot start the provider process\n");
    return 1;
  }
  ContextOptions options;
  options.home = g_home;
  options.machine_name = kMachine;
  options.process_name = "Bench Requester";
  std::unique_ptr<KrContext> context = ContextCreate(options);
  ContextSetCurrent(context.get());

  kr_bench::BestRunReporter reporter;
  kr_bench::RunBenchmarks(argc, argv, &reporter, 3, false);
  PrintRatios(reporter);

  ContextSetCurrent(nullptr);
  context.reset();
  kill(provider, SIGTERM);
  waitpid(provider, nullptr, 0);
  std::error_code ec;
  std::filesystem::remove_all(g_home, ec);
  return 0;
}
