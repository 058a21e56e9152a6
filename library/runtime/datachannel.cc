// Data channels: blocks, their queues and the application's calls. The sockets are the
// transport's (transport.cc).

#include "kr/datachannel.h"

#include <algorithm>
#include <cstring>

#include "kr/trace.h"
#include "msg_internal.h"

namespace kr_internal {
namespace {

constexpr const char* kTag = "KRDCHAN";
// How long a "not yet" call waits for the readiness it lacks before answering.
constexpr auto kBriefWait = std::chrono::milliseconds(20);
// How long an announced connection may take to arrive before accepting gives up (scaled).
constexpr double kAcceptLimitMs = 30000.0;

// The channel object. Slots: 1 channel id, 2 handle (releases the channel when dropped).
struct DataChanHandle : ObjView<DataChanHandle> {
  static constexpr uint32_t kTypeCode = kDataChannelType;
  static constexpr const char kSpec[] = "l;r;";
  static constexpr const char kName[] = "DataChannel";
};

std::shared_ptr<DataChanCore> Find(MsgState* s, const Obj* channel) {
  const DataChanHandle* h = ObjCast<DataChanHandle>(channel);
  if (h == nullptr) return nullptr;
  uint64_t key = static_cast<uint64_t>(ObjGetSlotInt64(h, 1));
  for (auto& c : MsgDataChannels(s))
    if (c->key == key) return c;
  return nullptr;
}

void Release(MsgState* s, uint64_t key) {
  auto& all = MsgDataChannels(s);
  auto it = std::find_if(all.begin(), all.end(), [key](const auto& c) { return c->key == key; });
  if (it == all.end()) return;
  std::shared_ptr<DataChanCore> core = *it;
  all.erase(it);
  core->released = true;
  MsgTransport(s)->DataClose(core, !core->sender);
}

// Registers the channel with the context and makes its handle.
Ref<Obj> NewHandle(MsgState* s, const std::shared_ptr<DataChanCore>& core) {
  static thread_local uint64_t next_key = 0;
  core->key = ++next_key;
  MsgDataChannels(s).push_back(core);
  Ref<DataChanHandle> h = DataChanHandle::New();
  ObjSetSlotInt64(h.get(), 1, static_cast<int64_t>(core->key));
  HandleAttach(h.get(), 2, HandleRegister(s, &Release, core->key));
  return h;
}

uint64_t NewChannelId(MsgState* s) {
  // Ids only need to be unique between the two ends' parked connections; a random 63-bit
  // number mixed from the instance and a counter is.
  static thread_local uint64_t counter = 0;
  uint64_t x = MsgSelf(s).instance ^ (++counter * 0x9e3779b97f4a7c15ull);
  x ^= x >> 31;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 29;
  x >>= 1;
  return x == 0 ? 1 : x;
}

// Runs the loop briefly until `ready()`.
template <class F>
void BriefWait(MsgState* s, F ready) {
  MsgTransport(s)->RunUntil(Clock::now() + kBriefWait, ready);
}

bool OwnBlock(const DataChanCore* core, DataBlock* block) {
  if (block == nullptr) return false;
  auto* h = reinterpret_cast<unsigned char*>(block);
  return DataChanCore::Prefix(h)->owner == core->key;
}

}  // namespace

unsigned char* DataChanCore::NewBlock() {
  if (storage.size() >= MaxBlocks()) return nullptr;
  auto mem = std::make_unique<unsigned char[]>(sizeof(BlockPrefix) + kDataHeaderSize + buffer_size);
  unsigned char* h = mem.get() + sizeof(BlockPrefix);
  BlockPrefix* p = Prefix(h);
  std::memset(p, 0, sizeof *p);
  p->owner = key;
  p->capacity = buffer_size;
  std::memset(h, 0, kDataHeaderSize);
  storage.push_back(std::move(mem));
  return h;
}

unsigned char* DataChanCore::TakeFree() {
  if (!free_blocks.empty()) {
    unsigned char* h = free_blocks.back();
    free_blocks.pop_back();
    return h;
  }
  return NewBlock();
}

void DataChannelsShutdown(MsgState* s) noexcept {
  auto all = std::move(MsgDataChannels(s));
  MsgDataChannels(s).clear();
  for (auto& core : all) MsgTransport(s)->DataClose(core, true);
}

}  // namespace kr_internal

using namespace kr_internal;

