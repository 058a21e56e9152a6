// The table registry: reptables.cfg read, rewritten and searched, and the register-tables task
// that a provider process gives the reports process.

#include "reports/registry.h"

#include <memory>
#include <string>
#include <utility>

#include "kr/context.h"
#include "kr/file.h"
#include "kr/message.h"
#include "kr/path.h"
#include "kr/stanza.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/tablesprovider.h"

namespace {

constexpr const char* kTag = "REPTABLL";

constexpr const char kKeyProcess[] = "Process";
constexpr const char kKeyMachine[] = "Machine";
constexpr const char kKeySerialized[] = "Serialized Records";
constexpr const char kKeyIndexed[] = "Indexed";
constexpr const char kKeyIndexType[] = "Index Type";

bool RegistryPath(std::string* path) {
  return PathHomeBuild(path, "config", "reptables.cfg", nullptr) != 0;
}

// Adds a key with its one value to the stanza.
void AddKey(Stanza* stanza, const char* name, const char* value) {
  std::unique_ptr<StnzKey> key = StnzCreateKey(name);
  StnzAddValueToKey(key.get(), value);
  StnzAddKeyToStanza(stanza, std::move(key));
}

int RepGetTablesCB(const Stanza* stanza, void* cookie) {
  List* tables = static_cast<List*>(cookie);
  Ref<RepTableInfo> info = RepTableInfo::New();
  std::string process, machine;
  // An empty value names nothing: an empty process cannot be addressed, and an empty machine is
  // taken as no machine, i.e. this one.
  bool have_process = StnzGetString(&process, stanza, kKeyProcess, 0) != 0 && !process.empty();
  if (StnzGetString(&machine, stanza, kKeyMachine, 0) == 0 || machine.empty())
    machine = StrOrEmpty(SysLocalMachineName());
  bool serialized = false, indexed = false;
  int32_t index_type = 0;
  if (StnzGetBoolean(&serialized, stanza, kKeySerialized, 0) == 0) serialized = false;
  if (StnzGetBoolean(&indexed, stanza, kKeyIndexed, 0) == 0) indexed = false;
  if (StnzGetInteger(&index_type, stanza, kKeyIndexType, 0) == 0) index_type = 0;

  if (stanza->title.empty() || !have_process || machine.empty()) {
    TraceMessage(kTag, 20, 0, -1,
                 "RepGetTablesCB - Warning, encountered bad table '%s' in stnz file. Ignoring.",
                 stanza->title.c_str());
    return 1;
  }
  info->set_table_name(stanza->title.c_str());
  info->set_process_name(process.c_str());
  info->set_machine_name(machine.c_str());
  info->set_serialized_records(serialized);
  info->set_indexed(indexed);
  info->set_index_type(index_type);
  ListPushLastItemInternal(tables, std::move(info));
  return 1;
}

const RepTableInfo* FindInfo(const List* tables, const char* table_name) {
  if (tables == nullptr || table_name == nullptr) return nullptr;
  for (const Obj* o : *tables) {
    const RepTableInfo* info = ObjCast<RepTableInfo>(o);
    if (info != nullptr && info->table_name() != nullptr &&
        StrCompareNoCase(info->table_name(), table_name) == 0)
      return info;
  }
  return nullptr;
}

// Message 1006 for the register-tables task: the cookie holds a reference to the serving task's
// address, dropped when the handler removes itself.
int RegisterTaskEndedHandler(Obj* message, void* cookie) {
  Obj* task_address = static_cast<Obj*>(cookie);
  Ref<Obj> end;
  if (MsgGetObjectInternal(&end, message, MsgTaskEnd::kTypeCode) == 0) return 1;
  if (MsgAddressEqual(ObjCast<MsgTaskEnd>(end.get())->task_address(), task_address) != 1) return 1;
  MsgWaitRemoveHandler(kMsgTaskEnded, &RegisterTaskEndedHandler, cookie);
  TraceMessage(kTag, 21, 0, 2, "Reports plugin has completed table registering task.");
  ObjDecRefCount(task_address);
  return 0;
}

}  // namespace

