// Messages, tasks, message channels and alarms: how the processes of the backup domain talk.
//
// A process is named by its machine and its process name ("Reports Producer" on "backup2").
// Each context (kr/context.h) is one such process: on first use of messaging it listens on a
// TCP port and publishes its endpoint under <home>/run/, so that other contexts sharing the
// home find it; processes on other hosts come from <home>/config/machines. Links between
// hosts are mutual TLS when the home has config/tls; without it only this host's machines may
// connect. doc/messaging.md describes the finding scheme, the wire format, the dispatch order
// and what is checked of whom ("Security") in full.
//
// Addresses are objects (type kMsgAddressType), so they sit in slots and travel in messages.
// An address names a process instance, and may further name a task of it (the serving task of
// a task hand-over) or a message channel to it.
//
// A message has a 32-bit type and at most one object. Messages to another process are
// serialized; messages a process sends to itself go on a local queue, the object handed over
// by reference.
//
// Nothing happens behind the caller's back: the runtime starts no threads. Network input,
// handlers, task handlers and alarms run only inside the calling thread's waits and polls
// (MsgWait*, and data-channel calls that say "not yet"). Waits nest: a handler may wait again.
//
// Result codes: 1 success, 0 failure, unless a function says otherwise.
//
// Thread safety: everything acts on the calling thread's current context. A context and the
// objects it hands out belong to one thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "kr/object.h"

// ---------------------------------------------------------------------------------------------
// Message types the runtime itself sends.

inline constexpr uint32_t kMsgTaskReturn = 1003;           // task-return object (MsgTaskReturn)
inline constexpr uint32_t kMsgTaskEnded = 1006;            // task-end object (MsgTaskEnd)
inline constexpr uint32_t kMsgChannelConnect = 2704;       // a peer opens a message channel to us
inline constexpr uint32_t kMsgChannelLost = 2705;          // the peer closed a channel or was lost
inline constexpr uint32_t kMsgDataChannelConnect = 55809;  // a peer announces a data channel

// ---------------------------------------------------------------------------------------------
// Addresses.

inline constexpr uint32_t kMsgAddressType = 0x4b520020;

// The address object. Slots: 1 machine, 2 process name, 3 instance (a random 64-bit number
// chosen when the process starts, 0 when not yet known), 4 operating-system process id,
// 5 address kind (the task kind given to ProcCreateAddress), 6 task number (of a serving task;
// 0 for none), 7 channel id (0 for none), 8 local handle (never compared; see channels).
struct MsgAddress : ObjView<MsgAddress> {
  static constexpr uint32_t kTypeCode = kMsgAddressType;
  static constexpr const char kSpec[] = "s;s;l;i;i;i;l;r;";
  static constexpr const char kName[] = "MsgAddress";
  // The slot of the local handle: dropping a channel's address object closes the channel.
  static constexpr int kHandleSlot = 8;

  const char* machine() const noexcept { return StrSlot<1>(); }
  const char* process() const noexcept { return StrSlot<2>(); }
  uint64_t instance() const noexcept { return static_cast<uint64_t>(cells()[Cell<3>()].i); }
  int32_t pid() const noexcept { return IntSlot<4>(); }
  int32_t kind() const noexcept { return IntSlot<5>(); }
  int32_t task() const noexcept { return IntSlot<6>(); }
  uint64_t channel() const noexcept { return static_cast<uint64_t>(cells()[Cell<7>()].i); }

  void set_machine(const char* v) noexcept { SetStrSlot<1>(v); }
  void set_process(const char* v) noexcept { SetStrSlot<2>(v); }
  void set_instance(uint64_t v) noexcept { cells()[Cell<3>()].i = static_cast<int64_t>(v); }
  void set_pid(int32_t v) noexcept { SetIntSlot<4>(v); }
  void set_kind(int32_t v) noexcept { SetIntSlot<5>(v); }
  void set_task(int32_t v) noexcept { SetIntSlot<6>(v); }
  void set_channel(uint64_t v) noexcept { cells()[Cell<7>()].i = static_cast<int64_t>(v); }
};

// The address of a task kind of a named process on a machine. The process is looked up when
// something is sent to the address, not here. 0 for a null or empty machine or process name.
int ProcCreateAddress(Ref<Obj>* address, const char* machine, const char* process,
                      int32_t kind) noexcept;

// The calling process's own address (starting messaging if need be).
int MsgLocalAddress(Ref<Obj>* address) noexcept;

// 1 when both are addresses of the same process instance (machine compared case-blind, process
// name, instance) naming the same task and channel (or both none). A per-message id is never
// part of an address, so the sender of two messages of one process compares equal.
int MsgAddressEqual(const Obj* a, const Obj* b) noexcept;

