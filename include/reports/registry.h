// The table registry: which process on which machine serves each table, and how its records
// travel.
//
// The registry is the stanza file `reptables.cfg` in the installation home's `config` directory
// on the machine that runs the reports process "Reports Producer". One stanza per table, titled
// with the table name:
//
//   [jobs]
//   Process = Catalog Server
//   Machine = backup1
//   Serialized Records = TRUE
//   Indexed = FALSE
//   Index Type = 0
//
// A provider process registers its tables by giving the reports process a register-tables task
// (address kind 20); the reports process writes the stanzas (RepRegisterProcessTables). The
// class code reads the registry afresh at every class run. Table names are matched case-blind.
//
// Results: 1 success, 0 failure, unless a function says otherwise. Out-parameters hold new
// references (or new strings) that belong to the caller, and are written only on success.
//
// Thread safety: none beyond the runtime's: objects belong to the calling thread. Nothing locks
// `reptables.cfg`; a registration reads, changes and rewrites the whole file (through a
// temporary file and a rename, so a reader never sees it half written).
#pragma once

#include <cstdint>
#include <string>

#include "kr/list.h"
#include "kr/object.h"

struct RepProvidedTableDesc;  // reports/tablesprovider.h

// The task kind of the register-tables task, served by "Reports Producer".
inline constexpr int32_t kRepRegisterTablesTaskKind = 20;
// The process that produces reports and keeps the registry.
inline constexpr const char kRepReportsProcessName[] = "Reports Producer";

// One registered table.
struct RepTableInfo : ObjView<RepTableInfo> {
  static constexpr uint32_t kTypeCode = 0xcaa0f85e;
  static constexpr const char kSpec[] = "s;s;s;b;b;i;o;";
  static constexpr const char kName[] = "RepTableInfo";

  const char* table_name() const noexcept { return StrSlot<1>(); }
  const char* process_name() const noexcept { return StrSlot<2>(); }
  const char* machine_name() const noexcept { return StrSlot<3>(); }
  // Records travel as a serialized-record stream rather than as record packets.
  bool serialized_records() const noexcept { return BoolSlot<4>(); }
  // The records carry an index (their first field), of field type index_type().
  bool indexed() const noexcept { return BoolSlot<5>(); }
  int32_t index_type() const noexcept { return IntSlot<6>(); }

  void set_table_name(const char* v) noexcept { SetStrSlot<1>(v); }
  void set_process_name(const char* v) noexcept { SetStrSlot<2>(v); }
  void set_machine_name(const char* v) noexcept { SetStrSlot<3>(v); }
  void set_serialized_records(bool v) noexcept { SetBoolSlot<4>(v); }
  void set_indexed(bool v) noexcept { SetBoolSlot<5>(v); }
  void set_index_type(int32_t v) noexcept { SetIntSlot<6>(v); }
};

// The argument object of the register-tables task: slot 1 the table list (a List of
// RepTableInfo), slot 2 reserved.
struct RepRegisterTablesArgs : ObjView<RepRegisterTablesArgs> {
  static constexpr uint32_t kTypeCode = 0xca989c4d;
  static constexpr const char kSpec[] = "o;o;";
  static constexpr const char kName[] = "RepRegisterTablesArgs";

  List* tables() const noexcept { return ObjCast<List>(ObjSlot<1>()); }
  void set_tables(Ref<List> v) noexcept { SetObjSlot<1>(std::move(v)); }
};

// Writes one stanza per RepTableInfo of `tables` into reptables.cfg, replacing a stanza of the
// same title whole and keeping every other stanza. Run by the reports process for a
// register-tables task.
int RepRegisterProcessTables(const List* tables) noexcept;

// Reads reptables.cfg into a new list of RepTableInfo, in stanza order. A missing file gives an
// empty list; a stanza without "Process" is left out with a warning.
int RepGetTableList(Ref<List>* tables) noexcept;

// 1 and new copies of the process and machine names when `tables` holds `table_name`; 2
// (kRepTableNotListed) when the list holds entries but none for it; 0 when the list is empty or
// not a list.
inline constexpr int kRepTableNotListed = 2;
int RepGetProcessForTable(std::string* process, std::string* machine, const char* table_name,
                          const List* tables) noexcept;

// 1 and a new reference to the first RepTableInfo for `table_name`, else 0.
int RepFindTableInfo(Ref<RepTableInfo>* info, const List* tables, const char* table_name) noexcept;

// Registers every table of the descriptor array (ended by an entry with a null name), under its
// name in lower case, as served by `process` on the local machine, by a register-tables task to
// the reports process on `reports_machine`. Returns once the reports process has accepted the
// task; the stanzas are written there.
int RepRegisterMyTables(const RepProvidedTableDesc* descriptors, const char* process,
                        const char* reports_machine) noexcept;

// Gives the register-tables task for a ready-made list of RepTableInfo.
int RepRegisterTablesFromInfos(List* tables, const char* reports_machine) noexcept;

// What a provider program calls at start: gives the register-tables task for `tables` (as
// RepRegisterTablesFromInfos) and waits, at most `seconds` (scaled like every time-out), until
// the reports process has ended it, i.e. until reptables.cfg is written. 1 when the registry was
// written; 0, with a trace that says what to check, when the task could not be given, was
// refused, failed, or did not end in time.
int RepRegisterTablesAndWait(List* tables, const char* reports_machine, int32_t seconds) noexcept;

// The reports process's side of the register-tables task: given the task object (a MsgTask,
// kr/message.h) whose argument is a RepRegisterTablesArgs, writes its tables into the registry
// (RepRegisterProcessTables). A task handler for kind 20 can return this as the task's status.
int RepHandleRegisterTablesTask(Obj* task) noexcept;
