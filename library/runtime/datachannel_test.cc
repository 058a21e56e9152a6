#include "kr/datachannel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "kr/message.h"
#include "testing.h"

namespace {

using kr_testing::PeerThread;
using kr_testing::TestHome;

constexpr uint32_t kDone = 3306;  // the receiver's confirmation, as the record stream uses it

constexpr double kScale = kr_testing::kFastTimeoutScale;

TestHome::Options Opts(const char* machine, const char* process, const std::string& home = "") {
  return kr_testing::HomeOptions(machine, process, home, kScale);
}

using kr_testing::RealTimeout;

// The byte at `offset` of the stream: a pattern that shows any loss, reordering or repeat.
unsigned char PatternByte(uint64_t offset) {
  return static_cast<unsigned char>((offset * 2654435761u) >> 13);
}

// What the receiving side saw: buffers in arrival order, as (continuation byte, bytes).
struct Received {
  std::vector<std::pair<int, std::string>> buffers;
  bool ended = false;  // a buffer with 0 bytes used arrived
  int final_result = -1;
};

// The receiving side: waits for the announcement, accepts, optionally holds off reading until
// `go`, then reads until the 0-byte buffer and confirms with kDone to the sender.
void Receive(PeerThread& p, Received* out, std::atomic<bool>* go) {
  MsgInit();
  p.Ready();
  Ref<Obj> connect;
  if (!MsgWaitMessageWithTimeout(&connect, nullptr, kMsgDataChannelConnect,
                                 RealTimeout(10000).get()))
    return;
  Ref<Obj> channel;
  int r;
  while ((r = DataChannelAcceptConnection(&channel, connect.get())) == 2) MsgWaitPoll();
  if (r != 1) return;
  while (go != nullptr && !go->load() && !p.stopping())
    MsgWaitOnCallbackWithTimeout([](void*) { return 0; }, nullptr, RealTimeout(5).get());
  for (;;) {
    DataBlock* block = nullptr;
    r = DataChannelGetReceiveBuffer(channel.get(), &block);
    if (r == 2 || r == 3) {
      MsgWaitPoll();
      continue;
    }
    if (r != 1) break;
    uint32_t used = DataBlockGetBytesUsed(block);
    if (used == 0) {
      out->ended = true;
      DataChannelReleaseBuffer(channel.get(), block);
      break;
    }
    out->buffers.emplace_back(DataBlockHeader(block)[kDataBlockContinuationByte],
                              std::string(reinterpret_cast<char*>(DataBlockGetData(block)), used));
    DataChannelReleaseBuffer(channel.get(), block);
  }
  out->final_result = r;
  Ref<Obj> sender;
  MsgGetSender(&sender, connect.get());
  MsgSendObject(sender.get(), kDone, nullptr);
  DataChannelRelease(channel.get());
  p.Serve();
}

class DataChannelTest : public ::testing::Test {
 protected:
  // A connected channel to the receiver "beta:Receiver".
  Ref<Obj> Connect(uint32_t buffer_size) {
    Ref<Obj> address, channel;
    ProcCreateAddress(&address, "beta", "Receiver", 0);
    if (!DataChannelCreate(&channel, address.get(), buffer_size)) return nullptr;
    int r;
    while ((r = DataChannelConnect(channel.get())) == 2) MsgWaitPoll();
    return r == 1 ? channel : nullptr;
  }
  // Sends one buffer; polls while the channel says "not yet". Counts the "not yet" answers.
  bool Send(Obj* channel, const unsigned char* data, uint32_t n, int continuation,
            int* not_yet = nullptr) {
    DataBlock* block = nullptr;
    int r;
    while ((r = DataChannelGetSendBuffer(channel, &block)) == 2) {
      if (not_yet != nullptr) ++*not_yet;
      MsgWaitPoll();
    }
    if (r != 1) return false;
    EXPECT_EQ(DataBlockGetCapacity(block), capacity_);
    if (n > 0) std::memcpy(DataBlockGetData(block), data, n);
    DataBlockSetBytesUsed(block, n);
    DataBlockHeader(block)[kDataBlockContinuationByte] = static_cast<unsigned char>(continuation);
    while ((r = DataChannelSendBuffer(channel, block)) == 2) MsgWaitPoll();
    return r == 1;
  }
  bool AwaitDone() {
    Ref<Obj> m;
    return MsgWaitMessageWithTimeout(&m, nullptr, kDone, RealTimeout(10000).get()) == 1;
  }

