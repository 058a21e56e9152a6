// Dispatch: waits, handlers, tasks and alarms, and the exported functions that wait, register
// handlers, give and complete tasks and set alarms. It only consumes what the links queued, so
// it is its own file.

#include "kr/message.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <unordered_map>

#include "kr/trace.h"
#include "msg_internal.h"
#include "object_internal.h"
#include "msgstate.h"

namespace kr_internal {

// ---------------------------------------------------------------------------------------------
// Dispatch.

namespace {

bool SourceMatches(const Obj* filter, const MsgMessage* m) {
  const MsgAddress* f = AsAddress(filter);
  if (f == nullptr) return false;
  if (f->channel() != 0) {
    const MsgAddress* src = AsAddress(m->source());
    return src != nullptr && src->channel() == f->channel();
  }
  PeerIdentity want, from;
  if (!AddressIdentity(f, &want) || !AddressIdentity(m->sender(), &from)) return false;
  return SameName(want, from) && (want.instance == 0 || want.instance == from.instance);
}

bool Matches(const WaitFrame* w, const PendingItem& item) {
  if (item.task || w->done != nullptr) return false;
  const MsgMessage* m = AsMessage(item.message.get());
  uint32_t type = m->type();
  bool wanted = false;
  for (int i = 0; i < w->ntypes && !wanted; ++i) wanted = w->types[i] == type;
  return wanted && (w->source == nullptr || SourceMatches(w->source, m));
}

// True when nobody is left who could answer a wait with a source.
bool SourceLost(MsgState* s, const WaitFrame* w) {
  const MsgAddress* f = AsAddress(w->source);
  if (f == nullptr) return false;
  if (f->channel() != 0) return s->channels.count(f->channel()) == 0;
  PeerIdentity want;
  if (!AddressIdentity(f, &want) || IsSelf(s, f)) return false;
  for (const LostPeer& l : s->lost) {
    if (!SameName(l.peer, want)) continue;
    if (want.instance != 0 ? l.peer.instance == want.instance : l.serial > w->loss_mark)
      return true;
  }
  return false;
}

int FireAlarms(MsgState* s) {
  int fired = 0;
  uint64_t limit = s->alarm_serial;
  for (;;) {
    Clock::time_point now = Clock::now();
    auto due = s->alarms.end();
    for (auto a = s->alarms.begin(); a != s->alarms.end(); ++a)
      if (a->when <= now && a->serial < limit && (due == s->alarms.end() || a->when < due->when))
        due = a;
    if (due == s->alarms.end()) return fired;
    Alarm a = *due;
    s->alarms.erase(due);
    a.fn(a.cookie);
    ++fired;
  }
}

void RunTask(MsgState* s, Ref<Obj> message);

// Offers a pending message to the handlers it has not seen. True when one consumed it.
bool Offer(MsgState* s, uint64_t seq) {
  auto it = s->pending.find(seq);
  PendingItem item = std::move(it->second);
  s->pending.erase(it);
  uint32_t type = MsgGetType(item.message.get());
  for (;;) {
    auto h = s->handlers.upper_bound(item.offered);
    while (h != s->handlers.end() && h->second.type != type) ++h;
    if (h == s->handlers.end()) break;
    item.offered = h->first;
    HandlerEntry e = h->second;
    // While the handler has it, the message is out of the queue: a wait inside the handler
    // cannot take it too.
    if (e.fn(item.message.get(), e.cookie) == 0) return true;
  }
  item.offered = s->next_handler - 1;
  s->pending.emplace(seq, std::move(item));
  return false;
}

// One pass over the messages queued when it starts; messages queued meanwhile wait for the
// next pass, after network input has been polled. True when the wait is satisfied. Counts the
// messages, tasks and alarms dispatched.
bool Pass(MsgState* s, WaitFrame* w, int* dispatched) {
  if (!w->exclusive) {
    int fired = FireAlarms(s);
    *dispatched += fired;
    if (fired > 0 && w->done != nullptr && w->done(w->cookie)) return true;
  }
  uint64_t end = s->next_seq;
  uint64_t cursor = 0;
  for (;;) {
    auto it = s->pending.upper_bound(cursor);
    if (it == s->pending.end() || it->first >= end) break;
    cursor = it->first;
    if (w->exclusive) {
      if (Matches(w, it->second)) {
        w->result = std::move(it->second.message);
        s->pending.erase(it);
        return true;
      }
      continue;
    }
    if (it->second.task) {
      Ref<Obj> m = std::move(it->second.message);
      s->pending.erase(it);
      RunTask(s, std::move(m));
      ++*dispatched;
      if (w->done != nullptr && w->done(w->cookie)) return true;
      continue;
    }
    if (it->second.offered + 1 < s->next_handler) {
      if (Offer(s, cursor)) {
        ++*dispatched;
        if (w->done != nullptr && w->done(w->cookie)) return true;
        continue;
      }
      it = s->pending.find(cursor);
      if (it == s->pending.end()) continue;
    }
    if (Matches(w, it->second)) {
      w->result = std::move(it->second.message);
      s->pending.erase(it);
      return true;
    }
  }
  return w->done != nullptr && w->done(w->cookie);
}

Clock::time_point DeadlineOf(const Obj* timeout) {
  if (timeout == nullptr || ObjGetMagic(timeout) != kMsgTimeoutType)
    return Clock::time_point::max();
  return Clock::time_point(Clock::duration(ObjGetSlotInt64(timeout, 1)));
}

int RunWait(MsgState* s, WaitFrame* w, const Obj* timeout) {
  Clock::time_point deadline = DeadlineOf(timeout);
  w->loss_mark = s->loss_serial;
  s->waits.push_back(w);
  int rc = 0;
  int error = kMsgWaitTimedOut;
  bool poll = true;
  if (w->done != nullptr && w->done(w->cookie)) {
    rc = 1;
    poll = false;
  }
  while (rc == 0) {
    if (poll) s->transport->Run(Clock::time_point::min());
    MsgIngest(s);
    int dispatched = 0;
    uint64_t seq_before = s->next_seq;
    uint64_t handlers_before = s->next_handler;
    if (Pass(s, w, &dispatched)) {
      rc = 1;
      break;
    }
    if (w->source != nullptr && SourceLost(s, w)) {
      error = kMsgWaitPeerLost;
      break;
    }
    Clock::time_point now = Clock::now();
    if (now >= deadline) break;
    // Messages posted during the pass, or handlers added, need another pass first; network
    // input is polled in between so that neither starves.
    bool more = dispatched > 0 || !s->inbox.empty() || s->next_seq != seq_before ||
                s->next_handler != handlers_before;
    if (more && !w->exclusive) {
      poll = true;
      continue;
    }
    Clock::time_point wake = deadline;
    if (!w->exclusive)
      for (const Alarm& a : s->alarms) wake = std::min(wake, a.when);
    s->transport->Run(wake);
    poll = false;
  }
  s->waits.pop_back();
  s->last_error = rc == 1 ? kMsgWaitOk : error;
  if (rc == 0)
    TraceMessage(kTag, 14, 0, 3, "Wait ended without its message: %s",
                 error == kMsgWaitPeerLost ? "peer lost" : "timed out");
  return rc;
}

int WaitTypes(Ref<Obj>* message, const Obj* source, const uint32_t* types, int count,
              const Obj* timeout, bool exclusive) {
  MsgState* s = MsgStateGet();
  if (message == nullptr || types == nullptr || count <= 0) {
    if (s != nullptr) s->last_error = kMsgWaitBadArgument;
    return 0;
  }
  if (source != nullptr && AsAddress(source) == nullptr) {
    s->last_error = kMsgWaitBadArgument;
    return 0;
  }
  WaitFrame w;
  w.types = types;
  w.ntypes = count;
  w.source = source;
  w.exclusive = exclusive;
  if (!RunWait(s, &w, timeout)) return 0;
  *message = std::move(w.result);
  return 1;
}

void EndTask(MsgState* s, int32_t number, int32_t status) {
  auto it = s->serving.find(number);
  if (it == s->serving.end()) return;
  Ref<Obj> task = std::move(it->second);
  s->serving.erase(it);
  const MsgTask* t = ObjCast<MsgTask>(task.get());
  Ref<MsgTaskEnd> end = MsgTaskEnd::New();
  end->set_task_address(Ref<Obj>::Share(t->task_address()));
  end->set_task_id(t->giver_task_id());
  end->set_status(status);
  if (!MsgSendObject(t->giver(), kMsgTaskEnded, end.get()))
    TraceMessage(kTag, 15, 0, 3, "Cannot tell the giver of task %d that it ended", number);
}

void RunTask(MsgState* s, Ref<Obj> message) {
  MsgTask* t = ObjCast<MsgTask>(AsMessage(message.get())->object());
  if (t == nullptr) return;
  Ref<Obj> task = Ref<Obj>::Share(t);
  int32_t kind = t->kind();
  Ref<MsgTaskReturn> ret = MsgTaskReturn::New();
  ret->set_kind(kind);
  ret->set_task_id(t->giver_task_id());
  auto h = s->task_handlers.find(kind);
  if (h == s->task_handlers.end()) {
    TraceMessage(kTag, 16, 0, -1, "Refusing a task of kind %d from %s: no handler", kind,
                 MsgAddressToText(t->giver()).c_str());
    ret->set_error(kProcErrNoHandler);
    MsgSendObject(t->giver(), kMsgTaskReturn, ret.get());
    return;
  }
  std::pair<ProcTaskHandler, void*> handler = h->second;
  int32_t number = s->next_serving;
  s->next_serving = s->next_serving == INT32_MAX ? 1 : s->next_serving + 1;
  t->set_task_address(MakeAddress(s->self, kind, number, 0));
  ret->set_status(1);
  ret->set_task_address(Ref<Obj>::Share(t->task_address()));
  MsgSendObject(t->giver(), kMsgTaskReturn, ret.get());
  s->serving[number] = task;
  TraceMessage(kTag, 17, 0, 3, "Running task %d of kind %d for %s", number, kind,
               MsgAddressToText(t->giver()).c_str());
  int r = handler.first(t, handler.second);
  if (r != kProcTaskContinues) EndTask(s, number, r);
}

}  // namespace

}  // namespace kr_internal

