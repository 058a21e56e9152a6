// The reference report in memory, stage by stage: load the jobs CSV into a table of values, then
// filter (status OK and size over 1,000,000), sort (client case-blind ascending, size
// descending) and write CSV of jobid, client, level, size and files, through the library's own
// calls (a control over the loaded table, RepBuildFilterSpec, RepFilterRecords, RepSort,
// RepOutputCSV).
//
// usage: report_stages JOBS_CSV OUT_CSV
//
// Prints one "stage wall cpu" line per stage (seconds), the heap per record after loading and
// the peak resident memory. bench/report_inmem.sh runs it beside DuckDB and sqlite3 and prints
// the comparison. Needs KR_HOME naming a home with a configure.cfg (the script makes one).

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_records.h"
#include "kr/list.h"
#include "kr/object.h"
#include "reference_jobs.h"
#include "reports/control.h"
#include "reports/fields.h"
#include "reports/filter.h"
#include "reports/output.h"
#include "reports/outputtypes.h"
#include "reports/params.h"
#include "reports/reports.h"
#include "reports/sort.h"

using bench::CsvOptions;
using bench::JobFields;
using bench::LoadJobsOnce;
using bench::Stopwatch;

// The pool's large slabs are mapped beside malloc, whose statistics do not see them.
namespace kr_internal {
size_t MemPoolMappedBytes() noexcept;
}

namespace {

size_t HeapInUse() { return bench::HeapInUse() + kr_internal::MemPoolMappedBytes(); }

long PeakRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s JOBS_CSV OUT_CSV\n", argv[0]);
    return 2;
  }
  std::remove(argv[2]);  // the writers append

  const size_t heap0 = HeapInUse();
  Stopwatch load;
  Ref<List> records = LoadJobsOnce(argv[1]);
  if (records == nullptr) return 1;
  load.Print("load");
  std::printf("peak_after_load_kb %ld\n", PeakRssKb());
  const size_t count = records->size();
  std::printf("records %zu\n", count);
  std::printf("heap_per_record %.0f\n",
              static_cast<double>(HeapInUse() - heap0) / static_cast<double>(count));

  Ref<RepTable> table = RepNewTable("jobs", JobFields(), std::move(records));
  Ref<RepParams> params = RepParamsAlloc();
  RepParamsSetInclude(params.get(), "%status = \"OK\" AND %size > 1000000");
  RepParamsSetSort(params.get(), "%client %size-");
  RepParamsSetFormat(params.get(), "%jobid,%client,%level,%size,%files");
  RepParamsSetOutputType(params.get(), kRepOutputCsv);
  Ref<RepControl> control = RepControlFromTable(params.get(), table.get());
  table = nullptr;
  Ref<List> options = CsvOptions();

  Stopwatch all;
  Stopwatch filter;
  if (RepBuildFilterSpec(control.get()) != 1) {
    std::fprintf(stderr, "the filter did not build\n");
    return 1;
  }
  RepFilterRecords(control.get(), 0, 0, nullptr, nullptr);
  filter.Print("filter");
  std::printf("peak_after_filter_kb %ld\n", PeakRssKb());
  Stopwatch sort;
  RepSort(control.get(), nullptr, nullptr);
  sort.Print("sort");
  std::printf("peak_after_sort_kb %ld\n", PeakRssKb());
  Stopwatch write;
  if (RepOutputCSV(control.get(), argv[2], options.get(), nullptr, nullptr) != 1) {
    std::fprintf(stderr, "the writer failed\n");
    return 1;
  }
  write.Print("write");
  std::printf("peak_after_write_kb %ld\n", PeakRssKb());
  all.Print("pipeline");
  std::printf("peak_rss_kb %ld\n", PeakRssKb());
  // The teardown of the table is no stage of the comparison; leaving it out keeps profiles of
  // this program to the stages.
  std::fflush(stdout);
  std::_Exit(0);
}
