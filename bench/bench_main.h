// What the benchmark programs share: a console reporter that also keeps the best run of each
// benchmark, and the main loop that runs them.
//
// Every figure here is printed beside a reference measured in the same run. On a shared machine
// the best run of each is the one least disturbed by others, so ratios are taken between best
// runs; repetitions, interleaved at random with the references, keep a burst of load elsewhere
// from falling on one side only. Header-only: each benchmark is one program of one source.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace kr_bench {

// Best real and CPU time per iteration of one benchmark, in the benchmark's time unit.
struct BestRun {
  double real = 0;
  double cpu = 0;
};

class BestRunReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
      BestRun& b = best_[Key(r)];
      const double real = r.GetAdjustedRealTime(), cpu = r.GetAdjustedCPUTime();
      if (b.real == 0 || real < b.real) b.real = real;
      if (b.cpu == 0 || cpu < b.cpu) b.cpu = cpu;
    }
  }

  // The best run of a benchmark named as registered, with its arguments: "BM_Name" or
  // "BM_Name/64/1". Null when it did not run (filtered out, or failed).
  const BestRun* Best(const std::string& name) const {
    const auto it = best_.find(name);
    return it == best_.end() || it->second.real <= 0 ? nullptr : &it->second;
  }

  // Prints one ratio line of real times, mine against the reference: with `time_ratio` the
  // time over the reference's (lower is better), else the speed over the reference's (higher is
  // better). Nothing when either did not run.
  void PrintRatio(const char* what, const std::string& mine, const std::string& reference,
                  bool time_ratio, const char* target, int width = 44) const {
    const BestRun* a = Best(mine);
    const BestRun* b = Best(reference);
    if (a == nullptr || b == nullptr) return;
    const double ratio = time_ratio ? a->real / b->real : b->real / a->real;
    std::printf("%-*s %6.2fx  (target %s)\n", width, what, ratio, target);
  }

 private:
  static std::string Key(const Run& r) {
    return r.run_name.args.empty() ? r.run_name.function_name
                                   : r.run_name.function_name + "/" + r.run_name.args;
  }

  std::map<std::string, BestRun> best_;
};

// Runs the program's registered benchmarks through `reporter`. Unless the command line sets the
// repetitions itself: `repetitions` of each (0 leaves Google Benchmark's default), interleaved
// at random when `interleave`.
inline void RunBenchmarks(int argc, char** argv, BestRunReporter* reporter, int repetitions,
                          bool interleave) {
  std::vector<char*> args(argv, argv + argc);
  bool given = false;
  for (int i = 1; i < argc; ++i) given |= std::strstr(argv[i], "repetitions") != nullptr;
  std::string reps = "--benchmark_repetitions=" + std::to_string(repetitions);
  char interleaving[] = "--benchmark_enable_random_interleaving=true";
  if (!given && repetitions > 0) {
    args.push_back(reps.data());
    if (interleave) args.push_back(interleaving);
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  benchmark::RunSpecifiedBenchmarks(reporter);
  benchmark::Shutdown();
}

}  // namespace kr_bench
