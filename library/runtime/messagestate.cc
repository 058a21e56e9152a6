// The messaging state of a context: creating and finding it, resolving addresses, the helpers
// every messaging source calls, and handle tokens. The links, the waits and the exported
// message functions all stand on it, so it is its own file.

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <unordered_map>

#include "kr/message.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "msg_internal.h"
#include "msgstate.h"
#include "object_internal.h"

namespace kr_internal {


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
  peer->machine = StrOrEmpty(m);
  peer->process = StrOrEmpty(p);
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

}  // namespace kr_internal
