// The exported address, message and message-channel functions: making and comparing addresses,
// creating and sending messages, reading them, opening and closing channels. The state, links
// and waits they stand on are their own files (messagestate.cc, messagelinks.cc,
// messagewait.cc).

#include "kr/message.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <unordered_map>

#include "kr/text.h"
#include "kr/trace.h"
#include "msg_internal.h"
#include "msgstate.h"
#include "object_internal.h"

using namespace kr_internal;

// ---------------------------------------------------------------------------------------------
// Exported functions.

int MsgInit() noexcept { return MsgStateGet()->reachable ? 1 : 0; }

const char* MsgStartFailure() noexcept {
  MsgState* s = ContextMsgState(ContextCurrent());
  return s != nullptr ? s->start_failure.c_str() : "";
}

int ProcCreateAddress(Ref<Obj>* address, const char* machine, const char* process,
                      int32_t kind) noexcept {
  if (address == nullptr || machine == nullptr || process == nullptr || *machine == '\0' ||
      *process == '\0')
    return 0;
  PeerIdentity p;
  p.machine = machine;
  p.process = process;
  *address = MakeAddress(p, kind, 0, 0);
  return 1;
}

int MsgLocalAddress(Ref<Obj>* address) noexcept {
  if (address == nullptr) return 0;
  MsgState* s = MsgStateGet();
  *address = s->self_address;
  return 1;
}

int MsgAddressEqual(const Obj* a, const Obj* b) noexcept {
  const MsgAddress* x = AsAddress(a);
  const MsgAddress* y = AsAddress(b);
  if (x == nullptr || y == nullptr) return 0;
  PeerIdentity p, q;
  AddressIdentity(x, &p);
  AddressIdentity(y, &q);
  if (!SameName(p, q)) return 0;
  // An instance of 0 is one not yet learnt (an address made by name before the process was
  // reached); it does not tell two instances apart.
  if (p.instance != 0 && q.instance != 0 && p.instance != q.instance) return 0;
  return x->task() == y->task() && x->channel() == y->channel() ? 1 : 0;
}

const char* MsgGetMachineName(const Obj* address_or_message) noexcept {
  const MsgAddress* a = AddressOf(address_or_message);
  const char* m = a != nullptr ? a->machine() : nullptr;
  return StrOrEmpty(m);
}

const char* MsgGetProcessName(const Obj* address_or_message) noexcept {
  const MsgAddress* a = AddressOf(address_or_message);
  const char* p = a != nullptr ? a->process() : nullptr;
  return StrOrEmpty(p);
}

int64_t MsgGetProcessId(const Obj* address_or_message) noexcept {
  const MsgAddress* a = AddressOf(address_or_message);
  return a != nullptr ? a->pid() : 0;
}

int MsgIsLocalMachine(const Obj* address_or_message) noexcept {
  const MsgAddress* a = AddressOf(address_or_message);
  if (a == nullptr || a->machine() == nullptr) return 0;
  return strcasecmp(a->machine(), ContextCurrent()->machine_name.c_str()) == 0 ? 1 : 0;
}

std::string MsgAddressToText(const Obj* address) noexcept {
  const MsgAddress* a = AsAddress(address);
  if (a == nullptr) return "(no address)";
  std::string t = std::string(MsgGetMachineName(a)) + ":" + MsgGetProcessName(a) + ":" +
                  std::to_string(a->pid());
  if (a->task() != 0) t += "/task " + std::to_string(a->task());
  if (a->channel() != 0) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "/channel %llx", static_cast<unsigned long long>(a->channel()));
    t += buf;
  }
  return t;
}

// Messages.

int MsgCreate(Ref<Obj>* message, const Obj* destination, uint32_t type, Obj* object) noexcept {
  if (message == nullptr) return 0;
  MsgState* s = MsgStateGet();
  *message = NewMessage(type, object, s->self_address, nullptr,
                        Ref<Obj>::Share(const_cast<Obj*>(destination)));
  return 1;
}

int MsgSendToSelf(Obj* message) noexcept {
  MsgMessage* m = ObjCast<MsgMessage>(message);
  if (m == nullptr) return 0;
  MsgState* s = MsgStateGet();
  m->set_sender(s->self_address);
  m->set_source(nullptr);
  PushPending(s, Ref<Obj>::Share(m), false);
  return 1;
}

int MsgSendObject(const Obj* destination, uint32_t type, Obj* object) noexcept {
  const MsgAddress* a = AsAddress(destination);
  if (a == nullptr) return 0;
  MsgState* s = MsgStateGet();
  Frame f;
  f.kind = FrameKind::kMessage;
  f.type = type;
  f.object = Ref<Obj>::Share(object);
  if (a->channel() != 0) {
    auto c = s->channels.find(a->channel());
    if (c == s->channels.end()) {
      TraceMessage(kTag, 18, 0, 3, "Cannot send message %u: channel %s is not open", type,
                   MsgAddressToText(a).c_str());
      return 0;
    }
    if (c->second.link == 0) {
      // On a channel to itself: straight to the other end's queue, by reference.
      if (s->channels.count(c->second.partner) == 0) return 0;
      PushPending(
          s,
          NewMessage(type, object, s->self_address, MakeAddress(s->self, 0, 0, c->second.partner),
                     Ref<Obj>::Share(const_cast<Obj*>(destination))),
          false);
      return 1;
    }
    f.channel = c->first;
    return SendOnLink(s, c->second.link, f) ? 1 : 0;
  }
  if (IsSelf(s, a)) {
    PushLocal(s, type, object, destination);
    return 1;
  }
  f.task = static_cast<uint32_t>(a->task());
  return MsgSendFrameTo(s, a, f) != 0 ? 1 : 0;
}