using namespace kr_internal;

// Time-outs and waits.

int TimeCreateAndSetTimeout(Ref<Obj>* timeout, int32_t seconds, int32_t milliseconds) noexcept {
  if (timeout == nullptr) return 0;
  static const ObjType* type = ObjTypeIntern(kMsgTimeoutType, "l;", "MsgTimeout");
  Ref<Obj> t = ObjNewOfType(type);
  if (!t) return 0;
  double ms = static_cast<double>(seconds) * 1000.0 + milliseconds;
  Clock::time_point deadline = Clock::now() + MsgScaled(ms);
  ObjSetSlotInt64(t.get(), 1, deadline.time_since_epoch().count());
  *timeout = std::move(t);
  return 1;
}

int64_t TimeTimeoutRemaining(const Obj* timeout) noexcept {
  if (timeout == nullptr) return -1;
  Clock::duration left = DeadlineOf(timeout) - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  return std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
}

int MsgWaitLastError() noexcept { return MsgStateGet()->last_error; }

int MsgWaitMessageWithTimeout(Ref<Obj>* message, const Obj* source, uint32_t type,
                              const Obj* timeout) noexcept {
  return WaitTypes(message, source, &type, 1, timeout, false);
}

int MsgWaitExclusiveWithTimeout(Ref<Obj>* message, const Obj* source, uint32_t type,
                                const Obj* timeout) noexcept {
  return WaitTypes(message, source, &type, 1, timeout, true);
}

