// The comma-separated values report writer.

#include <string>

#include "kr/trace.h"
#include "reports/format.h"
#include "reports/outputwriters.h"
#include "writer.h"

namespace {

constexpr const char* kTag = "RPOUTCSV";

// Without the option, a single-line format gets a line of nice names each followed by a comma;
// with it on, the four csvheader texts are used whatever the format.
int CsvHeaders(const kr_internal::WriterHeaderArgs& a) {
  bool wanted = false;
  if (!RepGetOptionBoolean(&wanted, a.options, "autocolumnheaders")) {
    if (RepFormatIsSingleLine(a.format, a.format_fields) != 1) {
      TraceMessage(kTag, 1, 0, 3, "Plain text report does not need column headers");
      return 1;
    }
    TraceMessage(kTag, 2, 0, 3, "Output csv col headers as format is single line");
    if (!RepOutputColHeadersFree(a.format_fields, a.file, "", "\n", "", ",")) {
      TraceMessage(kTag, 3, 0, -1, "Failed to output column headers");
      return 0;
    }
    return 1;
  }
  if (!wanted) {
    TraceMessage(kTag, 4, 0, 3, "Column headers are switched off for this report");
    return 1;
  }
  std::string pre, post, field_pre, field_post;
  if (!RepGetOptionString(&pre, a.options, "csvheaderrowpre")) {
    TraceMessage(kTag, 5, 0, -1, "Failed to get row pre text from output options");
    return 0;
  }
  if (!RepGetOptionString(&post, a.options, "csvheaderrowpost")) {
    TraceMessage(kTag, 6, 0, -1, "Failed to get row post text from output options");
    return 0;
  }
  if (!RepGetOptionString(&field_pre, a.options, "csvheaderfieldpre")) {
    TraceMessage(kTag, 7, 0, -1, "Failed to get field pre text from output options");
    return 0;
  }
  if (!RepGetOptionString(&field_post, a.options, "csvheaderfieldpost")) {
    TraceMessage(kTag, 8, 0, -1, "Failed to get field post text from output options");
    return 0;
  }
  TraceMessage(kTag, 9, 0, 3, "Output col headers with specified pre/post text");
  if (!RepOutputColHeadersFree(a.format_fields, a.file, pre.c_str(), post.c_str(),
                               field_pre.c_str(), field_post.c_str())) {
    TraceMessage(kTag, 10, 0, -1, "Failed to output column headers");
    return 0;
  }
  return 1;
}

constexpr kr_internal::WriterProfile kCsv = {
    .tag = kTag,
    .fields_failed = "Cannot build list of fields in csv format",
    .open_failed = "Failed to open csv report output file '%s'.",
    .summary_rows = false,
    .width_option = false,
    .summary_fixed_width = false,
    .empty_disabled = nullptr,
    .empty_output = "Empty csv report. Output empty report string",
    .before_records = nullptr,
    .records_ok = "Output CSV records OK.",
    .records_failed = "Failed to output CSV records.",
    .sum_ok = nullptr,
    .sum_failed = nullptr,
    .average_ok = nullptr,
    .average_failed = nullptr,
    .headers_failed = "Failed to output CSV column headers",
    .headers = CsvHeaders,
};

}  // namespace

int RepOutputCSV(const RepControl* control, const char* output_file, const List* options,
                 RepProgressCallback progress, void* progress_argument) noexcept {
  return kr_internal::RunReportWriter(kCsv, control, output_file, options, progress,
                                      progress_argument);
}
