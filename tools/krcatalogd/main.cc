// krcatalogd: serves the tables of a backup catalog (a SQLite file or a PostgreSQL database) to
// the reports engine.
//
//   krcatalogd generate [--jobs N] [--seed S] [--now T] CATALOG
//   krcatalogd serve --catalog CATALOG [--mapping FILE] [--reports-machine M] [--process NAME]
//                    [--home DIR] [--packets] [--remote] [--remote-machines A,B]
//   krcatalogd --version
//
// CATALOG is a SQLite file, or a PostgreSQL database: postgresql://host/dbname, or a conninfo
// string such as service=NAME (a password comes from ~/.pgpass or PGPASSFILE, never from the
// command line). --mapping names the mapping file that says how the catalog's schema gives the
// served tables (doc/catalogs.md); without it the catalog is the example catalog.
// `generate` writes a deterministic example catalog: the same seed and time give the same file.
// `serve` publishes the process ("Catalog Server" by default), registers its tables (jobs,
// media, clients, devices) with the reports process of the reports machine, prints "ready" and
// answers table requests until SIGTERM or SIGINT. The jobs table is registered and served as a
// serialized-record stream (records cut into blocks as they are read, no acknowledgement per
// hundred), unless --packets asks for record packets.
//
// Requests from other machines are refused unless --remote (or ServeRemote = TRUE in the
// Provider stanza of reports.cfg) says otherwise; --remote-machines (or RemoteMachines) limits
// them to the machines named. Who a requester is comes from the link: with TLS the machine its
// certificate names, without TLS only machines of this host can link at all, which the program
// says at start. Bad arguments exit 2.

#include <strings.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <vector>

#include "../common/cli.h"
#include "../common/serve.h"
#include "catalog.h"
#include "kr/config.h"
#include "kr/text.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "reports/registry.h"
#include "reports/serializedrecords.h"
#include "reports/tablesprovider.h"

namespace {

constexpr const char kTag[] = "KRCATALOG";

// The tables the mapping marks serialized (the example's jobs table, large in any real
// catalog) travel as a serialized-record stream unless --packets is given; the others as record
// packets.
bool g_stream_jobs = true;

bool IsStreamed(const char* table) { return g_stream_jobs && catalog::IsSerialized(table); }

// Which other machines may ask for tables: none (the default), all, or those listed.
struct RemotePolicy {
  bool serve = false;
  std::vector<std::string> machines;  // empty: every machine, when serving

  bool Allows(const char* machine) const {
    if (!serve) return false;
    if (machines.empty()) return true;
    for (const std::string& m : machines)
      if (strcasecmp(m.c_str(), machine) == 0) return true;
    return false;
  }
};
RemotePolicy g_remote;

// The library serves every machine once remote requests are on; a task from a machine the policy
// does not list is handed to it with remote requests off for that task alone, so it is refused
// with the library's own reply and trace.
class RemoteGate {
 public:
  explicit RemoteGate(Obj* task) {
    const MsgTask* t = ObjCast<MsgTask>(task);
    Obj* giver = t != nullptr ? t->giver() : nullptr;
    refuse_ = g_remote.serve && MsgIsLocalMachine(giver) != 1 &&
              !g_remote.Allows(MsgGetMachineName(giver));
    if (refuse_) RepDisableRemoteRequests();
  }
  ~RemoteGate() {
    if (refuse_) RepEnableRemoteRequests();
  }
  RemoteGate(const RemoteGate&) = delete;
  RemoteGate& operator=(const RemoteGate&) = delete;