int DataChannelCreate(Ref<Obj>* channel, const Obj* destination, uint32_t buffer_size) noexcept {
  if (channel == nullptr || buffer_size == 0 || buffer_size > kDataChannelMaxBufferSize) return 0;
  MsgState* s = MsgStateGet();
  auto core = std::make_shared<DataChanCore>();
  if (!MsgResolve(s, destination, &core->endpoint, &core->peer)) {
    TraceMessage(kTag, 1, 0, -1, "No process to open a data channel to (%s)",
                 MsgAddressToText(destination).c_str());
    return 0;
  }
  core->id = NewChannelId(s);
  core->buffer_size = buffer_size;
  core->sender = true;
  core->destination = Ref<Obj>::Share(const_cast<Obj*>(destination));
  *channel = NewHandle(s, core);
  return 1;
}

int DataChannelConnect(Obj* channel) noexcept {
  MsgState* s = MsgStateGet();
  std::shared_ptr<DataChanCore> core = Find(s, channel);
  if (!core || !core->sender) return 0;
  if (core->state == DataState::kIdle) MsgTransport(s)->DataConnect(core);
  if (core->state == DataState::kConnecting)
    BriefWait(s, [&] { return core->state != DataState::kConnecting; });
  if (core->state == DataState::kConnecting) return 2;
  if (core->state != DataState::kOpen) {
    TraceMessage(kTag, 2, 0, -1, "Cannot connect data channel to %s: %s",
                 MsgAddressToText(core->destination.get()).c_str(),
                 core->error != nullptr ? core->error : "closed");
    return 0;
  }
  if (!core->announced) {
    // The acceptor has already parked the connection (it answered the hello), so the
    // announcement finds it there.
    Ref<DataChannelAnnounce> a = DataChannelAnnounce::New();
    ObjSetSlotInt64(a.get(), 1, static_cast<int64_t>(core->id));
    a->SetIntSlot<2>(static_cast<int32_t>(core->buffer_size));
    if (!MsgSendObject(core->destination.get(), kMsgDataChannelConnect, a.get())) return 0;
    core->announced = true;
    TraceMessage(kTag, 3, 0, 3, "Data channel %llx connected to %s",
                 static_cast<unsigned long long>(core->id),
                 MsgAddressToText(core->destination.get()).c_str());
  }
  return 1;
}

int DataChannelAcceptConnection(Ref<Obj>* channel, const Obj* connect_message) noexcept {
  Ref<Obj> object, sender;
  if (channel == nullptr || MsgGetType(connect_message) != kMsgDataChannelConnect ||
      !MsgGetObjectInternal(&object, connect_message, kDataChannelConnectType) ||
      !MsgGetSender(&sender, connect_message))
    return 0;
  const DataChannelAnnounce* a = ObjCast<DataChannelAnnounce>(object.get());
  PeerIdentity peer;
  if (a == nullptr || !AddressIdentity(sender.get(), &peer)) return 0;
  MsgState* s = MsgStateGet();
  auto core = std::make_shared<DataChanCore>();
  core->id = static_cast<uint64_t>(ObjGetSlotInt64(a, 1));
  core->sender = false;
  if (core->id == 0) return 0;
  for (auto& c : MsgDataChannels(s))
    if (c->id == core->id && !c->sender) return 0;  // already taken up
  Transport* t = MsgTransport(s);
  bool adopted = t->DataAdopt(core, peer.instance);
  if (!adopted) {
    BriefWait(s, [&] { return t->DataAdopt(core, peer.instance); });
    adopted = core->state == DataState::kOpen;
  }
  if (!adopted) {
    // The connection is answered before the announcement is sent, so a missing one is late
    // or gone; give up once the announcement is old.
    Clock::time_point& first = MsgAcceptAttempts(s)[core->id];
    if (first == Clock::time_point()) first = Clock::now();
    if (Clock::now() - first < MsgScaled(kAcceptLimitMs)) return 2;
    MsgAcceptAttempts(s).erase(core->id);
    TraceMessage(kTag, 4, 0, -1, "Data channel %llx from %s never arrived",
                 static_cast<unsigned long long>(core->id), MsgAddressToText(sender.get()).c_str());
    return 0;
  }
  MsgAcceptAttempts(s).erase(core->id);
  core->destination = sender;
  *channel = NewHandle(s, core);
  t->DataKickRead(core);
  return 1;
}