  TestHome home_{Opts("alpha", "Sender")};
  uint32_t capacity_ = 0;
};

TEST_F(DataChannelTest, ManyBuffersArriveWholeAndInOrder) {
  Received got;
  PeerThread peer(Opts("beta", "Receiver", home_.home()),
                  [&](PeerThread& p) { Receive(p, &got, nullptr); });
  ASSERT_TRUE(peer.WaitReady());
  capacity_ = 4096;
  Ref<Obj> channel = Connect(capacity_);
  ASSERT_TRUE(channel);
  std::vector<unsigned char> data(capacity_);
  uint64_t offset = 0;
  std::vector<uint32_t> sizes;
  for (int i = 0; i < 500; ++i) {
    uint32_t n = 1 + static_cast<uint32_t>((static_cast<uint32_t>(i) * 7919u) % capacity_);
    for (uint32_t k = 0; k < n; ++k) data[k] = PatternByte(offset + k);
    offset += n;
    sizes.push_back(n);
    ASSERT_TRUE(Send(channel.get(), data.data(), n, i % 3 == 0 ? 0 : 1));
  }
  ASSERT_TRUE(Send(channel.get(), nullptr, 0, 0));
  ASSERT_TRUE(AwaitDone());
  EXPECT_EQ(DataChannelRelease(channel.get()), 1);
  peer.Join();

  ASSERT_TRUE(got.ended);
  ASSERT_EQ(got.buffers.size(), sizes.size());
  offset = 0;
  for (size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(got.buffers[i].first, i % 3 == 0 ? 0 : 1);
    ASSERT_EQ(got.buffers[i].second.size(), sizes[i]);
    for (uint32_t k = 0; k < sizes[i]; ++k)
      ASSERT_EQ(static_cast<unsigned char>(got.buffers[i].second[k]), PatternByte(offset + k));
    offset += sizes[i];
  }
}

TEST_F(DataChannelTest, BlocksSplitAcrossBuffersReassemble) {
  // Logical blocks larger than a buffer go out in pieces: the first with continuation byte 0,
  // the rest with 1. The receiver puts them back together from the bytes and the flags alone.
  Received got;
  PeerThread peer(Opts("beta", "Receiver", home_.home()),
                  [&](PeerThread& p) { Receive(p, &got, nullptr); });
  ASSERT_TRUE(peer.WaitReady());
  capacity_ = 10 * 1024;
  Ref<Obj> channel = Connect(capacity_);
  ASSERT_TRUE(channel);
  std::vector<std::string> blocks;
  for (int b = 0; b < 20; ++b) {
    std::string block(1 + (static_cast<unsigned>(b) * 12289u) % 50000, '\0');
    for (size_t k = 0; k < block.size(); ++k)
      block[k] = static_cast<char>(PatternByte(static_cast<unsigned>(b) * 65536u + k));
    blocks.push_back(block);
    for (size_t at = 0; at < block.size(); at += capacity_) {
      uint32_t n = static_cast<uint32_t>(std::min<size_t>(capacity_, block.size() - at));
      ASSERT_TRUE(Send(channel.get(), reinterpret_cast<const unsigned char*>(block.data() + at), n,
                       at == 0 ? 0 : 1));
    }
  }
  ASSERT_TRUE(Send(channel.get(), nullptr, 0, 0));
  ASSERT_TRUE(AwaitDone());
  peer.Join();

  std::vector<std::string> rebuilt;
  for (auto& [continuation, bytes] : got.buffers) {
    if (continuation == 0) rebuilt.emplace_back();
    ASSERT_FALSE(rebuilt.empty());
    rebuilt.back() += bytes;
  }
  EXPECT_EQ(rebuilt, blocks);
}

TEST_F(DataChannelTest, SlowReaderHoldsTheSenderBack) {
  Received got;
  std::atomic<bool> go{false};
  PeerThread peer(Opts("beta", "Receiver", home_.home()),
                  [&](PeerThread& p) { Receive(p, &got, &go); });
  ASSERT_TRUE(peer.WaitReady());
  capacity_ = 64 * 1024;
  Ref<Obj> channel = Connect(capacity_);
  ASSERT_TRUE(channel);
  std::vector<unsigned char> data(capacity_);
  // Fill until the channel says "not yet": the reader takes nothing, so the bounded queues and
  // the socket buffers fill and the sender is held back.
  int sent = 0;
  DataBlock* block = nullptr;
  int r = 1;
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration not_yet_took{};
  for (; sent < 20000; ++sent) {
    auto t0 = std::chrono::steady_clock::now();
    r = DataChannelGetSendBuffer(channel.get(), &block);
    not_yet_took = std::chrono::steady_clock::now() - t0;
    if (r != 1) break;
    std::memset(DataBlockGetData(block), sent & 0xff, capacity_);
    DataBlockSetBytesUsed(block, capacity_);
    ASSERT_EQ(DataChannelSendBuffer(channel.get(), block), 1);
  }
  ASSERT_EQ(r, 2) << "the sender was never held back";
  EXPECT_GE(sent, kDataChannelQueueLength);
  // "Not yet" came after a brief wait for a free buffer, not at once.
  EXPECT_GE(not_yet_took, std::chrono::milliseconds(10));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

  go = true;
  unsigned char tail[64];
  int not_yet = 0;
  for (int i = 0; i < 100; ++i) {
    std::memset(tail, (sent + i) & 0xff, sizeof tail);
    ASSERT_TRUE(Send(channel.get(), tail, sizeof tail, 1, &not_yet));
  }
  ASSERT_TRUE(Send(channel.get(), nullptr, 0, 0));
  ASSERT_TRUE(AwaitDone());
  peer.Join();
  ASSERT_TRUE(got.ended);
  ASSERT_EQ(got.buffers.size(), static_cast<size_t>(sent + 100));
  for (size_t i = 0; i < got.buffers.size(); ++i)
    ASSERT_EQ(static_cast<unsigned char>(got.buffers[i].second[0]), i & 0xff);
}

TEST_F(DataChannelTest, ReleasedSenderDeliversWhatItQueued) {
  Received got;
  PeerThread peer(Opts("beta", "Receiver", home_.home()),
                  [&](PeerThread& p) { Receive(p, &got, nullptr); });
  ASSERT_TRUE(peer.WaitReady());
  capacity_ = 1000;
  Ref<Obj> channel = Connect(capacity_);
  ASSERT_TRUE(channel);
  unsigned char bytes[10] = {1, 2, 3};
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Send(channel.get(), bytes, sizeof bytes, 1));
  // Dropping the last reference releases the channel; what was queued still arrives and the
  // receiver then sees the end of the channel (0).
  channel.reset();
  ASSERT_TRUE(AwaitDone());
  peer.Join();
  EXPECT_FALSE(got.ended);
  EXPECT_EQ(got.buffers.size(), 5u);
  EXPECT_EQ(got.final_result, 0);
}

