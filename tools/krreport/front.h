// The command-line front end's work, apart from argument parsing (main.cc): listing classes and
// their fields, and producing a report from a template or from flags.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace krreport {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;       // the report (or listing) failed
inline constexpr int kExitUsage = 2;        // bad arguments
inline constexpr int kExitCancelled = 130;  // interrupted (Ctrl-C)

// Output types by their command-line names: text, html and csv are the library's writers;
// jsonl is the front end's own (jsonl.h).
struct OutputTypeName {
  const char* name;
  int id;  // the library's output type; jsonl produces as CSV and writes its own body
};
inline constexpr OutputTypeName kOutputTypes[] = {
    {"text", 0}, {"html", 1}, {"csv", 2}, {"jsonl", 2}};

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
};

// Prints every class: nice name and file name. Exit status.
int ListClasses(std::FILE* out);

// Prints the fields a class offers: name, type and description. Exit status.
int ListFields(std::FILE* out, const std::string& class_name);

// Produces and writes one report. Prints the output directory (or the body, with "-") on
// standard output, errors on standard error. Exit status.
int Run(const RunOptions& options);

// The produced-report store: every stored report (name, time of production, output type, class),
// one stored report's parameters and record counts, a stored report re-processed with the new
// filters, sort and type of `options` and written as Run writes, and a stored report deleted.
// A name that is no stored report fails (exit 1).
int ListProduced(std::FILE* out);
int ShowProduced(std::FILE* out, const std::string& name);
int ReprocessProduced(const std::string& name, const RunOptions& options);
int DeleteProduced(const std::string& name);

// Writes the stored reports `names`, in order, into one new output directory, on `machine`
// (empty: this one; another machine gets a copy and the local directory goes). Prints the
// directory (machine:name for another machine). Exit status.
int MultiOutput(const std::vector<std::string>& names, const std::string& machine,
                const std::optional<std::string>& header, const std::optional<std::string>& footer,
                bool quiet);

struct JobOptions {
  std::vector<std::string> templates;
  std::string title;
  int report_kind = 1;
  std::string directory = ".";  // where the files "job" and "components" go
  bool print = false;
};

// Writes a new report job record and its component list (one component per template) as two
// files; with `print` also prints both, slot by slot. Exit status.
int NewJob(const JobOptions& options);

// Called from the SIGINT handler: the report in progress is cancelled at its next progress call.
void RequestCancel();

}  // namespace krreport