// The components of an address; given a message, of its sender. "" / 0 for anything else.
const char* MsgGetMachineName(const Obj* address_or_message) noexcept;
const char* MsgGetProcessName(const Obj* address_or_message) noexcept;
int64_t MsgGetProcessId(const Obj* address_or_message) noexcept;
// 1 when the address (or the message's sender) is on the calling context's machine.
int MsgIsLocalMachine(const Obj* address_or_message) noexcept;
// "machine:process:pid[/task n][/channel x]" for traces.
std::string MsgAddressToText(const Obj* address) noexcept;

// ---------------------------------------------------------------------------------------------
// Messages.

inline constexpr uint32_t kMsgMessageType = 0x4b520023;

// Starts messaging for the calling context: listens and publishes its endpoint. Every other
// call does this on first use; a process that only serves tasks calls it (or registers a task
// handler) so that others can find it. 0 when the context has no usable home or port.
int MsgInit() noexcept;
// Why messaging could not start for the calling context, in words for an administrator (another
// live process already publishes this machine and process name, the port is taken, TLS files
// do not load, ...); "" when it started or has not been tried.
const char* MsgStartFailure() noexcept;

// A message to `destination` (an address or a channel) with a type and an optional object.
int MsgCreate(Ref<Obj>* message, const Obj* destination, uint32_t type, Obj* object) noexcept;
// Sends a message made with MsgCreate to the calling process itself.
int MsgSendToSelf(Obj* message) noexcept;

// Sends `object` (may be null) as a message of `type`. The destination is an address (the
// message goes to that process) or a channel (it goes on the channel). 1 when it was queued for
// sending: a process that cannot be found fails at once; one that dies later fails the waits
// that depend on it.
int MsgSendObject(const Obj* destination, uint32_t type, Obj* object) noexcept;
int MsgSendObjectToSelf(uint32_t type, Obj* object) noexcept;
// Answers a received message: to its source, i.e. on the channel it came on, else its sender.
int MsgSendReply(const Obj* message, uint32_t type, Obj* object) noexcept;

uint32_t MsgGetType(const Obj* message) noexcept;  // 0 for anything but a message
// 1 and a new reference to the attached object only when one is attached and has `type_code`.
int MsgGetObjectInternal(Ref<Obj>* object, const Obj* message, uint32_t type_code) noexcept;
// The process that sent the message.
int MsgGetSender(Ref<Obj>* sender, const Obj* message) noexcept;
// Where the message came from: the channel it came on, else its sender.
int MsgGetSource(Ref<Obj>* source, const Obj* message) noexcept;

// ---------------------------------------------------------------------------------------------
// Time-outs and waits.
//
// A time-out is an object holding a deadline; one time-out may serve several waits in turn. A
// null time-out waits without limit. Durations are multiplied by the context's timeout_scale,
// so that tests can shorten the long protocol time-outs.
//
// Dispatch order, for each message in arrival order (messages to self and network input are
// taken in turn, so neither starves):
//   1. While the innermost wait is exclusive, only a message it matches is taken; everything
//      else stays queued in order, and handlers, task handlers and alarms wait too.
//   2. Otherwise the handlers installed for the message's type are offered it, oldest first,
//      until one returns 0 (consumed). A handler installed later is offered the messages still
//      queued.
//   3. A task hand-over goes to the task handler of its kind.
//   4. A message nobody consumed goes to the innermost wait if it matches; otherwise it stays
//      queued, in order, for a later wait (an outer one, or the next).
// Due alarms fire between messages. A message is delivered once: to one handler, or one wait.
// A wait with a source (an address or a channel) can only be answered by that peer: it fails
// as soon as the peer's link or the channel is lost and no matching message is queued.

inline constexpr uint32_t kMsgTimeoutType = 0x4b520022;

int TimeCreateAndSetTimeout(Ref<Obj>* timeout, int32_t seconds, int32_t milliseconds) noexcept;
// Milliseconds left before the deadline (0 when passed); -1 for a null time-out.
int64_t TimeTimeoutRemaining(const Obj* timeout) noexcept;

// Why the last wait of the calling context failed.
enum MsgWaitError {
  kMsgWaitOk = 0,
  kMsgWaitTimedOut = 1,
  kMsgWaitPeerLost = 2,  // the only peer that could answer is gone
  kMsgWaitBadArgument = 3,
};
int MsgWaitLastError() noexcept;

// Waits for a message of `type` (from `source` when not null). 1 and the message, or 0.
int MsgWaitMessageWithTimeout(Ref<Obj>* message, const Obj* source, uint32_t type,
                              const Obj* timeout) noexcept;
