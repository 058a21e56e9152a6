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
#include "reference_jobs.h"
#include "reports/control.h"
#include "reports/fields.h"
#include "reports/group.h"
#include "reports/output.h"
#include "reports/outputtypes.h"
#include "reports/params.h"
#include "reports/reports.h"

using bench::CsvOptions;
using bench::JobFields;
using bench::LoadJobsOnce;
using bench::Stopwatch;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s JOBS_CSV OUT_CSV [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 1;
  Stopwatch load;
  Ref<List> records = LoadJobsOnce(argv[1]);
  if (records == nullptr) return 1;
  load.Print("load", true);
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
    group.Print("group", true);
  }
  std::fflush(stdout);
  std::_Exit(0);
}