int DataChannelGetSendBuffer(Obj* channel, DataBlock** block) noexcept {
  MsgState* s = MsgStateGet();
  std::shared_ptr<DataChanCore> core = Find(s, channel);
  if (!core || !core->sender || block == nullptr) return 0;
  auto usable = [&] {
    return core->state == DataState::kIdle || core->state == DataState::kConnecting ||
           core->state == DataState::kOpen;
  };
  unsigned char* h = usable() ? core->TakeFree() : nullptr;
  if (h == nullptr && usable()) {
    BriefWait(s, [&] { return !core->free_blocks.empty() || !usable(); });
    if (usable()) h = core->TakeFree();
  }
  if (!usable()) return 0;
  if (h == nullptr) return 2;
  ++core->in_hands;
  DataChanCore::Prefix(h)->used = 0;
  std::memset(h, 0, kDataHeaderSize);
  *block = reinterpret_cast<DataBlock*>(h);
  return 1;
}

int DataChannelSendBuffer(Obj* channel, DataBlock* block) noexcept {
  MsgState* s = MsgStateGet();
  std::shared_ptr<DataChanCore> core = Find(s, channel);
  if (!core || !core->sender || !OwnBlock(core.get(), block) || core->in_hands == 0) return 0;
  if (core->state == DataState::kFailed || core->state == DataState::kClosed) return 0;
  if (core->send_queue.size() >= core->MaxBlocks()) {
    BriefWait(s, [&] { return core->send_queue.size() < core->MaxBlocks(); });
    if (core->send_queue.size() >= core->MaxBlocks()) return 2;
  }
  --core->in_hands;
  core->send_queue.push_back(reinterpret_cast<unsigned char*>(block));
  MsgTransport(s)->DataKickWrite(core);
  return 1;
}

int DataChannelGetReceiveBuffer(Obj* channel, DataBlock** block) noexcept {
  MsgState* s = MsgStateGet();
  std::shared_ptr<DataChanCore> core = Find(s, channel);
  if (!core || core->sender || block == nullptr) return 0;
  if (core->recv_queue.empty() && core->state == DataState::kOpen) {
    MsgTransport(s)->DataKickRead(core);
    BriefWait(s, [&] { return !core->recv_queue.empty() || core->state != DataState::kOpen; });
  }
  if (core->recv_queue.empty()) {
    if (core->state != DataState::kOpen) return 0;
    return core->reading_block ? 3 : 2;
  }
  unsigned char* h = core->recv_queue.front();
  core->recv_queue.pop_front();
  ++core->in_hands;
  *block = reinterpret_cast<DataBlock*>(h);
  return 1;
}

int DataChannelReleaseBuffer(Obj* channel, DataBlock* block) noexcept {
  MsgState* s = MsgStateGet();
  std::shared_ptr<DataChanCore> core = Find(s, channel);
  if (!core || core->sender || !OwnBlock(core.get(), block) || core->in_hands == 0) return 0;
  --core->in_hands;
  core->free_blocks.push_back(reinterpret_cast<unsigned char*>(block));
  MsgTransport(s)->DataKickRead(core);
  return 1;
}

unsigned char* DataBlockGetData(DataBlock* block) noexcept {
  return block == nullptr ? nullptr : reinterpret_cast<unsigned char*>(block) + kDataHeaderSize;
}

uint32_t DataBlockGetCapacity(const DataBlock* block) noexcept {
  if (block == nullptr) return 0;
  auto* h = const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(block));
  return DataChanCore::Prefix(h)->capacity;
}

uint32_t DataBlockGetBytesUsed(const DataBlock* block) noexcept {
  if (block == nullptr) return 0;
  auto* h = const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(block));
  return DataChanCore::Prefix(h)->used;
}

int DataBlockSetBytesUsed(DataBlock* block, uint32_t bytes) noexcept {
  if (block == nullptr) return 0;
  BlockPrefix* p = DataChanCore::Prefix(reinterpret_cast<unsigned char*>(block));
  if (bytes > p->capacity) return 0;
  p->used = bytes;
  return 1;
}

int DataChannelRelease(Obj* channel) noexcept {
  const DataChanHandle* h = ObjCast<DataChanHandle>(channel);
  if (h == nullptr) return 0;
  MsgState* s = MsgStateGet();
  std::shared_ptr<DataChanCore> core = Find(s, channel);
  if (!core) return 0;
  uint64_t token = HandleTokenOf(h, 2);
  if (token != 0) HandleForget(token);
  Release(s, core->key);
  return 1;
}
