// The shared skeleton of the three report writers (outputtext.cc, outputhtml.cc, outputcsv.cc):
// what each writer says and does differently is a WriterProfile; output.cc runs the steps.
#pragma once

#include "kr/file.h"
#include "kr/list.h"
#include "reports/control.h"
#include "reports/fields.h"

namespace kr_internal {

// What a writer's column headers are drawn from.
struct WriterHeaderArgs {
  const List* options;
  const RepFieldList* format_fields;
  const char* format;
  FileSysFile* file;
  bool variable_width;
};

struct WriterProfile {
  const char* tag;            // the writer's module tag
  const char* fields_failed;  // the format's field list could not be built
  const char* open_failed;    // with the path
  // Plain text and HTML: disablerecordoutput, outputtotalrecord and outputaveragerecord.
  bool summary_rows;
  // Plain text: variablewidthoutput. Without it every row is variable-width.
  bool width_option;
  bool summary_fixed_width;    // sum and average rows at fixed width whatever the records use
  const char* empty_disabled;  // empty report with record output disabled (summary writers)
  const char* empty_output;    // empty report: the empty-report text is written
  const char* before_records;  // traced before the records, or null
  const char* records_ok;
  const char* records_failed;
  const char* sum_ok;
  const char* sum_failed;
  const char* average_ok;
  const char* average_failed;
  const char* headers_failed;
  // Writes the column headers, or decides none are needed (1); 0 when that fails (traced).
  int (*headers)(const WriterHeaderArgs& args);
};

// Runs a writer: 1 when every step it ran succeeded.
int RunReportWriter(const WriterProfile& profile, const RepControl* control,
                    const char* output_file, const List* options, RepProgressCallback progress,
                    void* progress_argument) noexcept;

}  // namespace kr_internal
