// Grouping the reference jobs table into per-client summaries: load the jobs CSV into a table of
// values (as bench/report_stages does), then group by client with the count, the count per
// status and the sums of size and files (RepGroupRecords), and write the summary as CSV through
// the library's writer, sorted by client.
//
// usage: group_bench JOBS_CSV OUT_CSV [ROUNDS]
//
// Prints "load wall cpu" and, per round, "group wall cpu" (seconds). bench/group_bench.sh runs it
// beside DuckDB's GROUP BY with one thread and checks both outputs against sqlite3's. Needs
// KR_HOME naming a home with a configure.cfg (the script makes one).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/control.h"
#include "reports/fields.h"
#include "reports/group.h"
#include "reports/output.h"
#include "reports/outputtypes.h"
#include "reports/params.h"
#include "reports/reports.h"

namespace {

struct Stopwatch {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = Cpu();
  static double Cpu() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }
  void Print(const char* stage) const {
    const double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    std::printf("%s %.4f %.4f\n", stage, w, Cpu() - cpu);
  }
};

struct Column {
  const char* name;
  int32_t type;
};
constexpr Column kColumns[] = {
    {"jobid", kRepTypeInteger}, {"name", kRepTypeString},   {"client", kRepTypeString},
    {"level", kRepTypeString},  {"status", kRepTypeString}, {"size", kRepTypeInt64},
    {"files", kRepTypeInteger}, {"start", kRepTypeSysTime}, {"duration", kRepTypeInteger}};
constexpr size_t kColumnCount = sizeof(kColumns) / sizeof(kColumns[0]);

Ref<List> JobFields() {
  Ref<List> fields = ListNewFromPool();
  for (const Column& c : kColumns) {
    Ref<RepFieldDef> f = RepNewFieldDef(c.name, c.type, 12);
    ListPushLastItemInternal(fields.get(), std::move(f));
  }
  return fields;
}

Ref<List> LoadJobs(const char* path, RepValueCache* cache) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return nullptr;
  Ref<List> records = ListNewWithCapacity(1 << 20);
  std::vector<char> line(4096);
  bool header = true;
  while (std::fgets(line.data(), static_cast<int>(line.size()), f) != nullptr) {
    if (header) {
      header = false;
      continue;
    }
    char* p = line.data();
    Ref<List> values = ListNewWithCapacity(kColumnCount);
    for (size_t i = 0; i < kColumnCount; ++i) {
      char* end = p + std::strcspn(p, ",\r\n");
      const char saved = *end;
      *end = '\0';
      ListPushLastItemInternal(values.get(), cache->Encode(i, p, kColumns[i].type));
      p = saved == ',' ? end + 1 : end;
    }
    Ref<RepRecord> r = RepRecord::New();
    r->set_values(std::move(values));
    ListPushLastItemInternal(records.get(), std::move(r));
  }
  std::fclose(f);
  return records;
}

Ref<List> CsvOptions() {
  Ref<RepOutputTypeInfo> info;
  Ref<List> list = ListNewFromPool();
  Ref<RepParamDef> def;
  Ref<RepParamInstance> option;
  if (RepOutputTypeInfoFromID(&info, kRepOutputCsv) == 1 &&
      RepFindParamInList(&def, info->options(), "autocolumnheaders") == 1 &&
      RepParamInstanceCreateString(&option, def.get(), "FALSE") == 1)
    ListPushLastItemInternal(list.get(), std::move(option));
  return list;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s JOBS_CSV OUT_CSV [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 1;
  Stopwatch load;
  auto cache = std::make_unique<RepValueCache>(kColumnCount);
  Ref<List> records = LoadJobs(argv[1], cache.get());
  cache.reset();
  if (records == nullptr) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  load.Print("load");
  Ref<RepTable> table = RepNewTable("jobs", JobFields(), std::move(records));
  RepGroupSpec spec;
  std::string error;
  if (!RepParseGroupSpec(&spec, &error, "%client",
                         "count count(%status) sum(%size) sum(%files)")) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetOutputType(params.get(), kRepOutputCsv);
  RepParamsSetFormat(params.get(),
                     "%client,%count,%status_cancelled,%status_failed,%status_ok,"
                     "%status_warning,%sum_size,%sum_files\n");
  Ref<RepControl> control = RepControlFromTable(params.get(), table.get());
  Ref<List> options = CsvOptions();
  for (int r = 0; r < rounds; ++r) {
    std::remove(argv[2]);  // the writer appends
    Stopwatch group;
    Ref<RepTable> summary;
    if (!RepGroupRecords(&summary, &error, table.get(), spec)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    Ref<RepControl> sc = RepGroupSummaryControl(control.get(), summary.get(),
                                                RepParamsGetFormat(params.get()));
    if (!sc || RepOutputCSV(sc.get(), argv[2], options.get(), nullptr, nullptr) != 1) {
      std::fprintf(stderr, "the writer failed\n");
      return 1;
    }
    group.Print("group");
  }
  std::fflush(stdout);
  std::_Exit(0);
}
