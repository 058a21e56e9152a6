// Data channels: bulk bytes between two processes, as a stream of fixed-size buffers.
//
// A data channel is its own TCP connection beside the message link. The sending side creates
// it for a destination address and connects; connecting announces the channel to the
// destination process with message 55809 (kMsgDataChannelConnect), which the receiving side
// hands to DataChannelAcceptConnection. Buffers then arrive whole and in the order sent.
//
// Every buffer is a data block: a 32-byte header, then up to the channel's buffer size of data.
// The header belongs to the runtime except byte 23, the continuation byte, which the
// application sets on sending and reads on receipt. The number of data bytes in a block is its
// bytes-used count. A block with 0 bytes used is delivered like any other.
//
// Backpressure: the sending side has a bounded queue of unsent buffers and the receiving side a
// bounded queue of received ones. "Not yet" results (2, and 3 on receipt) mean the caller
// should dispatch messages (MsgWaitPoll) and try again; before answering "not yet" a call waits
// briefly for the readiness it lacks, so such a loop never spins.
//
// Thread safety: a channel belongs to the thread and context that made or accepted it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kr/object.h"

inline constexpr uint32_t kDataChannelType = 0x4b520024;
inline constexpr uint32_t kDataChannelConnectType = 0x4b520025;  // 55809's object

inline constexpr size_t kDataBlockHeaderSize = 32;
inline constexpr size_t kDataBlockContinuationByte = 23;  // offset in the header
// The largest buffer size a channel accepts.
inline constexpr uint32_t kDataChannelMaxBufferSize = 16u << 20;
// Buffers a channel holds on each side (unsent ones when sending, received ones when
// receiving): about kDataChannelQueueBytes worth, at least kDataChannelQueueLength and at most
// kDataChannelQueueMax buffers.
inline constexpr int kDataChannelQueueLength = 8;
inline constexpr int kDataChannelQueueMax = 64;
inline constexpr uint32_t kDataChannelQueueBytes = 1u << 20;

// A block as the application sees it: a pointer to its header; the data follows the header.
struct DataBlock;

// A sending channel to the process of `destination` with buffers of `buffer_size` data bytes
// (1 .. kDataChannelMaxBufferSize). The channel is an object; dropping the last reference
// releases it as DataChannelRelease does.
int DataChannelCreate(Ref<Obj>* channel, const Obj* destination, uint32_t buffer_size) noexcept;

// Connects a channel made by DataChannelCreate. 1 connected (the destination has been sent the
// 55809 announcement), 2 in progress (poll and call again), 0 failed.
int DataChannelConnect(Obj* channel) noexcept;

// Takes up the channel a 55809 message announces. 1 accepted, 2 not yet (the connection has
// not arrived; poll and call again), 0 failed (not an announcement, or the connection never
// came).
int DataChannelAcceptConnection(Ref<Obj>* channel, const Obj* connect_message) noexcept;

// A free buffer to fill: 1 and the block (0 bytes used, continuation byte 0), 2 when every
// buffer is queued or in the caller's hands, 0 when the channel failed.
int DataChannelGetSendBuffer(Obj* channel, DataBlock** block) noexcept;
// Queues a filled block for sending (the channel takes it back). 1 queued, 2 when the queue of
// unsent buffers is full (the block stays the caller's), 0 when the channel failed or the block
// is not one of its buffers.
int DataChannelSendBuffer(Obj* channel, DataBlock* block) noexcept;

// The next received block: 1 and the block (the caller's until DataChannelReleaseBuffer), 2
// when nothing has arrived, 3 when a block is arriving but incomplete, 0 when the channel is
// closed or failed and nothing is left to read.
int DataChannelGetReceiveBuffer(Obj* channel, DataBlock** block) noexcept;
int DataChannelReleaseBuffer(Obj* channel, DataBlock* block) noexcept;

// The data area of a block, its capacity (the channel's buffer size) and its bytes used.
unsigned char* DataBlockGetData(DataBlock* block) noexcept;
uint32_t DataBlockGetCapacity(const DataBlock* block) noexcept;
uint32_t DataBlockGetBytesUsed(const DataBlock* block) noexcept;
// 0 when `bytes` exceeds the capacity.
int DataBlockSetBytesUsed(DataBlock* block, uint32_t bytes) noexcept;
// The continuation byte (header byte 23), for callers that prefer not to index the header.
inline unsigned char* DataBlockHeader(DataBlock* block) noexcept {
  return reinterpret_cast<unsigned char*>(block);
}

// Releases the channel. Buffers already queued are still sent before the connection closes;
// the receiving side then reads what is left and gets 0.
int DataChannelRelease(Obj* channel) noexcept;
