// The HTML text report writer.

#include <string>

#include "kr/trace.h"
#include "reports/format.h"
#include "reports/outputwriters.h"
#include "writer.h"

namespace {

constexpr const char* kTag = "REPOUTHT";

// Headers only when the option asks for them, built from its four texts (HTML has no columns
// to align to).
int HtmlHeaders(const kr_internal::WriterHeaderArgs& a) {
  bool wanted = false;
  if (!RepGetOptionBoolean(&wanted, a.options, "autocolumnheaders")) {
    TraceMessage(kTag, 1, 0, 3, "HTML text report does not need column headers");
    return 1;
  }
  if (!wanted) {
    TraceMessage(kTag, 2, 0, 3, "Column headers are switched off for this report");
    return 1;
  }
  std::string pre, post, field_pre, field_post;
  if (!RepGetOptionString(&pre, a.options, "textheaderrowpre")) {
    TraceMessage(kTag, 3, 0, -1, "Failed to get row pre text from output options");
    return 0;
  }
  if (!RepGetOptionString(&post, a.options, "textheaderrowpost")) {
    TraceMessage(kTag, 4, 0, -1, "Failed to get row post text from output options");
    return 0;
  }
  if (!RepGetOptionString(&field_pre, a.options, "textheaderfieldpre")) {
    TraceMessage(kTag, 5, 0, -1, "Failed to get field pre text from output options");
    return 0;
  }
  if (!RepGetOptionString(&field_post, a.options, "textheaderfieldpost")) {
    TraceMessage(kTag, 6, 0, -1, "Failed to get field post text from output options");
    return 0;
  }
  TraceMessage(kTag, 7, 0, 3, "Output col headers with specified pre/post text");
  if (!RepOutputColHeadersFree(a.format_fields, a.file, pre.c_str(), post.c_str(),
                               field_pre.c_str(), field_post.c_str())) {
    TraceMessage(kTag, 8, 0, -1, "Failed to output column headers");
    return 0;
  }
  return 1;
}

constexpr kr_internal::WriterProfile kHtmlText = {
    .tag = kTag,
    .fields_failed = "Cannot build list of fields in format",
    .open_failed = "Failed to open html text report output file '%s'.",
    .summary_rows = true,
    .width_option = false,
    .summary_fixed_width = false,
    .empty_disabled =
        "Empty html text report. Dont output empty report text as record output disabled.",
    .empty_output = "Empty HTML text report. Output empty report string",
    .before_records = "Will output normal records",
    .records_ok = "Output HTML records OK.",
    .records_failed = "Failed to output HTML records.",
    .sum_ok = "Output HTML sum record OK.",
    .sum_failed = "Failed to output HTML sum record.",
    .average_ok = "Output HTML average record OK.",
    .average_failed = "Failed to output HTML average record",
    .headers_failed = "Failed to output HTML text column headers",
    .headers = HtmlHeaders,
};

}  // namespace

int RepOutputHTMLText(const RepControl* control, const char* output_file, const List* options,
                      RepProgressCallback progress, void* progress_argument) noexcept {
  return kr_internal::RunReportWriter(kHtmlText, control, output_file, options, progress,
                                      progress_argument);
}
