// Test helpers for the agent and transfer tests: a second machine with its own installation
// home, running the reports process in agent mode on a thread, and a record of the requests it
// was sent.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kr/list.h"
#include "kr/message.h"
#include "reports/agents.h"
#include "reports/outputcopy.h"
#include "testing.h"

namespace rep_test {

// What the agent was sent, in order: "2916 a/b" or "2978 a/b/c".
struct RequestLog {
  std::mutex mutex;
  std::vector<std::string> entries;
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::move(entries);
  }
};

inline int RecordRequest(Obj* message, void* cookie) {
  auto* log = static_cast<RequestLog*>(cookie);
  Ref<Obj> request;
  uint32_t type = MsgGetType(message);
  uint32_t code =
      type == kRepMakeDirMsg ? RepMakeDirRequest::kTypeCode : RepFileXferRequest::kTypeCode;
  std::string entry = std::to_string(type);
  if (MsgGetObjectInternal(&request, message, code)) {
    const List* parts = ObjCast<List>(ObjGetSlotObject(request.get(), 1));
    for (size_t i = 0; parts != nullptr && i < parts->size(); ++i) {
      entry += i == 0 ? " " : "/";
      const char* s = ObjGetString(parts->at(i));
      entry += s != nullptr ? s : "?";
    }
  }
  std::lock_guard<std::mutex> lock(log->mutex);
  log->entries.push_back(entry);
  return 1;  // not consumed: the agent answers
}

// The calling thread plays "alpha" (its own home); a thread plays the reports process of
// "beta", in another home, in agent mode for tasks of kRepXferAgentKind.
class TwoMachines {
 public:
  // `agent` false: beta's reports process serves the agent kind but never says it is ready.
  explicit TwoMachines(bool agent = true, double scale = 0.01)
      : beta_home_(kr_testing::MakeTempDir()),
        alpha_(kr_testing::HomeOptions("alpha", "Front End", "", scale)) {
    const std::string line = "beta 127.0.0.1 " + std::to_string(kr_testing::FreePort()) + " " +
                             kRepReportsProcessName + "\n";
    kr_testing::WriteFile(beta_home_ + "/config/machines", "alpha 127.0.0.1\n" + line);
    kr_testing::WriteFile(alpha_.config_dir() + "/machines", line);
    beta_ = std::make_unique<kr_testing::PeerThread>(
        kr_testing::HomeOptions("beta", kRepReportsProcessName, beta_home_, scale),
        [this, agent](kr_testing::PeerThread& p) {
          MsgWaitAddHandler(kRepMakeDirMsg, &RecordRequest, &log_);
          MsgWaitAddHandler(kRepFileXferMsg, &RecordRequest, &log_);
          std::unique_ptr<RepAgent> a;
          if (agent)
            RepAgentInstall(&a, kRepXferAgentKind);
          else
            ProcRegisterTaskHandler(
                kRepXferAgentKind, [](Obj*, void*) { return kProcTaskContinues; }, nullptr);
          MsgInit();
          p.Ready();
          p.Serve();
        });
    ready_ = beta_->WaitReady();
  }
  ~TwoMachines() {
    beta_.reset();
    kr_testing::RemoveTree(beta_home_);
  }

  bool ready() const { return ready_; }
  kr_testing::TestHome& alpha() { return alpha_; }
  std::string BetaOutput(const std::string& rel = "") const {
    return beta_home_ + "/reports/output" + (rel.empty() ? "" : "/" + rel);
  }
  RequestLog& log() { return log_; }

 private:
  std::string beta_home_;
  kr_testing::TestHome alpha_;
  RequestLog log_;
  std::unique_ptr<kr_testing::PeerThread> beta_;
  bool ready_ = false;
};

}  // namespace rep_test
