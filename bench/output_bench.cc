// Writing a report body: 1,000,000 records of five fields (integer, string, string, datacount,
// integer) as CSV and as fixed-width plain text, against a plain fprintf loop that writes exactly
// the same bytes, in the same run.
//
// Each iteration truncates the output file, then times the library's writer and the fprintf
// loop one after the other. The benchmark's time is the writer's (manual time); the counters
// give both throughputs in MB/s and their ratio (writer time / fprintf time). The two files are
// compared byte for byte once, so the baseline does exactly the same work.
//
// Targets: CSV at most 1.5 times the fprintf loop's time, fixed-width plain text at most 2.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/control.h"
#include "reports/fields.h"
#include "reports/output.h"
#include "reports/outputtypes.h"
#include "reports/params.h"
#include "reports/reports.h"

namespace {

constexpr int kRecords = 1000000;
const char* const kOwners[] = {"root", "backup", "operator", "alice", "bob-the-builder"};

// The same data twice: as report records, and as plain arrays for the fprintf loop.
struct Data {
  std::vector<int32_t> id, count;
  std::vector<std::string> name;
  std::vector<int> owner;
  std::vector<int64_t> size;
  Ref<RepTable> table;
};

Ref<RepFieldDef> Field(const char* name, int32_t type, int32_t chars, const char* nice) {
  Ref<RepFieldDef> f = RepNewFieldDef(name, type, chars);
  f->set_nice_name(nice);
  f->set_compact_name(nice);
  return f;
}

const Data& TheData() {
  static const Data data = [] {
    Data d;
    Ref<List> fields = ListNewFromPool();
    ListPushLastItemInternal(fields.get(), Field("ID", kRepTypeInteger, 8, "Job ID"));
    ListPushLastItemInternal(fields.get(), Field("NAME", kRepTypeString, 20, "Job name"));
    ListPushLastItemInternal(fields.get(), Field("OWNER", kRepTypeString, 12, "Owner"));
    ListPushLastItemInternal(fields.get(), Field("SIZE", kRepTypeDataCount, 8, "Size"));
    ListPushLastItemInternal(fields.get(), Field("COUNT", kRepTypeInteger, 8, "Files"));
    Ref<List> records = ListNewWithCapacity(kRecords);
    uint64_t x = 88172645463325252ull;
    for (int i = 0; i < kRecords; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      d.id.push_back(i);
      d.name.push_back("job-" + std::to_string(x % 1000000007ull));
      d.owner.push_back(static_cast<int>(x % 5));
      d.size.push_back(static_cast<int64_t>(x % (int64_t{1} << 42)));
      d.count.push_back(static_cast<int32_t>(x % 100000));
      Ref<List> values = ListNewWithCapacity(5);
      auto add = [&](Ref<Obj> v) {
        ListPushLastItemInternal(values.get(), RepNewFieldValue(kRepStateNormal, std::move(v)));
      };
      add(ObjNewInteger(d.id.back()));
      add(ObjNewString(d.name.back().c_str()));
      add(ObjNewString(kOwners[d.owner.back()]));
      add(ObjNewInt64(d.size.back()));
      add(ObjNewInteger(d.count.back()));
      Ref<RepRecord> r = RepRecord::New();
      r->set_values(std::move(values));
      ListPushLastItemInternal(records.get(), std::move(r));
    }
    d.table = RepNewTable("jobs", std::move(fields), std::move(records));
    return d;
  }();
  return data;
}

// A data count as the reports write it.
int DataCountText(char* buf, size_t size, int64_t v) {
  if (v < 1024) return std::snprintf(buf, size, "%" PRId64 "B", v);
  if (v < (int64_t{1} << 20)) return std::snprintf(buf, size, "%" PRId64 "KB", v / 1024);
  static const char* const units[] = {"MB", "GB", "TB", "PB", "EB"};
  int shift = 20, u = 0;
  while (u < 4 && v >= (int64_t{1} << (shift + 10))) shift += 10, ++u;
  const int64_t whole = v >> shift;
  const int64_t tenth = static_cast<int64_t>(
      ((static_cast<uint64_t>(v) & ((uint64_t{1} << shift) - 1)) * 10) >> shift);
  if (tenth != 0)
    return std::snprintf(buf, size, "%" PRId64 ".%" PRId64 "%s", whole, tenth, units[u]);
  return std::snprintf(buf, size, "%" PRId64 "%s", whole, units[u]);
}

void FprintfCsv(FILE* f, const Data& d) {
  std::fputs("Job ID,Job name,Owner,Size,Files,\n", f);
  char size[32];
  for (int i = 0; i < kRecords; ++i) {
    DataCountText(size, sizeof(size), d.size[i]);
    std::fprintf(f, "%d,%s,%s,%s,%d\n", d.id[i], d.name[i].c_str(), kOwners[d.owner[i]], size,
                 d.count[i]);
  }
}

void FprintfFixed(FILE* f, const Data& d) {
  std::fputs("Job ID   Job name             Owner        Size     Files   \n\n\n", f);
  char size[32];
  for (int i = 0; i < kRecords; ++i) {
    DataCountText(size, sizeof(size), d.size[i]);
    std::fprintf(f, "%-8d %-20.20s %-12.12s %-8.8s %-8d\n", d.id[i], d.name[i].c_str(),
                 kOwners[d.owner[i]], size, d.count[i]);
  }
}

std::string TempPath(const char* leaf) {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/kr-output-bench-XXXXXX";
    const char* made = mkdtemp(tmpl);
    return std::string(made != nullptr ? made : "/tmp");
  }();
  return dir + "/" + leaf;
}

