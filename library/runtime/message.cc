// Messages, waits, handlers, tasks, message channels and alarms, over the transport.
//
// Everything here runs on the context's thread, outside any Asio call: the transport's
// completion handlers only queue events (NetEvent), which MsgIngest turns into pending messages;
// the wait loop then dispatches them (doc/messaging.md has the order).

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

namespace kr_internal {
namespace {

constexpr const char* kTag = "KRMSG";
// Unclaimed messages kept for later waits; beyond this the oldest is dropped.
constexpr size_t kMaxPending = 65536;
// Lost peers remembered, so that waits on them fail.
constexpr size_t kMaxLost = 1024;
// Machines whose runtime version is remembered from their handshakes.
constexpr size_t kMaxVersions = 1024;

struct PendingItem {
  Ref<Obj> message;      // a MsgMessage
  uint64_t offered = 0;  // every handler up to this sequence number has declined it
  bool task = false;     // a task hand-over: the message's object is the MsgTask
};

struct HandlerEntry {
  uint32_t type;
  MsgHandler fn;
  void* cookie;
};

struct WaitFrame {
  const uint32_t* types = nullptr;
  int ntypes = 0;
  MsgWaitCallback done = nullptr;
  void* cookie = nullptr;
  const Obj* source = nullptr;
  bool exclusive = false;
  uint64_t loss_mark = 0;
  Ref<Obj> result;
};

struct LinkInfo {
  PeerIdentity peer;  // the expected identity until the link is up
  bool up = false;
  std::string key;
  Ref<Obj> address;          // the peer's process address, once up
  size_t peer_channels = 0;  // channels the peer opened on this link, still open
  uint64_t refused_channels = 0;
};

struct GivenTask {
  uint64_t link = 0;
  bool accepted = false;
  Ref<Obj> destination;
  Ref<Obj> task_address;
};

struct ChannelEntry {
  uint64_t link = 0;  // 0 for a channel of the process to itself
  PeerIdentity peer;
  bool by_peer = false;  // opened by the peer (counted against its link's cap)
  uint64_t partner = 0;  // a channel to itself: the id of the other end
};

struct LostPeer {
  PeerIdentity peer;
  uint64_t serial;
};

struct Alarm {
  TimrCallback fn;
  void* cookie;
  Clock::time_point when;
  uint64_t serial;
};

}  // namespace

struct MsgState {
  KrContext* ctx = nullptr;
  PeerIdentity self;
  Ref<Obj> self_address;
  std::deque<NetEvent> inbox;
  std::unique_ptr<Transport> transport;
  std::string endpoint_file;
  uint16_t port = 0;
  std::string publish_host = "127.0.0.1";
  bool reachable = false;  // listening and published
  std::string start_failure;  // why not, in words for the administrator

  std::map<uint64_t, PendingItem> pending;
  uint64_t next_seq = 1;
  std::map<uint64_t, HandlerEntry> handlers;
  uint64_t next_handler = 1;
  std::vector<WaitFrame*> waits;
  int last_error = kMsgWaitOk;

  std::map<uint64_t, LinkInfo> links;
  std::map<std::string, uint64_t> primary;  // peer key -> link used to send to it
  std::deque<LostPeer> lost;
  uint64_t loss_serial = 0;

  std::map<int32_t, std::pair<ProcTaskHandler, void*>> task_handlers;
  std::map<int32_t, GivenTask> given;
  int32_t next_task_id = 1;
  std::map<int32_t, Ref<Obj>> serving;  // task number -> MsgTask
  int32_t next_serving = 1;

  std::map<uint64_t, ChannelEntry> channels;
  std::vector<uint64_t> dropped_channels;  // closed by dropping their handle; closed next pass

  std::vector<Alarm> alarms;
  uint64_t alarm_serial = 1;

