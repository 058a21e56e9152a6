// krtestprovider: a table provider process serving generated tables, for tests and demos.
//
// Serving (the default):
//
//   krtestprovider --home HOME --machine M --process "Test Provider" --jobs 250 --clients 5
//                  [--register REPORTS_MACHINE] [--remote] [--record-delay-us N] [--srecords]
//
// serves two tables through the library's table provider, their records made by data grabbers
// on the fly (nothing is held in memory):
//
//   testjobs     id (integer, primary index), name (string), client (string), size (int64),
//                status (integer), started (systime)
//                record i (1..jobs): name "job%05d", client "client%02d" of (i-1) % clients,
//                size (i * 7919) % 100000, status i % 4, started 1700000000 + 60 * i
//   testclients  client (string, primary index), os (string), capacity (integer)
//                record j (0..clients-1): client "client%02d", os linux/windows/macos by j % 3,
//                capacity 100 * (j + 1)
//
// With --srecords, testjobs is registered (and served) as a serialized-record stream, indexed
// by id.
//
// A restriction on testjobs.id narrows the records the grabber makes, as a real provider's
// database query would. With --register it first registers both tables with the reports
// process on REPORTS_MACHINE (a register-tables task). --remote serves requests from other
// machines too (refused by default). --record-delay-us slows the grabber, so that a test can
// stop the process in the middle of a transfer.
//
// Standing in for the reports process:
//
//   krtestprovider --home HOME --machine M --reports-producer
//
// runs as "Reports Producer" and serves only the register-tables task (kind 20), writing
// HOME/config/reptables.cfg.
//
// Either way the program prints "ready" on standard output once other processes can find it,
// then serves until SIGTERM or SIGINT, or until its parent process goes away. Traces follow
// KR_TRACE_LEVEL and KR_TRACE_FILE.

#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "kr/context.h"
#include "kr/message.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/fields.h"
#include "reports/registry.h"
#include "reports/reports.h"
#include "reports/restrictions.h"
#include "reports/tablesprovider.h"

namespace {

constexpr const char* kTag = "KRTESTPROV";

struct Options {
  int64_t jobs = 250;
  int64_t clients = 5;
  int64_t record_delay_us = 0;
};
Options g_options;

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

// The grabber's context: the next record number, one past the last, and for each record field
// the column of the generated row it takes (-1 for none).
struct GrabContext : ObjView<GrabContext> {
  static constexpr uint32_t kTypeCode = 0x4b525401;
  static constexpr const char kSpec[] = "l;l;o;";
  static constexpr const char kName[] = "KrTestProviderGrabContext";

  int64_t next() const noexcept { return cells()[0].i; }
  int64_t end() const noexcept { return cells()[1].i; }
  void set_next(int64_t v) noexcept { cells()[0].i = v; }
  void set_end(int64_t v) noexcept { cells()[1].i = v; }
  List* columns() const noexcept { return ObjCast<List>(ObjSlot<3>()); }
  void set_columns(Ref<List> v) noexcept { SetObjSlot<3>(std::move(v)); }
};

struct Column {
  const char* name;
  int32_t type;
  int32_t characters;
};

constexpr Column kJobColumns[] = {
    {"id", kRepTypeInteger, 6}, {"name", kRepTypeString, 10},   {"client", kRepTypeString, 10},
    {"size", kRepTypeInt64, 8}, {"status", kRepTypeInteger, 2}, {"started", kRepTypeSysTime, 19},
};
constexpr Column kClientColumns[] = {
    {"client", kRepTypeString, 10},
    {"os", kRepTypeString, 8},
    {"capacity", kRepTypeInteger, 6},
};
constexpr const char* kOperatingSystems[] = {"linux", "windows", "macos"};

template <size_t N>
int MakeFields(Ref<RepFieldList>* fields, const Column (&columns)[N]) {
  Ref<List> list = ListNewWithCapacity(N);
  for (size_t i = 0; i < N; ++i) {
    Ref<RepFieldDef> f = RepNewFieldDef(columns[i].name, columns[i].type, columns[i].characters);
    if (!f) return kRepFailed;
    f->set_nice_name(columns[i].name);
    f->set_primary_index(i == 0);
    ListPushLastItemInternal(list.get(), std::move(f));
  }
  *fields = std::move(list);
  return kRepGrabOk;
}

template <size_t N>
Ref<List> ColumnMap(const RepFieldList* fields, const Column (&columns)[N]) {
  Ref<List> map = ListNewWithCapacity(fields != nullptr ? fields->size() : 0);
  if (fields == nullptr) return map;
  for (const Obj* f : *fields) {
    int32_t column = -1;
    const char* name = ObjGetSlotString(f, 1);
    for (size_t i = 0; i < N && name != nullptr; ++i)
      if (strcasecmp(columns[i].name, name) == 0) column = static_cast<int32_t>(i);
    ListPushLastItemInternal(map.get(), ObjNewInteger(column));
  }
  return map;
}

void Delay() {
  if (g_options.record_delay_us > 0)
    std::this_thread::sleep_for(std::chrono::microseconds(g_options.record_delay_us));
}

// Sets the value at `index` of the record.
void SetValue(RepRecord* record, size_t index, Ref<Obj> value) {
  RepFieldValue* v = record->value_at(index);
  if (v == nullptr) return;
  v->set_state(kRepStateNormal);
  v->set_value(std::move(value));
}

std::string Numbered(const char* prefix, int64_t n, int width) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s%0*lld", prefix, width, static_cast<long long>(n));
  return buf;
}

