// The reference jobs table of the in-memory benchmarks (bench/report_stages, bench/group_bench):
// its columns, loading its CSV into records through the value cache, the library's CSV writer
// options they write with, and a stopwatch of wall and CPU time.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/fields.h"
#include "reports/outputtypes.h"
#include "reports/params.h"
#include "reports/reports.h"

namespace bench {

struct Stopwatch {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = Cpu();
  static double Cpu() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }
  // Prints "stage wall cpu" in seconds; `precise` gives four decimals for short stages.
  void Print(const char* stage, bool precise = false) const {
    const double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    std::printf(precise ? "%s %.4f %.4f\n" : "%s %.3f %.3f\n", stage, w, Cpu() - cpu);
  }
};

// The jobs table's columns, in the file's order.
struct Column {
  const char* name;
  int32_t type;
};
constexpr Column kColumns[] = {
    {"jobid", kRepTypeInteger}, {"name", kRepTypeString},   {"client", kRepTypeString},
    {"level", kRepTypeString},  {"status", kRepTypeString}, {"size", kRepTypeInt64},
    {"files", kRepTypeInteger}, {"start", kRepTypeSysTime}, {"duration", kRepTypeInteger}};
constexpr size_t kColumnCount = sizeof(kColumns) / sizeof(kColumns[0]);

inline Ref<List> JobFields() {
  Ref<List> fields = ListNewFromPool();
  for (const Column& c : kColumns) {
    Ref<RepFieldDef> f = RepNewFieldDef(c.name, c.type, 12);
    f->set_nice_name(c.name);
    ListPushLastItemInternal(fields.get(), std::move(f));
  }
  return fields;
}

// Reads the CSV (a header line, then plain comma-separated values without quotes) into records,
// encoding every value from its text.
inline Ref<List> LoadJobs(const char* path, RepValueCache* cache) {
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

// The jobs of the CSV at `path`, loaded with a value cache that goes with the load, as a
// loader's would; null, said on standard error, when the file cannot be read.
inline Ref<List> LoadJobsOnce(const char* path) {
  auto cache = std::make_unique<RepValueCache>(kColumnCount);
  Ref<List> records = LoadJobs(path, cache.get());
  if (records == nullptr) std::fprintf(stderr, "cannot read %s\n", path);
  return records;
}

inline Ref<List> CsvOptions() {
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

}  // namespace bench