int MsgWaitMultipleWithTimeout(Ref<Obj>* message, const Obj* source, const uint32_t* types,
                               int count, const Obj* timeout) noexcept {
  return WaitTypes(message, source, types, count, timeout, false);
}

int MsgWaitOnCallbackWithTimeout(MsgWaitCallback done, void* cookie, const Obj* timeout) noexcept {
  MsgState* s = MsgStateGet();
  if (done == nullptr) {
    s->last_error = kMsgWaitBadArgument;
    return 0;
  }
  WaitFrame w;
  w.done = done;
  w.cookie = cookie;
  return RunWait(s, &w, timeout);
}

int MsgWaitInterchangeInternal(Ref<Obj>* reply, const Obj* destination, uint32_t type, Obj* object,
                               uint32_t reply_type, const Obj* timeout) noexcept {
  if (reply == nullptr || !MsgSendObject(destination, type, object)) return 0;
  return MsgWaitMessageWithTimeout(reply, destination, reply_type, timeout);
}

int MsgWaitPoll() noexcept {
  MsgState* s = MsgStateGet();
  // A poll is a wait that takes no message and ends after one pass.
  WaitFrame w;
  s->waits.push_back(&w);
  s->transport->Run(Clock::time_point::min());
  MsgIngest(s);
  int dispatched = 0;
  Pass(s, &w, &dispatched);
  s->waits.pop_back();
  return dispatched;
}