// --- testjobs ---

int JobsFields(Ref<RepFieldList>* fields) { return MakeFields(fields, kJobColumns); }

int JobsInit(Ref<Obj>* context, RepGrabberInitArgs* args) {
  Ref<GrabContext> c = GrabContext::New();
  int64_t first = 1, last = g_options.jobs;
  Ref<RepSqlRestriction> r;
  if (RepFindFieldRestriction(&r, "id", args->restrictions()) == kRepOk) {
    // Bounds were converted for the provider's own integer field.
    if (ObjCast<ObjInteger>(r->lower()) != nullptr)
      first = std::max<int64_t>(first, ObjGetInteger(r->lower()));
    if (ObjCast<ObjInteger>(r->upper()) != nullptr)
      last = std::min<int64_t>(last, ObjGetInteger(r->upper()));
  }
  c->set_next(first);
  c->set_end(last + 1);
  c->set_columns(ColumnMap(args->fields(), kJobColumns));
  *context = std::move(c);
  TraceMessage(kTag, 1, 0, 2, "testjobs grabber started: records %lld to %lld",
               static_cast<long long>(first), static_cast<long long>(last));
  return kRepGrabOk;
}

int JobsGetRecord(RepRecord* record, Obj* context, RepGrabberInitArgs*) {
  GrabContext* c = ObjCast<GrabContext>(context);
  if (c == nullptr) return kRepFailed;
  if (c->next() >= c->end()) return kRepGrabNoMore;
  Delay();
  const int64_t i = c->next();
  c->set_next(i + 1);
  const List* columns = c->columns();
  for (size_t k = 0; k < columns->size(); ++k) {
    switch (ObjGetInteger(columns->at(k))) {
      case 0:
        SetValue(record, k, ObjNewInteger(static_cast<int32_t>(i)));
        break;
      case 1:
        SetValue(record, k, ObjNewString(Numbered("job", i, 5).c_str()));
        break;
      case 2:
        SetValue(
            record, k,
            ObjNewString(
                Numbered("client", (i - 1) % std::max<int64_t>(1, g_options.clients), 2).c_str()));
        break;
      case 3:
        SetValue(record, k, ObjNewInt64((i * 7919) % 100000));
        break;
      case 4:
        SetValue(record, k, ObjNewInteger(static_cast<int32_t>(i % 4)));
        break;
      case 5:
        SetValue(record, k, ObjNewInteger(static_cast<int32_t>(1700000000 + 60 * i)));
        break;
      default:
        break;
    }
  }
  return kRepGrabRecord;
}

int Finish(Ref<Obj>* context, RepGrabberInitArgs*) {
  context->reset();
  return kRepGrabOk;
}

// --- testclients ---

int ClientsFields(Ref<RepFieldList>* fields) { return MakeFields(fields, kClientColumns); }

int ClientsInit(Ref<Obj>* context, RepGrabberInitArgs* args) {
  Ref<GrabContext> c = GrabContext::New();
  c->set_next(0);
  c->set_end(g_options.clients);
  c->set_columns(ColumnMap(args->fields(), kClientColumns));
  *context = std::move(c);
  return kRepGrabOk;
}

int ClientsGetRecord(RepRecord* record, Obj* context, RepGrabberInitArgs*) {
  GrabContext* c = ObjCast<GrabContext>(context);
  if (c == nullptr) return kRepFailed;
  if (c->next() >= c->end()) return kRepGrabNoMore;
  Delay();
  const int64_t j = c->next();
  c->set_next(j + 1);
  const List* columns = c->columns();
  for (size_t k = 0; k < columns->size(); ++k) {
    switch (ObjGetInteger(columns->at(k))) {
      case 0:
        SetValue(record, k, ObjNewString(Numbered("client", j, 2).c_str()));
        break;
      case 1:
        SetValue(record, k, ObjNewString(kOperatingSystems[j % 3]));
        break;
      case 2:
        SetValue(record, k, ObjNewInteger(static_cast<int32_t>(100 * (j + 1))));
        break;
      default:
        break;
    }
  }
  return kRepGrabRecord;
}