  std::vector<std::shared_ptr<DataChanCore>> data_channels;
  std::map<uint64_t, Clock::time_point> accept_attempts;
  std::mt19937_64 rng;
  std::map<std::string, std::string> versions;  // lower-case machine -> its runtime version
  // Where peers that linked to us listen (PeerKey -> endpoint with instance): how a process on
  // another host, which no endpoint file or machines-file line places, is reached for a data
  // channel. Bounded like the versions.
  std::map<std::string, Endpoint> reach;
};

namespace {

std::string Lower(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

std::string PeerKey(const std::string& machine, const std::string& process) {
  return Lower(machine) + '\n' + process;
}

bool SameName(const PeerIdentity& a, const PeerIdentity& b) {
  return strcasecmp(a.machine.c_str(), b.machine.c_str()) == 0 && a.process == b.process;
}

const MsgAddress* AsAddress(const Obj* o) { return ObjCast<MsgAddress>(o); }
const MsgMessage* AsMessage(const Obj* o) { return ObjCast<MsgMessage>(o); }

// The sender's address of a message, or the address itself.
const MsgAddress* AddressOf(const Obj* address_or_message) {
  if (const MsgAddress* a = AsAddress(address_or_message)) return a;
  if (const MsgMessage* m = AsMessage(address_or_message)) return AsAddress(m->sender());
  return nullptr;
}

bool IsSelf(MsgState* s, const MsgAddress* a) {
  PeerIdentity p;
  AddressIdentity(a, &p);
  return a->channel() == 0 && SameName(p, s->self) &&
         (p.instance == 0 || p.instance == s->self.instance);
}

Ref<Obj> NewMessage(uint32_t type, Obj* object, Ref<Obj> sender, Ref<Obj> source,
                    Ref<Obj> destination) {
  Ref<MsgMessage> m = MsgMessage::New();
  m->set_type(type);
  m->set_object(Ref<Obj>::Share(object));
  m->set_sender(std::move(sender));
  m->set_source(std::move(source));
  m->set_destination(std::move(destination));
  return m;
}

void PushPending(MsgState* s, Ref<Obj> message, bool task) {
  if (s->pending.size() >= kMaxPending) {
    auto oldest = s->pending.begin();
    TraceMessage(kTag, 1, 0, -1, "Dropping unclaimed message of type %u: %zu messages queued",
                 MsgGetType(oldest->second.message.get()), s->pending.size());
    s->pending.erase(oldest);
  }
  PendingItem item;
  item.message = std::move(message);
  item.task = task;
  s->pending.emplace(s->next_seq++, std::move(item));
}

void PushLocal(MsgState* s, uint32_t type, Obj* object, const Obj* destination) {
  PushPending(s,
              NewMessage(type, object, s->self_address, nullptr,
                         Ref<Obj>::Share(const_cast<Obj*>(destination))),
              false);
}

}  // namespace

bool MsgResolve(MsgState* s, const Obj* address, Endpoint* endpoint,
                PeerIdentity* expect) noexcept {
  PeerIdentity want;
  if (!AddressIdentity(address, &want)) return false;
  if (ResolveProcess(s->ctx->home, want, endpoint, expect)) return true;
  auto r = s->reach.find(PeerKey(want.machine, want.process));
  if (r == s->reach.end() || (want.instance != 0 && want.instance != r->second.instance))
    return false;
  *endpoint = r->second;
  *expect = want;
  expect->instance = r->second.instance;
  return true;
}

// The runtime version a machine's process gave in a link handshake with this context.
bool MsgMachineVersion(const char* machine, std::string* version) noexcept {
  MsgState* s = ContextMsgState(ContextCurrent());
  if (s == nullptr || machine == nullptr) return false;
  auto it = s->versions.find(Lower(machine));
  if (it == s->versions.end()) return false;
  *version = it->second;
  return true;
}

namespace {

MsgState* CreateState(KrContext* ctx) {
  auto s = std::make_unique<MsgState>();
  s->ctx = ctx;
  std::random_device rd;
  s->rng.seed((uint64_t{rd()} << 32) ^ rd() ^ static_cast<uint64_t>(getpid()) ^
              static_cast<uint64_t>(Clock::now().time_since_epoch().count()));
  s->self.machine = ctx->machine_name;
  s->self.process =
      !ctx->process_name.empty() ? ctx->process_name : std::string(program_invocation_short_name);
  do {
    s->self.instance = s->rng() >> 1;
  } while (s->self.instance == 0);
  s->self.pid = getpid();
  s->self_address = MakeAddress(s->self, 0, 0, 0);
  s->transport = std::make_unique<Transport>(&s->self, &s->inbox);
  std::string home = ctx->home;
  s->transport->SetLocalMachineCheck(
      [home](const std::string& machine) { return MachineOnThisHost(home, machine); });
  TlsFiles files;
  std::string tls_error;
  if (!TlsFilesOf(home, s->self.machine, &files)) {
    TraceMessage(kTag, 22, 0, 2,
                 "Links are plain TCP (no '%s/config/tls'): only this host's machines may connect",
                 home.c_str());
  } else if (!s->transport->UseTls(files, &tls_error)) {
    TraceMessage(kTag, 23, 0, -1,
                 "TLS is configured but unusable, so '%s' makes and takes no links: %s",
                 s->self.process.c_str(), tls_error.c_str());
    s->start_failure = "TLS is configured under '" + home + "/config/tls' but unusable: " +
                       tls_error;
  } else {
    TraceMessage(kTag, 24, 0, 2, "Links are mutual TLS with certificate '%s'", files.cert.c_str());
  }
  std::string host;
  uint16_t want = 0;
  ListenAddressOf(home, s->self, &host, &want);
  if (host != "0.0.0.0") s->publish_host = host;
  std::string refusal;
  if (!s->transport->Listen(host, want, &s->port)) {
    TraceMessage(kTag, 3, 0, -1, "Cannot listen on %s port %u: other processes cannot reach '%s'",
                 host.c_str(), unsigned{want}, s->self.process.c_str());
    if (s->start_failure.empty())
      s->start_failure = "cannot listen on " + host + " port " + std::to_string(want) +
                         " (is another process using it?)";
  } else if (!EndpointPublish(home, s->self, s->publish_host, s->port, &s->endpoint_file,
                              &refusal)) {
    TraceMessage(kTag, 4, 0, -1, "Cannot publish the endpoint of '%s' under '%s': %s",
                 s->self.process.c_str(), DiscoveryRunDir(home).c_str(), refusal.c_str());
    s->start_failure = refusal.empty() ? "cannot publish its endpoint under '" +
                                             DiscoveryRunDir(home) + "'"
                                       : refusal;
  } else {
    s->reachable = true;
    TraceMessage(kTag, 5, 0, 2, "Process '%s' on machine '%s' listening on port %u",
                 s->self.process.c_str(), s->self.machine.c_str(), unsigned{s->port});
  }
  return s.release();
}

}  // namespace

void MsgStateDestroy(MsgState* s) noexcept {
  if (s == nullptr) return;
  HandleForgetAll(s);
  EndpointUnpublish(s->endpoint_file, s->self.instance);
  s->endpoint_file.clear();
  DataChannelsShutdown(s);
  s->transport.reset();
  delete s;
}

MsgState* MsgStateGet() noexcept {
  KrContext* ctx = ContextCurrent();
  MsgState* s = ContextMsgState(ctx);
  if (s == nullptr) {
    s = CreateState(ctx);
    ContextSetMsgState(ctx, s);
  }
  return s;
}

Transport* MsgTransport(MsgState* s) noexcept { return s->transport.get(); }
const PeerIdentity& MsgSelf(MsgState* s) noexcept { return s->self; }
std::vector<std::shared_ptr<DataChanCore>>& MsgDataChannels(MsgState* s) noexcept {
  return s->data_channels;
}
std::map<uint64_t, Clock::time_point>& MsgAcceptAttempts(MsgState* s) noexcept {
  if (s->accept_attempts.size() > 1024) s->accept_attempts.clear();
  return s->accept_attempts;
}

Clock::duration MsgScaled(double ms) noexcept {
  double scale = ContextCurrent()->timeout_scale;
  if (!(scale > 0)) scale = 1.0;
  double ns = ms * scale * 1e6;
  if (ns < 0) ns = 0;
  if (ns > 1e17) ns = 1e17;
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(static_cast<int64_t>(ns)));
}

// ---------------------------------------------------------------------------------------------
// Addresses.

Ref<Obj> MakeAddress(const PeerIdentity& peer, int32_t kind, int32_t task,
                     uint64_t channel) noexcept {
  Ref<MsgAddress> a = MsgAddress::New();
  a->set_machine(peer.machine.c_str());
  a->set_process(peer.process.c_str());
  a->set_instance(peer.instance);
  a->set_pid(static_cast<int32_t>(peer.pid));
  a->set_kind(kind);
  a->set_task(task);
  a->set_channel(channel);
  return a;
}

bool AddressIdentity(const Obj* address, PeerIdentity* peer) noexcept {
  const MsgAddress* a = AsAddress(address);
  if (a == nullptr) return false;
  const char* m = a->machine();
  const char* p = a->process();
  peer->machine = m != nullptr ? m : "";
  peer->process = p != nullptr ? p : "";
  peer->instance = a->instance();
  peer->pid = a->pid();
  return !peer->machine.empty() && !peer->process.empty();
}

// ---------------------------------------------------------------------------------------------
// Handle tokens.

namespace {

struct HandleEntry {
  MsgState* owner;
  void (*on_drop)(MsgState*, uint64_t);
  uint64_t value;
};

struct HandleTable {
  std::mutex mu;
  std::unordered_map<uint64_t, HandleEntry> entries;
  std::mt19937_64 rng{std::random_device{}()};
};

HandleTable& Handles() {
  static HandleTable* t = new HandleTable;  // never destroyed: objects may outlive statics
  return *t;
}

void HandleFinalize(void* bytes) {
  uint64_t token;
  std::memcpy(&token, bytes, sizeof token);
  HandleEntry e{};
  {
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> lock(t.mu);
    auto it = t.entries.find(token);
    if (it == t.entries.end()) return;
    e = it->second;
    t.entries.erase(it);
  }
  // Only the owner's own thread drops its objects; anything else is ignored.
  KrContext* ctx = ContextCurrent();
  if (ContextMsgState(ctx) == e.owner) e.on_drop(e.owner, e.value);
}

}  // namespace

uint64_t HandleRegister(MsgState* owner, void (*on_drop)(MsgState*, uint64_t),
                        uint64_t value) noexcept {
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> lock(t.mu);
  uint64_t token;
  do {
    token = t.rng();
  } while (token == 0 || t.entries.count(token) != 0);
  t.entries.emplace(token, HandleEntry{owner, on_drop, value});
  return token;
}

void HandleForget(uint64_t token) noexcept {
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.entries.find(token);
  // Only the owner may forget a token: a token copied into another process's object means
  // nothing there.
  if (it != t.entries.end() && it->second.owner == ContextMsgState(ContextCurrent()))
    t.entries.erase(it);
}

void HandleForgetAll(MsgState* owner) noexcept {
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> lock(t.mu);
  for (auto it = t.entries.begin(); it != t.entries.end();) {
    if (it->second.owner == owner)
      it = t.entries.erase(it);
    else
      ++it;
  }
}

void HandleAttach(Obj* obj, int slot, uint64_t token) noexcept {
  const ObjType* type = ObjTypeOf(obj);
  if (type == nullptr || slot < 1 || slot > static_cast<int>(type->slots.size())) return;
  const SlotInfo& info = type->slots[static_cast<size_t>(slot - 1)];
  if (info.kind != SlotKind::kRaw) return;
  ObjCell* cell = &obj->cells()[info.cell];
  FreeRawBlock(static_cast<RawBlock*>(cell->p));
  RawBlock* b = NewRawBlock(&token, sizeof token);
  b->finalizer = &HandleFinalize;
  cell->p = b;
}

uint64_t HandleTokenOf(const Obj* obj, int slot) noexcept {
  size_t n = 0;
  const ObjType* type = ObjTypeOf(obj);
  if (type == nullptr || slot < 1 || slot > static_cast<int>(type->slots.size())) return 0;
  const SlotInfo& info = type->slots[static_cast<size_t>(slot - 1)];
  if (info.kind != SlotKind::kRaw) return 0;
  auto* b = static_cast<const RawBlock*>(obj->cells()[info.cell].p);
  if (b == nullptr) return 0;
  n = b->size;
  uint64_t token = 0;
  if (n == sizeof token) std::memcpy(&token, b->data, sizeof token);
  return token;
}

namespace {

// ---------------------------------------------------------------------------------------------
// Links and frames.

uint64_t LinkFor(MsgState* s, const Obj* address) {
  PeerIdentity want;
  if (!AddressIdentity(address, &want)) return 0;
  std::string key = PeerKey(want.machine, want.process);
  auto p = s->primary.find(key);
  if (p != s->primary.end()) {
    auto l = s->links.find(p->second);
    if (l != s->links.end()) {
      uint64_t have = l->second.peer.instance;
      if (want.instance == 0 || have == 0 || want.instance == have) return p->second;
      TraceMessage(kTag, 6, 0, 3, "Address of '%s' on '%s' names an instance that is gone",
                   want.process.c_str(), want.machine.c_str());
      return 0;
    }
    s->primary.erase(p);
  }
  Endpoint ep;
  PeerIdentity expect;
  if (!MsgResolve(s, address, &ep, &expect)) {
    TraceMessage(kTag, 7, 0, -1, "No process '%s' is running on machine '%s'", want.process.c_str(),
                 want.machine.c_str());
    return 0;
  }
  uint64_t link = s->transport->Connect(ep, expect);
  if (link == 0) return 0;
  LinkInfo info;
  info.peer = expect;
  info.key = key;
  s->links.emplace(link, std::move(info));
  s->primary[key] = link;
  return link;
}

bool SendOnLink(MsgState* s, uint64_t link, const Frame& frame) {
  std::string bytes;
  if (!FrameEncode(&bytes, frame)) {
    TraceMessage(kTag, 8, 0, -1, "Cannot encode a frame of type %u (object too large?)",
                 frame.type);
    return false;
  }
  return s->transport->Send(link, std::move(bytes));
}

void RememberLost(MsgState* s, const PeerIdentity& peer) {
  s->lost.push_back(LostPeer{peer, ++s->loss_serial});
  if (s->lost.size() > kMaxLost) s->lost.pop_front();
}

void OnLinkUp(MsgState* s, const NetEvent& ev) {
  LinkInfo& l = s->links[ev.link];
  l.peer = ev.peer;
  l.up = true;
  l.key = PeerKey(ev.peer.machine, ev.peer.process);
  l.address = MakeAddress(ev.peer, 0, 0, 0);
  if (s->versions.size() < kMaxVersions || s->versions.count(Lower(ev.peer.machine)) != 0)
    s->versions[Lower(ev.peer.machine)] = ev.version;
  if (ev.reach.port != 0 && (s->reach.size() < kMaxVersions || s->reach.count(l.key) != 0))
    s->reach[l.key] = ev.reach;
  auto p = s->primary.find(l.key);
  if (p == s->primary.end() || s->links.count(p->second) == 0) s->primary[l.key] = ev.link;
  TraceMessage(kTag, 9, 0, 3, "Link %llu up with '%s' on '%s'",
               static_cast<unsigned long long>(ev.link), ev.peer.process.c_str(),
               ev.peer.machine.c_str());
}

void OnLinkDown(MsgState* s, uint64_t link) {
  auto it = s->links.find(link);
  if (it == s->links.end()) return;
  LinkInfo l = std::move(it->second);
  s->links.erase(it);
  auto p = s->primary.find(l.key);
  if (p != s->primary.end() && p->second == link) s->primary.erase(p);
  TraceMessage(kTag, 10, 0, 2, "Lost link to '%s' on '%s'", l.peer.process.c_str(),
               l.peer.machine.c_str());
  RememberLost(s, l.peer);
  Ref<Obj> peer_address = l.address ? l.address : MakeAddress(l.peer, 0, 0, 0);
  // Every link to a lost instance goes with it.
  if (l.peer.instance != 0) {
    for (auto& [id, other] : s->links)
      if (other.peer.instance == l.peer.instance) s->transport->CloseLink(id);
  }
  for (auto c = s->channels.begin(); c != s->channels.end();) {
    if (c->second.link != link) {
      ++c;
      continue;
    }
    Ref<Obj> source = MakeAddress(c->second.peer, 0, 0, c->first);
    PushPending(s, NewMessage(kMsgChannelLost, nullptr, peer_address, source, s->self_address),
                false);
    c = s->channels.erase(c);
  }
  for (auto g = s->given.begin(); g != s->given.end();) {
    if (g->second.link != link) {
      ++g;
      continue;
    }
    if (!g->second.accepted) {
      Ref<MsgTaskReturn> ret = MsgTaskReturn::New();
      ret->set_status(0);
      ret->set_error(kProcErrPeerLost);
      ret->set_task_address(g->second.destination);
      ret->set_task_id(g->first);
      PushPending(s, NewMessage(kMsgTaskReturn, ret.get(), peer_address, nullptr, s->self_address),
                  false);
    } else {
      Ref<MsgTaskEnd> end = MsgTaskEnd::New();
      end->set_task_address(g->second.task_address);
      end->set_task_id(g->first);
      end->set_status(-1);
      PushPending(s, NewMessage(kMsgTaskEnded, end.get(), peer_address, nullptr, s->self_address),
                  false);
    }
    g = s->given.erase(g);
  }
}

void NoteTaskAnswer(MsgState* s, uint64_t link, uint32_t type, Obj* object) {
  if (type == kMsgTaskReturn) {
    const MsgTaskReturn* r = ObjCast<MsgTaskReturn>(object);
    if (r == nullptr) return;
    auto g = s->given.find(r->task_id());
    if (g == s->given.end() || g->second.link != link) return;
    if (r->status() == 1 && AsAddress(r->task_address()) != nullptr) {
      g->second.accepted = true;
      g->second.task_address = Ref<Obj>::Share(r->task_address());
    } else {
      s->given.erase(g);
    }
  } else if (type == kMsgTaskEnded) {
    const MsgTaskEnd* e = ObjCast<MsgTaskEnd>(object);
    if (e == nullptr) return;
    auto g = s->given.find(e->task_id());
    if (g != s->given.end() && g->second.link == link) s->given.erase(g);
  }
}

void OnFrame(MsgState* s, uint64_t link, Frame& f) {
  auto it = s->links.find(link);
  if (it == s->links.end() || !it->second.up) return;
  LinkInfo& l = it->second;
  switch (f.kind) {
    case FrameKind::kMessage: {
      Ref<Obj> source;
      if (f.channel != 0) {
        auto c = s->channels.find(f.channel);
        if (c == s->channels.end()) {
          if (f.type != kMsgChannelConnect) {
            TraceMessage(kTag, 11, 0, 3, "Dropping message %u on closed channel %llx", f.type,
                         static_cast<unsigned long long>(f.channel));
            return;
          }
          if (l.peer_channels >= kMaxPeerChannelsPerLink) {
            // Refused, and said so to the opener: it hears 2705 rather than wait for nothing.
            if (l.refused_channels++ % 1024 == 0)
              TraceMessage(kTag, 25, 0, -1,
                           "Refusing channel %llx from '%s' on '%s': it has %zu channels open on "
                           "its link, the most allowed (%llu refused so far)",
                           static_cast<unsigned long long>(f.channel), l.peer.process.c_str(),
                           l.peer.machine.c_str(), l.peer_channels,
                           static_cast<unsigned long long>(l.refused_channels));
            Frame close;
            close.kind = FrameKind::kChannelClose;
            close.channel = f.channel;
            SendOnLink(s, link, close);
            return;
          }
          ChannelEntry e;
          e.link = link;
          e.peer = l.peer;
          e.by_peer = true;
          s->channels.emplace(f.channel, std::move(e));
          ++l.peer_channels;
        } else if (c->second.link != link) {
          TraceMessage(kTag, 12, 0, -1, "Dropping message %u for channel %llx from another link",
                       f.type, static_cast<unsigned long long>(f.channel));
          return;
        }
        source = MakeAddress(l.peer, 0, 0, f.channel);
      }
      NoteTaskAnswer(s, link, f.type, f.object.get());
      PushPending(s,
                  NewMessage(f.type, f.object.get(), l.address, std::move(source),
                             MakeAddress(s->self, 0, static_cast<int32_t>(f.task), 0)),
                  false);
      break;
    }
    case FrameKind::kTask: {
      Ref<MsgTask> task = RefCast<MsgTask>(std::move(f.object));
      if (!task) {
        TraceMessage(kTag, 13, 0, -1, "Task hand-over of kind %u without a task object", f.type);
        return;
      }
      // Who gave the task is what the link says, not what the object claims.
      task->set_giver(l.address);
      task->set_task_address(nullptr);
      task->set_kind(static_cast<int32_t>(f.type));
      task->set_giver_task_id(static_cast<int32_t>(f.task));
      PushPending(s, NewMessage(0, task.get(), l.address, nullptr, s->self_address), true);
      break;
    }
    case FrameKind::kChannelClose: {
      auto c = s->channels.find(f.channel);
      if (c == s->channels.end() || c->second.link != link) return;
      Ref<Obj> source = MakeAddress(c->second.peer, 0, 0, f.channel);
      if (c->second.by_peer && l.peer_channels > 0) --l.peer_channels;
      s->channels.erase(c);
      PushPending(s, NewMessage(kMsgChannelLost, nullptr, l.address, source, s->self_address),
                  false);
      break;
    }
    default:
      break;
  }
}

void CloseChannelEntry(MsgState* s, uint64_t id) {
  auto c = s->channels.find(id);
  if (c == s->channels.end()) return;
  if (c->second.link == 0) {
    // A channel to this process itself: the other end hears 2705 and is gone too.
    uint64_t partner = c->second.partner;
    s->channels.erase(c);
    if (s->channels.erase(partner) != 0)
      PushPending(s,
                  NewMessage(kMsgChannelLost, nullptr, s->self_address,
                             MakeAddress(s->self, 0, 0, partner), s->self_address),
                  false);
    return;
  }
  Frame f;
  f.kind = FrameKind::kChannelClose;
  f.channel = id;
  auto l = s->links.find(c->second.link);
  if (l != s->links.end()) {
    SendOnLink(s, c->second.link, f);
    if (c->second.by_peer && l->second.peer_channels > 0) --l->second.peer_channels;
  }
  s->channels.erase(c);
}

void OnChannelHandleDropped(MsgState* s, uint64_t id) { s->dropped_channels.push_back(id); }

}  // namespace

void MsgIngest(MsgState* s) noexcept {
  while (!s->inbox.empty()) {
    NetEvent ev = std::move(s->inbox.front());
    s->inbox.pop_front();
    switch (ev.kind) {
      case NetEvent::kLinkUp:
        OnLinkUp(s, ev);
        break;
      case NetEvent::kLinkDown:
        OnLinkDown(s, ev.link);
        break;
      case NetEvent::kFrame:
        OnFrame(s, ev.link, ev.frame);
        break;
    }
  }
  while (!s->dropped_channels.empty()) {
    uint64_t id = s->dropped_channels.back();
    s->dropped_channels.pop_back();
    CloseChannelEntry(s, id);
  }
}

uint64_t MsgSendFrameTo(MsgState* s, const Obj* address, const Frame& frame) noexcept {
  uint64_t link = LinkFor(s, address);
  if (link == 0) return 0;
  return SendOnLink(s, link, frame) ? link : 0;
}

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
  return m != nullptr ? m : "";
}

const char* MsgGetProcessName(const Obj* address_or_message) noexcept {
  const MsgAddress* a = AddressOf(address_or_message);
  const char* p = a != nullptr ? a->process() : nullptr;
  return p != nullptr ? p : "";
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
