// krcatalogd: serves the tables of a backup catalog (a SQLite database) to the reports engine.
//
//   krcatalogd generate [--jobs N] [--seed S] [--now T] CATALOG
//   krcatalogd serve --catalog CATALOG [--reports-machine M] [--process NAME] [--home DIR]
//                    [--packets]
//
// `generate` writes a deterministic example catalog: the same seed and time give the same file.
// `serve` publishes the process ("Catalog Server" by default), registers its tables (jobs,
// media, clients, devices) with the reports process of the reports machine, prints "ready" and
// answers table requests until SIGTERM or SIGINT. The jobs table is registered and served as a
// serialized-record stream (records cut into blocks as they are read, no acknowledgement per
// hundred), unless --packets asks for record packets.

#include <CLI/CLI.hpp>
#include <cstdio>

#include "../common/serve.h"
#include "catalog.h"
#include "kr/text.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "reports/registry.h"
#include "reports/serializedrecords.h"
#include "reports/tablesprovider.h"

namespace {

constexpr const char kTag[] = "KRCATALOG";

// The jobs table, large in any real catalog, travels as a serialized-record stream unless
// --packets is given; the others as record packets.
bool g_stream_jobs = true;

bool IsStreamed(const char* table) {
  return g_stream_jobs && table != nullptr && StrCompareNoCase(table, "jobs") == 0;
}

int GetTableTask(Obj* task, void*) {
  const MsgTask* t = ObjCast<MsgTask>(task);
  const auto* args = t != nullptr ? ObjCast<RepGetTableArgs>(t->argument()) : nullptr;
  if (args != nullptr && IsStreamed(args->table_name())) {
    return RepHandleMyGetTableRequestBySRecords(catalog::Tables(), task, kRepSRecordsNoIndex);
  }
  return RepHandleMyGetTableRequest(catalog::Tables(), task, 0, 0);
}

// Every table as served by this process on this machine, as RepRegisterMyTables would register
// it, but with the streamed table marked so.
Ref<List> TableInfos(const std::string& process) {
  Ref<List> infos = ListNewFromPool();
  for (const RepProvidedTableDesc* d = catalog::Tables(); d->name != nullptr; ++d) {
    Ref<RepTableInfo> info = RepTableInfo::New();
    info->set_table_name(d->name);
    info->set_process_name(process.c_str());
    info->set_machine_name(SysLocalMachineName());
    info->set_serialized_records(IsStreamed(d->name));
    ListPushLastItemInternal(infos.get(), std::move(info));
  }
  return infos;
}

int GetTableFieldsTask(Obj* task, void*) {
  return RepHandleMyGetTableFieldsRequest(catalog::Tables(), task);
}

// Registration returns once the reports process has accepted the task; the registry is written
// when the task ends (1006). Installed before the library's own handler, this one sees the
// message first and leaves it to it.
struct RegistrationEnd {
  bool ended = false;
  int32_t status = 0;
};

int OnTaskEnded(Obj* message, void* cookie) {
  auto* end = static_cast<RegistrationEnd*>(cookie);
  Ref<Obj> object;
  if (MsgGetObjectInternal(&object, message, MsgTaskEnd::kTypeCode)) {
    end->ended = true;
    end->status = ObjCast<MsgTaskEnd>(object.get())->status();
  }
  return 1;
}

int RegistrationEnded(void* cookie) { return static_cast<RegistrationEnd*>(cookie)->ended ? 1 : 0; }

int Generate(const std::string& path, int64_t jobs, uint64_t seed, int64_t now) {
  catalog::GenerateOptions options;
  options.jobs = jobs;
  options.seed = seed;
  options.now = now != 0 ? now : TimeNow();
  std::string error;
  if (!catalog::Generate(path, options, &error)) {
    std::fprintf(stderr, "krcatalogd: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int Serve(const std::string& path, const std::string& process, std::string reports_machine,
          const std::string& home) {
  krtools::InstallStopSignals();
  auto context = krtools::MakeProcessContext(process, home);
  std::string error;
  if (!catalog::Open(path, &error)) {
    std::fprintf(stderr, "krcatalogd: %s\n", error.c_str());
    return 1;
  }
  if (reports_machine.empty()) reports_machine = SysLocalMachineName();
  if (!ProcRegisterTaskHandler(kRepGetTableTaskKind, &GetTableTask, nullptr) ||
      !ProcRegisterTaskHandler(kRepGetTableFieldsTaskKind, &GetTableFieldsTask, nullptr) ||
      !MsgInit()) {
    std::fprintf(stderr, "krcatalogd: cannot start messaging under %s: %s\n",
                 context->home.c_str(), MsgStartFailure());
    return 1;
  }
  RegistrationEnd end;
  MsgWaitAddHandler(kMsgTaskEnded, &OnTaskEnded, &end);
  bool registered =
      RepRegisterTablesFromInfos(TableInfos(process).get(), reports_machine.c_str()) == 1;
  if (registered) {
    Ref<Obj> timeout;
    TimeCreateAndSetTimeout(&timeout, 30, 0);
    registered = MsgWaitOnCallbackWithTimeout(&RegistrationEnded, &end, timeout.get()) == 1 &&
                 end.status == 1;
  }
  MsgWaitRemoveHandler(kMsgTaskEnded, &OnTaskEnded, &end);
  if (!registered) {
    std::fprintf(stderr,
                 "krcatalogd: cannot register the catalog's tables with \"%s\" on %s (is "
                 "krreportd running?)\n",
                 kRepReportsProcessName, reports_machine.c_str());
    return 1;
  }
  TraceMessage(kTag, 1, 0, 2, "Serving catalog '%s' as '%s'", path.c_str(), process.c_str());
  std::printf("ready\n");
  std::fflush(stdout);
  krtools::ServeUntilSignalled();
  ProcUnregisterTaskHandler(kRepGetTableTaskKind);
  ProcUnregisterTaskHandler(kRepGetTableFieldsTaskKind);
  catalog::Close();
  ContextSetCurrent(nullptr);
  context.reset();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Serves the tables of a backup catalog to the reports engine"};
  app.require_subcommand(1);

  auto* generate = app.add_subcommand("generate", "Write an example catalog");
  std::string gen_path;
  int64_t jobs = 2000;
  uint64_t seed = 1;
  int64_t now = 0;
  generate->add_option("catalog", gen_path, "The catalog file to write (replaced)")->required();
  generate->add_option("--jobs", jobs, "Number of jobs (default 2000)")
      ->check(CLI::NonNegativeNumber);
  generate->add_option("--seed", seed, "Seed of the generator (default 1)");
  generate->add_option("--now", now,
                       "Time the jobs lead up to, seconds since 1970 (default: now, or "
                       "$KR_FIXED_TIME)");

  auto* serve = app.add_subcommand("serve", "Serve the catalog's tables");
  std::string serve_path, process = "Catalog Server", reports_machine, home;
  serve->add_option("--catalog", serve_path, "The catalog file")->required();
  serve->add_option("--process", process, "Process name to publish (default \"Catalog Server\")");
  serve->add_option("--reports-machine", reports_machine,
                    "Machine of the reports process (default: this machine)");
  serve->add_option("--home", home, "Installation home (default: $KR_HOME)");
  bool packets = false;
  serve->add_flag("--packets", packets,
                  "Serve the jobs table as record packets too, not as a serialized-record stream");

  CLI11_PARSE(app, argc, argv);
  if (generate->parsed()) return Generate(gen_path, jobs, seed, now);
  g_stream_jobs = !packets;
  return Serve(serve_path, process, reports_machine, home);
}
