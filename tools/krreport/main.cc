// krreport: produce reports from the command line.
//
//   krreport classes                       the classes of the reports directory
//   krreport fields CLASS                  the fields a class offers
//   krreport run [--template T] [--class C] [flags]   produce a report
//   krreport produced [show|reprocess|delete NAME]     the stored reports
//   krreport multi NAME... [--machine M]               stored reports into one output
//   krreport job new --template NAME... [--print]      a new report job record
//
// Exit status: 0 done, 1 the report failed, 2 bad arguments, 130 interrupted.

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "front.h"
#include "kr/context.h"

namespace {

void OnInterrupt(int) { krreport::RequestCancel(); }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Produce reports of the backup system"};
  app.require_subcommand(1);
  std::string home;
  app.add_option("--home", home, "Installation home (default: $KR_HOME)");

  auto* classes = app.add_subcommand("classes", "List the classes (nice name, file name)");

  auto* fields =
      app.add_subcommand("fields", "List the fields of a class (name, type, description)");
  std::string fields_class;
  fields->add_option("class", fields_class, "The class, by its nice name")->required();

  auto* run = app.add_subcommand("run", "Produce a report from a template or from flags");
  krreport::RunOptions o;
  std::string class_name, format, include, exclude, condition, sort, header, footer;
  run->add_option("-t,--template", o.template_name,
                  "Template: a name under the reports directory's templates, or a path");
  auto* c = run->add_option("-c,--class", class_name, "Class to report on (its nice name)");
  auto* f = run->add_option("-f,--format", format, "Record format, e.g. \"%jobid %client%\\n\"");
  auto* i = run->add_option("-i,--include", include, "Include filter: keep matching records");
  auto* e = run->add_option("-e,--exclude", exclude, "Exclude filter: drop matching records");
  auto* cd = run->add_option("--condition", condition, "Condition filter");
  auto* s = run->add_option("-s,--sort", sort, "Sort spec, e.g. \"%client %size-\"");
  run->add_option("--type", o.type, "Output type")
      ->check(CLI::IsMember({"text", "html", "csv", "jsonl"}));
  run->add_option("--option", o.options, "Output option KEY=VALUE (repeatable)");
  auto* h = run->add_option("--header", header, "Header directory name (headers/NAME)");
  auto* ft = run->add_option("--footer", footer, "Footer directory name (footers/NAME)");
  run->add_option("-o,--output", o.output,
                  "Output directory name under the reports directory's output, or - for "
                  "standard output (default: a new uniquely named directory)");
  run->add_flag("--html-wrap", o.html_wrap, "Wrap plain text or CSV in an HTML page");
  run->add_flag("--store", o.store, "Also keep the produced report in the store");
  run->add_flag("-q,--quiet", o.quiet, "No progress line");

  auto* produced = app.add_subcommand("produced", "List the stored reports, or work on one");
  produced->require_subcommand(0, 1);
  std::string produced_name;
  auto* show = produced->add_subcommand("show", "Print a stored report's parameters and counts");
  show->add_option("name", produced_name, "The stored report's name")->required();
  auto* reprocess = produced->add_subcommand(
      "reprocess", "Filter and sort a stored report anew and write it, without fetching again");
  reprocess->add_option("name", produced_name, "The stored report's name")->required();
  krreport::RunOptions ro;
  std::string r_include, r_exclude, r_condition, r_sort;
  auto* ri = reprocess->add_option("-i,--include", r_include, "New include filter");
  auto* re = reprocess->add_option("-e,--exclude", r_exclude, "New exclude filter");
  auto* rc_ = reprocess->add_option("--condition", r_condition, "New condition filter");
  auto* rs = reprocess->add_option("-s,--sort", r_sort, "New sort spec");
  reprocess->add_option("--type", ro.type, "New output type")
      ->check(CLI::IsMember({"text", "html", "csv", "jsonl"}));
  reprocess->add_option("-o,--output", ro.output,
                        "Output directory name under the reports directory's output, or - for "
                        "standard output (default: a new uniquely named directory)");
  reprocess->add_flag("-q,--quiet", ro.quiet, "No progress line");
  auto* del = produced->add_subcommand("delete", "Delete a stored report");
  del->add_option("name", produced_name, "The stored report's name")->required();

