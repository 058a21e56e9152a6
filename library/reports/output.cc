// What the three report writers share: reading options, and the steps every writer runs.

#include <memory>
#include <string>

#include "kr/file.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/calculate.h"
#include "reports/format.h"
#include "reports/outputtypes.h"
#include "reports/outputwriters.h"
#include "reports/params.h"
#include "reports/utilities.h"
#include "writer.h"

namespace {

// Records gathered per write.
constexpr int kRecordsPerBlock = 500;

const char* TrueFalse(bool b) { return b ? "TRUE" : "FALSE"; }

bool BoolOption(const List* options, const char* key) {
  bool value = false;
  RepGetOptionBoolean(&value, options, key);
  return value;
}

using kr_internal::WriterProfile;

// The texts around a summary row and around each of its fields, by option key.
struct SummaryKeys {
  const char* row_pre;
  const char* row_post;
  const char* field_pre;
  const char* field_post;
  const char* build_failed;
};
constexpr SummaryKeys kSumKeys = {"sumrowpre", "sumrowpost", "sumfieldpre", "sumfieldpost",
                                  "Failed to build sum format string"};
constexpr SummaryKeys kAverageKeys = {"averagerowpre", "averagerowpost", "averagefieldpre",
                                      "averagefieldpost", "Failed to build average format string"};

// Everything a writer works on once the file is open.
struct Run {
  const WriterProfile& profile;
  const RepControl* control;
  const List* options;
  FileSysFile* file;
  const RepFieldList* format_fields;
  const char* format;
  RepProgressCallback progress;
  void* progress_argument;
};

// The format of a sum or average row: the option texts around every field of the report's
// format, control sequences replaced. 0 when an option is missing.
int SummaryFormat(std::string* format, const Run& run, const SummaryKeys& keys) {
  std::string pre, post, field_pre, field_post, generated;
  if (!RepGetOptionString(&pre, run.options, keys.row_pre) ||
      !RepGetOptionString(&post, run.options, keys.row_post) ||
      !RepGetOptionString(&field_pre, run.options, keys.field_pre) ||
      !RepGetOptionString(&field_post, run.options, keys.field_post) ||
      !RepGenFormatString(&generated, pre.c_str(), post.c_str(), field_pre.c_str(),
                          field_post.c_str(), run.format_fields) ||
      !RepReplaceControlChars(format, generated.c_str())) {
    TraceMessage(run.profile.tag, 1, 0, -1, "%s", keys.build_failed);
    return 0;
  }
  return 1;
}

int SummaryRow(const Run& run, const SummaryKeys& keys, RepRecord* record,
               const RepFieldList* table_fields, const RepFieldList* format_fields,
               const char* ok_message, const char* failed_message) {
  std::string format;
  if (!SummaryFormat(&format, run, keys)) return 0;
  Ref<List> one = ListNewFromPool();
  ListAddLastItem(one.get(), record);
  if (!RepOutputRecords(one.get(), table_fields, format_fields, format.c_str(), run.file,
                        kRecordsPerBlock, run.profile.summary_fixed_width ? 0 : 1, run.progress,
                        run.progress_argument)) {
    TraceMessage(run.profile.tag, 2, 0, -1, "%s", failed_message);
    return 0;
  }
  TraceMessage(run.profile.tag, 3, 0, 2, "%s", ok_message);
  return 1;
}

// An empty report gets the empty-report text, unless record output is disabled.
int WriteEmptyReport(const Run& run, bool records_disabled) {
  const WriterProfile& p = run.profile;
  if (records_disabled) {
    TraceMessage(p.tag, 4, 0, 2, "%s", p.empty_disabled);
    return 1;
  }
  TraceMessage(p.tag, 5, 0, 2, "%s", p.empty_output);
  std::string text, converted;
  if (!RepGetOptionString(&text, run.options, "emptyreporttext")) {
    TraceMessage(p.tag, 6, 0, -1, "Failed to get empty report text - output nothing");
    return 0;
  }
  if (!RepReplaceControlChars(&converted, text.c_str())) return 0;
  if (!FileSysFWrite(run.file, converted.data(), converted.size())) {
    TraceMessage(p.tag, 7, 0, -1, "Failed to write no-output string");
    return 0;
  }
  TraceMessage(p.tag, 8, 0, 2, "Wrote no-output string for report");
  return 1;
}

// The body of a report with records: headers, records, then the sum and average rows.
int WriteRecords(const Run& run, bool records_disabled) {
  const WriterProfile& p = run.profile;
  const RepTable* table = run.control->table();
  int ok = 1;

  bool want_sum = false, want_average = false;
  Ref<List> summary_table_fields, summary_format_fields;
  Ref<RepRecord> sum, average;
  if (p.summary_rows) {
    want_sum = BoolOption(run.options, "outputtotalrecord");
    want_average = BoolOption(run.options, "outputaveragerecord");
    TraceMessage(p.tag, 9, 0, 2, "Output total record = '%s'", TrueFalse(want_sum));
    TraceMessage(p.tag, 10, 0, 2, "Output average record = '%s'", TrueFalse(want_average));
    TraceMessage(p.tag, 11, 0, 2, "Disable record output = '%s'", TrueFalse(records_disabled));
    if (RepMakeSummaryFields(&summary_table_fields, table->fields()) &&
        RepMakeSummaryFields(&summary_format_fields, run.format_fields)) {
      RepCalculate(table, summary_table_fields.get(), want_sum ? 1 : 0, want_average ? 1 : 0, &sum,
                   &average);
    } else {
      ok = 0;
    }
  }
  const bool variable = p.width_option ? BoolOption(run.options, "variablewidthoutput") : true;

  kr_internal::WriterHeaderArgs headers{run.options, run.format_fields, run.format, run.file,
                                        variable};
  if (!p.headers(headers)) {
    TraceMessage(p.tag, 12, 0, -1, "%s", p.headers_failed);
    return 0;
  }

  if (records_disabled) {
    TraceMessage(p.tag, 13, 0, 2, "Hiding normal records");
  } else {
    if (p.before_records != nullptr) TraceMessage(p.tag, 14, 0, 2, "%s", p.before_records);
    if (RepOutputRecords(table->records(), table->fields(), run.format_fields, run.format, run.file,
                         kRecordsPerBlock, variable ? 1 : 0, run.progress, run.progress_argument)) {
      TraceMessage(p.tag, 15, 0, 2, "%s", p.records_ok);
    } else {
      TraceMessage(p.tag, 16, 0, -1, "%s", p.records_failed);
      ok = 0;
    }
  }
  if (want_sum && sum &&
      !SummaryRow(run, kSumKeys, sum.get(), summary_table_fields.get(), summary_format_fields.get(),
                  p.sum_ok, p.sum_failed))
    ok = 0;
  if (want_average && average &&
      !SummaryRow(run, kAverageKeys, average.get(), summary_table_fields.get(),
                  summary_format_fields.get(), p.average_ok, p.average_failed))
    ok = 0;
  return ok;
}

}  // namespace

