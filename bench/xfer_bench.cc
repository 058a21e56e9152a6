// Copying an output directory to another machine: 100 MB in 200 files (four subdirectories of
// 50 files of 500 KiB), through the reports agent of a second machine with its own home, against
// `cp -r` of the same tree on the same disk. Both machines run on this host, each on its own
// thread with its own context, as two processes would. After the run the program prints the
// copy's time as a ratio to cp's.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "../library/testing/freeport.h"
#include "bench_main.h"
#include "kr/context.h"
#include "kr/message.h"
#include "reports/output.h"
#include "reports/rptplg.h"

namespace {

namespace fs = std::filesystem;

constexpr int kDirs = 4, kFilesPerDir = 50;
constexpr size_t kFileBytes = 500u << 10;

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// A home with its reports directory and a machines file naming beta's fixed port.
void MakeHome(const fs::path& home, const std::string& machines) {
  Write(home / "config/configure.cfg",
        "[Directories]\nReports = \"" + (home / "reports").string() + "\"\n");
  Write(home / "config/machines", machines);
  fs::create_directories(home / "reports/output");
}

double g_xfer_seconds = 0, g_cp_seconds = 0;

void BM_CopyOutputDirToOtherMachine(benchmark::State& state) {
  const fs::path root = fs::temp_directory_path() / ("kr_xfer_bench_" + std::to_string(getpid()));
  const fs::path alpha_home = root / "alpha", beta_home = root / "beta";
  const std::string machines = "alpha 127.0.0.1\nbeta 127.0.0.1 " + std::to_string(kr_testing::FreePort()) +
                               " " + kRepReportsProcessName + "\n";
  MakeHome(alpha_home, machines);
  MakeHome(beta_home, machines);
  const fs::path tree = alpha_home / "reports/output/tree";
  std::string bytes(kFileBytes, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
  for (int d = 0; d < kDirs; ++d)
    for (int f = 0; f < kFilesPerDir; ++f)
      Write(tree / ("d" + std::to_string(d)) / ("f" + std::to_string(f) + ".png"), bytes);

  std::atomic<bool> ready{false}, stop{false};
  std::thread beta([&] {
    ContextOptions o;
    o.home = beta_home.string();
    o.machine_name = "beta";
    o.process_name = kRepReportsProcessName;
    auto ctx = ContextCreate(o);
    ContextSetCurrent(ctx.get());
    std::unique_ptr<RepAgent> agent;
    RepAgentInstall(&agent, kRepXferAgentKind);
    MsgInit();
    ready = true;
    while (!stop) {
      Ref<Obj> t;
      TimeCreateAndSetTimeout(&t, 0, 20);
      MsgWaitOnCallbackWithTimeout(
          [](void* s) { return static_cast<std::atomic<bool>*>(s)->load() ? 1 : 0; }, &stop,
          t.get());
    }
    agent.reset();
    ctx.reset();
    ContextSetCurrent(nullptr);
  });
  while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  ContextOptions o;
  o.home = alpha_home.string();
  o.machine_name = "alpha";
  o.process_name = "Front End";
  auto ctx = ContextCreate(o);
  ContextSetCurrent(ctx.get());
  int n = 0;
  for (auto _ : state) {
    const std::string top = "copy" + std::to_string(n++);
    auto t0 = std::chrono::steady_clock::now();
    if (!RepXferOutputToMachine(tree.c_str(), "beta", top.c_str())) {
      state.SkipWithError("copy failed");
      break;
    }
    auto t1 = std::chrono::steady_clock::now();
    const fs::path cp_target = alpha_home / ("cp" + top);
    std::string cmd = "cp -r '" + tree.string() + "' '" + cp_target.string() + "'";
    if (std::system(cmd.c_str()) != 0) {
      state.SkipWithError("cp failed");
      break;
    }
    auto t2 = std::chrono::steady_clock::now();
    double xfer = std::chrono::duration<double>(t1 - t0).count();
    double cp = std::chrono::duration<double>(t2 - t1).count();
    state.SetIterationTime(xfer);
    g_xfer_seconds += xfer;
    g_cp_seconds += cp;
    state.PauseTiming();
    fs::remove_all(beta_home / "reports/output" / top);
    fs::remove_all(cp_target);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kDirs * kFilesPerDir} * kFileBytes);
  state.counters["cp_r_s"] = g_cp_seconds / static_cast<double>(state.iterations());
  ctx.reset();
  ContextSetCurrent(nullptr);
  stop = true;
  beta.join();
  fs::remove_all(root);
}
BENCHMARK(BM_CopyOutputDirToOtherMachine)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  kr_bench::BestRunReporter reporter;
  kr_bench::RunBenchmarks(argc, argv, &reporter, 0, false);
  if (g_cp_seconds > 0)
    std::printf("copy to other machine / cp -r: %.2f (%.3f s vs %.3f s per 100 MB tree)\n",
                g_xfer_seconds / g_cp_seconds, g_xfer_seconds / 5, g_cp_seconds / 5);
  return 0;
}
