// Agents: starting the reports process on a machine as an agent and stopping it, and the agent
// role itself.
//
// An agent is the reports process ("Reports Producer") serving one conversation for another
// process: the caller gives it a task of its own address kind, and the agent takes the task up
// (the runtime answers 1003), says it is ready (2921) and then serves the caller's requests
// until the caller sends the die message (2920). The agent role here serves the requests of a
// cross-machine copy of an output directory (reports/outputcopy.h): make-directory (2916,
// answered by 2917) and file transfer (2978, answered by 2979 once the file was fetched from the
// caller). Everything a peer names lands under the agent machine's reports output directory,
// each path component passing the runtime's path check (kr/path.h PathBuildUnderRoot).
//
// Traces under the module tag RPTPLG.
//
// Thread safety: everything runs on the calling thread's context.
#pragma once

#include <cstdint>
#include <memory>

#include "kr/object.h"
#include "reports/registry.h"  // kRepReportsProcessName

inline constexpr uint32_t kRepAgentReadyMsg = 2921;
inline constexpr uint32_t kRepAgentDieMsg = 2920;
// Seconds RepStartPluginOnMachine allows for the task return and the ready message together
// (scaled by the context's timeout_scale).
inline constexpr int32_t kRepAgentStartTimeout = 30;

// ---- Starting and stopping an agent ----

// Starts the reports process on `machine` as an agent: gives "Reports Producer" there a task of
// `kind` with `argument` (may be null), then waits, within one time-out of
// kRepAgentStartTimeout seconds, for the task return and the agent's ready message. 1 and the
// agent's address (the serving task's); 0 at the first failure (traced).
int RepStartPluginOnMachine(Ref<Obj>* agent, const char* machine, int32_t kind,
                            Obj* argument) noexcept;

// Sends the die message to the agent (traced either way).
void RepHaltAgent(const Obj* agent) noexcept;

// ---- The agent role ----

// A reports process serving as an agent. Made by RepAgentInstall; dropping it removes the
// agent's handlers and ends the conversations still open.
struct RepAgent;
template <>
struct std::default_delete<RepAgent> {
  void operator()(RepAgent* agent) const noexcept;
};

// Serves tasks of `kind` as agent conversations in the calling context (replacing any task
// handler of that kind) and installs the handlers of the requests. Only the process that
// started a conversation is served; others get refusals. 1/0.
int RepAgentInstall(std::unique_ptr<RepAgent>* agent, int32_t kind) noexcept;