int RepGetOptionBoolean(bool* value, const List* options, const char* key) noexcept {
  Ref<RepParamInstance> option;
  if (value == nullptr || !RepFindParamInstanceInList(&option, options, key)) return 0;
  *value = ObjGetBoolean(option->value());
  return 1;
}

int RepGetOptionString(std::string* value, const List* options, const char* key) noexcept {
  Ref<RepParamInstance> option;
  if (value == nullptr || !RepFindParamInstanceInList(&option, options, key)) return 0;
  const char* text = ObjGetString(option->value());
  value->assign(StrOrEmpty(text));
  return 1;
}

int kr_internal::RunReportWriter(const WriterProfile& profile, const RepControl* control,
                                 const char* output_file, const List* options,
                                 RepProgressCallback progress, void* progress_argument) noexcept {
  Ref<List> format_fields;
  if (control == nullptr || control->table() == nullptr || control->table()->fields() == nullptr ||
      !RepListOutputFields(&format_fields, control)) {
    TraceMessage(profile.tag, 17, 0, -1, "%s", profile.fields_failed);
    return 0;
  }
  std::unique_ptr<FileSysFile> file;
  if (output_file == nullptr || !FileSysFOpen(&file, output_file, kFileSysModeAppend)) {
    TraceMessage(profile.tag, 18, 0, -1, profile.open_failed, StrOrEmpty(output_file));
    return 0;
  }
  Run run{profile,
          control,
          options,
          file.get(),
          format_fields.get(),
          RepParamsGetFormat(control->params()),
          progress,
          progress_argument};
  const bool records_disabled = profile.summary_rows && BoolOption(options, "disablerecordoutput");
  int ok = RepGiveNumRecords(control) == 0 ? WriteEmptyReport(run, records_disabled)
                                           : WriteRecords(run, records_disabled);
  if (!FileSysFClose(&file)) {
    TraceMessage(profile.tag, 19, 0, -1, "Failed to close report output file '%s'", output_file);
    ok = 0;
  }
  return ok;
}