  auto* multi = app.add_subcommand("multi", "Write several stored reports into one output");
  std::vector<std::string> multi_names;
  std::string machine, m_header, m_footer;
  bool m_quiet = false;
  multi->add_option("names", multi_names, "The stored reports' names, in output order")->required();
  multi->add_option("-m,--machine", machine, "Copy the output to this machine's reports output");
  auto* mh = multi->add_option("--header", m_header, "Header directory name (headers/NAME)");
  auto* mf = multi->add_option("--footer", m_footer, "Footer directory name (footers/NAME)");
  multi->add_flag("-q,--quiet", m_quiet, "No notes on standard error");

  auto* job = app.add_subcommand("job", "Report jobs");
  job->require_subcommand(1);
  auto* job_new = job->add_subcommand("new", "Write a new report job record and its components");
  krreport::JobOptions jo;
  job_new->add_option("-t,--template", jo.templates, "A template of the job (repeatable)")
      ->required();
  job_new->add_option("--title", jo.title, "The job's title");
  job_new->add_option("--kind", jo.report_kind, "The report kind (default 1)");
  job_new->add_option("-o,--output", jo.directory,
                      "Directory for the files \"job\" and \"components\" (default: .)");
  job_new->add_flag("--print", jo.print, "Also print the record and the components readably");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int rc = app.exit(error);
    return rc == 0 ? krreport::kExitOk : krreport::kExitUsage;
  }
  if (run->parsed() && o.template_name.empty() && c->count() == 0) {
    std::fprintf(stderr, "krreport: run needs --template or --class\n");
    return krreport::kExitUsage;
  }
  if ((!o.output.empty() && o.output != "-" && o.output.find('/') != std::string::npos) ||
      (!ro.output.empty() && ro.output != "-" && ro.output.find('/') != std::string::npos)) {
    std::fprintf(stderr, "krreport: --output takes a directory name, not a path\n");
    return krreport::kExitUsage;
  }
  auto set = [](std::optional<std::string>* to, CLI::Option* opt, const std::string& value) {
    if (opt->count() > 0) *to = value;
  };
  set(&o.class_name, c, class_name);
  set(&o.format, f, format);
  set(&o.include, i, include);
  set(&o.exclude, e, exclude);
  set(&o.condition, cd, condition);
  set(&o.sort, s, sort);
  set(&o.header, h, header);
  set(&o.footer, ft, footer);
  set(&ro.include, ri, r_include);
  set(&ro.exclude, re, r_exclude);
  set(&ro.condition, rc_, r_condition);
  set(&ro.sort, rs, r_sort);
  std::optional<std::string> multi_header, multi_footer;
  set(&multi_header, mh, m_header);
  set(&multi_footer, mf, m_footer);

  struct sigaction action = {};
  action.sa_handler = &OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The library's trace is for whoever looks into a problem, not for the terminal: off unless
  // KR_TRACE_FILE names where it goes. Errors a user must see come as messages on stderr.
  setenv("KR_TRACE_FILE", "none", 0);

  // Each run is its own process of the domain, so two front ends never share a published name.
  ContextOptions options;
  options.home = home;
  options.process_name = "krreport " + std::to_string(getpid());
  std::unique_ptr<KrContext> context = ContextCreate(options);
  ContextSetCurrent(context.get());

  int rc;
  if (classes->parsed()) {
    rc = krreport::ListClasses(stdout);
  } else if (fields->parsed()) {
    rc = krreport::ListFields(stdout, fields_class);
  } else if (show->parsed()) {
    rc = krreport::ShowProduced(stdout, produced_name);
  } else if (reprocess->parsed()) {
    rc = krreport::ReprocessProduced(produced_name, ro);
  } else if (del->parsed()) {
    rc = krreport::DeleteProduced(produced_name);
  } else if (produced->parsed()) {
    rc = krreport::ListProduced(stdout);
  } else if (multi->parsed()) {
    rc = krreport::MultiOutput(multi_names, machine, multi_header, multi_footer, m_quiet);
  } else if (job_new->parsed()) {
    rc = krreport::NewJob(jo);
  } else {
    rc = krreport::Run(o);
  }
  ContextSetCurrent(nullptr);
  context.reset();
  return rc;
}