void Truncate(const std::string& path) { std::ofstream(path, std::ios::trunc | std::ios::binary); }

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream o;
  o << in.rdbuf();
  return o.str();
}

using Writer = int (*)(const RepControl*, const char*, const List*, RepProgressCallback, void*);

void RunAgainstFprintf(benchmark::State& state, const char* format, int32_t type, Writer writer,
                       void (*baseline)(FILE*, const Data&)) {
  const Data& d = TheData();
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetFormat(params.get(), format);
  RepParamsSetOutputType(params.get(), type);
  Ref<RepControl> control = RepControlFromTable(params.get(), d.table.get());
  Ref<List> options = ListNewFromPool();  // every option absent: the writers' defaults
  const std::string lib_path = TempPath("library.out");
  const std::string printf_path = TempPath("fprintf.out");

  double lib_seconds = 0, printf_seconds = 0, bytes = 0;
  bool checked = false;
  for (auto _ : state) {
    Truncate(lib_path);
    auto t0 = std::chrono::steady_clock::now();
    if (writer(control.get(), lib_path.c_str(), options.get(), nullptr, nullptr) != 1) {
      state.SkipWithError("the writer failed");
      break;
    }
    auto t1 = std::chrono::steady_clock::now();

    Truncate(printf_path);
    auto t2 = std::chrono::steady_clock::now();
    FILE* f = std::fopen(printf_path.c_str(), "ab");
    baseline(f, d);
    std::fclose(f);
    auto t3 = std::chrono::steady_clock::now();

    const double lib = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(lib);
    lib_seconds += lib;
    printf_seconds += std::chrono::duration<double>(t3 - t2).count();
    if (!checked) {
      const std::string a = Slurp(lib_path), b = Slurp(printf_path);
      if (a != b) {
        state.SkipWithError("the fprintf loop does not write the same bytes");
        break;
      }
      bytes = static_cast<double>(a.size());
      checked = true;
    }
  }
  std::remove(lib_path.c_str());
  std::remove(printf_path.c_str());
  if (!checked || lib_seconds <= 0 || printf_seconds <= 0) return;
  const double n = static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(bytes * n));
  state.counters["library_MBps"] = bytes * n / lib_seconds / 1e6;
  state.counters["fprintf_MBps"] = bytes * n / printf_seconds / 1e6;
  state.counters["time_ratio"] = lib_seconds / printf_seconds;
  state.counters["MB"] = bytes / 1e6;
}

void BM_Csv(benchmark::State& state) {
  RunAgainstFprintf(state, "%ID,%NAME,%OWNER,%SIZE,%COUNT", kRepOutputCsv, RepOutputCSV,
                    FprintfCsv);
}
BENCHMARK(BM_Csv)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_PlainTextFixedWidth(benchmark::State& state) {
  RunAgainstFprintf(state, "%ID  %NAME  %OWNER  %SIZE  %COUNT\n", kRepOutputPlainText,
                    RepOutputPlainText, FprintfFixed);
}
BENCHMARK(BM_PlainTextFixedWidth)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
