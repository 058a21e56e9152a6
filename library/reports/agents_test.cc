#include "reports/agents.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "agent_test_util.h"
#include "kr/path.h"
#include "testing.h"

namespace {

using kr_testing::TestHome;
using kr_testing::TraceCapture;
using kr_testing::WriteFile;

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