// The same, to the exclusion of everything else (see the dispatch order).
int MsgWaitExclusiveWithTimeout(Ref<Obj>* message, const Obj* source, uint32_t type,
                                const Obj* timeout) noexcept;
// Waits for a message of any of `count` types.
int MsgWaitMultipleWithTimeout(Ref<Obj>* message, const Obj* source, const uint32_t* types,
                               int count, const Obj* timeout) noexcept;
// Dispatches until `done(cookie)` returns non-zero (checked before waiting and after every
// dispatched message or alarm). 1 when done, 0 on time-out.
using MsgWaitCallback = int (*)(void* cookie);
int MsgWaitOnCallbackWithTimeout(MsgWaitCallback done, void* cookie, const Obj* timeout) noexcept;
// Sends `object` as `type` to `destination` and waits for the answer of `reply_type` from it.
int MsgWaitInterchangeInternal(Ref<Obj>* reply, const Obj* destination, uint32_t type, Obj* object,
                               uint32_t reply_type, const Obj* timeout) noexcept;
// Dispatches whatever is ready without blocking. Returns the number of messages and alarms
// dispatched.
int MsgWaitPoll() noexcept;

// Handlers: handler(message, cookie) returns 0 when it consumed the message, 1 when not. A
// handler may add and remove handlers (itself included) and may wait. Adding the same
// (type, handler, cookie) twice installs it twice; removing removes the oldest such entry.
using MsgHandler = int (*)(Obj* message, void* cookie);
int MsgWaitAddHandler(uint32_t type, MsgHandler handler, void* cookie) noexcept;
int MsgWaitRemoveHandler(uint32_t type, MsgHandler handler, void* cookie) noexcept;

// ---------------------------------------------------------------------------------------------
// Tasks.
//
// A task hands an argument object to the handler a process registered for the task's kind. The
// giver gets message 1003 with a MsgTaskReturn when the serving process takes the task up (or
// refuses it), and message 1006 with a MsgTaskEnd when it ends. A task to a process nobody
// publishes fails at once; a task whose process is lost before answering gets a failing 1003
// (and, when it had been accepted, a 1006 with status -1) from the giver's own runtime.

inline constexpr uint32_t kMsgTaskType = 0x4b520021;

// What a task handler is given. Slots: 1 the giver's address, 2 the argument object (or null),
// 3 this serving task's address, 4 the task kind, 5 the giver's task id, 6 the task name.
struct MsgTask : ObjView<MsgTask> {
  static constexpr uint32_t kTypeCode = kMsgTaskType;
  static constexpr const char kSpec[] = "o;o;o;i;i;s;";
  static constexpr const char kName[] = "MsgTask";

  Obj* giver() const noexcept { return ObjSlot<1>(); }
  Obj* argument() const noexcept { return ObjSlot<2>(); }
  Obj* task_address() const noexcept { return ObjSlot<3>(); }
  int32_t kind() const noexcept { return IntSlot<4>(); }
  int32_t giver_task_id() const noexcept { return IntSlot<5>(); }
  const char* name() const noexcept { return StrSlot<6>(); }

  void set_giver(Ref<Obj> v) noexcept { SetObjSlot<1>(std::move(v)); }
  void set_argument(Ref<Obj> v) noexcept { SetObjSlot<2>(std::move(v)); }
  void set_task_address(Ref<Obj> v) noexcept { SetObjSlot<3>(std::move(v)); }
  void set_kind(int32_t v) noexcept { SetIntSlot<4>(v); }
  void set_giver_task_id(int32_t v) noexcept { SetIntSlot<5>(v); }
  void set_name(const char* v) noexcept { SetStrSlot<6>(v); }
};

// Message 1003's object. Slots: 1 status (1 accepted, 0 refused), 2 error code (kProcErr*),
// 3 the serving task's address, 4 the task kind, 5 reserved, 6 the giver's task id.
struct MsgTaskReturn : ObjView<MsgTaskReturn> {
  static constexpr uint32_t kTypeCode = 0xcc0b0916;
  static constexpr const char kSpec[] = "i;i;o;i;i;i;";
  static constexpr const char kName[] = "MsgTaskReturn";

  int32_t status() const noexcept { return IntSlot<1>(); }
  int32_t error() const noexcept { return IntSlot<2>(); }
  Obj* task_address() const noexcept { return ObjSlot<3>(); }
  int32_t kind() const noexcept { return IntSlot<4>(); }
  int32_t task_id() const noexcept { return IntSlot<6>(); }

  void set_status(int32_t v) noexcept { SetIntSlot<1>(v); }
  void set_error(int32_t v) noexcept { SetIntSlot<2>(v); }
  void set_task_address(Ref<Obj> v) noexcept { SetObjSlot<3>(std::move(v)); }
  void set_kind(int32_t v) noexcept { SetIntSlot<4>(v); }
  void set_task_id(int32_t v) noexcept { SetIntSlot<6>(v); }
};

