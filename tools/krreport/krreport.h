// What the command-line front end's commands share: exit statuses, error printing, building a
// report's parameters from the command line, progress and cancelling, and writing a produced
// report. Each command family lives in its own file (commands.h lists them).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "delivery.h"
#include "groups.h"
#include "kr/object.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/control.h"
#include "reports/fields.h"
#include "reports/outputtypes.h"
#include "reports/params.h"
#include "reports/produced.h"

namespace krreport {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;       // the report (or listing) failed
inline constexpr int kExitUsage = 2;        // bad arguments
inline constexpr int kExitCancelled = 130;  // interrupted (Ctrl-C)

// Prints "krreport: TEXT" on standard error, and beneath it, indented, the cause: the failure
// lines the library traced since the last error (see SetFailureCapture).
void Error(const std::string& text);
// Prints the cause alone, as Error does beneath its text (a line equal to `said` is left out).
void PrintCause(const std::string& said = "");

// Where Error finds the cause; main installs one capture around the command (null: none).
void SetFailureCapture(TraceFailureCapture* capture);

// A null text as an empty one: StrOrEmpty under the name the runner still uses.
inline const char* Text(const char* s) { return StrOrEmpty(s); }

// --- output types and parameters -------------------------------------------------------------

// Output types by their command-line names: text, html and csv are the library's writers;
// jsonl and rfc4180 are the front end's own (jsonl.h, csv.h).
struct OutputTypeName {
  const char* name;
  int id;  // the library's output type; jsonl produces as CSV and writes its own body
};
inline constexpr OutputTypeName kOutputTypes[] = {{"text", kRepOutputPlainText},
                                                  {"html", kRepOutputHtmlText},
                                                  {"csv", kRepOutputCsv},
                                                  {"jsonl", kRepOutputCsv},
                                                  {"rfc4180", kRepOutputCsv}};

// The library's output type of a command-line name, or -1.
int OutputTypeId(const std::string& name);
// The command-line name of one of the library's output types ("?" for none).
const char* OutputTypeText(int32_t id);

// How `run` (and `produced reprocess`, for the filters, sort, type and output) produce a report.
struct RunOptions {
  std::string template_name;  // a template of the reports directory, or a path with a '/'
  std::optional<std::string> class_name, format, include, exclude, condition, sort;
  std::optional<std::string> header, footer;  // header and footer directory names
  std::string type;                           // "" (template's or text), text, html, csv, jsonl
  std::vector<std::string> options;           // output options as key=value
  std::string output;  // "" a new uniquely named output directory; "-" standard output;
                       // otherwise the output directory's name
  bool html_wrap = false;
  bool store = false;
  bool quiet = false;
  double fetch_timeout = 0;  // seconds a provider may stay silent; 0: as configured
  bool replace = false;  // an existing output directory `output` is replaced whole
  std::string progress;  // "" (a line on a terminal) or "json"
  MailRequest mail;  // run's --mail-to and the other delivery options (delivery.h)
  GroupOptions group;  // summaries and group breaks (groups.h)
};

// Produces, writes, stores (--store) and mails (--mail-to) one report, as `krreport run` does.
// Exit status.
int Run(const RunOptions& options);

// Sets the output type with every option at its default, as a template does; a template's
// options for its own type stay as it set them.
bool SetOutputType(RepParams* params, int id);

// The report's parameters from a template and the flags. kExitOk, or the exit status of the
// failure: a bad option is a usage error, a template that cannot be read a failed report.
int BuildParams(Ref<RepParams>* out, std::string* nice_name, const RunOptions& options);

// The user's texts checked before anything is fetched: 1, or 0 after printing what is wrong and
// where (a caret under the place). `fields` are the class's fields (null: names not checked).
bool CheckSort(const std::string& text, const RepFieldList* fields);
bool CheckFilter(const char* which, const std::string& text, const RepFieldList* fields);
// `kind` is "headers" or "footers"; the directory `name` must exist there.
bool CheckTextDirectory(const char* kind, const std::string& name);

// A time of production as local "YYYY-MM-DD HH:MM:SS".
std::string TimeText(int32_t t);

// Calls `visit` with the name and the decoded name of every stored report (the control files of
// the store's day directories; a temporary file of a store in progress, or anything not the
// store's, is passed over). False when the reports directory is not configured.
bool ForEachStoredReport(
    const List* classes,
    const std::function<void(const std::string&, const RepProducedReportName&)>& visit);

// --- progress and cancelling -----------------------------------------------------------------

// Called from the signal handler: the report in progress is cancelled at its next progress call.
void RequestCancel();
bool CancelRequested();

// SIGINT and SIGTERM: the first Ctrl-C cancels; a second, a SIGTERM, or a cancel that does not
// end the report in time ends the program (exit 130), removing the partial output directory.
void InstallInterruptHandling();
// The output directory being written (empty once it is complete or removed).
void SetPartialOutput(const std::string& directory);

// Progress, as the library's progress state tells it (stage, table, records, stage start): a
// line on a terminal's standard error, or with --progress json one JSON object per line on
// standard error, at most every 100 ms and at every change of stage or table:
//   {"stage":"fetch","table":"jobs","records":N,"seconds":S}
// (`table` only while fetching; `seconds` since the stage began). doc/programs.md documents it.
struct Progress {
  bool show = false;  // the terminal line
  bool json = false;  // JSON lines
  uint64_t write_calls = 0;
  RepProgressStage last_stage = kRepStageIdle;
  std::string last_table;
  std::chrono::steady_clock::time_point last_shown{};
  bool shown = false;

  // Sets up from the options: --progress json, else a line when standard error is a terminal.
  void Configure(const RunOptions& options);
  // Shows the state when due (always at a change of stage or table).
  void Update();
  // Begins a stage of the front end's own (write, done) and shows it.
  void Begin(RepProgressStage stage, int64_t records);
  void Clear();
};

// The progress callback for Progress; also where a Ctrl-C takes effect: the fetch in progress
// tells its provider to stop.
int OnProgress(void* argument, int reserved);

// --- writing ---------------------------------------------------------------------------------

// Writes a produced report as the options ask: into an output directory (whose path goes to
// standard output) or to standard output itself. Exit status. `body_path`, when given, gets the
// path of the body file written into the output directory.
int WriteReport(RepControl* control, const std::string& nice_name, const RunOptions& options,
                Progress* progress, std::string* body_path = nullptr);

}  // namespace krreport
