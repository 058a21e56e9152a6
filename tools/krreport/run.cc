// krreport run: produce a report from a template or from flags, write it, and store it if asked.
#include <unistd.h>

#include <set>

#include "commands.h"
#include "kr/list.h"
#include "kr/time.h"
#include "krreport.h"
#include "reports/classes.h"
#include "reports/control.h"
#include "reports/fetch.h"
#include "reports/produced.h"
#include "reports/rptplg.h"
#include "reports/utilities.h"

namespace krreport {
namespace {

// A stored report's name is its base name and the second it was stored in: a second store of
// the same report within that second would replace the first. So the base name gets a number
// (" 2", " 3", ...) when a report of that base name was stored in the current second.
std::string FreeBaseName(const std::string& nice_name, const List* classes) {
  int64_t now = 0;
  QuorTime(&now);
  std::set<std::string> taken;
  ForEachStoredReport(classes, [&](const std::string&, const RepProducedReportName& decoded) {
    if (decoded.time_of_production() >= now - 1) taken.insert(Text(decoded.base_name()));
  });
  std::string base = nice_name;
  for (int n = 2; taken.count(base) != 0; ++n) base = nice_name + " " + std::to_string(n);
  return base;
}

// The report's records are left in place when krreport is about to end: the process's memory
// goes back whole at exit, while releasing several hundred thousand records one object at a
// time costs about as much as sorting them. The builds that check for leaks (KR_NO_POOL: the
// sanitizer builds) release everything as usual.
void KeepUntilExit(Ref<RepControl> control) {
#ifdef KR_NO_POOL
  control.reset();
#else
  static_cast<void>(control.release());
#endif
}

}  // namespace

// Produces and writes one report. Prints the output directory (or the body, with "-") on
// standard output, errors on standard error. Exit status.
int Run(const RunOptions& o) {
  if (const int rc = CheckMailRequest(o.mail, o.output); rc != kExitOk) return rc;
  Ref<RepParams> params;
  std::string nice_name;
  if (const int rc = BuildParams(&params, &nice_name, o); rc != kExitOk) return rc;
  if (const int rc = PrepareGrouping(params.get(), o.group, true); rc != kExitOk) return rc;

  // A stop request (Ctrl-C, SIGTERM) ends a fetch's wait at once, even while no record arrives.
  RepSetFetchCancelCheck([](void*) { return CancelRequested() ? 1 : 0; }, nullptr);
  if (o.fetch_timeout > 0) RepSetFetchInactivityLimit(o.fetch_timeout);

  Progress progress;
  progress.Configure(o);
  Ref<RepControl> control = RepControlAlloc(params.get());
  if (!control) {
    Error("cannot load class '" + std::string(RepParamsGetClass(params.get())) +
          "' (krreport classes lists them; its table providers must be running: krreport tables "
          "shows which answer)");
    return kExitFailed;
  }
  std::string error_text;
  const int produced =
      RepControlProduceReport(&error_text, control.get(), 1, &OnProgress, &progress);
  progress.Clear();
  if (CancelRequested()) {
    Error("cancelled");
    return kExitCancelled;
  }
  if (!produced) {
    Error(error_text.empty() ? "the report failed" : error_text);
    return kExitFailed;
  }
  if (const int rc = ApplyGrouping(&control, o.group, o.type); rc != kExitOk) return rc;

  std::string body_path;
  if (const int rc = WriteReport(control.get(), nice_name, o, &progress, &body_path);
      rc != kExitOk) {
    return rc;
  }

  if (o.store) {
    Ref<List> classes;
    std::string stored;
    if (RepGetAvailClasses(&classes) != kRepClassOk ||
        !RepSerialiseProducedReport(&stored, FreeBaseName(nice_name, classes.get()).c_str(),
                                    control.get(), classes.get(), 0)) {
      Error("the report was written but could not be stored");
      return kExitFailed;
    }
    std::fprintf(stderr, "krreport: stored as %s\n", stored.c_str());
  }
  std::fflush(stdout);
  const int rc = o.mail.to.empty()
                     ? kExitOk
                     : MailReport(o.mail, control.get(), nice_name, body_path, o.quiet);
  KeepUntilExit(std::move(control));
  return rc;
}

void AddRunCommand(CLI::App& app, CommandAction* action) {
  static RunOptions o;
  auto* run = app.add_subcommand("run", "Produce a report from a template or from flags");
  run->add_option("-t,--template", o.template_name,
                  "Template: a name under the reports directory's templates, or a path");
  AddOptional(run, "-c,--class", &o.class_name, "Class to report on (its nice name)");
  AddOptional(run, "-f,--format", &o.format, "Record format: field references and text, e.g. $'%jobid  %client\\n' (bash's "
              "$'...' makes the \\n a line feed)");
  AddOptional(run, "-i,--include", &o.include, "Include filter: keep matching records");
  AddOptional(run, "-e,--exclude", &o.exclude, "Exclude filter: drop matching records");
  AddOptional(run, "--condition", &o.condition, "Condition filter");
  AddOptional(run, "-s,--sort", &o.sort, "Sort spec, e.g. \"%client %size-\"");
  run->add_option("--type", o.type, "Output type")->check(CLI::IsMember(kTypeChoices));
  run->add_option("--option", o.options, "Output option KEY=VALUE (repeatable)");
  AddOptional(run, "--header", &o.header, "Header directory name (headers/NAME)");
  AddOptional(run, "--footer", &o.footer, "Footer directory name (footers/NAME)");
  run->add_option("-o,--output", o.output,
                  "Output directory name under the reports directory's output, or - for "
                  "standard output (default: a new uniquely named directory)");
  run->add_flag("--html-wrap", o.html_wrap, "Wrap plain text or CSV in an HTML page");
  run->add_flag("--store", o.store, "Also keep the produced report in the store");
  run->add_flag("-q,--quiet", o.quiet, "No progress line");
  run->add_option("--fetch-timeout", o.fetch_timeout,
                  "Give up on a table provider that sends nothing for SECONDS (default: "
                  "FetchInactivityLimit in reports.cfg, else 120)")
      ->check(CLI::PositiveNumber);
  run->add_option("--progress", o.progress,
                  "json: progress as one JSON object per line on standard error "
                  "(doc/programs.md)")
      ->check(CLI::IsMember({"json"}));
  AddMailOptions(run, &o.mail);
  run->add_flag("--replace", o.replace,
                "With -o NAME: replace an existing output directory NAME whole");
  AddGroupOptions(run, &o.group);
  run->callback([action] {
    *action = [] {
      if (o.template_name.empty() && !o.class_name) {
        Error("run needs --template or --class");
        return kExitUsage;
      }
      if (!o.output.empty() && o.output != "-" && o.output.find('/') != std::string::npos) {
        Error("--output takes a directory name, not a path");
        return kExitUsage;
      }
      if (!o.template_name.empty()) {
        if (!ReadGroupTemplateKeys(&o.group, o.template_name)) return kExitFailed;
        if (o.type.empty() && o.group.file_type) o.type = *o.group.file_type;
      }
      return Run(o);
    };
  });
}

}  // namespace krreport