const RepProvidedTableDesc kTables[] = {
    {"testjobs", nullptr, nullptr, &JobsInit, &JobsGetRecord, &Finish, &JobsFields},
    {"testclients", nullptr, nullptr, &ClientsInit, &ClientsGetRecord, &Finish, &ClientsFields},
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

// With --srecords, testjobs is served as a serialized-record stream indexed by its id.
bool g_srecords = false;

int GetTableTask(Obj* task, void*) {
  const MsgTask* t = ObjCast<MsgTask>(task);
  const RepGetTableArgs* args = t != nullptr ? ObjCast<RepGetTableArgs>(t->argument()) : nullptr;
  if (g_srecords && args != nullptr && args->table_name() != nullptr &&
      strcasecmp(args->table_name(), "testjobs") == 0)
    return RepHandleMyGetTableRequestBySRecords(kTables, task, kRepTypeInteger);
  return RepHandleMyGetTableRequest(kTables, task, 0, 0);
}
int GetTableFieldsTask(Obj* task, void*) {
  RepHandleMyGetTableFieldsRequest(kTables, task);
  return 1;
}
int RegisterTablesTask(Obj* task, void*) { return RepHandleRegisterTablesTask(task); }

pid_t g_parent = 0;

// Registers the tables and waits until the reports process has written the registry. With
// --srecords, testjobs is registered as an indexed serialized-record stream.
bool RegisterTables(const char* process, const char* reports_machine) {
  Ref<List> infos = ListNewFromPool();
  for (const RepProvidedTableDesc* d = kTables; d->name != nullptr; ++d) {
    Ref<RepTableInfo> info = RepTableInfo::New();
    info->set_table_name(StrToLowerCopy(d->name).c_str());
    info->set_process_name(process);
    info->set_machine_name(SysLocalMachineName());
    const bool stream = g_srecords && strcasecmp(d->name, "testjobs") == 0;
    info->set_serialized_records(stream);
    info->set_indexed(stream);
    info->set_index_type(stream ? kRepTypeInteger : 0);
    ListPushLastItemInternal(infos.get(), std::move(info));
  }
  return RepRegisterTablesAndWait(infos.get(), reports_machine, 30) == kRepOk;
}

int StopWanted(void*) { return (g_stop != 0 || getppid() != g_parent) ? 1 : 0; }

void Serve() {
  while (StopWanted(nullptr) == 0) {
    Ref<Obj> timeout;
    TimeCreateAndSetTimeout(&timeout, 0, 200);
    MsgWaitOnCallbackWithTimeout(&StopWanted, nullptr, timeout.get());
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"A table provider process serving generated tables"};
  std::string home, machine, process = "Test Provider", register_with;
  bool reports_producer = false, remote = false;
  app.add_option("--home", home, "installation home (default: KR_HOME)");
  app.add_option("--machine", machine, "this machine's name (default: KR_MACHINE or host name)");
  app.add_option("--process", process, "the process name to publish")->capture_default_str();
  app.add_option("--jobs", g_options.jobs, "records in testjobs")->capture_default_str();
  app.add_option("--clients", g_options.clients, "records in testclients")->capture_default_str();
  app.add_option("--record-delay-us", g_options.record_delay_us,
                 "pause before each generated record, in microseconds");
  app.add_option("--register", register_with,
                 "register the tables with the reports process on this machine");
  app.add_flag("--remote", remote, "serve requests from other machines too");
  app.add_flag("--srecords", g_srecords,
               "serve testjobs as a serialized-record stream, indexed by id, and register it so");
  app.add_flag("--reports-producer", reports_producer,
               "stand in for the reports process: write the registry for register-tables tasks");
  CLI11_PARSE(app, argc, argv);
  if (g_options.jobs < 0 || g_options.clients < 0 || g_options.jobs > INT32_MAX) {
    std::fprintf(stderr, "krtestprovider: table sizes must be 0 to %d\n", INT32_MAX);
    return 2;
  }

  g_parent = getppid();
  std::signal(SIGTERM, &OnSignal);
  std::signal(SIGINT, &OnSignal);
  ContextOptions options;
  options.home = home;
  options.machine_name = machine;
  options.process_name = reports_producer ? kRepReportsProcessName : process;
  std::unique_ptr<KrContext> context = ContextCreate(options);
  ContextSetCurrent(context.get());

  int rc = 0;
  if (reports_producer) {
    ProcRegisterTaskHandler(kRepRegisterTablesTaskKind, &RegisterTablesTask, nullptr);
  } else {
    ProcRegisterTaskHandler(kRepGetTableTaskKind, &GetTableTask, nullptr);
    ProcRegisterTaskHandler(kRepGetTableFieldsTaskKind, &GetTableFieldsTask, nullptr);
    // A send that ends without the library finishing its grabber (channel down, abort) is
    // finished here, as a provider holding database statements must.
    RepSetUnfinishedGrabberHandler(&RepFinishUnfinishedGrabber, nullptr);
    if (remote) RepEnableRemoteRequests();
  }
  if (MsgInit() == 0) {
    std::fprintf(stderr, "krtestprovider: cannot start messaging\n");
    rc = 1;
  } else if (!register_with.empty() &&
             !RegisterTables(options.process_name.c_str(), register_with.c_str())) {
    std::fprintf(stderr, "krtestprovider: cannot register the tables with '%s'\n",
                 register_with.c_str());
    rc = 1;
  } else {
    std::printf("ready\n");
    std::fflush(stdout);
    Serve();
  }
  ContextSetCurrent(nullptr);
  context.reset();
  return rc;
}
