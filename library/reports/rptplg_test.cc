#include "reports/rptplg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "agent_test_util.h"
#include "kr/jobs.h"
#include "kr/path.h"
#include "kr/time.h"
#include "testing.h"

namespace {

using kr_testing::ScopedTimeZone;
using kr_testing::TestHome;
using kr_testing::TraceCapture;
using kr_testing::WriteFile;

constexpr int64_t kMarch5th2004 = 1078495629;  // 2004-03-05 14:07:09 UTC

TEST(JobRecord, SlotsForEachReportKind) {
  ScopedTimeZone utc("UTC");
  TestHome::Options o;
  o.fixed_time = kMarch5th2004;
  TestHome home(o);
  struct Case {
    int32_t kind, record_kind, definition_code, step_kind;
  } cases[] = {{1, 4, 1007006, 9}, {0, 3, 1007005, 8}, {7, 3, 1007005, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    Ref<Obj> job;
    RepMakeNewJobRecord(&job, "Weekly jobs", c.kind);
    ASSERT_EQ(ObjGetMagic(job.get()), RepJobRecord::kTypeCode);
    EXPECT_STREQ(ObjGetSpec(job.get()), RepJobRecord::kSpec);
    EXPECT_EQ(ObjGetSlotInteger(job.get(), 1), -1);
    EXPECT_EQ(ObjGetSlotInteger(job.get(), 2), c.record_kind);
    EXPECT_EQ(ObjGetSlotInteger(job.get(), 3), kMarch5th2004);
    EXPECT_EQ(ObjGetSlotString(job.get(), 4), nullptr);
    EXPECT_EQ(ObjGetSlotObject(job.get(), 6), nullptr);

    Obj* def = ObjGetSlotObject(job.get(), 5);
    ASSERT_EQ(ObjGetMagic(def), RepJobDefinition::kTypeCode);
    EXPECT_EQ(ObjGetSlotInteger(def, 1), c.definition_code);
    EXPECT_TRUE(ObjGetSlotBoolean(def, 2));
    EXPECT_EQ(ObjGetSlotString(def, 3), nullptr);
    EXPECT_STREQ(ObjGetSlotString(def, 4), "Weekly jobs");
    EXPECT_STREQ(ObjGetSlotString(def, 5), "Reports Producer");
    EXPECT_EQ(ObjGetSlotInteger(def, 6), 1050000);
    EXPECT_EQ(ObjGetSlotStanza(def, 10), nullptr);
    const List* steps = ObjCast<List>(ObjGetSlotObject(def, 8));
    ASSERT_EQ(ListGetItemCount(steps), 1u);

    Obj* step = steps->at(0);
    ASSERT_EQ(ObjGetMagic(step), RepJobStep::kTypeCode);
    EXPECT_EQ(ObjGetSlotInteger(step, 1), c.step_kind);
    EXPECT_TRUE(JobScheduleIsImmediate(ObjGetSlotStanza(step, 2)));
    EXPECT_EQ(ObjGetSlotObject(step, 4), nullptr);
    EXPECT_FALSE(ObjGetSlotBoolean(step, 9));
    const List* processes = ObjCast<List>(ObjGetSlotObject(step, 3));
    ASSERT_EQ(ListGetItemCount(processes), 1u);
    Obj* process = processes->at(0);
    ASSERT_EQ(ObjGetMagic(process), RepJobStepProcess::kTypeCode);
    EXPECT_STREQ(ObjGetSlotString(process, 1), "Reports Producer");
    EXPECT_EQ(ObjGetSlotInteger(process, 2), 1050000);
    EXPECT_FALSE(ObjGetSlotBoolean(process, 6));
    EXPECT_TRUE(ObjGetSlotBoolean(process, 5));

    const List* extension = ObjCast<List>(ObjGetSlotObject(job.get(), 7));
    ASSERT_NE(extension, nullptr);
    EXPECT_TRUE(extension->empty());
    Obj* holder = ListGetExtensionItem(extension);
    ASSERT_EQ(ObjGetMagic(holder), RepJobScheduleHolder::kTypeCode);
    ASSERT_NE(ObjCast<List>(ObjGetSlotObject(holder, 1)), nullptr);
    EXPECT_TRUE(ObjCast<List>(ObjGetSlotObject(holder, 1))->empty());
    EXPECT_EQ(ObjGetSlotObject(holder, 2), nullptr);
    Obj* when = ObjGetSlotObject(holder, 3);
    ASSERT_EQ(ObjGetMagic(when), RepJobScheduleTime::kTypeCode);
    const int32_t expected[] = {0, 14, 7, 5, 3, 2004, 0, 0, 1};
    for (int slot = 1; slot <= 9; ++slot)
      EXPECT_EQ(ObjGetSlotInteger(when, slot), expected[slot - 1]) << "slot " << slot;
    EXPECT_FALSE(ObjGetSlotBoolean(when, 13));
  }
}

TEST(JobComponents, OneComponentPerNameReadableTemplatesFilled) {
  TestHome home;
  TraceCapture trace;
  WriteFile(home.ReportsPath("templates/weekly"), "%class \"Jobs\" %nicename \"Weekly jobs\"\n");
  WriteFile(home.ReportsPath("templates/plain"), "%class \"Media\"\n");
  WriteFile(home.ReportsPath("templates/noclass"), "%nicename \"No class\"\n");
  Ref<List> names = ListNewFromPool();
  for (const char* n : {"weekly", "missing", "plain", "noclass", "../weekly"})
    ListPushLastItemInternal(names.get(), ObjNewString(n));
  Ref<List> components;
  ASSERT_EQ(RepComponentListFromStrings(&components, names.get()), 1);
  struct Want {
    const char *name, *nice, *class_name;
  } want[] = {{"weekly", "Weekly jobs", "Jobs"},
              {"missing", nullptr, nullptr},
              {"plain", "plain", "Media"},
              {"noclass", "No class", nullptr},
              {"../weekly", nullptr, nullptr}};
  ASSERT_EQ(ListGetItemCount(components.get()), 5u);
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(want[i].name);
    Obj* holder = components->at(i);
    ASSERT_EQ(ObjGetMagic(holder), RepJobComponentHolder::kTypeCode);
    EXPECT_EQ(ObjGetSlotObject(holder, 2), nullptr);
    Obj* c = ObjGetSlotObject(holder, 1);
    ASSERT_EQ(ObjGetMagic(c), RepJobComponent::kTypeCode);
    EXPECT_STREQ(ObjGetSlotString(c, 1), want[i].name);
    EXPECT_STREQ(ObjGetSlotString(c, 2), want[i].nice);
    EXPECT_STREQ(ObjGetSlotString(c, 3), want[i].class_name);
    EXPECT_EQ(ObjGetSlotInteger(c, 4), 0);
    EXPECT_EQ(ObjGetSlotObject(c, 5), nullptr);
  }
  EXPECT_TRUE(trace.Contains(
      "Warning - cannot load template 'missing' when converting to job component - wont set "
      "class and nice name",
      -1));
  EXPECT_TRUE(trace.Contains(
      "Warning - cannot derive class of component 'noclass' when converting to job component", -1));
  EXPECT_TRUE(trace.Contains(
      "Warning - cannot build path to component '../weekly' - wont fill out nice name and class",
      -1));

  Ref<List> empty = ListNewFromPool();
  EXPECT_EQ(RepComponentListFromStrings(&components, empty.get()), 0);
  EXPECT_EQ(RepComponentListFromStrings(&components, nullptr), 0);
  EXPECT_TRUE(trace.Contains("Empty source template names list", -1));
}

TEST(AgentStart, AgentThatNeverSaysReadyFailsAfterTheTimeOut) {
  rep_test::TwoMachines machines(/*agent=*/false);
  ASSERT_TRUE(machines.ready());
  TraceCapture trace;
  Ref<Obj> agent;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RepStartPluginOnMachine(&agent, "beta", kRepXferAgentKind, nullptr), 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 0.29);  // 30 s at the test scale
  EXPECT_LT(seconds, 5);
  EXPECT_FALSE(agent);
  EXPECT_TRUE(
      trace.Contains("Failed to receive ready msg from agent more reports plugin on 'beta'", -1))
      << trace.Dump();
}

