// A table provider played by a thread, for the tests of class tables and report production: it
// serves two small generated tables through the library's provider handlers, and the test's
// registry names it.
//
//   jobs     id (integer), name (string "job<id>"), size (integer id % 10), owner (integer id % 3)
//            for id 1..30
//   owners   owner (integer 0..2), city (string: "Oslo", "Lima", "Rome")
//
// Each GET_TABLE request is counted, so a test can tell a table served from an earlier result
// from one fetched.
#pragma once

#include <atomic>
#include <string>

#include "kr/message.h"
#include "reports/fields.h"
#include "reports/registry.h"
#include "reports/reports.h"
#include "reports/tablesprovider.h"
#include "testing.h"

namespace kr_testing {

inline std::atomic<int> g_table_requests{0};

inline int AddField(List* fields, const char* name, int32_t type) {
  return ListPushLastItemInternal(fields, RepNewFieldDef(name, type, 8));
}

inline int JobsFields(Ref<RepFieldList>* fields) {
  *fields = ListNewFromPool();
  AddField(fields->get(), "id", kRepTypeInteger);
  AddField(fields->get(), "name", kRepTypeString);
  AddField(fields->get(), "size", kRepTypeInteger);
  AddField(fields->get(), "owner", kRepTypeInteger);
  return 1;
}

inline int OwnersFields(Ref<RepFieldList>* fields) {
  *fields = ListNewFromPool();
  AddField(fields->get(), "owner", kRepTypeInteger);
  AddField(fields->get(), "city", kRepTypeString);
  return 1;
}

inline int StartAtZero(Ref<Obj>* context, RepGrabberInitArgs*) {
  ++g_table_requests;
  *context = ObjNewInteger(0);
  return 1;
}

inline int FinishGrab(Ref<Obj>* context, RepGrabberInitArgs*) {
  context->reset();
  return 1;
}

// Fills the record's values by field name from `value(name, row)`.
template <class ValueFn>
int FillRecord(RepRecord* record, Obj* context, RepGrabberInitArgs* args, int rows, ValueFn value) {
  const int row = ObjGetInteger(context);
  if (row >= rows) return 2;
  ObjSetInteger(context, row + 1);
  const List* fields = args->fields();
  for (size_t k = 0; k < fields->size(); ++k) {
    Ref<Obj> v = value(ObjGetSlotString(fields->at(k), 1), row);
    if (v) record->value_at(k)->set_value(std::move(v));
  }
  return 1;
}

inline int JobsRecord(RepRecord* record, Obj* context, RepGrabberInitArgs* args) {
  return FillRecord(record, context, args, 30, [](const std::string& name, int row) -> Ref<Obj> {
    const int id = row + 1;
    if (name == "id") return ObjNewInteger(id);
    if (name == "name") return ObjNewString(("job" + std::to_string(id)).c_str());
    if (name == "size") return ObjNewInteger(id % 10);
    if (name == "owner") return ObjNewInteger(id % 3);
    return nullptr;
  });
}

inline int OwnersRecord(RepRecord* record, Obj* context, RepGrabberInitArgs* args) {
  static const char* const kCities[] = {"Oslo", "Lima", "Rome"};
  return FillRecord(record, context, args, 3, [](const std::string& name, int row) -> Ref<Obj> {
    if (name == "owner") return ObjNewInteger(row);
    if (name == "city") return ObjNewString(kCities[row]);
    return nullptr;
  });
}

inline const RepProvidedTableDesc kTestTables[] = {
    {"jobs", nullptr, nullptr, &StartAtZero, &JobsRecord, &FinishGrab, &JobsFields},
    {"owners", nullptr, nullptr, &StartAtZero, &OwnersRecord, &FinishGrab, &OwnersFields},
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline int ServeGetTable(Obj* task, void*) {
  return RepHandleMyGetTableRequest(kTestTables, task, 0, 0);
}
inline int ServeGetTableFields(Obj* task, void*) {
  RepHandleMyGetTableFieldsRequest(kTestTables, task);
  return 1;
}

inline void ServeTestTables(PeerThread& p) {
  ProcRegisterTaskHandler(kRepGetTableTaskKind, &ServeGetTable, nullptr);
  ProcRegisterTaskHandler(kRepGetTableFieldsTaskKind, &ServeGetTableFields, nullptr);
  MsgInit();
  p.Ready();
  p.Serve();
}

// A test home on machine "alpha" whose registry names the provider thread ("Table Provider",
// also on alpha) for both tables.
class ProviderFixture {
 public:
  static TestHome::Options Options(const std::string& home = "") {
    TestHome::Options o;
    o.machine_name = "alpha";
    o.process_name = home.empty() ? "Requester" : "Table Provider";
    o.home = home;
    o.timeout_scale = 0.05;
    return o;
  }
  ProviderFixture() {
    WriteFile(home_.config_dir() + "/reptables.cfg",
              "[jobs]\nProcess = Table Provider\nMachine = alpha\n"
              "[owners]\nProcess = Table Provider\nMachine = alpha\n");
    g_table_requests = 0;
  }
  bool Ready() { return provider_.WaitReady(); }
  // Writes a class file.
  void Class(const std::string& file, const std::string& text) {
    WriteFile(home_.ReportsPath("classes/" + file), text);
  }

  TestHome home_{Options()};
  PeerThread provider_{Options(home_.home()), &ServeTestTables};
};

}  // namespace kr_testing