 private:
  bool refuse_ = false;
};

int GetTableTask(Obj* task, void*) {
  RemoteGate gate(task);
  const MsgTask* t = ObjCast<MsgTask>(task);
  const auto* args = t != nullptr ? ObjCast<RepGetTableArgs>(t->argument()) : nullptr;
  catalog::RequestScope request(args);  // the grabber pushes this request's filter into SQL
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
  RemoteGate gate(task);
  return RepHandleMyGetTableFieldsRequest(catalog::Tables(), task);
}

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

// The policy from the command line, else from reports.cfg (stanza Provider: ServeRemote,
// RemoteMachines).
void ReadRemotePolicy(bool remote_flag, const std::string& machines_flag) {
  g_remote.serve = remote_flag || !machines_flag.empty();
  std::string list = machines_flag;
  if (!g_remote.serve) {
    std::string value;
    if (CfgGetString(&value, "reports.cfg", "Provider", "ServeRemote", "") == 1)
      g_remote.serve = strcasecmp(value.c_str(), "TRUE") == 0 || value == "1" ||
                       strcasecmp(value.c_str(), "yes") == 0;
    if (g_remote.serve) CfgGetString(&list, "reports.cfg", "Provider", "RemoteMachines", "");
  }
  std::istringstream in(list);
  std::string name;
  while (std::getline(in, name, ',')) {
    const size_t b = name.find_first_not_of(" \t");
    const size_t e = name.find_last_not_of(" \t");
    if (b != std::string::npos) g_remote.machines.push_back(name.substr(b, e - b + 1));
  }
}

// Turns remote serving on as the policy says, and tells the administrator what it amounts to.
void StartRemoteServing(const std::string& home) {
  if (!g_remote.serve) return;
  RepEnableRemoteRequests();
  std::string who = "every machine";
  if (!g_remote.machines.empty()) {
    who = "machines ";
    for (size_t i = 0; i < g_remote.machines.size(); ++i)
      who += (i > 0 ? ", " : "") + g_remote.machines[i];
  }
  std::error_code ec;
  if (!std::filesystem::exists(home + "/config/tls", ec)) {
    std::fprintf(stderr,
                 "krcatalogd: note: remote requests are allowed for %s, but links are plain TCP "
                 "(no %s/config/tls), so only machines of this host can reach this process; "
                 "requests from other hosts stay refused. Set up TLS (scripts/make-certs) to "
                 "serve them.\n",
                 who.c_str(), home.c_str());
  }
  TraceMessage(kTag, 2, 0, 2, "Serving requests from other machines: %s", who.c_str());
}

int Serve(const std::string& path, const std::string& mapping, const std::string& process,
          std::string reports_machine, const std::string& home, bool remote,
          const std::string& remote_machines) {
  krtools::InstallStopSignals();
  auto context = krtools::MakeProcessContext(process, home);
  ReadRemotePolicy(remote, remote_machines);
  std::string error;
  if (!catalog::Open(path, mapping, &error)) {
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
  if (!RepRegisterTablesAndWait(TableInfos(process).get(), reports_machine.c_str(), 30)) {
    std::fprintf(stderr,
                 "krcatalogd: cannot register the catalog's tables with \"%s\" on %s (is "
                 "krreportd running there?)\n",
                 kRepReportsProcessName, reports_machine.c_str());
    return 1;
  }
  StartRemoteServing(context->home);
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
  generate
      ->add_option("catalog", gen_path,
                   "The catalog to write: a SQLite file (replaced) or a PostgreSQL database, "
                   "postgresql://... or service=NAME (its catalog tables replaced)")
      ->required();
  // An integer range, not CLI::NonNegativeNumber, whose refusal prints the largest double.
  generate->add_option("--jobs", jobs, "Number of jobs (default 2000)")
      ->check(CLI::Range(int64_t{0}, int64_t{1000000000}));
  generate->add_option("--seed", seed, "Seed of the generator (default 1)");
  generate->add_option("--now", now,
                       "Time the jobs lead up to, seconds since 1970 (default: now, or "
                       "$KR_FIXED_TIME)");

  auto* serve = app.add_subcommand("serve", "Serve the catalog's tables");
  std::string serve_path, process = "Catalog Server", reports_machine, home;
  std::string mapping;
  serve
      ->add_option("--catalog", serve_path,
                   "The catalog: a SQLite file, or a PostgreSQL database (postgresql://... or "
                   "service=NAME)")
      ->required();
  serve->add_option("--mapping", mapping,
                    "Mapping file: how the catalog's schema gives the served tables (default: "
                    "the example catalog's own)");
  serve->add_option("--process", process, "Process name to publish (default \"Catalog Server\")");
  serve->add_option("--reports-machine", reports_machine,
                    "Machine of the reports process (default: this machine)");
  serve->add_option("--home", home, "Installation home (default: $KR_HOME)");
  bool packets = false;
  serve->add_flag("--packets", packets,
                  "Serve the jobs table as record packets too, not as a serialized-record stream");
  bool remote = false;
  std::string remote_machines;
  serve->add_flag("--remote", remote,
                  "Serve requests from other machines too (off by default; needs TLS links "
                  "between hosts)");
  serve->add_option("--remote-machines", remote_machines,
                    "Serve requests only from these other machines, e.g. alpha,beta (implies "
                    "--remote)");
  krtools::AddVersionFlag(app, "krcatalogd");

  if (const int rc = krtools::ParseCommandLine(app, argc, argv); rc >= 0) return rc;
  if (generate->parsed()) return Generate(gen_path, jobs, seed, now);
  g_stream_jobs = !packets;
  return Serve(serve_path, mapping, process, reports_machine, home, remote, remote_machines);
}
