// The plain text report writer.

#include <string>

#include "kr/trace.h"
#include "reports/format.h"
#include "reports/outputwriters.h"
#include "writer.h"

namespace {

constexpr const char* kTag = "REPOUTTX";

// Without the option, a single-line format gets headers aligned to its columns; with it on, the
// option texts go around headers aligned (fixed width) or spaced (variable width); a format of
// several lines has no headers.
int PlainTextHeaders(const kr_internal::WriterHeaderArgs& a) {
  const bool single_line = RepFormatIsSingleLine(a.format, a.format_fields) == 1;
  bool wanted = false;
  if (!RepGetOptionBoolean(&wanted, a.options, "autocolumnheaders")) {
    if (!single_line) {
      TraceMessage(kTag, 1, 0, 3, "Plain text report does not need column headers");
      return 1;
    }
    TraceMessage(kTag, 2, 0, 3, "Output column headers as format is single line");
    if (!RepOutputColHeadersFixed(a.format_fields, a.format, a.file, "", "\n\n")) {
      TraceMessage(kTag, 3, 0, -1, "Failed to output column headers");
      return 0;
    }
    return 1;
  }
  if (!wanted || !single_line) {
    TraceMessage(kTag, 4, 0, 3, "Column headers are switched off for this report");
    return 1;
  }
  std::string pre, post;
  if (!RepGetOptionString(&pre, a.options, "textheaderrowpre")) {
    TraceMessage(kTag, 5, 0, -1, "Failed to get row pre text from output options");
    return 0;
  }
  if (!RepGetOptionString(&post, a.options, "textheaderrowpost")) {
    TraceMessage(kTag, 6, 0, -1, "Failed to get row post text from output options");
    return 0;
  }
  TraceMessage(kTag, 7, 0, 3, "Output column headers with specified pre/post text");
  if (!a.variable_width) {
    if (!RepOutputColHeadersFixed(a.format_fields, a.format, a.file, pre.c_str(), post.c_str())) {
      TraceMessage(kTag, 8, 0, -1, "Failed to output fixed width column headers");
      return 0;
    }
  } else if (!RepOutputColHeadersFree(a.format_fields, a.file, pre.c_str(), post.c_str(), "",
                                      " ")) {
    TraceMessage(kTag, 9, 0, -1, "Failed to output variable width column headers");
    return 0;
  }
  return 1;
}

constexpr kr_internal::WriterProfile kPlainText = {
    .tag = kTag,
    .fields_failed = "Cannot build list of fields in format",
    .open_failed = "Failed to open plain text report output file '%s'.",
    .summary_rows = true,
    .width_option = true,
    .summary_fixed_width = true,
    .empty_disabled =
        "Empty plain text report. Dont output empty report text as record output disabled.",
    .empty_output = "Empty plain text report. Output empty report string",
    .before_records = nullptr,
    .records_ok = "Output plain text records OK.",
    .records_failed = "Failed to output plain text records.",
    .sum_ok = "Output plaintext sum record OK.",
    .sum_failed = "Failed to output plaintext sum record",
    .average_ok = "Output plaintext average record OK.",
    .average_failed = "Failed to output plaintext average record",
    .headers_failed = "Failed to output plain text column headers",
    .headers = PlainTextHeaders,
};

}  // namespace

int RepOutputPlainText(const RepControl* control, const char* output_file, const List* options,
                       RepProgressCallback progress, void* progress_argument) noexcept {
  return kr_internal::RunReportWriter(kPlainText, control, output_file, options, progress,
                                      progress_argument);
}