int RepRegisterProcessTables(const List* tables) noexcept {
  std::string path;
  if (!RegistryPath(&path)) return 0;
  StanzaList stanzas;
  if (FileExists(path.c_str()) && StnzLoadStanzaListFromFile(&stanzas, path.c_str()) == 0) {
    TraceMessage(kTag, 1, 0, -1, "Failed to load report tables stnz file '%s'.", path.c_str());
    return 0;
  }
  const List* list = ObjCast<List>(tables);  // the task's argument came from another process
  TraceMessage(kTag, 2, 0, 2, "%ld tables to register", static_cast<long>(ListGetItemCount(list)));
  if (list != nullptr) {
    for (const Obj* o : *list) {
      const RepTableInfo* info = ObjCast<RepTableInfo>(o);
      // Only a well-formed entry names a table; anything else in the list is not one.
      if (info == nullptr || info->table_name() == nullptr || info->table_name()[0] == '\0')
        continue;
      std::unique_ptr<Stanza> stanza = StnzCreate(info->table_name(), 5);
      if (!stanza) continue;
      TraceMessage(kTag, 3, 0, 3, "Table '%s'", info->table_name());
      AddKey(stanza.get(), kKeyProcess, StrOrEmpty(info->process_name()));
      TraceMessage(kTag, 4, 0, 3, "Process '%s'", StrOrEmpty(info->process_name()));
      AddKey(stanza.get(), kKeyMachine, StrOrEmpty(info->machine_name()));
      TraceMessage(kTag, 5, 0, 3, "Machine '%s'", StrOrEmpty(info->machine_name()));
      const char* serialized = info->serialized_records() ? "TRUE" : "FALSE";
      AddKey(stanza.get(), kKeySerialized, serialized);
      TraceMessage(kTag, 6, 0, 3, "Serialised '%s'", serialized);
      const char* indexed = info->indexed() ? "TRUE" : "FALSE";
      AddKey(stanza.get(), kKeyIndexed, indexed);
      TraceMessage(kTag, 7, 0, 3, "Indexed '%s'", indexed);
      std::string index_type = StrFromInteger(info->index_type());
      AddKey(stanza.get(), kKeyIndexType, index_type.c_str());
      TraceMessage(kTag, 8, 0, 3, "Index type '%s", index_type.c_str());
      StnzListReplaceStanza(&stanzas, std::move(stanza));
    }
  }
  // A first registration on a fresh installation may find no config directory yet.
  std::string dir;
  PathHomeBuild(&dir, "config", nullptr);
  PathCreateDirectory(dir.c_str());
  // The save writes a temporary file and renames it over the old one, so a reader never sees
  // half a registry and a failed save leaves the old one in place.
  if (StnzSaveStanzaListToFile(stanzas, path.c_str()) == 1) {
    TraceMessage(kTag, 9, 0, 2, "Successfully updated reports tables for process");
    return 1;
  }
  TraceMessage(kTag, 10, 0, -1, "Failed to save tables stanza back to file '%s'", path.c_str());
  return 0;
}

int RepGetTableList(Ref<List>* tables) noexcept {
  if (tables == nullptr) return 0;
  Ref<List> list = ListNewFromPool();
  std::string path;
  if (!RegistryPath(&path)) return 0;
  if (!FileExists(path.c_str())) {
    *tables = std::move(list);
    return 1;
  }
  StanzaList stanzas;
  if (StnzLoadStanzaListFromFile(&stanzas, path.c_str()) == 0) {
    TraceMessage(kTag, 11, 0, -1, "Failed to load registered tables stanza file '%s'",
                 path.c_str());
    return 0;
  }
  if (StnzListWalk(stanzas, &RepGetTablesCB, list.get()) == 0) {
    TraceMessage(kTag, 12, 0, -1, "Failed to walk stnz list");
    return 0;
  }
  *tables = std::move(list);
  return 1;
}

int RepGetProcessForTable(std::string* process, std::string* machine, const char* table_name,
                          const List* tables) noexcept {
  if (ObjCast<List>(tables) == nullptr || tables->empty()) return kRepFailed;
  const RepTableInfo* info = FindInfo(tables, table_name);
  if (info == nullptr) return kRepTableNotListed;
  if (process != nullptr) *process = StrOrEmpty(info->process_name());
  if (machine != nullptr) *machine = StrOrEmpty(info->machine_name());
  return kRepOk;
}

int RepFindTableInfo(Ref<RepTableInfo>* info, const List* tables, const char* table_name) noexcept {
  if (info == nullptr) return 0;
  const RepTableInfo* found = FindInfo(ObjCast<List>(tables), table_name);
  if (found == nullptr) return 0;
  *info = Ref<RepTableInfo>::Share(const_cast<RepTableInfo*>(found));
  return 1;
}

int RepRegisterMyTables(const RepProvidedTableDesc* descriptors, const char* process,
                        const char* reports_machine) noexcept {
  Ref<List> tables = ListNewFromPool();
  for (const RepProvidedTableDesc* d = descriptors; d != nullptr && d->name != nullptr; ++d) {
    Ref<RepTableInfo> info = RepTableInfo::New();
    std::string name = StrToLowerCopy(d->name);
    info->set_table_name(name.c_str());
    info->set_process_name(process);
    info->set_machine_name(SysLocalMachineName());
    info->set_serialized_records(false);
    info->set_indexed(false);
    info->set_index_type(0);
    ListPushLastItemInternal(tables.get(), std::move(info));
  }
  return RepRegisterTablesFromInfos(tables.get(), reports_machine);
}