int MsgWaitAddHandler(uint32_t type, MsgHandler handler, void* cookie) noexcept {
  if (handler == nullptr) return 0;
  MsgState* s = MsgStateGet();
  s->handlers.emplace(s->next_handler++, HandlerEntry{type, handler, cookie});
  return 1;
}

int MsgWaitRemoveHandler(uint32_t type, MsgHandler handler, void* cookie) noexcept {
  MsgState* s = MsgStateGet();
  for (auto it = s->handlers.begin(); it != s->handlers.end(); ++it) {
    if (it->second.type == type && it->second.fn == handler && it->second.cookie == cookie) {
      s->handlers.erase(it);
      return 1;
    }
  }
  return 0;
}

// Tasks.

int ProcRegisterTaskHandler(int32_t kind, ProcTaskHandler handler, void* cookie) noexcept {
  if (handler == nullptr) return 0;
  MsgState* s = MsgStateGet();
  s->task_handlers[kind] = {handler, cookie};
  return 1;
}

int ProcUnregisterTaskHandler(int32_t kind) noexcept {
  return MsgStateGet()->task_handlers.erase(kind) != 0 ? 1 : 0;
}

int ProcGiveServiceATaskWithID(int32_t* task_id, const Obj* address, const char* task_name,
                               int32_t /*reserved1*/, int32_t /*reserved2*/,
                               Obj* argument) noexcept {
  const MsgAddress* a = AsAddress(address);
  if (a == nullptr || a->channel() != 0) return 0;
  MsgState* s = MsgStateGet();
  int32_t id = s->next_task_id;
  s->next_task_id = s->next_task_id == INT32_MAX ? 1 : s->next_task_id + 1;
  Ref<MsgTask> task = MsgTask::New();
  task->set_argument(Ref<Obj>::Share(argument));
  task->set_kind(a->kind());
  task->set_giver_task_id(id);
  task->set_name(task_name);
  if (IsSelf(s, a)) {
    task->set_giver(s->self_address);
    PushPending(s, NewMessage(0, task.get(), s->self_address, nullptr, s->self_address), true);
  } else {
    Frame f;
    f.kind = FrameKind::kTask;
    f.type = static_cast<uint32_t>(a->kind());
    f.task = static_cast<uint32_t>(id);
    f.object = task;
    uint64_t link = MsgSendFrameTo(s, a, f);
    if (link == 0) {
      TraceMessage(kTag, 19, 0, -1, "Cannot give a task of kind %d to '%s' on '%s'", a->kind(),
                   MsgGetProcessName(a), MsgGetMachineName(a));
      return 0;
    }
    GivenTask g;
    g.link = link;
    g.destination = Ref<Obj>::Share(const_cast<MsgAddress*>(a));
    s->given[id] = std::move(g);
  }
  if (task_id != nullptr) *task_id = id;
  return 1;
}

int ProcGiveServiceATask(const Obj* address, const char* task_name, int32_t reserved1,
                         int32_t reserved2, Obj* argument, int32_t /*reserved3*/) noexcept {
  int32_t id;
  return ProcGiveServiceATaskWithID(&id, address, task_name, reserved1, reserved2, argument);
}

int ProcTaskComplete(Obj* task, int32_t status) noexcept {
  const MsgTask* t = ObjCast<MsgTask>(task);
  const MsgAddress* a = t != nullptr ? AsAddress(t->task_address()) : nullptr;
  if (a == nullptr) return 0;
  MsgState* s = MsgStateGet();
  if (s->serving.count(a->task()) == 0) return 0;
  EndTask(s, a->task(), status);
  return 1;
}

// Alarms.

int TimrSetAlarm(TimrCallback callback, void* cookie, double seconds) noexcept {
  if (callback == nullptr) return 0;
  MsgState* s = MsgStateGet();
  TimrResetAlarm(callback, cookie);
  s->alarms.push_back(
      Alarm{callback, cookie, Clock::now() + MsgScaled(seconds * 1000.0), s->alarm_serial++});
  return 1;
}

int TimrResetAlarm(TimrCallback callback, void* cookie) noexcept {
  MsgState* s = MsgStateGet();
  for (auto it = s->alarms.begin(); it != s->alarms.end(); ++it) {
    if (it->fn == callback && it->cookie == cookie) {
      s->alarms.erase(it);
      return 1;
    }
  }
  return 0;
}
