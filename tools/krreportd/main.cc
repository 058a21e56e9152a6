// krreportd: the "Reports Producer" process of a machine.
//
//   krreportd [--home DIR] [--machine NAME]
//
// Resident. Publishes itself as "Reports Producer" and serves the register-tables task (kind
// 20): table providers hand it the tables they serve and it writes them into reptables.cfg
// (whole-file replace, so a reader never sees it half written). Its giver hears of the end of
// the task (1006) from the runtime. It also serves as the agent that another machine's copy of
// an output directory starts (task kind 17): the copied tree lands under this machine's reports
// output directory. Prints "ready" on standard output once it can be found, and
// ends cleanly on SIGTERM or SIGINT: the endpoint is unpublished before it exits.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>

#include "../common/cli.h"
#include "../common/serve.h"
#include "kr/trace.h"
#include "reports/output.h"
#include "reports/registry.h"
#include "reports/rptplg.h"

namespace {

constexpr const char kTag[] = "KRREPORTD";

// The register-tables task: the library writes the tables into the registry; what the handler
// returns is the task's status, which its giver hears with the task's end (1006).
int RegisterTablesTask(Obj* task, void*) {
  const int ok = RepHandleRegisterTablesTask(task);
  const MsgTask* t = ObjCast<MsgTask>(task);
  TraceMessage(kTag, 1, 0, 2, "Register tables task from %s: %s",
               MsgAddressToText(t != nullptr ? t->giver() : nullptr).c_str(),
               ok ? "done" : "failed");
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"The reports process: keeps the table registry of this machine"};
  std::string home, machine;
  app.add_option("--home", home, "Installation home (default: $KR_HOME)");
  app.add_option("--machine", machine, "This machine's name (default: $KR_MACHINE or host name)");
  krtools::AddVersionFlag(app, "krreportd");
  if (const int rc = krtools::ParseCommandLine(app, argc, argv); rc >= 0) return rc;

  krtools::InstallStopSignals();
  auto context = krtools::MakeProcessContext(kRepReportsProcessName, home, machine);
  std::error_code ec;
  if (!std::filesystem::is_directory(context->home, ec)) {
    std::fprintf(stderr,
                 "krreportd: the installation home '%s' does not exist: set KR_HOME (or give "
                 "--home) to the installation's directory; the package installs it as %s\n",
                 context->home.c_str(), kKrDefaultHome);
    return 1;
  }
  std::unique_ptr<RepAgent> agent;
  if (!ProcRegisterTaskHandler(kRepRegisterTablesTaskKind, &RegisterTablesTask, nullptr) ||
      !RepAgentInstall(&agent, kRepXferAgentKind) || !MsgInit()) {
    std::fprintf(stderr, "krreportd: cannot start messaging under %s: %s\n", context->home.c_str(),
                 MsgStartFailure());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  krtools::ServeUntilSignalled();
  ProcUnregisterTaskHandler(kRepRegisterTablesTaskKind);
  agent.reset();
  ContextSetCurrent(nullptr);
  context.reset();
  return 0;
}
