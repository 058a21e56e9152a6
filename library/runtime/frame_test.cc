#include "frame.h"

#include <gtest/gtest.h>

#include <cstring>

#include "kr/serialize.h"
#include "testing.h"

namespace kr_internal {
namespace {

std::string Encoded(FrameKind kind, uint32_t type, Ref<Obj> object, uint64_t channel = 0,
                    uint32_t task = 0) {
  Frame f;
  f.kind = kind;
  f.type = type;
  f.object = std::move(object);
  f.channel = channel;
  f.task = task;
  std::string bytes;
  EXPECT_EQ(FrameEncode(&bytes, f), 1);
  return bytes;
}

std::vector<Frame> FeedInChunks(const std::string& bytes, size_t chunk, bool* ok) {
  FrameDecoder d;
  std::vector<Frame> frames;
  *ok = true;
  for (size_t i = 0; i < bytes.size() && *ok; i += chunk) {
    size_t n = std::min(chunk, bytes.size() - i);
    *ok = d.Feed(reinterpret_cast<const unsigned char*>(bytes.data() + i), n, &frames);
  }
  return frames;
}

TEST(Frame, RoundTripsWhateverTheChunking) {
  std::string stream = Encoded(FrameKind::kMessage, 3302, ObjNewString("records"), 0x1234, 7) +
                       Encoded(FrameKind::kMessage, 3304, nullptr) +
                       Encoded(FrameKind::kTask, 21, ObjNewInteger(5), 0, 9) +
                       Encoded(FrameKind::kChannelClose, 0, nullptr, 0x99);
  for (size_t chunk : {size_t{1}, size_t{7}, size_t{32}, stream.size()}) {
    bool ok;
    std::vector<Frame> frames = FeedInChunks(stream, chunk, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].type, 3302u);
    EXPECT_EQ(frames[0].channel, 0x1234u);
    EXPECT_EQ(frames[0].task, 7u);
    EXPECT_STREQ(ObjGetString(frames[0].object.get()), "records");
    EXPECT_FALSE(frames[1].object);
    EXPECT_EQ(frames[2].kind, FrameKind::kTask);
    EXPECT_EQ(ObjGetInteger(frames[2].object.get()), 5);
    EXPECT_EQ(frames[3].kind, FrameKind::kChannelClose);
  }
}

TEST(Frame, StrictHeaderChecks) {
  std::string good = Encoded(FrameKind::kMessage, 1, ObjNewInteger(1));
  auto refused = [](std::string bytes) {
    bool ok;
    FeedInChunks(bytes, bytes.size(), &ok);
    return !ok;
  };
  EXPECT_FALSE(refused(good));
  std::string bad = good;
  bad[0] = 'X';  // magic
  EXPECT_TRUE(refused(bad));
  bad = good;
  bad[4] = 9;  // unknown kind
  EXPECT_TRUE(refused(bad));
  bad = good;
  bad[5] = 1;  // flags
  EXPECT_TRUE(refused(bad));
  bad = good;
  bad[30] = 1;  // reserved
  EXPECT_TRUE(refused(bad));
  bad = good;
  PutU32(reinterpret_cast<unsigned char*>(&bad[12]), kFrameMaxPayload + 1);  // too large
  EXPECT_TRUE(refused(bad));
  bad = good;
  PutU32(reinterpret_cast<unsigned char*>(&bad[12]), 4);  // smaller than an object header
  EXPECT_TRUE(refused(bad));
  // A channel close must name a channel and carry nothing; a hello must carry its object.
  EXPECT_TRUE(refused(Encoded(FrameKind::kChannelClose, 0, nullptr, 0)));
  EXPECT_TRUE(refused(Encoded(FrameKind::kHello, 1, nullptr)));
  EXPECT_TRUE(refused(Encoded(FrameKind::kTask, 1, nullptr, 5)));
}

TEST(Frame, PayloadMustBeExactlyOneObject) {
  kr_testing::TraceCapture trace;  // the object reader's complaints are expected
  std::string good = Encoded(FrameKind::kMessage, 1, ObjNewString("abc"));
  // One byte more declared than the object holds: the object does not fill the payload.
  std::string longer = good + "z";
  PutU32(reinterpret_cast<unsigned char*>(&longer[12]),
         static_cast<uint32_t>(good.size() - kFrameHeaderSize + 1));
  bool ok;
  FeedInChunks(longer, 5, &ok);
  EXPECT_FALSE(ok);
  // A corrupted object header.
  std::string corrupt = good;
  corrupt[kFrameHeaderSize] ^= 0x55;
  FeedInChunks(corrupt, corrupt.size(), &ok);
  EXPECT_FALSE(ok);
  // A well-formed object header over a body that is not an object.
  std::string frame = good.substr(0, kFrameHeaderSize);
  PutU32(reinterpret_cast<unsigned char*>(&frame[12]), kObjHeaderSize + 4);
  std::string body(kObjHeaderSize + 4, '\xff');
  std::memcpy(&body[0], good.data() + kFrameHeaderSize, 4);  // the object magic
  PutU32(reinterpret_cast<unsigned char*>(&body[4]), 4);
  FeedInChunks(frame + body, 3, &ok);
  EXPECT_FALSE(ok);
}

TEST(Frame, DecoderRefusesEverythingAfterAFault) {
  FrameDecoder d;
  std::vector<Frame> frames;
  std::string junk(40, '\0');
  EXPECT_FALSE(d.Feed(reinterpret_cast<const unsigned char*>(junk.data()), junk.size(), &frames));
  EXPECT_TRUE(d.failed());
  std::string good = Encoded(FrameKind::kMessage, 1, nullptr);
  EXPECT_FALSE(d.Feed(reinterpret_cast<const unsigned char*>(good.data()), good.size(), &frames));
  EXPECT_TRUE(frames.empty());
}

TEST(Frame, DataBlockHeaders) {
  unsigned char h[kDataHeaderSize] = {};
  h[kDataContinuationOffset] = 1;
  DataHeaderFill(h, 100, 7);
  uint32_t used = 0;
  EXPECT_TRUE(DataHeaderCheck(h, 100, 7, &used));
  EXPECT_EQ(used, 100u);
  EXPECT_EQ(h[kDataContinuationOffset], 1);         // the application's byte survives
  EXPECT_FALSE(DataHeaderCheck(h, 99, 7, &used));   // more than the buffer holds
  EXPECT_FALSE(DataHeaderCheck(h, 100, 8, &used));  // out of sequence
  h[20] = 1;
  EXPECT_FALSE(DataHeaderCheck(h, 100, 7, &used));  // reserved byte
}

}  // namespace
}  // namespace kr_internal
