// File transfer between processes: a process permits a named peer to fetch named local files,
// and the peer fetches them over a data channel.
//
// The permitting side calls PlgFileXferAllowPeer(peer), then PlgFileXferAllow(path) for each
// file the peer may fetch, and PlgFileXferDisallowPeer(peer) when done. Between the allow and
// the disallow, that peer (that process instance: machine, process name and instance) may fetch
// exactly those paths, compared byte for byte; any other path, any other process, and anything
// after the disallow is refused. Requests are served by a message handler, so the permitting
// process serves them while it waits or polls (typically while it waits for the peer's answer
// to the request that made the peer fetch).
//
// The fetching side calls PlgFileXferFetch(source, path, target). The bytes travel over a data
// channel that the permitting side opens to the fetcher, and are written under a temporary name
// beside the target, renamed over the target only once every byte announced has arrived. A
// refusal, a file that changed size while it was being sent, a sender that dies or stalls, or a
// write that fails leaves no file at the target (and an existing target as it was).
//
// Wire protocol (doc/agents.md): request message kPlgFileXferRequestMsg carrying a
// PlgFileXferRequest; a refusal comes back as kPlgFileXferRefusedMsg carrying a
// PlgFileXferRefusal; an accepted request is answered by a data channel whose first buffer is a
// 16-byte header (request id, file size, both little-endian 64-bit), then data buffers with
// continuation byte 1, then an empty buffer with continuation byte 0 (complete) or 2 (aborted).
//
// Failures are traced under the module tag KRFILEXFER.
//
// Thread safety: everything acts on the calling thread's context.
#pragma once

#include <cstdint>

#include "kr/object.h"

inline constexpr uint32_t kPlgFileXferRequestMsg = 55812;
inline constexpr uint32_t kPlgFileXferRefusedMsg = 55813;

// Slots: 1 the path asked for, 2 the request id (echoed in the refusal and the header).
struct PlgFileXferRequest : ObjView<PlgFileXferRequest> {
  static constexpr uint32_t kTypeCode = 0x4b520030;
  static constexpr const char kSpec[] = "s;l;";
  static constexpr const char kName[] = "PlgFileXferRequest";
};

// Slots: 1 the request id, 2 the reason (kPlgFileXferNotPermitted or kPlgFileXferUnreadable).
struct PlgFileXferRefusal : ObjView<PlgFileXferRefusal> {
  static constexpr uint32_t kTypeCode = 0x4b520031;
  static constexpr const char kSpec[] = "l;i;";
  static constexpr const char kName[] = "PlgFileXferRefusal";
};
inline constexpr int32_t kPlgFileXferNotPermitted = 1;
inline constexpr int32_t kPlgFileXferUnreadable = 2;

// The data buffer size of a transfer channel.
inline constexpr uint32_t kPlgFileXferBufferSize = 256u << 10;
// Seconds (scaled by the context's timeout_scale) a transfer may go without progress.
inline constexpr int32_t kPlgFileXferIdleSeconds = 120;

// Lets the process of `peer` (an address) fetch the files allowed next. Allowing a peer already
// allowed keeps its files. 1/0.
int PlgFileXferAllowPeer(const Obj* peer) noexcept;
// Lets every currently allowed peer fetch `path`. 0 when no peer is allowed or `path` is empty.
int PlgFileXferAllow(const char* path) noexcept;
// Withdraws the peer's permission and every file allowed to it. 0 when it was not allowed.
int PlgFileXferDisallowPeer(const Obj* peer) noexcept;

// Fetches the file `path` of the process of `source` (an address) into `target`. 1 when the
// whole file is at `target`; 0 otherwise, with nothing at `target` that was not there before.
int PlgFileXferFetch(const Obj* source, const char* path, const char* target) noexcept;

// Fault injection for tests: called on the sending side after each data buffer is queued, with
// the path and the bytes sent so far. Returning 0 makes the sender drop the channel at once, as
// a sender that dies would. Null removes the hook. Applies to the calling thread only.
using PlgFileXferSendHook = int (*)(const char* path, uint64_t bytes_sent, void* cookie);
void PlgFileXferSetSendHook(PlgFileXferSendHook hook, void* cookie) noexcept;
