#include "kr/message.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "msg_internal.h"
#include "testing.h"

namespace {

using kr_testing::PeerThread;
using kr_testing::TestHome;

constexpr double kScale = 0.01;  // protocol time-outs run a hundred times faster

TestHome::Options Opts(const char* machine, const char* process, const std::string& home = "") {
  return kr_testing::HomeOptions(machine, process, home, kScale);
}

using kr_testing::RealTimeout;

double SecondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The address of `machine`'s process `process` for tasks of `kind`.
Ref<Obj> Address(const char* machine, const char* process, int32_t kind = 0) {
  Ref<Obj> address;
  ProcCreateAddress(&address, machine, process, kind);
  return address;
}

// The object of type `type` a message carries (null when it carries none of that type).
Ref<Obj> Carried(const Obj* message, uint32_t type) {
  Ref<Obj> object;
  if (message == nullptr || !MsgGetObjectInternal(&object, message, type)) return nullptr;
  return object;
}

// Whether `message` came over the channel `channel` (its source).
bool CameOn(const Obj* message, const Obj* channel) {
  Ref<Obj> source;
  return message != nullptr && MsgGetSource(&source, message) &&
         MsgAddressEqual(source.get(), channel) == 1;
}

// Sends 500 carrying `body` to `to` and waits for the 501 answer (null on failure).
Ref<Obj> Ask(const Obj* to, const char* body) {
  Ref<Obj> reply;
  if (!MsgWaitInterchangeInternal(&reply, to, 500, body ? ObjNewString(body).get() : nullptr, 501,
                                  RealTimeout(5000).get()))
    return nullptr;
  return reply;
}

class MessagingTest : public ::testing::Test {
 protected:
  TestHome::Options Peer(const char* machine, const char* process) {
    return Opts(machine, process, home_.home());
  }
  // Waits for one message of `type` and hands it back (null on failure).
  Ref<Obj> Expect(uint32_t type, const Obj* source = nullptr, int ms = 5000) {
    Ref<Obj> m;
    if (!MsgWaitMessageWithTimeout(&m, source, type, RealTimeout(ms).get())) return nullptr;
    return m;
  }
  // Waits for a task's 1003 or 1006 message and hands back its object (null on failure).
  template <class T>
  Ref<T> ExpectTaskAnswer(int ms = 5000) {
    Ref<Obj> m =
        Expect(std::is_same_v<T, MsgTaskEnd> ? kMsgTaskEnded : kMsgTaskReturn, nullptr, ms);
    Ref<Obj> object = Carried(m.get(), T::kTypeCode);
    return object ? RefCast<T>(std::move(object)) : nullptr;
  }