TEST_F(DataChannelTest, ReceiverThatGoesAwayFailsTheSender) {
  PeerThread peer(Opts("beta", "Receiver", home_.home()), [](PeerThread& p) {
    MsgInit();
    p.Ready();
    Ref<Obj> connect, channel;
    if (!MsgWaitMessageWithTimeout(&connect, nullptr, kMsgDataChannelConnect,
                                   RealTimeout(10000).get()))
      return;
    while (DataChannelAcceptConnection(&channel, connect.get()) == 2) MsgWaitPoll();
    DataChannelRelease(channel.get());
    p.Serve();
  });
  ASSERT_TRUE(peer.WaitReady());
  capacity_ = 64 * 1024;
  Ref<Obj> channel = Connect(capacity_);
  ASSERT_TRUE(channel);
  std::vector<unsigned char> data(capacity_, 7);
  int r = 1;
  for (int i = 0; i < 5000 && r != 0; ++i) {
    DataBlock* block = nullptr;
    r = DataChannelGetSendBuffer(channel.get(), &block);
    if (r == 1) {
      DataBlockSetBytesUsed(block, capacity_);
      r = DataChannelSendBuffer(channel.get(), block);
    }
    if (r == 2) MsgWaitPoll();
  }
  EXPECT_EQ(r, 0);
}

TEST_F(DataChannelTest, RefusesBadArguments) {
  kr_testing::TraceCapture trace;
  Ref<Obj> address, channel, other;
  ProcCreateAddress(&address, "beta", "Nobody", 0);
  EXPECT_EQ(DataChannelCreate(&channel, address.get(), 1024), 0);  // not running
  EXPECT_TRUE(trace.Contains("No process to open a data channel to (beta:Nobody:0)", -1));
  MsgLocalAddress(&address);
  EXPECT_EQ(DataChannelCreate(&channel, address.get(), 0), 0);
  EXPECT_EQ(DataChannelCreate(&channel, address.get(), kDataChannelMaxBufferSize + 1), 0);
  ASSERT_EQ(DataChannelCreate(&channel, address.get(), 16), 1);
  ASSERT_EQ(DataChannelCreate(&other, address.get(), 16), 1);
  DataBlock* block = nullptr;
  ASSERT_EQ(DataChannelGetSendBuffer(channel.get(), &block), 1);
  EXPECT_EQ(DataBlockSetBytesUsed(block, 17), 0);
  EXPECT_EQ(DataBlockSetBytesUsed(block, 16), 1);
  EXPECT_EQ(DataChannelSendBuffer(other.get(), block), 0);           // not its block
  EXPECT_EQ(DataChannelGetReceiveBuffer(channel.get(), &block), 0);  // a sending channel
  // Only a 55809 message is an announcement.
  Ref<Obj> m;
  MsgCreate(&m, address.get(), 1, nullptr);
  EXPECT_EQ(DataChannelAcceptConnection(&other, m.get()), 0);
  EXPECT_EQ(DataChannelRelease(channel.get()), 1);
  EXPECT_EQ(DataChannelRelease(channel.get()), 0);
}

