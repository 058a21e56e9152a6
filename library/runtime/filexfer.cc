// File transfer permits and the transfer of a permitted file over a data channel.

#include "kr/filexfer.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "coding.h"
#include "filexfer_internal.h"
#include "kr/context.h"
#include "kr/datachannel.h"
#include "kr/file.h"
#include "kr/message.h"
#include "kr/text.h"
#include "kr/time.h"
#include "kr/trace.h"

using kr_internal::GetU64;
using kr_internal::PutU64;

namespace {

constexpr const char* kTag = "KRFILEXFER";
constexpr uint32_t kHeaderSize = 16;
constexpr unsigned char kMore = 1;
constexpr unsigned char kComplete = 0;
constexpr unsigned char kAborted = 2;

// The process an address names: machine (case-blind), process name, and instance when both
// know it. A serving task's address and a message's sender name the same process.
bool SameProcess(const Obj* a, const Obj* b) {
  if (ObjGetMagic(a) != kMsgAddressType || ObjGetMagic(b) != kMsgAddressType) return false;
  const char* ma = ObjGetSlotString(a, 1);
  const char* mb = ObjGetSlotString(b, 1);
  const char* pa = ObjGetSlotString(a, 2);
  const char* pb = ObjGetSlotString(b, 2);
  if (ma == nullptr || mb == nullptr || pa == nullptr || pb == nullptr) return false;
  if (StrCompareNoCase(ma, mb) != 0 || std::strcmp(pa, pb) != 0) return false;
  int64_t ia = ObjGetSlotInt64(a, 3), ib = ObjGetSlotInt64(b, 3);
  return ia == 0 || ib == 0 || ia == ib;
}

struct Permit {
  Ref<Obj> peer;
  std::set<std::string> files;
};

}  // namespace

// What one context has permitted, kept in the context and ended with it. It is made afresh when
// the context's address names another instance (its messaging was started anew).
struct kr_internal::FileXferState {
  int64_t instance = 0;
  bool handler_installed = false;
  std::vector<Permit> permits;
};

void kr_internal::FileXferStateDestroy(FileXferState* state) noexcept { delete state; }

