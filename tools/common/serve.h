// What the resident programs share: a context that publishes itself under a process name, and a
// message loop that ends cleanly on SIGTERM or SIGINT.
#pragma once

#include <signal.h>

#include <csignal>
#include <memory>
#include <string>

#include "kr/context.h"
#include "kr/message.h"

namespace krtools {

inline volatile std::sig_atomic_t g_stop_signal = 0;

inline void OnStopSignal(int signal_number) { g_stop_signal = signal_number; }

// SIGTERM and SIGINT end ServeUntilSignalled at its next turn rather than killing the process
// mid-message, so the endpoint is unpublished and no file is left half written.
inline void InstallStopSignals() {
  struct sigaction action = {};
  action.sa_handler = &OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

inline int StopRequested(void*) { return g_stop_signal != 0 ? 1 : 0; }

// Runs the message loop (handlers, tasks) until a stop signal arrives. The wait is cut into
// short slices because a signal does not interrupt the runtime's wait.
inline void ServeUntilSignalled() {
  while (g_stop_signal == 0) {
    Ref<Obj> timeout;
    TimeCreateAndSetTimeout(&timeout, 0, 200);
    MsgWaitOnCallbackWithTimeout(&StopRequested, nullptr, timeout.get());
  }
}

// A context for this process, current on the calling thread: home and machine from the
// environment (KR_HOME, KR_MACHINE) unless given.
inline std::unique_ptr<KrContext> MakeProcessContext(const std::string& process_name,
                                                     const std::string& home = "",
                                                     const std::string& machine = "") {
  ContextOptions options;
  options.process_name = process_name;
  options.home = home;
  options.machine_name = machine;
  std::unique_ptr<KrContext> context = ContextCreate(options);
  ContextSetCurrent(context.get());
  return context;
}

}  // namespace krtools
