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
#include "reptesting.h"
#include "testing.h"

namespace kr_testing {

inline std::atomic<int> g_table_requests{0};

inline int JobsFields(Ref<RepFieldList>* fields) {
  *fields = FieldList({{"id", kRepTypeInteger, 8},
                       {"name", kRepTypeString, 8},
                       {"size", kRepTypeInteger, 8},
                       {"owner", kRepTypeInteger, 8}});
  return 1;
}

inline int OwnersFields(Ref<RepFieldList>* fields) {
  *fields = FieldList({{"owner", kRepTypeInteger, 8}, {"city", kRepTypeString, 8}});
  return 1;
}

inline int StartAtZero(Ref<Obj>* context, RepGrabberInitArgs* args) {
  ++g_table_requests;
  return StartAtRowZero(context, args);
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
    {"jobs", nullptr, nullptr, &StartAtZero, &JobsRecord, &DropContext, &JobsFields},
    {"owners", nullptr, nullptr, &StartAtZero, &OwnersRecord, &DropContext, &OwnersFields},
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
    return HomeOptions("alpha", home.empty() ? "Requester" : "Table Provider", home, 0.05);
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