  TestHome home_{Opts("alpha", "Giver")};
};

// ---------------------------------------------------------------------------------------------
// One context: messages to self, handlers, waits, alarms.

struct Log {
  std::vector<std::string> events;
};

int RecordAndConsume(Obj* message, void* cookie) {
  static_cast<Log*>(cookie)->events.push_back("h" + std::to_string(MsgGetType(message)));
  return 0;
}
int RecordAndDecline(Obj* message, void* cookie) {
  static_cast<Log*>(cookie)->events.push_back("d" + std::to_string(MsgGetType(message)));
  return 1;
}

TEST_F(MessagingTest, SelfMessagesCarryTheObjectByReference) {
  Ref<Obj> obj = ObjNewInteger(42);
  ASSERT_EQ(MsgSendObjectToSelf(100, obj.get()), 1);
  Ref<Obj> m = Expect(100);
  ASSERT_TRUE(m);
  Ref<Obj> got;
  EXPECT_EQ(MsgGetObjectInternal(&got, m.get(), kObjStringType), 0);
  ASSERT_EQ(MsgGetObjectInternal(&got, m.get(), kObjIntegerType), 1);
  EXPECT_EQ(got.get(), obj.get());
  Ref<Obj> self, sender;
  ASSERT_EQ(MsgLocalAddress(&self), 1);
  ASSERT_EQ(MsgGetSender(&sender, m.get()), 1);
  EXPECT_EQ(MsgAddressEqual(self.get(), sender.get()), 1);
  EXPECT_EQ(MsgIsLocalMachine(m.get()), 1);
  EXPECT_STREQ(MsgGetMachineName(m.get()), "alpha");
  EXPECT_EQ(MsgGetProcessId(m.get()), getpid());

  // A message made with MsgCreate to the local address.
  Ref<Obj> made;
  ASSERT_EQ(MsgCreate(&made, self.get(), 3310, nullptr), 1);
  ASSERT_EQ(MsgSendToSelf(made.get()), 1);
  EXPECT_TRUE(Expect(3310));
}

TEST_F(MessagingTest, HandlersRunOldestFirstUntilOneConsumes) {
  Log log;
  MsgWaitAddHandler(7, &RecordAndDecline, &log);
  MsgWaitAddHandler(7, &RecordAndConsume, &log);
  MsgWaitAddHandler(8, &RecordAndDecline, &log);
  MsgSendObjectToSelf(7, nullptr);
  MsgSendObjectToSelf(8, nullptr);
  MsgSendObjectToSelf(9, nullptr);
  // 7 is consumed by the second handler; 8 is declined and reaches the wait.
  Ref<Obj> m = Expect(8);
  ASSERT_TRUE(m);
  EXPECT_EQ(log.events, (std::vector<std::string>{"d7", "h7", "d8"}));
  // A handler installed later is offered what is still queued.
  MsgWaitAddHandler(9, &RecordAndConsume, &log);
  EXPECT_EQ(MsgWaitPoll(), 1);
  EXPECT_EQ(log.events.back(), "h9");
  EXPECT_EQ(MsgWaitRemoveHandler(7, &RecordAndDecline, &log), 1);
  EXPECT_EQ(MsgWaitRemoveHandler(7, &RecordAndDecline, &log), 0);
  MsgWaitRemoveHandler(7, &RecordAndConsume, &log);
  MsgWaitRemoveHandler(8, &RecordAndDecline, &log);
  MsgWaitRemoveHandler(9, &RecordAndConsume, &log);
}

// A handler that removes itself and installs another, from inside dispatch.
struct Swap {
  int first = 0, second = 0;
};
int SecondHandler(Obj*, void* cookie) {
  ++static_cast<Swap*>(cookie)->second;
  return 0;
}
int FirstHandler(Obj*, void* cookie) {
  ++static_cast<Swap*>(cookie)->first;
  MsgWaitRemoveHandler(5, &FirstHandler, cookie);
  MsgWaitAddHandler(5, &SecondHandler, cookie);
  return 0;
}

TEST_F(MessagingTest, HandlersMayAddAndRemoveHandlers) {
  Swap swap;
  MsgWaitAddHandler(5, &FirstHandler, &swap);
  for (int i = 0; i < 3; ++i) MsgSendObjectToSelf(5, nullptr);
  while (MsgWaitPoll() > 0) {
  }
  EXPECT_EQ(swap.first, 1);
  EXPECT_EQ(swap.second, 2);
  MsgWaitRemoveHandler(5, &SecondHandler, &swap);
}

// A handler that waits for another message: the nested wait takes it; the outer wait still
// gets its own; nothing is delivered twice.
struct Nested {
  int outer_seen = 0;
  int inner_got = 0;
};
int WaitingHandler(Obj*, void* cookie) {
  auto* n = static_cast<Nested*>(cookie);
  MsgSendObjectToSelf(21, nullptr);
  Ref<Obj> m;
  if (MsgWaitMessageWithTimeout(&m, nullptr, 21, RealTimeout(2000).get())) ++n->inner_got;
  return 0;
}
int CountOuter(Obj*, void* cookie) {
  ++static_cast<Nested*>(cookie)->outer_seen;
  return 1;  // not consumed: the wait below takes it
}

TEST_F(MessagingTest, HandlerMayWaitAndNothingIsDeliveredTwice) {
  Nested n;
  MsgWaitAddHandler(20, &WaitingHandler, &n);
  MsgWaitAddHandler(22, &CountOuter, &n);
  MsgSendObjectToSelf(20, nullptr);
  MsgSendObjectToSelf(22, nullptr);
  Ref<Obj> m = Expect(22);
  ASSERT_TRUE(m);
  EXPECT_EQ(n.inner_got, 1);
  EXPECT_EQ(n.outer_seen, 1);
  // Nothing of either type is left.
  EXPECT_FALSE(Expect(21, nullptr, 30));
  EXPECT_FALSE(Expect(22, nullptr, 30));
  MsgWaitRemoveHandler(20, &WaitingHandler, &n);
  MsgWaitRemoveHandler(22, &CountOuter, &n);
}

void CountAlarm(void* cookie) { ++*static_cast<int*>(cookie); }

TEST_F(MessagingTest, ExclusiveWaitKeepsOthersQueuedInOrder) {
  Log log;
  int alarms = 0;
  MsgWaitAddHandler(31, &RecordAndConsume, &log);
  TimrSetAlarm(&CountAlarm, &alarms, 0.0);
  MsgSendObjectToSelf(30, ObjNewInteger(1).get());
  MsgSendObjectToSelf(31, nullptr);
  MsgSendObjectToSelf(32, nullptr);
  MsgSendObjectToSelf(30, ObjNewInteger(2).get());
  Ref<Obj> m;
  ASSERT_EQ(MsgWaitExclusiveWithTimeout(&m, nullptr, 32, RealTimeout(2000).get()), 1);
  EXPECT_TRUE(log.events.empty());  // no handler ran
  EXPECT_EQ(alarms, 0);             // nor any alarm
  // Afterwards everything else comes in its order.
  for (int want : {1, 2}) {
    Ref<Obj> v = Carried(Expect(30).get(), kObjIntegerType);
    ASSERT_TRUE(v);
    EXPECT_EQ(ObjGetInteger(v.get()), want);
  }
  EXPECT_EQ(log.events, (std::vector<std::string>{"h31"}));
  EXPECT_EQ(alarms, 1);
  MsgWaitRemoveHandler(31, &RecordAndConsume, &log);
}

TEST_F(MessagingTest, TimeOutsAreScaledAndReported) {
  auto start = std::chrono::steady_clock::now();
  Ref<Obj> timeout, m;
  ASSERT_EQ(TimeCreateAndSetTimeout(&timeout, 10, 0), 1);  // 10 s scaled to 100 ms
  EXPECT_EQ(MsgWaitMessageWithTimeout(&m, nullptr, 77, timeout.get()), 0);
  EXPECT_EQ(MsgWaitLastError(), kMsgWaitTimedOut);
  double took = SecondsSince(start);
  EXPECT_GE(took, 0.09);
  EXPECT_LT(took, 2.0);
  EXPECT_EQ(TimeTimeoutRemaining(timeout.get()), 0);
  // The same expired time-out ends the next wait at once, also a callback wait.
  EXPECT_EQ(MsgWaitOnCallbackWithTimeout([](void*) { return 0; }, nullptr, timeout.get()), 0);
  EXPECT_EQ(MsgWaitMessageWithTimeout(nullptr, nullptr, 77, timeout.get()), 0);
  EXPECT_EQ(MsgWaitLastError(), kMsgWaitBadArgument);
}

TEST_F(MessagingTest, AlarmsFireFromWaitsAndCanBeReset) {
  int fired = 0, cancelled = 0;
  TimrSetAlarm(&CountAlarm, &fired, 5.0);  // 50 ms
  TimrSetAlarm(&CountAlarm, &cancelled, 5.0);
  EXPECT_EQ(TimrResetAlarm(&CountAlarm, &cancelled), 1);
  EXPECT_EQ(TimrResetAlarm(&CountAlarm, &cancelled), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(MsgWaitOnCallbackWithTimeout([](void* c) { return *static_cast<int*>(c); }, &fired,
                                         RealTimeout(3000).get()),
            1);
  EXPECT_GE(SecondsSince(start), 0.04);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(cancelled, 0);
  // Re-arming replaces the earlier alarm of the same pair.
  TimrSetAlarm(&CountAlarm, &fired, 1000.0);
  TimrSetAlarm(&CountAlarm, &fired, 0.0);
  MsgWaitPoll();
  EXPECT_EQ(fired, 2);
  EXPECT_EQ(TimrResetAlarm(&CountAlarm, &fired), 0);
}

TEST_F(MessagingTest, MultipleTypeWaitAndAddresses) {
  MsgSendObjectToSelf(41, nullptr);
  MsgSendObjectToSelf(42, nullptr);
  const uint32_t types[] = {43, 42};
  Ref<Obj> m;
  ASSERT_EQ(MsgWaitMultipleWithTimeout(&m, nullptr, types, 2, RealTimeout(1000).get()), 1);
  EXPECT_EQ(MsgGetType(m.get()), 42u);
  EXPECT_TRUE(Expect(41));

  Ref<Obj> a, b, c;
  ASSERT_EQ(ProcCreateAddress(&a, "Alpha", "Giver", 20), 1);
  ASSERT_EQ(ProcCreateAddress(&b, "ALPHA", "Giver", 21), 1);
  ASSERT_EQ(ProcCreateAddress(&c, "alpha", "giver", 20), 1);
  EXPECT_EQ(MsgAddressEqual(a.get(), b.get()), 1);  // machine case-blind; the kind is not identity
  EXPECT_EQ(MsgAddressEqual(a.get(), c.get()), 0);  // process names are exact
  EXPECT_EQ(ProcCreateAddress(&a, "", "Giver", 20), 0);
  EXPECT_EQ(MsgAddressEqual(a.get(), ObjNewInteger(1).get()), 0);
}

// ---------------------------------------------------------------------------------------------
// Two contexts: tasks, replies, channels.

// The provider's task handler for kind 21: answers the giver with 3301 carrying the argument.
int EchoTask(Obj* task, void*) {
  auto* t = ObjCast<MsgTask>(task);
  MsgSendObject(t->giver(), 3301, t->argument());
  return 1;
}

// A reply service: answers 500 with 501 carrying the same object.
int ReplyHandler(Obj* message, void*) {
  Ref<Obj> obj;
  MsgGetObjectInternal(&obj, message, kObjStringType);
  MsgSendReply(message, 501, obj.get());
  return 0;
}

void ServeEchoes(PeerThread& p) {
  ProcRegisterTaskHandler(21, &EchoTask, nullptr);
  MsgWaitAddHandler(500, &ReplyHandler, nullptr);
  MsgInit();
  p.Ready();
  p.Serve();
}

TEST_F(MessagingTest, TaskIsAcceptedAnsweredAndEnded) {
  PeerThread peer(Peer("beta", "Provider"), &ServeEchoes);
  ASSERT_TRUE(peer.WaitReady());
  MachInfo info;
  EXPECT_EQ(MachInfoFind(&info, "Beta"), 1);  // a running process of it published its endpoint
  Ref<Obj> address = Address("BETA", "Provider", 21);
  ASSERT_TRUE(address);
  int32_t id = 0;
  ASSERT_EQ(
      ProcGiveServiceATaskWithID(&id, address.get(), nullptr, 0, 0, ObjNewString("hello").get()),
      1);
  Ref<MsgTaskReturn> ret = ExpectTaskAnswer<MsgTaskReturn>();
  ASSERT_TRUE(ret);
  EXPECT_EQ(ret->status(), 1);
  EXPECT_EQ(ret->task_id(), id);
  Ref<Obj> task_address = Ref<Obj>::Share(ret->task_address());
  ASSERT_TRUE(task_address);
  EXPECT_STREQ(MsgGetProcessName(task_address.get()), "Provider");

  Ref<Obj> reply = Expect(3301, task_address.get());
  Ref<Obj> text = Carried(reply.get(), kObjStringType);
  ASSERT_TRUE(text);
  EXPECT_STREQ(ObjGetString(text.get()), "hello");
  EXPECT_STREQ(MsgGetMachineName(reply.get()), "beta");
  EXPECT_EQ(MsgIsLocalMachine(reply.get()), 0);
  // The link's handshake told us what beta runs.
  ASSERT_EQ(MachInfoFind(&info, "beta"), 1);
  EXPECT_EQ(info.version, kKrVersionString);

  Ref<MsgTaskEnd> end = ExpectTaskAnswer<MsgTaskEnd>();
  ASSERT_TRUE(end);
  EXPECT_EQ(MsgAddressEqual(end->task_address(), task_address.get()), 1);

  // A second task is another serving task: its address differs.
  ASSERT_EQ(ProcGiveServiceATask(address.get(), nullptr, 0, 0, nullptr, 0), 1);
  Ref<MsgTaskReturn> ret2 = ExpectTaskAnswer<MsgTaskReturn>();
  ASSERT_TRUE(ret2);
  EXPECT_EQ(MsgAddressEqual(ret2->task_address(), task_address.get()), 0);
}

TEST_F(MessagingTest, TaskOfAnUnservedKindOrProcessFails) {
  PeerThread peer(Peer("beta", "Provider"), &ServeEchoes);
  ASSERT_TRUE(peer.WaitReady());
  Ref<Obj> address = Address("beta", "Provider", 99);
  ASSERT_EQ(ProcGiveServiceATask(address.get(), nullptr, 0, 0, nullptr, 0), 1);
  Ref<MsgTaskReturn> ret = ExpectTaskAnswer<MsgTaskReturn>();
  ASSERT_TRUE(ret);
  EXPECT_EQ(ret->status(), 0);
  EXPECT_EQ(ret->error(), kProcErrNoHandler);

  // Nobody publishes "Reports Producer": the call fails at once.
  kr_testing::TraceCapture trace;
  auto start = std::chrono::steady_clock::now();
  address = Address("beta", "Reports Producer", 20);
  EXPECT_EQ(ProcGiveServiceATask(address.get(), nullptr, 0, 0, nullptr, 0), 0);
  EXPECT_EQ(MsgSendObject(address.get(), 1, nullptr), 0);
  EXPECT_LT(SecondsSince(start), 0.5);
  EXPECT_TRUE(trace.Contains("No process 'Reports Producer' is running on machine 'beta'", -1))
      << trace.Dump();
}

TEST_F(MessagingTest, RepliesAndInterchange) {
  PeerThread peer(Peer("beta", "Provider"), &ServeEchoes);
  ASSERT_TRUE(peer.WaitReady());
  Ref<Obj> address = Address("beta", "Provider");
  for (int i = 0; i < 20; ++i) {
    std::string body = "ping " + std::to_string(i);
    Ref<Obj> text = Carried(Ask(address.get(), body.c_str()).get(), kObjStringType);
    ASSERT_TRUE(text) << i;
    EXPECT_EQ(ObjGetString(text.get()), body);
  }
}

// The provider side of a channel: the task handler waits, to the exclusion of everything
// else, for the giver's connect request, completes the channel, sends three messages on it and
// answers what comes back; it closes the channel on 603.
struct ChannelServer {
  Ref<Obj> channel;
};

int ChannelTask(Obj* task, void* cookie) {
  auto* server = static_cast<ChannelServer*>(cookie);
  auto* t = ObjCast<MsgTask>(task);
  Ref<Obj> connect;
  if (!MsgWaitExclusiveWithTimeout(&connect, t->giver(), kMsgChannelConnect, nullptr)) return 0;
  Ref<Obj> sender;
  MsgGetSender(&sender, connect.get());
  if (!MsgAddressEqual(sender.get(), t->giver())) return 0;
  if (!MsgChannelCompleteInternal(&server->channel, connect.get(), 0, 1, 1)) return 0;
  for (int i = 1; i <= 3; ++i) MsgSendObject(server->channel.get(), 600, ObjNewInteger(i).get());
  return 1;
}

int ChannelAnswer(Obj* message, void* cookie) {
  auto* server = static_cast<ChannelServer*>(cookie);
  Ref<Obj> source;
  if (!MsgGetSource(&source, message) || !MsgAddressEqual(source.get(), server->channel.get()))
    return 1;
  if (MsgGetType(message) == 603) {
    MsgChannelClose(server->channel.get());
    server->channel.reset();
  } else {
    MsgSendReply(message, 602, nullptr);
  }
  return 0;
}

void ServeChannels(PeerThread& p) {
  ChannelServer server;
  ProcRegisterTaskHandler(21, &ChannelTask, &server);
  MsgWaitAddHandler(601, &ChannelAnswer, &server);
  MsgWaitAddHandler(603, &ChannelAnswer, &server);
  MsgInit();
  p.Ready();
  p.Serve();
}

// Gives the channel task and opens the channel to the serving task.
Ref<Obj> OpenChannel(Ref<Obj>* task_address) {
  Ref<Obj> ret_msg, channel;
  if (!ProcGiveServiceATask(Address("beta", "Provider", 21).get(), nullptr, 0, 0, nullptr, 0))
    return nullptr;
  MsgWaitMessageWithTimeout(&ret_msg, nullptr, kMsgTaskReturn, RealTimeout(5000).get());
  Ref<Obj> ret = Carried(ret_msg.get(), MsgTaskReturn::kTypeCode);
  if (!ret || ObjCast<MsgTaskReturn>(ret.get())->status() != 1) return nullptr;
  *task_address = Ref<Obj>::Share(ObjCast<MsgTaskReturn>(ret.get())->task_address());
  if (!MsgChannelOpenInternal(&channel, task_address->get(), 0, 0, 1, 1, 1)) return nullptr;
  return channel;
}

TEST_F(MessagingTest, ChannelCarriesMessagesAndReportsClose) {
  PeerThread peer(Peer("beta", "Provider"), &ServeChannels);
  ASSERT_TRUE(peer.WaitReady());
  Ref<Obj> task_address;
  Ref<Obj> channel = OpenChannel(&task_address);
  ASSERT_TRUE(channel);
  for (int i = 1; i <= 3; ++i) {
    Ref<Obj> m = Expect(600, channel.get());
    EXPECT_TRUE(CameOn(m.get(), channel.get()));
    Ref<Obj> v = Carried(m.get(), kObjIntegerType);
    ASSERT_TRUE(v);
    EXPECT_EQ(ObjGetInteger(v.get()), i);
    // The answer goes back on the channel and is answered on it.
    ASSERT_EQ(MsgSendReply(m.get(), 601, nullptr), 1);
    EXPECT_TRUE(Expect(602, channel.get()));
  }
  // The provider closes: the survivor hears 2705 with the channel as its source, and a wait on
  // the channel then fails at once.
  ASSERT_EQ(MsgSendObject(channel.get(), 603, nullptr), 1);
  ASSERT_TRUE(Expect(kMsgChannelLost, channel.get()));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Expect(600, channel.get(), 5000));
  EXPECT_EQ(MsgWaitLastError(), kMsgWaitPeerLost);
  EXPECT_LT(SecondsSince(start), 1.0);
  EXPECT_EQ(MsgChannelClose(channel.get()), 0);
  EXPECT_EQ(MsgSendObject(channel.get(), 601, nullptr), 0);
}

TEST_F(MessagingTest, PeerThatEndsFailsItsChannelsAndWaits) {
  auto peer = std::make_unique<PeerThread>(Peer("beta", "Provider"), &ServeChannels);
  ASSERT_TRUE(peer->WaitReady());
  Ref<Obj> task_address;
  Ref<Obj> channel = OpenChannel(&task_address);
  ASSERT_TRUE(channel);
  ASSERT_TRUE(Expect(600, channel.get()));
  peer.reset();  // the provider's context ends
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(CameOn(Expect(kMsgChannelLost, nullptr, 5000).get(), channel.get()));
  // A wait only the lost process could answer fails at once, without time-out.
  EXPECT_FALSE(Expect(3301, task_address.get(), 10000));
  EXPECT_EQ(MsgWaitLastError(), kMsgWaitPeerLost);
  EXPECT_LT(SecondsSince(start), 2.0);
  // And the endpoint it published is gone: a new task fails at once.
  EXPECT_EQ(ProcGiveServiceATask(Address("beta", "Provider", 21).get(), nullptr, 0, 0, nullptr, 0),
            0);
}

// A task given to a process that dies before answering gets a failing 1003 from the giver's
// own runtime.
int NeverAnswer(Obj*, void*) { return kProcTaskContinues; }

TEST_F(MessagingTest, TaskToAProcessThatIsLostFailsPromptly) {
  auto peer = std::make_unique<PeerThread>(Peer("beta", "Provider"), [](PeerThread& p) {
    ProcRegisterTaskHandler(21, &NeverAnswer, nullptr);
    p.Ready();
    p.Serve();
  });
  ASSERT_TRUE(peer->WaitReady());
  int32_t id = 0;
  ASSERT_EQ(ProcGiveServiceATaskWithID(&id, Address("beta", "Provider", 21).get(), "lost", 0, 0, nullptr), 1);
  ASSERT_TRUE(ExpectTaskAnswer<MsgTaskReturn>());  // accepted; the handler keeps it open
  peer.reset();
  Ref<MsgTaskEnd> end = ExpectTaskAnswer<MsgTaskEnd>();
  ASSERT_TRUE(end);
  EXPECT_EQ(end->task_id(), id);
  EXPECT_EQ(end->status(), -1);
}

TEST_F(MessagingTest, StaleEndpointIsRefused) {
  // An endpoint file naming a port that now belongs to another instance: the handshake names
  // the expected instance and the listener refuses it; the giver gets a failing 1003.
  MsgInit();
  Ref<Obj> self;
  MsgLocalAddress(&self);
  std::string run = home_.home() + "/run/";
  std::string mine = run + "alpha@Giver.endpoint";
  auto text = kr_testing::ReadFile(mine);
  ASSERT_TRUE(text);
  unsigned port = 0;
  unsigned long long instance = 0;
  ASSERT_EQ(std::sscanf(text->c_str(), "127.0.0.1 %u %llu", &port, &instance), 2);
  ASSERT_TRUE(kr_testing::WriteFile(
      run + "gamma@Old.endpoint",
      "127.0.0.1 " + std::to_string(port) + " 12345 " + std::to_string(getpid()) + "\n"));
  ASSERT_EQ(ProcGiveServiceATask(Address("gamma", "Old", 21).get(), nullptr, 0, 0, nullptr, 0), 1);
  Ref<MsgTaskReturn> ret = ExpectTaskAnswer<MsgTaskReturn>(3000);
  ASSERT_TRUE(ret);
  EXPECT_EQ(ret->status(), 0);
  EXPECT_EQ(ret->error(), kProcErrPeerLost);
}

TEST_F(MessagingTest, MachinesFileReachesAProcessInAnotherHome) {
  std::string port = std::to_string(kr_testing::FreePort());
  std::string line = "delta 127.0.0.1 " + port + " Remote Provider\n";
  std::string other_home = kr_testing::MakeTempDir();
  // Without TLS a listener takes links only from machines of its own host: the other home
  // places alpha here.
  ASSERT_TRUE(
      kr_testing::WriteFile(other_home + "/config/machines", "# peers\nalpha 127.0.0.1\n" + line));
  ASSERT_TRUE(kr_testing::WriteFile(home_.config_dir() + "/machines", "delta 127.0.0.1\n" + line));
  {
    PeerThread peer(Opts("delta", "Remote Provider", other_home), &ServeEchoes);
    ASSERT_TRUE(peer.WaitReady());
    Ref<Obj> reply = Ask(Address("DELTA", "Remote Provider").get(), "far");
    ASSERT_TRUE(reply);
    EXPECT_STREQ(MsgGetMachineName(reply.get()), "delta");
  }
  kr_testing::RemoveTree(other_home);
}

TEST_F(MessagingTest, PeerSendingGarbageIsDroppedCleanly) {
  PeerThread peer(Peer("beta", "Provider"), &ServeEchoes);
  ASSERT_TRUE(peer.WaitReady());
  auto text = kr_testing::ReadFile(home_.home() + "/run/beta@Provider.endpoint");
  ASSERT_TRUE(text);
  unsigned port = 0;
  ASSERT_EQ(std::sscanf(text->c_str(), "127.0.0.1 %u", &port), 1);
  // Three rude clients: garbage, a header promising a huge payload, and a valid-looking header
  // whose payload is not an object. Each is disconnected; the provider keeps serving.
  std::vector<std::string> garbage = {std::string(64, 'x'), std::string(), std::string()};
  unsigned char h[32] = {'K', 'R', 'F', '1', 1};
  h[12] = 0xff, h[13] = 0xff, h[14] = 0xff, h[15] = 0x7f;
  garbage[1].assign(reinterpret_cast<char*>(h), 32);
  h[12] = 16, h[13] = h[14] = h[15] = 0;
  garbage[2].assign(reinterpret_cast<char*>(h), 32);
  garbage[2] += std::string(16, '\x01');
  for (const std::string& g : garbage) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(send(fd, g.data(), g.size(), MSG_NOSIGNAL), static_cast<ssize_t>(g.size()));
    char c;
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_LE(recv(fd, &c, 1, 0), 0);  // the provider hung up
    close(fd);
  }
  EXPECT_TRUE(Ask(Address("beta", "Provider").get(), "ok"));
}