TEST(AgentStart, RefusedOrUnreachableReportsProcess) {
  rep_test::TwoMachines machines;
  ASSERT_TRUE(machines.ready());
  TraceCapture trace;
  Ref<Obj> agent;
  EXPECT_EQ(RepStartPluginOnMachine(&agent, "beta", 99, nullptr), 0);  // no such task kind
  EXPECT_TRUE(trace.Contains("Failed to start reports plugin on 'beta'.Error code was 2.", -1))
      << trace.Dump();
  EXPECT_EQ(RepStartPluginOnMachine(&agent, "gamma", kRepXferAgentKind, nullptr), 0);
  EXPECT_TRUE(trace.Contains("GiveServiceATask failed for reports plugin on machine 'gamma'.", -1));
  EXPECT_EQ(RepStartPluginOnMachine(&agent, "", kRepXferAgentKind, nullptr), 0);
  EXPECT_TRUE(trace.Contains("Failed to create address of reports plugin on machine ''", -1));
}

// Sends a request of `type` with the components and, for a file, the local path; the answer's
// first slot, or -1 without an answer.
int Ask(const Obj* agent, uint32_t type, const std::vector<std::string>& components,
        const char* local = nullptr) {
  Ref<List> parts = ListNewFromPool();
  for (const std::string& c : components)
    ListPushLastItemInternal(parts.get(), ObjNewString(c.c_str()));
  Ref<Obj> request;
  if (type == kRepMakeDirMsg) {
    request = RepMakeDirRequest::New();
  } else {
    request = RepFileXferRequest::New();
    ObjSetSlotString(request.get(), 2, local);
  }
  ObjSetSlotObject(request.get(), 1, std::move(parts));
  Ref<Obj> reply, timeout;
  TimeCreateAndSetTimeout(&timeout, 500, 0);
  if (!MsgWaitInterchangeInternal(&reply, agent, type, request.get(), type + 1, timeout.get()))
    return -1;
  Ref<Obj> any;
  uint32_t code = type == kRepMakeDirMsg ? RepMakeDirReply::kTypeCode : RepFileXferReply::kTypeCode;
  if (!MsgGetObjectInternal(&any, reply.get(), code)) return -2;
  return ObjGetSlotInteger(any.get(), 1);
}

