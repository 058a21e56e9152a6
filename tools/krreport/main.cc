// krreport: produce reports from the command line.
//
//   krreport classes                       the classes of the reports directory
//   krreport fields CLASS                  the fields a class offers
//   krreport run [--template T] [--class C] [flags]   produce a report
//   krreport produced [show|reprocess|delete NAME]     the stored reports
//   krreport multi NAME... [--machine M]               stored reports into one output
//   krreport job new --template NAME... [--print]      a new report job record
//   krreport tables                        the table registry and whether each provider answers
//
// Exit status: 0 done, 1 the report failed, 2 bad arguments, 130 interrupted.
//
// Each command family is its own file (commands.h); this file parses the command line, sets up
// the signals and the runtime context, and runs the command named.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "../common/cli.h"
#include "commands.h"
#include "kr/context.h"
#include "kr/trace.h"
#include "krreport.h"

namespace {

// Every command but `job new` works in an installation: say plainly when there is none, rather
// than let the library fail on the reports directory it cannot find.
bool HomeUsable(const std::string& home) {
  std::error_code ec;
  if (!std::filesystem::is_directory(home, ec)) {
    krreport::Error("the installation home '" + home +
                    "' does not exist: set KR_HOME (or give --home) to the installation's "
                    "directory; the package installs it as " + kKrDefaultHome);
    return false;
  }
  const std::string config = home + "/config/configure.cfg";
  if (!std::filesystem::is_regular_file(config, ec)) {
    krreport::Error("'" + config +
                    "' does not exist: it names the reports directory ([Directories] Reports = "
                    "DIRECTORY); is '" + home + "' the installation home?");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Produce reports of the backup system"};
  app.require_subcommand(1);
  std::string home;
  app.add_option("--home", home, "Installation home (default: $KR_HOME)");

  krreport::CommandAction action;
  krreport::AddClassesCommands(app, &action);
  krreport::AddRunCommand(app, &action);
  krreport::AddProducedCommands(app, &action);
  krreport::AddMultiCommand(app, &action);
  krreport::AddJobCommands(app, &action);
  krreport::AddTablesCommand(app, &action);

  // Pasted as they stand they work on an installation whose providers run (a program test runs
  // every line of this text that starts with "krreport ").
  app.footer(
      "Examples:\n"
      "  krreport classes\n"
      "  krreport fields Jobs\n"
      "  krreport run --template weeklyclients\n"
      "  krreport run --class Jobs --include '%status = Failed' --sort '%client %size-' "
      "--format $'%jobid  %client  %size\\n' -o -\n"
      "  krreport run --class 'Jobs of the last 7 days' --type jsonl -o -\n"
      "  krreport tables\n"
      "The filter, sort and format languages: doc/guide.md (krreport(1), GUIDE).");
  krtools::AddVersionFlag(app, "krreport");
  if (const int rc = krtools::ParseCommandLine(app, argc, argv); rc >= 0) return rc;
  if (!action) return krreport::kExitUsage;
  krreport::InstallInterruptHandling();

  // The library's trace is for whoever looks into a problem, not for the terminal: off unless
  // KR_TRACE_FILE names where it goes. Errors a user must see come as messages on stderr.
  setenv("KR_TRACE_FILE", "none", 0);

  // Each run is its own process of the domain, so two front ends never share a published name.
  ContextOptions options;
  options.home = home;
  options.process_name = "krreport " + std::to_string(getpid());
  std::unique_ptr<KrContext> context = ContextCreate(options);
  ContextSetCurrent(context.get());
  const bool needs_home = app.get_subcommands().front()->get_name() != "job";
  int rc = krreport::kExitFailed;
  if (!needs_home || HomeUsable(context->home)) {
    TraceFailureCapture capture;  // the cause printed beneath an error
    krreport::SetFailureCapture(&capture);
    rc = action();
    // Whatever failed after an interrupt failed because of it.
    if (rc != krreport::kExitOk && krreport::CancelRequested()) rc = krreport::kExitCancelled;
    krreport::SetFailureCapture(nullptr);
  }
  ContextSetCurrent(nullptr);
  context.reset();
  return rc;
}