TEST_F(MessagingTest, ManyContextsExchangeConcurrently) {
  // Three providers on two machines, each asked in turn; all answers arrive.
  PeerThread p1(Peer("beta", "One"), &ServeEchoes);
  PeerThread p2(Peer("beta", "Two"), &ServeEchoes);
  PeerThread p3(Peer("gamma", "One"), &ServeEchoes);
  ASSERT_TRUE(p1.WaitReady() && p2.WaitReady() && p3.WaitReady());
  const Ref<Obj> addresses[] = {Address("beta", "One"), Address("beta", "Two"),
                                Address("gamma", "One")};
  for (int round = 0; round < 50; ++round)
    for (auto& a : addresses) ASSERT_EQ(MsgSendObject(a.get(), 500, ObjNewString("x").get()), 1);
  int got[3] = {};
  for (int i = 0; i < 150; ++i) {
    Ref<Obj> m = Expect(501);
    ASSERT_TRUE(m);
    Ref<Obj> sender;
    MsgGetSender(&sender, m.get());
    for (size_t k = 0; k < 3; ++k)
      if (MsgAddressEqual(sender.get(), addresses[k].get())) ++got[k];
  }
  for (int n : got) EXPECT_EQ(n, 50);
}

TEST_F(MessagingTest, ProcessOpensAChannelToItself) {
  Ref<Obj> self, mine, theirs;
  ASSERT_EQ(MsgLocalAddress(&self), 1);
  auto open_both_ends = [&] {
    Ref<Obj> connect;
    return MsgChannelOpenInternal(&mine, self.get(), 0, 0, 1, 1, 1) == 1 &&
           (connect = Expect(kMsgChannelConnect)) &&
           MsgChannelCompleteInternal(&theirs, connect.get(), 0, 1, 1) == 1;
  };
  ASSERT_TRUE(open_both_ends());
  EXPECT_EQ(MsgAddressEqual(mine.get(), theirs.get()), 0);  // two ends, each its own id
  Ref<Obj> obj = ObjNewInteger(7);
  ASSERT_EQ(MsgSendObject(mine.get(), 600, obj.get()), 1);
  Ref<Obj> m = Expect(600, theirs.get());
  ASSERT_TRUE(m);
  EXPECT_EQ(Carried(m.get(), kObjIntegerType).get(), obj.get());  // by reference, as to self
  EXPECT_TRUE(CameOn(m.get(), theirs.get()));
  ASSERT_EQ(MsgSendReply(m.get(), 601, nullptr), 1);
  EXPECT_TRUE(Expect(601, mine.get()));
  EXPECT_FALSE(Expect(601, theirs.get(), 30));  // nothing leaked to the other end
  // Closing one end tells the other, and waits on either then fail at once.
  ASSERT_EQ(MsgChannelClose(theirs.get()), 1);
  EXPECT_TRUE(Expect(kMsgChannelLost, mine.get()));
  EXPECT_FALSE(Expect(600, mine.get(), 5000));
  EXPECT_EQ(MsgWaitLastError(), kMsgWaitPeerLost);
  EXPECT_EQ(MsgSendObject(mine.get(), 600, nullptr), 0);
  // Dropping the handle of a fresh channel closes it too.
  ASSERT_TRUE(open_both_ends());
  mine.reset();
  EXPECT_TRUE(Expect(kMsgChannelLost, theirs.get()));
}

