// krreport tables: the table registry (table, process, machine) and whether each provider
// answers, so an administrator sees which provider a failing report waits for.
#include "commands.h"
#include "kr/context.h"
#include "kr/list.h"
#include "krreport.h"
#include "reports/fetch.h"
#include "reports/registry.h"

namespace krreport {
namespace {

// How long a provider may take to answer the probe: long enough for a busy provider, short
// enough that a listing of many silent ones stays quick.
constexpr double kProbeSeconds = 3.0;

int ListTables(std::FILE* out) {
  Ref<List> tables;
  if (RepGetTableList(&tables) != kRepOk) {
    Error("cannot read the table registry (config/reptables.cfg of the installation home)");
    return kExitFailed;
  }
  if (tables->size() == 0) {
    Error("no table is registered: start the table providers (krcatalogd serve) after krreportd");
    return kExitFailed;
  }
  // The fields request waits kRepGetTableFieldsSeconds (scaled); scale it down to the probe's.
  KrContext* context = ContextCurrent();
  const double scale = context->timeout_scale;
  context->timeout_scale = scale * kProbeSeconds / kRepGetTableFieldsSeconds;
  int answering = 0;
  std::fprintf(out, "%-20s %-24s %-16s %s\n", "TABLE", "PROCESS", "MACHINE", "STATE");
  for (Obj* item : *tables) {
    auto* info = ObjCast<RepTableInfo>(item);
    if (info == nullptr) continue;
    TraceFailureCapture capture;  // the probe's failures are the state, not an error
    Ref<RepFieldList> fields;
    const bool answers =
        RepGetTableFieldsFromProc(&fields, info->table_name(), info->process_name(),
                                  info->machine_name()) == kRepFetchOk;
    std::string state = "answers";
    if (!answers) {
      const std::vector<std::string> causes = capture.Take();
      state = "does not answer";
      if (!causes.empty()) state += ": " + causes.front();
    }
    answering += answers ? 1 : 0;
    std::fprintf(out, "%-20s %-24s %-16s %s\n", StrOrEmpty(info->table_name()),
                 StrOrEmpty(info->process_name()), StrOrEmpty(info->machine_name()), state.c_str());
  }
  context->timeout_scale = scale;
  std::fflush(out);
  return answering == static_cast<int>(tables->size()) ? kExitOk : kExitFailed;
}

}  // namespace

void AddTablesCommand(CLI::App& app, CommandAction* action) {
  auto* tables = app.add_subcommand(
      "tables", "List the registered tables (table, process, machine) and whether each "
                "provider answers (exit 1 when one does not)");
  tables->callback([action] { *action = [] { return ListTables(stdout); }; });
}

}  // namespace krreport
