// Agents: starting the reports process on a machine as an agent and stopping it, and the agent
// role that serves a cross-machine copy of an output directory.

#include "reports/agents.h"

#include <cinttypes>
#include <cstring>
#include <string>
#include <vector>

#include "kr/filexfer.h"
#include "kr/message.h"
#include "kr/path.h"
#include "kr/text.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "reports/outputcopy.h"
#include "reports/utilities.h"

namespace {

constexpr const char* kTag = "RPTPLG";

}  // namespace

// ---------------------------------------------------------------------------------------------
// Starting and stopping an agent.

int RepStartPluginOnMachine(Ref<Obj>* agent, const char* machine, int32_t kind,
                            Obj* argument) noexcept {
  if (agent == nullptr) return 0;
  const char* m = StrOrEmpty(machine);
  Ref<Obj> address;
  if (!ProcCreateAddress(&address, machine, kRepReportsProcessName, kind)) {
    TraceMessage(kTag, 1, 0, -1, "Failed to create address of reports plugin on machine '%s'", m);
    return 0;
  }
  if (!ProcGiveServiceATask(address.get(), nullptr, 0, 0, argument, 0)) {
    TraceMessage(kTag, 2, 0, -1, "GiveServiceATask failed for reports plugin on machine '%s'.", m);
    return 0;
  }
  // One time-out covers both waits: a slow task return leaves less time for the ready message.
  Ref<Obj> timeout;
  Ref<Obj> message;
  if (!TimeCreateAndSetTimeout(&timeout, kRepAgentStartTimeout, 0) ||
      !MsgWaitMessageWithTimeout(&message, address.get(), kMsgTaskReturn, timeout.get())) {
    TraceMessage(kTag, 3, 0, -1,
                 "Failed / timed out getting give service a task return. Was trying to start "
                 "reports plugin on '%s'.",
                 m);
    return 0;
  }
  Ref<Obj> ret;
  if (!MsgGetObjectInternal(&ret, message.get(), MsgTaskReturn::kTypeCode)) {
    TraceMessage(kTag, 4, 0, -1,
                 "Failed to get give service a task return object. Was trying to start reports "
                 "plugin on '%s'.",
                 m);
    return 0;
  }
  const MsgTaskReturn* answer = ObjCast<MsgTaskReturn>(ret.get());
  if (answer->status() != 1) {
    TraceMessage(kTag, 5, 0, -1, "Failed to start reports plugin on '%s'.Error code was %ld.", m,
                 static_cast<long>(answer->error()));
    return 0;
  }
  Ref<Obj> task_address = Ref<Obj>::Share(answer->task_address());
  Ref<Obj> ready;
  if (!task_address ||
      !MsgWaitMessageWithTimeout(&ready, task_address.get(), kRepAgentReadyMsg, timeout.get())) {
    TraceMessage(kTag, 6, 0, -1,
                 "Failed to receive ready msg from agent more reports plugin on '%s'", m);
    return 0;
  }
  TraceMessage(kTag, 7, 0, 2, "Started reports plugin on '%s' OK.", m);
  *agent = std::move(task_address);
  return 1;
}

void RepHaltAgent(const Obj* agent) noexcept {
  const char* machine = MsgGetMachineName(agent);
  if (agent != nullptr && MsgSendObject(agent, kRepAgentDieMsg, nullptr))
    TraceMessage(kTag, 8, 0, 2, "Sent die msg to agent mode reports plugin on '%s'.", machine);
  else
    TraceMessage(kTag, 9, 0, -1, "Failed to send halt msg to agent mode reports plugin on '%s'.",
                 machine);
}

// ---------------------------------------------------------------------------------------------
// The agent role.

struct RepAgent {
  struct Conversation {
    Ref<Obj> task;   // the task hand-over (MsgTask), ended by the die message
    Ref<Obj> giver;  // the process served
  };
  int32_t kind = 0;
  std::vector<Conversation> conversations;
};