TEST_F(DataChannelTest, ChannelToItselfWorks) {
  // A process may stream to itself: the connection comes back to its own listener.
  Ref<Obj> self, channel, connect, accepted;
  MsgLocalAddress(&self);
  ASSERT_EQ(DataChannelCreate(&channel, self.get(), 100), 1);
  int r;
  while ((r = DataChannelConnect(channel.get())) == 2) MsgWaitPoll();
  ASSERT_EQ(r, 1);
  ASSERT_EQ(MsgWaitMessageWithTimeout(&connect, self.get(), kMsgDataChannelConnect,
                                      RealTimeout(5000).get()),
            1);
  while ((r = DataChannelAcceptConnection(&accepted, connect.get())) == 2) MsgWaitPoll();
  ASSERT_EQ(r, 1);
  capacity_ = 100;
  ASSERT_TRUE(Send(channel.get(), reinterpret_cast<const unsigned char*>("hello"), 5, 0));
  DataBlock* block = nullptr;
  while ((r = DataChannelGetReceiveBuffer(accepted.get(), &block)) >= 2) MsgWaitPoll();
  ASSERT_EQ(r, 1);
  EXPECT_EQ(
      std::string(reinterpret_cast<char*>(DataBlockGetData(block)), DataBlockGetBytesUsed(block)),
      "hello");
  EXPECT_EQ(DataChannelReleaseBuffer(accepted.get(), block), 1);
}

}  // namespace

namespace {

TEST_F(DataChannelTest, ReleasedSenderGivesUpOnAStalledReceiver) {
  // The receiver accepts, takes every buffer it has into its hands and then reads nothing.
  // The released sender keeps its unsent blocks for the linger limit (120 s, scaled to 0.12 s
  // here), then drops them and the connection.
  std::atomic<bool> holding{false};
  PeerThread peer(Opts("beta", "Receiver", home_.home()), [&](PeerThread& p) {
    MsgInit();
    p.Ready();
    Ref<Obj> connect, channel;
    if (!MsgWaitMessageWithTimeout(&connect, nullptr, kMsgDataChannelConnect,
                                   RealTimeout(10000).get()))
      return;
    while (DataChannelAcceptConnection(&channel, connect.get()) == 2) MsgWaitPoll();
    // Until the receiver holds all its buffers, a stalled sender may only be waiting for it
    // to accept (a busy machine): then the socket drains once it does.
    uint32_t buffers = std::clamp<uint32_t>(kDataChannelQueueBytes / (64 * 1024),
                                            kDataChannelQueueLength, kDataChannelQueueMax);
    for (uint32_t held = 0; held < buffers && !p.stopping();) {
      DataBlock* block = nullptr;
      int r = DataChannelGetReceiveBuffer(channel.get(), &block);
      if (r == 0) break;
      if (r == 1)
        ++held;
      else
        MsgWaitPoll();
    }
    holding = true;
    p.Serve();  // holds the channel and its buffers, reads nothing
  });
  ASSERT_TRUE(peer.WaitReady());
  capacity_ = 64 * 1024;
  Ref<Obj> channel = Connect(capacity_);
  ASSERT_TRUE(channel);
  // Fill until the sender is stuck: several "not yet" in a row once the receiver holds its
  // buffers, the socket buffers full.
  int stuck = 0;
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int i = 0; i < 20000 && stuck < 5 && std::chrono::steady_clock::now() < give_up; ++i) {
    DataBlock* block = nullptr;
    int r = DataChannelGetSendBuffer(channel.get(), &block);
    if (r == 0) break;
    if (r != 1) {
      if (holding) ++stuck;
      continue;
    }
    stuck = 0;
    DataBlockSetBytesUsed(block, capacity_);
    ASSERT_EQ(DataChannelSendBuffer(channel.get(), block), 1);
  }
  ASSERT_EQ(stuck, 5);
  kr_testing::TraceCapture trace(3);
  ContextCurrent()->timeout_scale = kScale / 10;
  ASSERT_EQ(DataChannelRelease(channel.get()), 1);
  auto seen = [](void* t) {
    return static_cast<kr_testing::TraceCapture*>(t)->Contains("receiver stopped reading") ? 1 : 0;
  };
  EXPECT_EQ(MsgWaitOnCallbackWithTimeout(seen, &trace, RealTimeout(5000).get()), 1);
  EXPECT_TRUE(trace.Contains("receiver stopped reading")) << trace.Dump();
}

}  // namespace