namespace {

using State = kr_internal::FileXferState;

struct Hook {
  PlgFileXferSendHook hook = nullptr;
  void* cookie = nullptr;
};

thread_local Hook t_hook;

int ServeRequest(Obj* message, void* cookie);

// The calling context's state, reset when its messaging is not the one it was made for.
State* CurrentState() {
  Ref<Obj> self;
  if (!MsgLocalAddress(&self)) return nullptr;
  int64_t instance = ObjGetSlotInt64(self.get(), 3);
  State** slot = kr_internal::ContextFileXferSlot(ContextCurrent());
  if (*slot == nullptr) *slot = new (std::nothrow) State();
  State* s = *slot;
  if (s == nullptr) return nullptr;
  if (s->instance != instance) {
    *s = State();
    s->instance = instance;
  }
  return s;
}

Permit* FindPermit(State* s, const Obj* peer) {
  for (Permit& p : s->permits)
    if (SameProcess(p.peer.get(), peer)) return &p;
  return nullptr;
}

// A time-out of the idle limit, renewed whenever a transfer makes progress.
Ref<Obj> IdleTimeout() {
  Ref<Obj> t;
  TimeCreateAndSetTimeout(&t, kPlgFileXferIdleSeconds, 0);
  return t;
}

// ---- Sending ----

// Gets a free buffer, polling while the channel says "not yet". Null on failure or when the
// receiver makes no progress within the idle limit.
DataBlock* GetSendBuffer(Obj* channel) {
  Ref<Obj> idle = IdleTimeout();
  DataBlock* block = nullptr;
  int r;
  while ((r = DataChannelGetSendBuffer(channel, &block)) == 2) {
    if (TimeTimeoutRemaining(idle.get()) == 0) return nullptr;
    MsgWaitPoll();
  }
  return r == 1 ? block : nullptr;
}

bool SendBlock(Obj* channel, DataBlock* block, uint32_t used, unsigned char continuation) {
  DataBlockSetBytesUsed(block, used);
  DataBlockHeader(block)[kDataBlockContinuationByte] = continuation;
  Ref<Obj> idle = IdleTimeout();
  int r;
  while ((r = DataChannelSendBuffer(channel, block)) == 2) {
    if (TimeTimeoutRemaining(idle.get()) == 0) return false;
    MsgWaitPoll();
  }
  return r == 1;
}

// Sends the file at `path` to `peer` as the answer to request `id`. The size is fixed when the
// file is opened; a file that then yields more or fewer bytes is sent as aborted.
void Refuse(const Obj* peer, int64_t id, int32_t reason) {
  Ref<PlgFileXferRefusal> refusal = PlgFileXferRefusal::New();
  ObjSetSlotInt64(refusal.get(), 1, id);
  ObjSetSlotInteger(refusal.get(), 2, reason);
  MsgSendObject(peer, kPlgFileXferRefusedMsg, refusal.get());
}

void SendFile(const Obj* peer, const std::string& path, int64_t id) {
  std::unique_ptr<FileStream> in;
  int64_t size = 0;
  if (!FileSize(&size, path.c_str()) || !FileStreamOpen(&in, path.c_str())) {
    Refuse(peer, id, kPlgFileXferUnreadable);
    return;
  }
  Ref<Obj> channel;
  int r = DataChannelCreate(&channel, peer, kPlgFileXferBufferSize);
  Ref<Obj> idle = IdleTimeout();
  while (r != 0 && (r = DataChannelConnect(channel.get())) == 2) {
    if (TimeTimeoutRemaining(idle.get()) == 0) break;
    MsgWaitPoll();
  }
  if (r != 1) {
    // Tell the fetcher at once rather than leave it waiting out its idle limit.
    TraceMessage(kTag, 1, 0, -1, "Cannot open a data channel to send '%s'", path.c_str());
    Refuse(peer, id, kPlgFileXferUnreadable);
    return;
  }
  DataBlock* block = GetSendBuffer(channel.get());
  if (block == nullptr) return;
  PutU64(DataBlockGetData(block), static_cast<uint64_t>(id));
  PutU64(DataBlockGetData(block) + 8, static_cast<uint64_t>(size));
  if (!SendBlock(channel.get(), block, kHeaderSize, kMore)) return;

  uint64_t sent = 0;
  bool ok = true;
  for (;;) {
    block = GetSendBuffer(channel.get());
    if (block == nullptr) return;  // the receiver is gone: nothing more to tell it
    size_t got = 0;
    if (!FileStreamRead(in.get(), DataBlockGetData(block), DataBlockGetCapacity(block), &got)) {
      ok = false;
      got = 0;
    }
    if (got == 0 || sent + got > static_cast<uint64_t>(size)) {
      if (got != 0) ok = false;  // the file grew while it was being sent
      int64_t now_size = -1;
      if (!FileSize(&now_size, path.c_str()) || now_size != size || sent != uint64_t(size))
        ok = false;
      if (!ok)
        TraceMessage(kTag, 2, 0, -1,
                     "File '%s' changed size while it was sent (%" PRId64 " bytes announced)",
                     path.c_str(), size);
      SendBlock(channel.get(), block, 0, ok ? kComplete : kAborted);
      break;
    }
    if (!SendBlock(channel.get(), block, static_cast<uint32_t>(got), kMore)) return;
    sent += got;
    if (t_hook.hook != nullptr && !t_hook.hook(path.c_str(), sent, t_hook.cookie)) {
      // Dropping the channel without the final buffer is what the receiver sees of a sender
      // that died.
      return;
    }
  }
  TraceMessage(kTag, 3, 0, 3, "Sent '%s' (%" PRIu64 " bytes)", path.c_str(), sent);
  DataChannelRelease(channel.get());
}

int ServeRequest(Obj* message, void*) {
  Ref<Obj> request, sender;
  if (!MsgGetObjectInternal(&request, message, PlgFileXferRequest::kTypeCode) ||
      ObjCast<PlgFileXferRequest>(request.get()) == nullptr || !MsgGetSender(&sender, message))
    return 0;  // not a well-formed request: dropped
  const char* path = ObjGetSlotString(request.get(), 1);
  int64_t id = ObjGetSlotInt64(request.get(), 2);
  State* s = CurrentState();
  Permit* permit = s != nullptr ? FindPermit(s, sender.get()) : nullptr;
  if (path == nullptr || permit == nullptr || permit->files.count(path) == 0) {
    TraceMessage(kTag, 4, 0, -1, "Refusing to send '%s' to %s: not permitted", StrOrEmpty(path),
                 MsgAddressToText(sender.get()).c_str());
    Refuse(sender.get(), id, kPlgFileXferNotPermitted);
    return 0;
  }
  // The permit may change while the file is sent (the send polls): copy what is needed.
  SendFile(sender.get(), std::string(path), id);
  return 0;
}

// ---- Receiving ----

// Receives the stream of request `id` into the open file; true when every byte arrived.
bool ReceiveInto(Obj* channel, FileSysFile* out, int64_t id, const char* path) {
  bool header = false;
  uint64_t size = 0, got = 0;
  Ref<Obj> idle = IdleTimeout();
  for (;;) {
    DataBlock* block = nullptr;
    int r = DataChannelGetReceiveBuffer(channel, &block);
    if (r == 2 || r == 3) {
      if (TimeTimeoutRemaining(idle.get()) == 0) {
        TraceMessage(kTag, 5, 0, -1, "Transfer of '%s' stalled", path);
        return false;
      }
      MsgWaitPoll();
      continue;
    }
    if (r != 1) {
      TraceMessage(kTag, 6, 0, -1, "Transfer of '%s' ended before the whole file arrived", path);
      return false;
    }
    idle = IdleTimeout();
    uint32_t used = DataBlockGetBytesUsed(block);
    unsigned char cont = DataBlockHeader(block)[kDataBlockContinuationByte];
    const unsigned char* data = DataBlockGetData(block);
    bool ok = true, done = false;
    if (!header) {
      ok = used == kHeaderSize && cont == kMore && GetU64(data) == static_cast<uint64_t>(id);
      if (ok) size = GetU64(data + 8);
      header = true;
    } else if (cont == kMore) {
      ok = got + used <= size && FileSysFWrite(out, data, used) == 1;
      got += used;
    } else {
      done = true;
      ok = cont == kComplete && used == 0 && got == size;
    }
    DataChannelReleaseBuffer(channel, block);
    if (!ok) {
      TraceMessage(kTag, 7, 0, -1, "Transfer of '%s' failed after %" PRIu64 " bytes", path, got);
      return false;
    }
    if (done) return true;
  }
}

}  // namespace

