#include "reports/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kr/message.h"
#include "reports/tablesprovider.h"
#include "testing.h"

namespace {

using kr_testing::PeerThread;
using kr_testing::ReadFile;
using kr_testing::TestHome;
using kr_testing::TraceCapture;
using kr_testing::WriteFile;

Ref<RepTableInfo> Info(const char* table, const char* process, const char* machine,
                       bool serialized = false, bool indexed = false, int32_t index_type = 0) {
  Ref<RepTableInfo> i = RepTableInfo::New();
  i->set_table_name(table);
  i->set_process_name(process);
  i->set_machine_name(machine);
  i->set_serialized_records(serialized);
  i->set_indexed(indexed);
  i->set_index_type(index_type);
  return i;
}

Ref<List> ListOf(std::vector<Ref<RepTableInfo>> infos) {
  Ref<List> l = ListNewFromPool();
  for (auto& i : infos) ListPushLastItemInternal(l.get(), i);
  return l;
}

// "name process machine serialized indexed type" per entry.
std::vector<std::string> Describe(const List* tables) {
  std::vector<std::string> out;
  for (const Obj* o : *tables) {
    const RepTableInfo* i = ObjCast<RepTableInfo>(o);
    out.push_back(std::string(i->table_name()) + " " + i->process_name() + " " + i->machine_name() +
                  " " + (i->serialized_records() ? "S" : "-") + (i->indexed() ? "I" : "-") +
                  std::to_string(i->index_type()));
  }
  return out;
}

class RegistryTest : public ::testing::Test {
 protected:
  std::string Path() const { return home_.config_dir() + "/reptables.cfg"; }
  std::vector<std::string> Read() {
    Ref<List> tables;
    EXPECT_EQ(RepGetTableList(&tables), 1);
    return tables ? Describe(tables.get()) : std::vector<std::string>{};
  }
  TestHome home_{kr_testing::HomeOptions("alpha", "Provider", "", 0.01)};
};

TEST_F(RegistryTest, WritesStanzasInKeyOrderAndReplacesWhole) {
  ASSERT_EQ(RepRegisterProcessTables(ListOf({Info("jobs", "Catalog", "backup1", true, true, 13),
                                             Info("media", "Catalog", "backup1")})
                                         .get()),
            1);
  EXPECT_EQ(*ReadFile(Path()),
            "[jobs]\nProcess = Catalog\nMachine = backup1\nSerialized Records = TRUE\n"
            "Indexed = TRUE\nIndex Type = 13\n\n[media]\nProcess = Catalog\nMachine = backup1\n"
            "Serialized Records = FALSE\nIndexed = FALSE\nIndex Type = 0\n");
  // Registering again replaces the stanza (title matched case-blind) and keeps the others.
  ASSERT_EQ(RepRegisterProcessTables(ListOf({Info("JOBS", "Jobs Server", "backup2")}).get()), 1);
  EXPECT_EQ(Read(), (std::vector<std::string>{"JOBS Jobs Server backup2 --0",
                                              "media Catalog backup1 --0"}));
}

TEST_F(RegistryTest, ReadingSkipsBadStanzasAndAppliesDefaults) {
  struct Case {
    const char* name;
    const char* text;
    std::vector<std::string> tables;
    bool warned;
  };
  const Case cases[] = {
      {"all keys",
       "[t]\nProcess = P\nMachine = m\nSerialized Records = yes\nIndexed = 1\n"
       "Index Type = 13\n",
       {"t P m SI13"},
       false},
      {"no machine: this one", "[t]\nProcess = P\n", {"t P alpha --0"}, false},
      {"empty machine: this one", "[t]\nProcess = P\nMachine =\n", {"t P alpha --0"}, false},
      {"no process: dropped", "[a]\nMachine = m\n[b]\nProcess = Q\n", {"b Q alpha --0"}, true},
      {"empty process: dropped", "[a]\nProcess =\n", {}, true},
      {"unreadable values take defaults",
       "[t]\nProcess = P\nSerialized Records = maybe\nIndex Type = x\n",
       {"t P alpha --0"},
       false},
      {"two values: the first", "[t]\nProcess = P, Q\n", {"t P alpha --0"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WriteFile(Path(), c.text));
    TraceCapture trace;
    EXPECT_EQ(Read(), c.tables);
    EXPECT_EQ(trace.Contains("RepGetTablesCB - Warning, encountered bad table '", -1), c.warned);
  }
}

TEST_F(RegistryTest, MissingFileIsAnEmptyRegistryAndMalformedOneFails) {
  EXPECT_EQ(Read(), std::vector<std::string>{});
  ASSERT_TRUE(WriteFile(Path(), "[t]\nProcess P\n"));
  TraceCapture trace;
  Ref<List> tables;
  EXPECT_EQ(RepGetTableList(&tables), 0);
  EXPECT_TRUE(trace.Contains("Failed to load registered tables stanza file '", -1));
  // A registration over a file it cannot read refuses, leaving the file as it was.
  EXPECT_EQ(RepRegisterProcessTables(ListOf({Info("t", "P", "m")}).get()), 0);
  EXPECT_TRUE(trace.Contains("Failed to load report tables stnz file '", -1));
  EXPECT_EQ(*ReadFile(Path()), "[t]\nProcess P\n");
}

TEST_F(RegistryTest, LookupsAreCaseBlindAndTellAbsentFromEmpty) {
  Ref<List> tables = ListOf({Info("jobs", "Catalog", "backup1"), Info("Jobs", "Other", "x"),
                             Info("media", "Media Server", "backup2")});
  std::string process = "unchanged", machine = "unchanged";
  struct Case {
    const List* list;
    const char* table;
    int result;
    const char* process;
  };
  Ref<List> empty = ListNewFromPool();
  Ref<RepTableInfo> not_a_list = Info("jobs", "P", "m");
  const Case cases[] = {
      {tables.get(), "JOBS", 1, "Catalog"},  // the first match wins
      {tables.get(), "Media", 1, "Media Server"},
      {tables.get(), "devices", 2, "unchanged"},
      {empty.get(), "jobs", 0, "unchanged"},
      {nullptr, "jobs", 0, "unchanged"},
      {reinterpret_cast<const List*>(not_a_list.get()), "jobs", 0, "unchanged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    process = "unchanged";
    EXPECT_EQ(RepGetProcessForTable(&process, &machine, c.table, c.list), c.result);
    EXPECT_EQ(process, c.process);
    Ref<RepTableInfo> info;
    EXPECT_EQ(RepFindTableInfo(&info, c.list, c.table), c.result == 1 ? 1 : 0);
    if (c.result == 1) {
      EXPECT_STREQ(info->process_name(), c.process);
    }
  }
}

int NoRecords(RepRecord*, Obj*, RepGrabberInitArgs*) { return 2; }

void ServeRegistrations(PeerThread& p) {
  ProcRegisterTaskHandler(
      kRepRegisterTablesTaskKind,
      [](Obj* task, void*) { return RepHandleRegisterTablesTask(task); }, nullptr);
  MsgInit();
  p.Ready();
  p.Serve();
}

TEST_F(RegistryTest, ProviderRegistersItsTablesThroughTheReportsProcess) {
  // The two share the home, so both see one reptables.cfg.
  PeerThread reports(
      kr_testing::HomeOptions("reportshost", kRepReportsProcessName, home_.home(), 0.01),
      &ServeRegistrations);
  ASSERT_TRUE(reports.WaitReady());

  const RepProvidedTableDesc tables[] = {
      {"Jobs", nullptr, nullptr, nullptr, &NoRecords, nullptr, nullptr},
      {"MEDIA", nullptr, nullptr, nullptr, &NoRecords, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  const RepProvidedTableDesc none[] = {
      {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}};
  struct Case {
    const RepProvidedTableDesc* descriptors;
    std::vector<std::string> registry;
  };
  const Case cases[] = {
      {tables, {"jobs Provider alpha --0", "media Provider alpha --0"}},
      {none, {"jobs Provider alpha --0", "media Provider alpha --0"}},  // still a task
  };
  for (const Case& c : cases) {
    TraceCapture trace;
    ASSERT_EQ(RepRegisterMyTables(c.descriptors, "Provider", "reportshost"), 1);
    EXPECT_TRUE(trace.Contains("Gave table registering task to reports system"));
    // The stanzas are written in the reports process; its task end says so.
    EXPECT_TRUE(kr_testing::PumpUntil(
        [&] { return trace.Contains("Reports plugin has completed table registering task."); },
        5000))
        << trace.Dump();
    EXPECT_EQ(Read(), c.registry);
  }
  // Nobody serves the task on a machine without a reports process.
  TraceCapture trace;
  EXPECT_EQ(RepRegisterMyTables(tables, "Provider", "nosuchhost"), 0);
  EXPECT_TRUE(trace.Contains("Failed to give register tables task to reports plugin", -1));
}

}  // namespace
