// What the command-line front end's commands share: exit statuses, error printing, building a
// report's parameters from the command line, progress and cancelling, and writing a produced
// report. Each command family lives in its own file (commands.h lists them).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "kr/object.h"
#include "kr/trace.h"
#include "reports/control.h"
#include "reports/outputtypes.h"
#include "reports/params.h"

namespace krreport {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;       // the report (or listing) failed
inline constexpr int kExitUsage = 2;        // bad arguments
inline constexpr int kExitCancelled = 130;  // interrupted (Ctrl-C)

// Prints "krreport: TEXT" on standard error, and beneath it, indented, the cause: the failure
// lines the library traced since the last error (see SetFailureCapture).
void Error(const std::string& text);

// Where Error finds the cause; main installs one capture around the command (null: none).
void SetFailureCapture(TraceFailureCapture* capture);

// A null text as an empty one.
inline const char* Text(const char* s) { return s != nullptr ? s : ""; }

// --- output types and parameters -------------------------------------------------------------

// Output types by their command-line names: text, html and csv are the library's writers;
// jsonl is the front end's own (jsonl.h).
struct OutputTypeName {
  const char* name;
  int id;  // the library's output type; jsonl produces as CSV and writes its own body
};
inline constexpr OutputTypeName kOutputTypes[] = {{"text", kRepOutputPlainText},
                                                  {"html", kRepOutputHtmlText},
                                                  {"csv", kRepOutputCsv},
                                                  {"jsonl", kRepOutputCsv}};

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
};

// Sets the output type with every option at its default, as a template does; a template's
// options for its own type stay as it set them.
bool SetOutputType(RepParams* params, int id);

// The report's parameters from a template and the flags. kExitOk, or the exit status of the
// failure: a bad option is a usage error, a template that cannot be read a failed report.
int BuildParams(Ref<RepParams>* out, std::string* nice_name, const RunOptions& options);

// A time of production as local "YYYY-MM-DD HH:MM:SS".
std::string TimeText(int32_t t);

// --- progress and cancelling -----------------------------------------------------------------

// Called from the signal handler: the report in progress is cancelled at its next progress call.
void RequestCancel();
bool CancelRequested();

// The progress line on a terminal's standard error. The library calls back every fixed number
// of records; the callback does not say which stage it comes from, so the stage is read from the
// control: no table yet means still fetching.
struct Progress {
  enum Stage { kProduce, kWrite } stage = kProduce;
  const RepControl* control = nullptr;
  bool show = false;
  uint64_t fetch_calls = 0;
  uint64_t calls_after_fetch = 0;
  uint64_t write_calls = 0;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_shown{};
  bool shown = false;

  void Show();
  void Clear();
};

// The progress callback for Progress; also where a Ctrl-C takes effect: the fetch in progress
// tells its provider to stop.
int OnProgress(void* argument, int reserved);

// --- writing ---------------------------------------------------------------------------------

// Writes a produced report as the options ask: into an output directory (whose path goes to
// standard output) or to standard output itself. Exit status.
int WriteReport(RepControl* control, const std::string& nice_name, const RunOptions& options,
                Progress* progress);

}  // namespace krreport