int PlgFileXferAllowPeer(const Obj* peer) noexcept {
  if (ObjGetMagic(peer) != kMsgAddressType) return 0;
  State* s = CurrentState();
  if (s == nullptr) return 0;
  if (!s->handler_installed) {
    if (!MsgWaitAddHandler(kPlgFileXferRequestMsg, &ServeRequest, nullptr)) return 0;
    s->handler_installed = true;
  }
  if (FindPermit(s, peer) == nullptr) {
    Ref<Obj> copy;
    if (!ObjDuplicate(&copy, peer)) return 0;
    s->permits.push_back(Permit{std::move(copy), {}});
  }
  return 1;
}

int PlgFileXferAllow(const char* path) noexcept {
  if (path == nullptr || *path == '\0') return 0;
  State* s = CurrentState();
  if (s == nullptr || s->permits.empty()) return 0;
  for (Permit& p : s->permits) p.files.insert(path);
  return 1;
}

int PlgFileXferDisallowPeer(const Obj* peer) noexcept {
  State* s = CurrentState();
  if (s == nullptr) return 0;
  for (auto it = s->permits.begin(); it != s->permits.end(); ++it) {
    if (SameProcess(it->peer.get(), peer)) {
      s->permits.erase(it);
      return 1;
    }
  }
  return 0;
}

int PlgFileXferFetch(const Obj* source, const char* path, const char* target) noexcept {
  if (ObjGetMagic(source) != kMsgAddressType || path == nullptr || target == nullptr ||
      *target == '\0')
    return 0;
  int64_t id = TimeNowAsInt64();
  Ref<PlgFileXferRequest> request = PlgFileXferRequest::New();
  request->SetStrSlot<1>(path);
  ObjSetSlotInt64(request.get(), 2, id);
  if (!MsgSendObject(source, kPlgFileXferRequestMsg, request.get())) return 0;

  const uint32_t types[] = {kMsgDataChannelConnect, kPlgFileXferRefusedMsg};
  Ref<Obj> idle = IdleTimeout();
  Ref<Obj> answer;
  for (;;) {
    if (!MsgWaitMultipleWithTimeout(&answer, source, types, 2, idle.get())) {
      TraceMessage(kTag, 8, 0, -1, "No answer to the request for '%s'", path);
      return 0;
    }
    if (MsgGetType(answer.get()) == kMsgDataChannelConnect) break;
    Ref<Obj> refusal;
    if (MsgGetObjectInternal(&refusal, answer.get(), PlgFileXferRefusal::kTypeCode) &&
        ObjGetSlotInt64(refusal.get(), 1) == id) {
      TraceMessage(kTag, 9, 0, -1, "Request for '%s' refused (reason %" PRId32 ")", path,
                   ObjGetSlotInteger(refusal.get(), 2));
      return 0;
    }
    // A refusal of an earlier request that had already given up: keep waiting.
  }
  Ref<Obj> channel;
  int r;
  while ((r = DataChannelAcceptConnection(&channel, answer.get())) == 2) {
    if (TimeTimeoutRemaining(idle.get()) == 0) break;
    MsgWaitPoll();
  }
  if (r != 1) {
    TraceMessage(kTag, 10, 0, -1, "Cannot accept the data channel for '%s'", path);
    return 0;
  }
  char suffix[40];
  std::snprintf(suffix, sizeof suffix, ".xfer-%" PRIx64, static_cast<uint64_t>(id));
  std::string temp = std::string(target) + suffix;
  std::unique_ptr<FileSysFile> out;
  if (!FileSysFOpen(&out, temp.c_str(), kFileSysModeWrite)) {
    DataChannelRelease(channel.get());
    return 0;
  }
  bool ok = ReceiveInto(channel.get(), out.get(), id, path);
  DataChannelRelease(channel.get());
  ok = FileSysFClose(&out) == 1 && ok;
  if (ok && std::rename(temp.c_str(), target) != 0) {
    TraceMessage(kTag, 11, 0, -1, "Cannot rename '%s' to '%s'", temp.c_str(), target);
    ok = false;
  }
  if (!ok) FileDelete(temp.c_str());
  return ok ? 1 : 0;
}

void PlgFileXferSetSendHook(PlgFileXferSendHook hook, void* cookie) noexcept {
  t_hook.hook = hook;
  t_hook.cookie = cookie;
}
