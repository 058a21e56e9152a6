// A provider process for the messaging tests that need a real second process.
//
//   kr_msg_peer HOME MACHINE PROCESS
//
// Serves tasks of kind 21: waits for the giver's channel connect request, completes the
// channel and sends message 600 on it. Prints "ready" on standard output once it can be found,
// then serves until killed, until its parent goes away, or for at most a minute.

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "kr/context.h"
#include "kr/message.h"

namespace {

Ref<Obj> g_channel;  // kept open until the process ends

int ChannelTask(Obj* task, void*) {
  auto* t = ObjCast<MsgTask>(task);
  Ref<Obj> connect;
  if (!MsgWaitExclusiveWithTimeout(&connect, t->ObjSlot<1>(), kMsgChannelConnect, nullptr))
    return 0;
  if (!MsgChannelCompleteInternal(&g_channel, connect.get(), 0, 1, 1)) return 0;
  MsgSendObject(g_channel.get(), 600, ObjNewString("from the helper process").get());
  return 1;
}

pid_t g_parent;

int ParentGone(void*) { return getppid() != g_parent ? 1 : 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s HOME MACHINE PROCESS\n", argv[0]);
    return 2;
  }
  g_parent = getppid();
  ContextOptions options;
  options.home = argv[1];
  options.machine_name = argv[2];
  options.process_name = argv[3];
  std::unique_ptr<KrContext> context = ContextCreate(options);
  ContextSetCurrent(context.get());
  ProcRegisterTaskHandler(21, &ChannelTask, nullptr);
  if (!MsgInit()) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (std::chrono::steady_clock::now() < end) {
    Ref<Obj> timeout;
    TimeCreateAndSetTimeout(&timeout, 0, 100);
    if (MsgWaitOnCallbackWithTimeout(&ParentGone, nullptr, timeout.get())) break;
  }
  g_channel.reset();
  ContextSetCurrent(nullptr);
  return 0;
}