struct ChannelCount {
  int connects = 0;
  std::vector<Ref<Obj>> open;
};
int TakeChannel(Obj* message, void* cookie) {
  auto* c = static_cast<ChannelCount*>(cookie);
  Ref<Obj> ch;
  ++c->connects;
  if (MsgChannelCompleteInternal(&ch, message, 0, 1, 1)) c->open.push_back(ch);
  return 0;
}
int EchoPing(Obj* message, void*) {
  MsgSendReply(message, 501, nullptr);
  return 0;
}

TEST_F(MessagingTest, ChannelFloodStaysWithinTheCap) {
  constexpr int kFlood = 3000;
  ChannelCount count;
  MsgWaitAddHandler(kMsgChannelConnect, &TakeChannel, &count);
  MsgWaitAddHandler(500, &EchoPing, nullptr);
  MsgInit();
  kr_testing::TraceCapture trace;
  std::atomic<bool> flooded{false}, answered{false};
  std::atomic<int> refused{0};
  PeerThread flooder(Peer("beta", "Flooder"), [&](PeerThread& p) {
    Ref<Obj> to = Address("alpha", "Giver");
    std::vector<Ref<Obj>> channels(kFlood);
    for (auto& c : channels) MsgChannelOpenInternal(&c, to.get(), 0, 0, 1, 1, 1);
    Ref<Obj> m;
    int lost = 0;
    while (lost < kFlood - static_cast<int>(kr_internal::kMaxPeerChannelsPerLink) &&
           MsgWaitMessageWithTimeout(&m, nullptr, kMsgChannelLost, RealTimeout(5000).get()))
      ++lost;
    refused = lost;
    flooded = true;
    p.Serve();  // keeps the accepted channels open
  });
  // The flags are set by other threads, which the loop cannot see: look every 10 ms.
  auto serve_until = [&](std::atomic<bool>& flag) {
    for (int i = 0; i < 2000 && !flag.load(); ++i) Expect(0xfffffff0u, nullptr, 10);
    return flag.load();
  };
  ASSERT_TRUE(serve_until(flooded));
  EXPECT_EQ(count.connects, static_cast<int>(kr_internal::kMaxPeerChannelsPerLink));
  EXPECT_EQ(refused.load(), kFlood - static_cast<int>(kr_internal::kMaxPeerChannelsPerLink));
  EXPECT_TRUE(trace.Contains("Refusing channel", -1)) << trace.Dump();
  // Others are still served meanwhile.
  PeerThread other(Peer("gamma", "Asker"), [&](PeerThread&) {
    if (Ask(Address("alpha", "Giver").get(), nullptr)) answered = true;
  });
  EXPECT_TRUE(serve_until(answered));
  MsgWaitRemoveHandler(kMsgChannelConnect, &TakeChannel, &count);
  MsgWaitRemoveHandler(500, &EchoPing, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Two real processes.

TEST_F(MessagingTest, KilledPeerProcessLosesItsChannel) {
  kr_testing::ReadyProgram helper("kr_msg_peer", {home_.home(), "beta", "Provider"});
  ASSERT_TRUE(helper.ready()) << "cannot start " << kr_testing::ProgramPath("kr_msg_peer");
  Ref<Obj> task_address;
  Ref<Obj> channel = OpenChannel(&task_address);
  ASSERT_TRUE(channel);
  Ref<Obj> m = Expect(600, channel.get());
  ASSERT_TRUE(m);
  Ref<Obj> sender;
  MsgGetSender(&sender, m.get());
  EXPECT_EQ(MsgGetProcessId(sender.get()), helper.pid());

  // Killed mid-channel: the survivor hears 2705 on the channel, and waits on the channel or on
  // the dead task fail at once instead of hanging.
  helper.Kill();
  auto start = std::chrono::steady_clock::now();
  Ref<Obj> lost = Expect(kMsgChannelLost, channel.get(), 10000);
  ASSERT_TRUE(lost);
  EXPECT_FALSE(Expect(600, channel.get(), 10000));
  EXPECT_EQ(MsgWaitLastError(), kMsgWaitPeerLost);
  EXPECT_FALSE(Expect(3301, task_address.get(), 10000));
  EXPECT_EQ(MsgWaitLastError(), kMsgWaitPeerLost);
  EXPECT_LT(SecondsSince(start), 2.0);
  // Its endpoint file is still there, but names a dead process: not followed.
  EXPECT_EQ(ProcGiveServiceATask(Address("beta", "Provider", 21).get(), nullptr, 0, 0, nullptr, 0),
            0);
}

}  // namespace