int RepRegisterTablesFromInfos(List* tables, const char* reports_machine) noexcept {
  Ref<RepRegisterTablesArgs> args = RepRegisterTablesArgs::New();
  args->set_tables(tables != nullptr ? Ref<List>::Share(tables) : ListNewFromPool());

  Ref<Obj> address;
  if (ProcCreateAddress(&address, reports_machine, kRepReportsProcessName,
                        kRepRegisterTablesTaskKind) == 0)
    return 0;
  if (ProcGiveServiceATask(address.get(), nullptr, 0, 0, args.get(), 0) == 0) {
    TraceMessage(kTag, 13, 0, -1, "Failed to give register tables task to reports plugin");
    return 0;
  }
  // Only the reports process can answer; if it is lost the runtime answers for it, so the wait
  // cannot hang on a dead process.
  Ref<Obj> message;
  if (MsgWaitMessageWithTimeout(&message, address.get(), kMsgTaskReturn, nullptr) == 0) return 0;
  TraceMessage(kTag, 14, 0, 2, "Gave table registering task to reports system");

  Ref<Obj> ret;
  if (MsgGetObjectInternal(&ret, message.get(), MsgTaskReturn::kTypeCode) == 0) {
    TraceMessage(kTag, 15, 0, -1, "Got munged give service a task return object");
    return 0;
  }
  const MsgTaskReturn* answer = ObjCast<MsgTaskReturn>(ret.get());
  if (answer->status() != 1) {
    TraceMessage(kTag, 16, 0, -1, "Failed to launch process (%ld)",
                 static_cast<long>(answer->error()));
    return 0;
  }
  Obj* task_address = answer->task_address();
  if (task_address == nullptr) {
    TraceMessage(kTag, 18, 0, -1, "Got munged give service a task return object");
    return 0;
  }
  ObjIncRefCount(task_address);  // held by the handler until the task has ended
  if (MsgWaitAddHandler(kMsgTaskEnded, &RegisterTaskEndedHandler, task_address) == 0) {
    ObjDecRefCount(task_address);
    return 0;
  }
  return 1;
}

int RepHandleRegisterTablesTask(Obj* task) noexcept {
  const MsgTask* t = ObjCast<MsgTask>(task);
  const RepRegisterTablesArgs* args =
      t != nullptr ? ObjCast<RepRegisterTablesArgs>(t->argument()) : nullptr;
  if (args == nullptr) {
    TraceMessage(kTag, 17, 0, -1, "Incorrect user arguments for register tables task.");
    return 0;
  }
  return RepRegisterProcessTables(args->tables());
}

namespace {

// Watches for the end (1006) of one register-tables task, whichever handler takes it: installed
// before the library's own handler, this one sees the message first and leaves it.
struct RegistrationEnd {
  bool ended = false;
  int32_t status = 0;
};

int WatchRegistrationEnd(Obj* message, void* cookie) {
  auto* end = static_cast<RegistrationEnd*>(cookie);
  Ref<Obj> object;
  if (MsgGetObjectInternal(&object, message, MsgTaskEnd::kTypeCode) == 1) {
    end->ended = true;
    end->status = ObjCast<MsgTaskEnd>(object.get())->status();
  }
  return 1;
}

int RegistrationEnded(void* cookie) { return static_cast<RegistrationEnd*>(cookie)->ended ? 1 : 0; }

}  // namespace

int RepRegisterTablesAndWait(List* tables, const char* reports_machine, int32_t seconds) noexcept {
  const char* machine = StrOrEmpty(reports_machine);
  RegistrationEnd end;
  MsgWaitAddHandler(kMsgTaskEnded, &WatchRegistrationEnd, &end);
  bool ok = RepRegisterTablesFromInfos(tables, machine) == kRepOk;
  if (!ok) {
    TraceMessage(kTag, 30, 0, -1,
                 "Cannot hand the tables to \"%s\" on machine '%s': is krreportd running there, "
                 "and does the machines file place that machine?",
                 kRepReportsProcessName, machine);
  } else {
    Ref<Obj> timeout;
    TimeCreateAndSetTimeout(&timeout, seconds, 0);
    ok = MsgWaitOnCallbackWithTimeout(&RegistrationEnded, &end, timeout.get()) == 1;
    if (!ok) {
      TraceMessage(kTag, 31, 0, -1,
                   "\"%s\" on machine '%s' took the tables but did not write the registry within "
                   "%ld s",
                   kRepReportsProcessName, machine, static_cast<long>(seconds));
    } else if (end.status != 1) {
      ok = false;
      TraceMessage(kTag, 32, 0, -1,
                   "\"%s\" on machine '%s' could not write the registry (reptables.cfg): its "
                   "trace says why",
                   kRepReportsProcessName, machine);
    }
  }
  MsgWaitRemoveHandler(kMsgTaskEnded, &WatchRegistrationEnd, &end);
  return ok ? 1 : 0;
}