namespace {

// The process an address or a message's sender names, compared by machine (case-blind),
// process name and instance.
bool SameProcess(const Obj* a, const Obj* b) {
  const char* ma = MsgGetMachineName(a);
  const char* mb = MsgGetMachineName(b);
  if (*ma == '\0' || StrCompareNoCase(ma, mb) != 0 ||
      std::string(MsgGetProcessName(a)) != MsgGetProcessName(b))
    return false;
  int64_t ia = ObjGetSlotInt64(a, 3), ib = ObjGetSlotInt64(b, 3);
  return ia == 0 || ib == 0 || ia == ib;
}

// The conversation whose giver sent `message`, or -1.
int FindConversation(const RepAgent* agent, const Obj* message, Ref<Obj>* sender) {
  if (!MsgGetSender(sender, message)) return -1;
  for (size_t i = 0; i < agent->conversations.size(); ++i)
    if (SameProcess(agent->conversations[i].giver.get(), sender->get())) return static_cast<int>(i);
  return -1;
}

// The string objects of a component list as names; false when an item is not a string.
bool ComponentsOf(std::vector<std::string>* out, const Obj* list_obj) {
  const List* list = ObjCast<List>(list_obj);
  if (list == nullptr || list->empty()) return false;
  for (Obj* item : *list) {
    const char* c = ObjGetString(item);
    if (c == nullptr) return false;
    out->emplace_back(c);
  }
  return true;
}

// The agent machine's reports output directory, made if missing.
bool OutputRoot(std::string* root) {
  return RepPathBuild(root, "output", nullptr) && PathCreateDirectory(root->c_str());
}

int AgentTask(Obj* task, void* cookie) {
  auto* agent = static_cast<RepAgent*>(cookie);
  const MsgTask* t = ObjCast<MsgTask>(task);
  if (t == nullptr || t->ObjSlot<1>() == nullptr) return 0;
  Ref<Obj> giver = Ref<Obj>::Share(t->ObjSlot<1>());
  if (!MsgSendObject(giver.get(), kRepAgentReadyMsg, nullptr)) {
    TraceMessage(kTag, 20, 0, -1, "Agent cannot send its ready message to %s",
                 MsgAddressToText(giver.get()).c_str());
    return 0;
  }
  TraceMessage(kTag, 21, 0, 2, "Agent serving %s", MsgAddressToText(giver.get()).c_str());
  // A conversation of an earlier instance of the same process will never be ended by its die
  // message: that process is gone (it restarted under its name).
  auto& all = agent->conversations;
  for (auto it = all.begin(); it != all.end();) {
    const Obj* old = it->giver.get();
    if (StrCompareNoCase(MsgGetMachineName(old), MsgGetMachineName(giver.get())) == 0 &&
        std::strcmp(MsgGetProcessName(old), MsgGetProcessName(giver.get())) == 0 &&
        ObjGetSlotInt64(old, 3) != ObjGetSlotInt64(giver.get(), 3)) {
      ProcTaskComplete(it->task.get(), 0);
      it = all.erase(it);
    } else {
      ++it;
    }
  }
  all.push_back({Ref<Obj>::Share(task), std::move(giver)});
  return kProcTaskContinues;
}

int AgentMakeDir(Obj* message, void* cookie) {
  auto* agent = static_cast<RepAgent*>(cookie);
  Ref<Obj> sender, request;
  std::vector<std::string> components;
  std::string root, path;
  int made = 0;
  if (FindConversation(agent, message, &sender) < 0) {
    TraceMessage(kTag, 22, 0, -1, "Agent refusing make dir request from %s: not its caller",
                 MsgAddressToText(sender.get()).c_str());
  } else if (!MsgGetObjectInternal(&request, message, RepMakeDirRequest::kTypeCode) ||
             !ComponentsOf(&components, ObjGetSlotObject(request.get(), 1))) {
    TraceMessage(kTag, 23, 0, -1, "Agent got a malformed make dir request");
  } else if (OutputRoot(&root) && PathBuildUnderRoot(&path, root.c_str(), components)) {
    made = PathCreateDirectory(path.c_str()) && PathIsDirectory(path.c_str()) ? 1 : 0;
    TraceMessage(kTag, 24, 0, 3, "Agent make dir '%s': %d", path.c_str(), made);
  }
  Ref<RepMakeDirReply> reply = RepMakeDirReply::New();
  reply->SetIntSlot<1>(made);
  MsgSendReply(message, kRepMakeDirReplyMsg, reply.get());
  return 0;
}

int AgentFileXfer(Obj* message, void* cookie) {
  auto* agent = static_cast<RepAgent*>(cookie);
  Ref<Obj> sender, request;
  std::vector<std::string> components;
  std::string root, path;
  int fetched = 0;
  const char* local = nullptr;
  if (FindConversation(agent, message, &sender) < 0) {
    TraceMessage(kTag, 25, 0, -1, "Agent refusing file transfer request from %s: not its caller",
                 MsgAddressToText(sender.get()).c_str());
  } else if (!MsgGetObjectInternal(&request, message, RepFileXferRequest::kTypeCode) ||
             !ComponentsOf(&components, ObjGetSlotObject(request.get(), 1)) ||
             (local = ObjGetSlotString(request.get(), 2)) == nullptr) {
    TraceMessage(kTag, 26, 0, -1, "Agent got a malformed file transfer request");
  } else if (OutputRoot(&root) && PathBuildUnderRoot(&path, root.c_str(), components)) {
    std::string parent = path.substr(0, path.rfind('/'));
    fetched =
        PathCreateDirectory(parent.c_str()) && PlgFileXferFetch(sender.get(), local, path.c_str())
            ? 1
            : 0;
    TraceMessage(kTag, 27, 0, fetched ? 3 : -1, "Agent fetch of '%s' into '%s': %d", local,
                 path.c_str(), fetched);
  }
  Ref<RepFileXferReply> reply = RepFileXferReply::New();
  reply->SetIntSlot<1>(fetched);
  MsgSendReply(message, kRepFileXferReplyMsg, reply.get());
  return 0;
}

int AgentDie(Obj* message, void* cookie) {
  auto* agent = static_cast<RepAgent*>(cookie);
  Ref<Obj> sender;
  int i = FindConversation(agent, message, &sender);
  if (i < 0) {
    TraceMessage(kTag, 28, 0, -1, "Agent ignoring die message from %s",
                 MsgAddressToText(sender.get()).c_str());
    return 0;
  }
  Ref<Obj> task = std::move(agent->conversations[static_cast<size_t>(i)].task);
  agent->conversations.erase(agent->conversations.begin() + i);
  ProcTaskComplete(task.get(), 1);
  TraceMessage(kTag, 29, 0, 2, "Agent conversation with %s ended",
               MsgAddressToText(sender.get()).c_str());
  return 0;
}

void RemoveAgentHandlers(RepAgent* agent) {
  MsgWaitRemoveHandler(kRepMakeDirMsg, &AgentMakeDir, agent);
  MsgWaitRemoveHandler(kRepFileXferMsg, &AgentFileXfer, agent);
  MsgWaitRemoveHandler(kRepAgentDieMsg, &AgentDie, agent);
}

}  // namespace

void std::default_delete<RepAgent>::operator()(RepAgent* agent) const noexcept {
  if (agent == nullptr) return;
  ProcUnregisterTaskHandler(agent->kind);
  RemoveAgentHandlers(agent);
  for (RepAgent::Conversation& c : agent->conversations) ProcTaskComplete(c.task.get(), 0);
  delete agent;
}

int RepAgentInstall(std::unique_ptr<RepAgent>* agent, int32_t kind) noexcept {
  if (agent == nullptr) return 0;
  std::unique_ptr<RepAgent> a(new RepAgent);
  a->kind = kind;
  if (!MsgWaitAddHandler(kRepMakeDirMsg, &AgentMakeDir, a.get()) ||
      !MsgWaitAddHandler(kRepFileXferMsg, &AgentFileXfer, a.get()) ||
      !MsgWaitAddHandler(kRepAgentDieMsg, &AgentDie, a.get()) ||
      !ProcRegisterTaskHandler(kind, &AgentTask, a.get()))
    return 0;  // the deleter removes what was installed
  *agent = std::move(a);
  return 1;
}