// Message 1006's object. Slots: 1 the serving task's address, 2 the giver's task id, 3 the
// task's status (what the handler returned or ProcTaskComplete gave; -1 when its process was
// lost).
struct MsgTaskEnd : ObjView<MsgTaskEnd> {
  static constexpr uint32_t kTypeCode = 0xc9c6bd5d;
  static constexpr const char kSpec[] = "o;i;i;";
  static constexpr const char kName[] = "MsgTaskEnd";

  Obj* task_address() const noexcept { return ObjSlot<1>(); }
  int32_t task_id() const noexcept { return IntSlot<2>(); }
  int32_t status() const noexcept { return IntSlot<3>(); }

  void set_task_address(Ref<Obj> v) noexcept { SetObjSlot<1>(std::move(v)); }
  void set_task_id(int32_t v) noexcept { SetIntSlot<2>(v); }
  void set_status(int32_t v) noexcept { SetIntSlot<3>(v); }
};

enum ProcTaskError {
  kProcErrNone = 0,
  kProcErrNoHandler = 2,  // the process serves no task of that kind
  kProcErrPeerLost = 3,   // the process was lost before it answered
};

// A task handler returns its status (1 success, 0 failure), which ends the task, or
// kProcTaskContinues to end it later with ProcTaskComplete.
inline constexpr int kProcTaskContinues = 2;
using ProcTaskHandler = int (*)(Obj* task, void* cookie);

// Serves tasks of `kind` with `handler` (replacing an earlier handler of that kind) and starts
// messaging, so that the process can be found.
int ProcRegisterTaskHandler(int32_t kind, ProcTaskHandler handler, void* cookie) noexcept;
int ProcUnregisterTaskHandler(int32_t kind) noexcept;

// Hands the task named by `address` its argument. `task_name` (may be null) travels with the
// task for traces; the reserved arguments are not used. 1 when sent.
int ProcGiveServiceATask(const Obj* address, const char* task_name, int32_t reserved1,
                         int32_t reserved2, Obj* argument, int32_t reserved3) noexcept;
// The same, handing back the task id that the 1003 answer will carry in its slot 6.
int ProcGiveServiceATaskWithID(int32_t* task_id, const Obj* address, const char* task_name,
                               int32_t reserved1, int32_t reserved2, Obj* argument) noexcept;
// Ends a task whose handler returned kProcTaskContinues: its giver gets 1006 with `status`.
int ProcTaskComplete(Obj* task, int32_t status) noexcept;

// ---------------------------------------------------------------------------------------------
// Message channels.
//
// A channel is a conversation with one peer process, over the link to it. The opener sends the
// channel connect request (2704) to an address; the peer takes it up with
// MsgChannelCompleteInternal. Messages sent to a channel travel on it and have the channel as
// their source at the other end. When one end closes the channel, or the peer's process is
// lost, the other end gets 2705 with the channel as its source, and waits on the channel fail.
// A channel is an address object (kind channel); dropping the last reference to the one handed
// out closes it, as MsgChannelClose does.
// A process may open a channel to itself: both ends are then its own, each with its own id.
// A peer may have at most 1024 channels it opened open on one link; a connect request beyond
// that is refused (the opener hears 2705 for it).

// Opens a channel to the process of `destination`. The further arguments are accepted for
// callers that pass them and are not used. 0 when the process cannot be found.
int MsgChannelOpenInternal(Ref<Obj>* channel, const Obj* destination, int32_t reserved1,
                           int32_t reserved2, int32_t reserved3, int32_t reserved4,
                           int32_t reserved5) noexcept;
// Takes up the channel that a 2704 message requests. The further arguments are not used.
int MsgChannelCompleteInternal(Ref<Obj>* channel, const Obj* connect_message, int32_t reserved1,
                               int32_t reserved2, int32_t reserved3) noexcept;
// Closes a channel; the peer gets 2705. 0 when it was not open (closed, or lost).
int MsgChannelClose(Obj* channel) noexcept;

// ---------------------------------------------------------------------------------------------
// Alarms: callback(cookie) once, from a wait or poll, when `seconds` (scaled by the context's
// timeout_scale) have passed. Alarms do not fire during an exclusive wait. Setting an alarm
// for a (callback, cookie) pair that has one re-arms it.
using TimrCallback = void (*)(void* cookie);
int TimrSetAlarm(TimrCallback callback, void* cookie, double seconds) noexcept;
// Cancels the alarm of (callback, cookie); 0 when there was none.
int TimrResetAlarm(TimrCallback callback, void* cookie) noexcept;