int MsgSendObjectToSelf(uint32_t type, Obj* object) noexcept {
  MsgState* s = MsgStateGet();
  PushLocal(s, type, object, s->self_address.get());
  return 1;
}

int MsgSendReply(const Obj* message, uint32_t type, Obj* object) noexcept {
  const MsgMessage* m = AsMessage(message);
  if (m == nullptr) return 0;
  return MsgSendObject(m->reply_to(), type, object);
}

uint32_t MsgGetType(const Obj* message) noexcept {
  const MsgMessage* m = AsMessage(message);
  return m != nullptr ? m->type() : 0;
}

int MsgGetObjectInternal(Ref<Obj>* object, const Obj* message, uint32_t type_code) noexcept {
  const MsgMessage* m = AsMessage(message);
  if (object == nullptr || m == nullptr || m->object() == nullptr ||
      ObjGetMagic(m->object()) != type_code)
    return 0;
  *object = Ref<Obj>::Share(m->object());
  return 1;
}

int MsgGetSender(Ref<Obj>* sender, const Obj* message) noexcept {
  const MsgMessage* m = AsMessage(message);
  if (sender == nullptr || m == nullptr || m->sender() == nullptr) return 0;
  *sender = Ref<Obj>::Share(m->sender());
  return 1;
}

int MsgGetSource(Ref<Obj>* source, const Obj* message) noexcept {
  const MsgMessage* m = AsMessage(message);
  if (source == nullptr || m == nullptr) return 0;
  Obj* from = m->reply_to();
  if (from == nullptr) return 0;
  *source = Ref<Obj>::Share(from);
  return 1;
}

// Message channels.

namespace {

Ref<Obj> ChannelHandle(MsgState* s, const PeerIdentity& peer, uint64_t id) {
  Ref<Obj> c = MakeAddress(peer, 0, 0, id);
  HandleAttach(c.get(), MsgAddress::kHandleSlot, HandleRegister(s, &OnChannelHandleDropped, id));
  return c;
}

}  // namespace

int MsgChannelOpenInternal(Ref<Obj>* channel, const Obj* destination, int32_t, int32_t, int32_t,
                           int32_t, int32_t) noexcept {
  const MsgAddress* a = AsAddress(destination);
  if (channel == nullptr || a == nullptr || a->channel() != 0) return 0;
  MsgState* s = MsgStateGet();
  auto new_id = [s] {
    uint64_t id;
    do {
      id = s->rng() >> 1;
    } while (id == 0 || s->channels.count(id) != 0);
    return id;
  };
  uint64_t id = new_id();
  if (IsSelf(s, a)) {
    // Both ends live here, each under its own id; the connect request goes on the local queue
    // with the accepting end as its source, as it would arrive from a peer.
    uint64_t other = new_id();
    ChannelEntry mine, theirs;
    mine.peer = theirs.peer = s->self;
    mine.partner = other;
    theirs.partner = id;
    s->channels.emplace(id, std::move(mine));
    s->channels.emplace(other, std::move(theirs));
    PushPending(
        s,
        NewMessage(kMsgChannelConnect, nullptr, s->self_address, MakeAddress(s->self, 0, 0, other),
                   Ref<Obj>::Share(const_cast<MsgAddress*>(a))),
        false);
    *channel = ChannelHandle(s, s->self, id);
    return 1;
  }
  Frame f;
  f.kind = FrameKind::kMessage;
  f.type = kMsgChannelConnect;
  f.channel = id;
  f.task = static_cast<uint32_t>(a->task());
  uint64_t link = MsgSendFrameTo(s, a, f);
  if (link == 0) return 0;
  PeerIdentity peer = s->links[link].peer;
  ChannelEntry e;
  e.link = link;
  e.peer = peer;
  s->channels.emplace(id, std::move(e));
  *channel = ChannelHandle(s, peer, id);
  return 1;
}

int MsgChannelCompleteInternal(Ref<Obj>* channel, const Obj* connect_message, int32_t, int32_t,
                               int32_t) noexcept {
  const MsgMessage* m = AsMessage(connect_message);
  if (channel == nullptr || m == nullptr || m->type() != kMsgChannelConnect) return 0;
  const MsgAddress* src = AsAddress(m->source());
  if (src == nullptr || src->channel() == 0) return 0;
  MsgState* s = MsgStateGet();
  auto c = s->channels.find(src->channel());
  if (c == s->channels.end()) {
    TraceMessage(kTag, 21, 0, -1, "Cannot complete channel %s: its peer has gone",
                 MsgAddressToText(src).c_str());
    return 0;
  }
  *channel = ChannelHandle(s, c->second.peer, c->first);
  return 1;
}

int MsgChannelClose(Obj* channel) noexcept {
  const MsgAddress* a = AsAddress(channel);
  if (a == nullptr || a->channel() == 0) return 0;
  MsgState* s = MsgStateGet();
  uint64_t token = HandleTokenOf(a, MsgAddress::kHandleSlot);
  if (token != 0) HandleForget(token);
  auto c = s->channels.find(a->channel());
  if (c == s->channels.end()) return 0;
  CloseChannelEntry(s, c->first);
  return 1;
}