TEST(AgentRole, HostileComponentsAndUnpermittedFilesAreRefused) {
  rep_test::TwoMachines machines;
  ASSERT_TRUE(machines.ready());
  const std::string outside = kr_testing::MakeTempDir();
  ASSERT_EQ(symlink(outside.c_str(), machines.BetaOutput("escape").c_str()), 0);
  const std::string secret = machines.alpha().HomePath("secret.txt");
  ASSERT_TRUE(WriteFile(secret, "secret"));

  Ref<Obj> agent;
  ASSERT_EQ(RepStartPluginOnMachine(&agent, "beta", kRepXferAgentKind, nullptr), 1);
  struct Case {
    const char* what;
    std::vector<std::string> components;
  } hostile[] = {
      {"parent", {".."}},
      {"parent below", {"top", ".."}},
      {"separator", {"top/../../x"}},
      {"absolute", {"/tmp"}},
      {"empty", {""}},
      {"dot", {"."}},
      {"no components", {}},
      {"through a link", {"escape", "x"}},
      {"the link itself", {"escape"}},
  };
  for (const Case& c : hostile) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Ask(agent.get(), kRepMakeDirMsg, c.components), 0);
    std::vector<std::string> file = c.components;
    file.push_back("f.txt");
    EXPECT_EQ(Ask(agent.get(), kRepFileXferMsg, file, secret.c_str()), 0);
  }
  // A fine path, but the file was never permitted.
  EXPECT_EQ(Ask(agent.get(), kRepMakeDirMsg, {"top"}), 1);
  EXPECT_EQ(Ask(agent.get(), kRepFileXferMsg, {"top", "f.txt"}, secret.c_str()), 0);

  std::vector<DirEntry> entries;
  ASSERT_EQ(DirScan(&entries, outside.c_str()), 1);
  EXPECT_TRUE(entries.empty());
  ASSERT_EQ(DirScan(&entries, machines.BetaOutput("top").c_str()), 1);
  EXPECT_TRUE(entries.empty());
  ASSERT_EQ(DirScan(&entries, machines.BetaOutput().c_str()), 1);
  EXPECT_EQ(entries.size(), 2u);  // escape and top

  // Once halted, the agent serves this process no more.
  TraceCapture trace;
  RepHaltAgent(agent.get());
  EXPECT_TRUE(trace.Contains("Sent die msg to agent mode reports plugin on 'beta'.", 2));
  EXPECT_EQ(Ask(agent.get(), kRepMakeDirMsg, {"later"}), 0);
  EXPECT_EQ(PathIsDirectory(machines.BetaOutput("later").c_str()), 0);
  kr_testing::RemoveTree(outside);
}

}  // namespace
