#include "reports/serializedrecords.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kr/datachannel.h"
#include "kr/message.h"
#include "kr/serialize.h"
#include "reports/control.h"
#include "reports/fetch.h"
#include "reports/filter.h"
#include "reports/outputtypes.h"
#include "reports/params.h"
#include "reports/reports.h"
#include "reports/restrictions.h"
#include "reports/sql.h"
#include "reports/tablesprovider.h"
#include "reptesting.h"
#include "testing.h"

namespace {

using kr_testing::TestHome;
using kr_testing::TraceCapture;

// --- building streams ---------------------------------------------------------------------------

Ref<List> Fields() {
  return kr_testing::FieldList({{"id", kRepTypeInteger, 8}, {"name", kRepTypeString, 20}});
}

Ref<RepRecord> Record(const List* fields, int32_t id, const std::string& name) {
  Ref<RepRecord> r = RepMakeBlankRecord(fields, kRepStateNormal);
  ObjSetInteger(r->value_at(0)->value(), id);
  ObjSetString(r->value_at(1)->value(), name.c_str());
  return r;
}

// One block: its info object and records `ids` (names of `name_size` characters), as bytes.
std::string Block(const std::vector<int32_t>& ids, size_t name_size = 5,
                  const char* table = "jobs") {
  Ref<List> f = Fields();
  std::string out;
  RepSRecordsAppendBlockInfo(&out, table, f.get(), 0);
  for (int32_t id : ids)
    RepSRecordsAppendRecord(
        &out, Record(f.get(), id, std::string(name_size, static_cast<char>('a' + id % 26))).get(),
        kRepSRecordsNoIndex);
  return out;
}

size_t InfoSize(const std::string& block) {
  uint32_t n = 0;
  ObjBufferAnalyze(&n, block.data(), block.size());
  return kObjHeaderSize + n;
}

// Buffers of a stream: (continuation byte, bytes).
using Buffers = std::vector<std::pair<int, std::string>>;

// Cuts a block at the given offsets into buffers, the first starting the block.
Buffers Cut(const std::string& block, std::vector<size_t> cuts) {
  Buffers out;
  size_t from = 0;
  cuts.push_back(block.size());
  for (size_t c : cuts) {
    out.emplace_back(out.empty() ? 0 : 1, block.substr(from, c - from));
    from = c;
  }
  return out;
}

Buffers Join(Buffers a, const Buffers& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// --- collecting what a receive delivers ---------------------------------------------------------

struct Collector {
  std::vector<int32_t> ids;         // record ids delivered, in order
  std::vector<std::string> tables;  // table name of every block begun
  std::vector<int> block_results;   // new-block result per block, in order (default 1)
  std::string dump_path;
  int refuse_record_id = -1;  // the record callback refuses this id
  int completions = 0;
  int success = -1;
};
thread_local Collector* t_collector = nullptr;

int OnNewBlock(Obj* info, Obj*, std::string* dump) {
  Collector* c = t_collector;
  size_t n = c->tables.size();
  const char* table = RepSRecordsBlockTableName(info);
  c->tables.push_back(table != nullptr ? table : "(none)");
  int result = n < c->block_results.size() ? c->block_results[n] : 1;
  if (result == kRepSRecBlockDump) *dump = c->dump_path;
  return result;
}

int OnRecord(const unsigned char* bytes, uint32_t length, Obj*) {
  uint32_t n = 0;
  Ref<Obj> rec;
  if (!ObjBufferAnalyze(&n, bytes + 4, length - 4) ||
      !ObjReconstructFromMemory(&rec, bytes + 4 + kObjHeaderSize, n))
    return 0;
  RepRecord* r = ObjCast<RepRecord>(rec.get());
  if (r == nullptr || kObjHeaderSize + n + 4 != length) return 0;
  int32_t id = ObjGetInteger(r->value_at(0)->value());
  if (id == t_collector->refuse_record_id) return 0;
  t_collector->ids.push_back(id);
  return 1;
}

std::vector<int32_t> Range(int32_t from, int32_t to) {
  std::vector<int32_t> v;
  for (int32_t i = from; i <= to; ++i) v.push_back(i);
  return v;
}

class SRecordsReceiveTest : public ::testing::Test {
 protected:
  void SetUp() override { t_collector = &c_; }
  void TearDown() override { t_collector = nullptr; }
  Ref<RepSRecordsReceiveState> Feed(const Buffers& buffers) {
    Ref<RepSRecordsReceiveState> s = RepSRecordsNewReceiveState(&OnNewBlock, &OnRecord, nullptr);
    for (const auto& [cont, bytes] : buffers)
      RepSRecordsProcessBuffer(s.get(), cont, reinterpret_cast<const unsigned char*>(bytes.data()),
                               static_cast<uint32_t>(bytes.size()));
    RepSRecordsCloseDump(s.get());
    return s;
  }
  TestHome home_;
  TraceCapture trace_;
  Collector c_;
};

// --- crafted buffer sequences -------------------------------------------------------------------

TEST_F(SRecordsReceiveTest, CraftedSequences) {
  const std::string three = Block({1, 2, 3});
  const size_t info = InfoSize(three);
  const size_t rec = (three.size() - info) / 3;
  const std::string big = Block({7}, 30000);  // one record larger than three 10240-byte buffers
  struct Case {
    const char* name;
    Buffers buffers;
    std::vector<int32_t> ids;
    const char* trace;  // expected somewhere in the trace, or null
  };
  std::vector<size_t> every_10k;
  for (size_t at = 10240; at < big.size(); at += 10240) every_10k.push_back(at);
  const std::vector<int32_t> all = {1, 2, 3};
  const Case cases[] = {
      // clang-format off
      {"whole block in one buffer", Cut(three, {}), all, nullptr},
      {"length split 2 + 2", Cut(three, {info + rec + 2}), all,
       "Split header in buffer (2 of 4 bytes)"},
      {"length split 1 + 3", Cut(three, {info + 1}), all, "Got remaining header bytes"},
      {"header whole, body split", Cut(three, {info + rec + 9}), all,
       "Whole header but split body in buffer"},
      {"split exactly between records", Cut(three, {info + rec}), all, nullptr},
      {"record larger than the block size", Cut(big, every_10k), {7},
       "Copy 10240 more bytes of still incomplete record body"},
      {"info header split", Cut(three, {3}), all,
       "Detected split info obj header in new block buffer of 3 bytes"},
      {"info object split", Cut(three, {info - 5}), all,
       "Succesfully reconstructed split-buffer srecords block info object"},
      {"info object split over three buffers", Cut(three, {5, 20, info + 2}), all, "Still need"},
      {"header still short in the next buffer", Cut(three, {info + rec + 1, info + rec + 2}), {1},
       "Error - only 1 of 3 remaining split header bytes in buffer. Skip rest of block."},
      {"continuation without a block start", Join({{1, three.substr(info)}}, Cut(Block({4}), {})),
       {4}, "In error state"},
      {"two blocks", Join(Cut(three, {info + 3}), Cut(Block({4, 5}), {10})), {1, 2, 3, 4, 5},
       nullptr},
      // clang-format on
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    c_ = Collector();
    trace_.Clear();
    Ref<RepSRecordsReceiveState> s = Feed(k.buffers);
    EXPECT_EQ(c_.ids, k.ids);
    if (k.trace != nullptr) {
      EXPECT_TRUE(trace_.Contains(k.trace)) << trace_.Dump();
    }
    EXPECT_EQ(s->records_received(), static_cast<int32_t>(k.ids.size()));
  }
}

// Blocks that must be skipped whole, while the next block is still taken.
TEST_F(SRecordsReceiveTest, SkippedBlocks) {
  const std::string good = Block({4, 5});
  std::string wrong_type;
  ObjSerializeToMemory(&wrong_type, ObjNewString("not a block info").get());
  const std::string wrong = wrong_type + Block({1}).substr(InfoSize(Block({1})));
  std::string short_length = Block({1, 2});
  {
    // The second record's length field says 3.
    size_t at = InfoSize(short_length) + (short_length.size() - InfoSize(short_length)) / 2;
    short_length[at] = 3;
    short_length[at + 1] = short_length[at + 2] = short_length[at + 3] = 0;
  }
  std::string huge_length = Block({1});
  huge_length.replace(InfoSize(huge_length), 4, "\xff\xff\xff\x7f", 4);
  std::string huge_info = Block({1});
  huge_info[4] = huge_info[5] = huge_info[6] = '\xff';
  huge_info[7] = '\x01';
  std::string garbage(40, '\x5a');
  // Each bad block (cut at `cuts`) is followed by `good`, whose records 4 and 5 must arrive.
  struct Case {
    const char* name;
    const std::string& block;
    std::vector<size_t> cuts;
    std::vector<int> block_results;
    int refuse;
    std::vector<int32_t> ids;  // taken from the bad block
    const char* trace;
  };
  const std::string one_two = Block({1, 2}), one_to_three = Block({1, 2, 3});
  const Case cases[] = {
      // clang-format off
      {"info object of another type", wrong, {}, {}, -1, {},
       "SRecords info object of wrong type. Is a 'String'. Ignore this block."},
      {"wrong type, split info object", wrong, {10}, {}, -1, {}, "is of wrong type. Is a 'String'"},
      {"new-block result 3", one_two, {}, {3, 1}, -1, {},
       "New block callback has instructed abort of s-records receive"},
      {"new-block result 0", one_two, {}, {0, 1}, -1, {}, nullptr},
      {"record refused", one_to_three, {}, {}, 2, {1},
       "Callback failed to process wholly in buffer object"},
      {"split record refused", one_to_three, {InfoSize(good) + 40}, {}, 1, {},
       "Callback failed to store split record"},
      {"record length below 4", short_length, {}, {}, -1, {1},
       "Corrupt s-record length of 3 bytes"},
      {"record length over the cap", huge_length, {}, {}, -1, {},
       "Corrupt s-record length of 2147483647 bytes"},
      {"info object over the cap", huge_info, {}, {}, -1, {}, "over the limit"},
      {"info object over the cap, split header", huge_info, {4}, {}, -1, {}, "over the limit"},
      {"not a serialized object", garbage, {}, {}, -1, {}, "Bad block info object header"},
      // clang-format on
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    c_ = Collector();
    c_.block_results = k.block_results;
    c_.refuse_record_id = k.refuse;
    trace_.Clear();
    Feed(Join(Cut(k.block, k.cuts), Cut(good, {})));
    std::vector<int32_t> ids = k.ids;
    ids.insert(ids.end(), {4, 5});
    EXPECT_EQ(c_.ids, ids);
    if (k.trace != nullptr) {
      EXPECT_TRUE(trace_.Contains(k.trace)) << trace_.Dump();
    }
  }
}

TEST_F(SRecordsReceiveTest, DumpedBlocksAreByteIdentical) {
  const std::string block = Block(Range(1, 40), 50);
  const size_t info = InfoSize(block);
  struct Case {
    const char* name;
    std::vector<size_t> cuts;
  };
  const Case cases[] = {
      {"info object in the first buffer", {info + 100, info + 900}},
      {"info object over three buffers", {5, info / 2, info + 7, info + 2000}},
      {"info object header over two buffers", {3, 6, info + 1}},
  };
  int n = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    c_ = Collector();
    c_.dump_path = home_.HomePath("dump" + std::to_string(n++));
    c_.block_results = {kRepSRecBlockDump, 1};
    Feed(Join(Cut(block, k.cuts), Cut(Block({99}), {})));
    EXPECT_EQ(kr_testing::ReadFile(c_.dump_path), block);
    EXPECT_EQ(c_.ids, std::vector<int32_t>{99});  // the next block is received again
  }
  // A dump file that cannot be opened skips the block.
  c_ = Collector();
  c_.dump_path = home_.HomePath("no/such/dir/dump");
  c_.block_results = {kRepSRecBlockDump, 1};
  Feed(Join(Cut(block, {}), Cut(Block({99}), {})));
  EXPECT_EQ(c_.ids, std::vector<int32_t>{99});
  EXPECT_TRUE(trace_.Contains("Failed to open s-records dump file, so ignore rest of block"));
}

// Property: however the stream is cut, every record arrives once, whole, in order.
TEST_F(SRecordsReceiveTest, RandomCutsDeliverEveryRecordOnceInOrder) {
  std::mt19937 rng(20261206);
  for (int round = 0; round < 200; ++round) {
    std::vector<int32_t> expected;
    Buffers buffers;
    int blocks = 1 + static_cast<int>(rng() % 3);
    int32_t next_id = 0;
    for (int b = 0; b < blocks; ++b) {
      Ref<List> f = Fields();
      std::string block;
      RepSRecordsAppendBlockInfo(&block, "jobs", f.get(), b);
      int records = static_cast<int>(rng() % 30);
      for (int i = 0; i < records; ++i) {
        size_t size = rng() % 8 == 0 ? rng() % 3000 : rng() % 40;
        RepSRecordsAppendRecord(&block, Record(f.get(), next_id, std::string(size, 'x')).get(),
                                kRepSRecordsNoIndex);
        expected.push_back(next_id++);
      }
      // Buffers of at least 4 bytes, as a sender cuts them (only a source's last is shorter).
      std::vector<size_t> cuts;
      size_t at = 0;
      for (;;) {
        at += 4 + rng() % (rng() % 2 ? 16 : 700);
        if (at >= block.size()) break;
        cuts.push_back(at);
      }
      buffers = Join(buffers, Cut(block, cuts));
    }
    c_ = Collector();
    Feed(buffers);
    ASSERT_EQ(c_.ids, expected) << "round " << round;
  }
}

// --- record indexes -----------------------------------------------------------------------------

TEST(SRecordsIndex, Types) {
  TestHome home;
  TraceCapture trace;
  struct Case {
    int32_t type;
    int size;
  };
  const Case cases[] = {{kRepTypeInteger, 4},
                        {kRepTypeSysTime, 4},
                        {kRepTypeString, 0},
                        {kRepTypeInt64, 0},
                        {-1, 0},
                        {16, 0}};
  const unsigned char bytes[4] = {0x10, 0x27, 0x00, 0x80};  // 10000 - 2^31
  for (const Case& k : cases) {
    SCOPED_TRACE(k.type);
    trace.Clear();
    EXPECT_EQ(RepGetSRecordsIndexSize(k.type), k.size);
    EXPECT_EQ(trace.Contains("Bad index type"), k.size == 0);
    Ref<Obj> index;
    EXPECT_EQ(RepCreateIndexObject(&index, k.type), k.size ? 1 : 0);
    EXPECT_EQ(index == nullptr, k.size == 0);
    if (index) {
      EXPECT_EQ(ObjGetInteger(index.get()), 0);
      EXPECT_EQ(RepEncodeRecordIndex(bytes, index.get(), k.type), 1);
      EXPECT_EQ(ObjGetInteger(index.get()), INT32_MIN + 10000);
    } else {
      Ref<Obj> other = ObjNewInteger(5);
      EXPECT_EQ(RepEncodeRecordIndex(bytes, other.get(), k.type), 0);
      EXPECT_EQ(ObjGetInteger(other.get()), 5);
      EXPECT_TRUE(trace.Contains("UNSUPPORTED"));
    }
  }
}

// --- over a data channel -----------------------------------------------------------------------

struct Files {
  std::vector<std::string> paths;
  size_t next = 0;
};
thread_local Files* t_files = nullptr;

int NextFile(std::string* path, Obj*) {
  if (t_files->next >= t_files->paths.size()) return kRepSRecNextFileNoMore;
  *path = t_files->paths[t_files->next++];
  return kRepSRecNextFileOk;
}

// One process sending to itself: the sender's and the receiver's steps interleave in its loop.
class SRecordsChannelTest : public ::testing::Test {
 protected:
  SRecordsChannelTest() : home_(kr_testing::HomeOptions("testhost", "Test Process", "", 0.001)) {}
  void SetUp() override {
    t_collector = &c_;
    MsgLocalAddress(&self_);
    MsgWaitAddHandler(kMsgDataChannelConnect, &OnConnect, this);
  }
  void TearDown() override {
    MsgWaitRemoveHandler(kMsgDataChannelConnect, &OnConnect, this);
    t_collector = nullptr;
  }
  static int OnConnect(Obj* message, void* self) {
    auto* t = static_cast<SRecordsChannelTest*>(self);
    if (t->raw_receiver_) {
      DataChannelAcceptConnection(&t->raw_channel_, message);
      return 0;
    }
    t->receive_started_ =
        RepInitSRecordsReceive(&OnNewBlock, t->record_fn_, &OnReceiveDone, message, nullptr);
    return 0;
  }
  static void OnReceiveDone(int success, Obj*) {
    ++t_collector->completions;
    t_collector->success = success;
  }
  static void OnSendDone(int success, Obj*) {
    ++send_completions_;
    send_success_ = success;
  }
  // Writes each (name, bytes) under the home and starts sending them as one stream; a name with
  // no bytes is left missing.
  void SendFiles(Files* files,
                 const std::vector<std::pair<const char*, const std::string*>>& named) {
    for (const auto& [name, bytes] : named) {
      files->paths.push_back(home_.HomePath(name));
      if (bytes != nullptr) kr_testing::WriteFile(files->paths.back(), *bytes);
    }
    t_files = files;
    ASSERT_EQ(RepInitSRecordsSend(self_.get(), &NextFile, &OnSendDone, nullptr), 1);
  }
  // Dispatches until the send has ended, and the receive too when one runs.
  void RunUntilDone() {
    kr_testing::PumpUntil(
        [this] { return send_completions_ > 0 && (raw_receiver_ || c_.completions > 0); });
  }

  TestHome home_;
  TraceCapture trace_{3};
  Collector c_;
  Ref<Obj> self_;
  bool raw_receiver_ = false;
  RepSRecordsRecordFn record_fn_ = &OnRecord;
  Ref<Obj> raw_channel_;
  int receive_started_ = -1;
  static inline int send_completions_ = 0;
  static inline int send_success_ = -1;

 public:
  ~SRecordsChannelTest() override {
    send_completions_ = 0;
    send_success_ = -1;
  }
};

TEST_F(SRecordsChannelTest, FilesStreamWithTheConfiguredBlockSize) {
  struct Case {
    const char* config;  // reports.cfg, or null for none
    long block;
  };
  const Case cases[] = {{nullptr, 10240}, {"[Reports]\nStatsSendBlockSize = 2\n", 2048}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.block);
    c_ = Collector();
    send_completions_ = 0;
    trace_.Clear();
    if (k.config != nullptr) kr_testing::WriteFile(home_.config_dir() + "/reports.cfg", k.config);
    Files files;
    const std::string a = Block(Range(1, 300), 60), b = Block({301, 302, 303}), none;
    ASSERT_NO_FATAL_FAILURE(SendFiles(&files, {{"a", &a}, {"empty", &none}, {"b", &b}}));
    RunUntilDone();
    t_files = nullptr;
    EXPECT_EQ(send_success_, 1) << trace_.Dump();
    EXPECT_EQ(c_.success, 1);
    EXPECT_EQ(c_.ids, Range(1, 303));
    EXPECT_EQ(c_.tables.size(), 2u);
    EXPECT_TRUE(trace_.Contains("Received " + std::to_string(k.block) + " bytes on data channel"));
    EXPECT_FALSE(trace_.Contains("Received " + std::to_string(k.block + 1) + " bytes"));
    EXPECT_TRUE(trace_.Contains("Received channel close confirmation. Freeing resources."));
  }
}

TEST_F(SRecordsChannelTest, TruncatedFileIsSkippedAndTheNextStartsABlock) {
  Files files;
  // The second file is about 2 MB.
  const std::string a = Block({1, 2}), b = Block(Range(100, 5000), 400), c = Block({3, 4});
  ASSERT_NO_FATAL_FAILURE(SendFiles(&files, {{"a", &a}, {"b", &b}, {"c", &c}}));
  bool truncated = false;
  kr_testing::PumpUntil([&] {
    if (!truncated && c_.ids.size() > 3) {
      truncated = true;
      EXPECT_EQ(::truncate(files.paths[1].c_str(), 0), 0);
    }
    return send_completions_ > 0 && c_.completions > 0;
  });
  t_files = nullptr;
  EXPECT_EQ(send_success_, 1);
  ASSERT_GE(c_.ids.size(), 4u);
  EXPECT_LT(c_.ids.size(), 4u + 4901u);  // part of the second file went missing
  EXPECT_EQ(std::vector<int32_t>(c_.ids.end() - 2, c_.ids.end()), (std::vector<int32_t>{3, 4}));
  EXPECT_EQ(c_.tables.size(), 3u);
}

TEST_F(SRecordsChannelTest, FileThatCannotBeOpenedAbortsTheSend) {
  Files files;
  ASSERT_NO_FATAL_FAILURE(SendFiles(&files, {{"missing", nullptr}}));
  RunUntilDone();
  t_files = nullptr;
  EXPECT_EQ(send_success_, 0);
  EXPECT_EQ(c_.success, 0);  // the channel closed without end-of-xfer
  EXPECT_TRUE(trace_.Contains("Could not open next callback supplied s-records file"));
  EXPECT_TRUE(trace_.Contains("Failed to transmit data. Abort send."));
}

struct Memory {
  std::vector<std::pair<int, std::string>> results;  // (result, bytes) per call
  size_t next = 0;
};
thread_local Memory* t_memory = nullptr;

int NextBuffer(const unsigned char** buffer, int32_t* size, Obj*) {
  if (t_memory->next >= t_memory->results.size()) return kRepSRecBufferNoMore;
  const auto& [result, bytes] = t_memory->results[t_memory->next++];
  *buffer = reinterpret_cast<const unsigned char*>(bytes.data());
  *size = static_cast<int32_t>(bytes.size());
  return result;
}

TEST_F(SRecordsChannelTest, MemoryBuffers) {
  const std::string a = Block(Range(1, 50), 30);
  const std::string b = Block(Range(51, 60));
  struct Case {
    const char* name;
    Memory memory;
    int send_success;
    std::vector<int32_t> ids;
    const char* trace;
  };
  const Case cases[] = {
      // clang-format off
      {"blocks in pieces",
       {{{7, a.substr(0, 700)}, {1, a.substr(700, 1)}, {1, a.substr(701)}, {7, b}}}, 1,
       Range(1, 60), nullptr},
      {"zero-size buffer", {{{7, a}, {1, ""}}}, 0, Range(1, 50),
       "Error - zero size next send buffer"},
      {"error result", {{{7, a}, {3, b}}}, 0, Range(1, 50),
       "Error getting data to send. Abort send."},
      // clang-format on
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    c_ = Collector();
    send_completions_ = 0;
    trace_.Clear();
    Memory memory = k.memory;
    t_memory = &memory;
    ASSERT_EQ(RepInitSRecordsSendFromMemory(self_.get(), &NextBuffer, &OnSendDone, 512, nullptr),
              1);
    RunUntilDone();
    t_memory = nullptr;
    EXPECT_EQ(send_success_, k.send_success);
    EXPECT_EQ(c_.success, k.send_success);
    EXPECT_EQ(c_.ids, k.ids);
    if (k.trace != nullptr) {
      EXPECT_TRUE(trace_.Contains(k.trace)) << trace_.Dump();
    }
    EXPECT_FALSE(trace_.Contains("Received 513 bytes"));
  }
}

TEST_F(SRecordsChannelTest, UnconfirmedCloseFailsAfterTheAlarm) {
  raw_receiver_ = true;  // takes the channel but never reads or confirms
  Memory memory{{{7, Block({1})}}};
  t_memory = &memory;
  ASSERT_EQ(RepInitSRecordsSendFromMemory(self_.get(), &NextBuffer, &OnSendDone, 4096, nullptr), 1);
  RunUntilDone();
  t_memory = nullptr;
  EXPECT_EQ(send_success_, 0);
  EXPECT_TRUE(
      trace_.Contains("Emergency data channel clean up handler called. Data channel close "
                      "not confirmed"));
}

// --- the table producer -------------------------------------------------------------------------

struct Grabber {
  int32_t next = 0;
  int32_t count = 0;
  int32_t fail_at = -1;
  int finished = 0;
};
thread_local Grabber* t_grabber = nullptr;

int GrabRecord(RepRecord* record, Obj*, RepGrabberInitArgs*) {
  Grabber* g = t_grabber;
  if (g->next == g->fail_at) return 0;
  if (g->next >= g->count) return 2;
  ObjSetInteger(record->value_at(0)->value(), g->next);
  ObjSetString(record->value_at(1)->value(), g->next % 2 ? "odd" : "even");
  ++g->next;
  return 1;
}
// The same rows written without records (RepSetGrabberRecordWriter).
thread_local int t_written = 0;
int GrabWrite(RepRecordWriter* writer, Obj*, RepGrabberInitArgs*) {
  Grabber* g = t_grabber;
  if (g->next == g->fail_at) return 0;
  if (g->next >= g->count) return 2;
  writer->SetInteger(0, g->next);
  writer->SetText(1, g->next % 2 ? "odd" : "even");
  ++g->next;
  ++t_written;
  return 1;
}
int GrabFinish(Ref<Obj>* context, RepGrabberInitArgs* args) {
  ++t_grabber->finished;
  return kr_testing::DropContext(context, args);
}
int TwoFields(Ref<List>* fields) {
  *fields = Fields();
  return 1;
}
const RepProvidedTableDesc kDesc = {
    "jobs", nullptr, nullptr, &kr_testing::StartAtRowZero, &GrabRecord, &GrabFinish, &TwoFields};

int ServeDone = 0;
void OnServed(int success, Obj*) { ServeDone = success ? 1 : 2; }

// Index bytes of every record delivered, read back from the payload.
thread_local std::vector<int32_t> t_indexes;
int OnIndexedRecord(const unsigned char* bytes, uint32_t length, Obj* cookie) {
  Ref<Obj> index;
  RepCreateIndexObject(&index, kRepTypeInteger);
  RepEncodeRecordIndex(bytes + 4, index.get(), kRepTypeInteger);
  t_indexes.push_back(ObjGetInteger(index.get()));
  std::string rest(reinterpret_cast<const char*>(bytes), 4);
  rest.append(reinterpret_cast<const char*>(bytes) + 8, length - 8);
  for (int b = 0; b < 4; ++b)
    rest[static_cast<size_t>(b)] = static_cast<char>((length - 4) >> (8 * b));
  return OnRecord(reinterpret_cast<const unsigned char*>(rest.data()),
                  static_cast<uint32_t>(rest.size()), cookie);
}

TEST_F(SRecordsChannelTest, ProducerServesATableFilteredAndIndexed) {
  struct Case {
    const char* name;
    int32_t count;
    int32_t fail_at;
    const char* filter;
    int served;
    size_t received;
    bool writer;  // the grabber can also write its records' values
  };
  const Case cases[] = {
      {"20000 records, filtered", 20000, -1, "%name = 'odd'", 1, 10000, true},
      {"20000 records written by the grabber", 20000, -1, nullptr, 1, 20000, true},
      {"empty table", 0, -1, nullptr, 1, 0, false},
      {"grabber error", 20000, 15000, nullptr, 2, 0, false},
      {"grabber error while writing", 20000, 15000, nullptr, 2, 0, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ASSERT_EQ(RepSetGrabberRecordWriter(&GrabRecord, k.writer ? &GrabWrite : nullptr), 1);
    t_written = 0;
    c_ = Collector();
    send_completions_ = 0;
    ServeDone = 0;
    t_indexes.clear();
    Grabber g{0, k.count, k.fail_at, 0};
    t_grabber = &g;
    Ref<RepGrabberInitArgs> args = RepGrabberInitArgs::New();
    args->set_fields(Fields());
    Ref<Obj> tree;
    if (k.filter != nullptr) tree = RepMakeFilterTree(k.filter, args->fields());
    Ref<Obj> context;
    kr_testing::StartAtRowZero(&context, args.get());
    ASSERT_EQ(RepSRecordsServeTable(self_.get(), &kDesc, context, args.get(), tree.get(), "jobs",
                                    kRepTypeInteger, &OnServed, nullptr),
              1);
    // The receiving side checks the index in front of each record.
    record_fn_ = &OnIndexedRecord;
    kr_testing::PumpUntil([this] { return ServeDone != 0 && c_.completions > 0; });
    EXPECT_EQ(ServeDone, k.served);
    EXPECT_EQ(g.finished, 1);
    // A filtered table is written too: the filter decides on the fields it names.
    EXPECT_EQ(t_written > 0, k.writer);
    t_grabber = nullptr;
    if (k.served == 1) {
      EXPECT_EQ(c_.ids.size(), k.received);
      EXPECT_EQ(t_indexes, c_.ids);
      const int step = k.filter != nullptr ? 2 : 1;
      for (size_t i = 0; i < c_.ids.size(); ++i)
        ASSERT_EQ(c_.ids[i], static_cast<int>(step * i + step - 1));
      EXPECT_GE(c_.tables.size(), 1u);
      for (const std::string& t : c_.tables) EXPECT_EQ(t, "jobs");
    } else {
      EXPECT_EQ(c_.success, 0);
    }
  }
  RepSetGrabberRecordWriter(&GrabRecord, nullptr);
}

// --- fetching a table by stream from a provider thread -----------------------------------------

// The provider's "indexed" table ignores restrictions, as a provider without an index would, so
// that the requester's own index bounds are what cut the range. Its ids: 5, 8, 10..25, then 12
// (out of order, after the upper bound), and 1000 more from 100 on when asked for "bulk".
const std::vector<int32_t>& IndexedIds(bool bulk) {
  static const std::vector<int32_t> small = [] {
    std::vector<int32_t> v = Range(10, 25);
    v.insert(v.begin(), {5, 8});
    v.push_back(12);
    return v;
  }();
  static const std::vector<int32_t> large = Range(100, 1299);
  return bulk ? large : small;
}

template <bool kBulk>
int StreamRecord(RepRecord* record, Obj* context, RepGrabberInitArgs* args) {
  const std::vector<int32_t>& ids = IndexedIds(kBulk);
  return kr_testing::FillRecord(record, context, args, static_cast<int>(ids.size()),
                                [&](const std::string& name, int row) -> Ref<Obj> {
                                  if (name == "id")
                                    return ObjNewInteger(ids[static_cast<size_t>(row)]);
                                  if (name == "name") return ObjNewString(row % 2 ? "odd" : "even");
                                  return nullptr;
                                });
}
using kr_testing::DropContext;
using kr_testing::StartAtRowZero;
const RepProvidedTableDesc kStreamTables[] = {
    {"indexed", nullptr, nullptr, &StartAtRowZero, &StreamRecord<false>, &DropContext, &TwoFields},
    {"bulk", nullptr, nullptr, &StartAtRowZero, &StreamRecord<true>, &DropContext, &TwoFields},
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

int StreamTableTask(Obj* task, void*) {
  return RepHandleMyGetTableRequestBySRecords(kStreamTables, task, kRepTypeInteger);
}

class SRecordsFetchTest : public ::testing::Test {
 protected:
  SRecordsFetchTest()
      : home_(kr_testing::HomeOptions("alpha", "Requester", "", 0.01)),
        provider_(kr_testing::HomeOptions("beta", "Stream Provider", home_.home(), 0.01),
                  [](kr_testing::PeerThread& p) {
                    RepEnableRemoteRequests();
                    ProcRegisterTaskHandler(kRepGetTableTaskKind, &StreamTableTask, nullptr);
                    p.Ready();
                    p.Serve();
                  }) {}
  void SetUp() override { ASSERT_TRUE(provider_.WaitReady()); }

  // Fetches `table` with its id restricted to [lower, upper] (none when lower is null) and the
  // filter text (none when null). Non-zero on failure; the ids in *ids.
  int Fetch(const char* table, const char* lower, const char* upper, const char* filter,
            std::vector<int32_t>* ids, RepProgressCallback progress = nullptr,
            void* argument = nullptr) {
    Ref<RepTableInfo> info = RepTableInfo::New();
    info->set_table_name(table);
    info->set_process_name("Stream Provider");
    info->set_machine_name("beta");
    info->set_serialized_records(true);
    info->set_indexed(true);
    info->set_index_type(kRepTypeInteger);
    Ref<List> restrictions = ListNewFromPool();
    if (lower != nullptr) {
      Ref<RepSqlRestriction> r = RepSqlRestriction::New();
      r->set_table(table);
      r->set_field("id");
      r->set_lower_text(lower);
      r->set_upper_text(upper);
      ListPushLastItemInternal(restrictions.get(), std::move(r));
    }
    Ref<RepSqlFilter> f;
    if (filter != nullptr) {
      f = RepSqlFilter::New();
      f->set_table(table);
      f->set_text(filter);
    }
    Ref<RepTable> result;
    int rc = RepGetTableFromProc(&result, info.get(), Fields().get(), restrictions.get(), f.get(),
                                 progress, argument);
    if (rc == 0) {
      for (Obj* r : *result->records()) ids->push_back(kr_testing::IntegerAt(r, 0));
    }
    return rc;
  }

  TestHome home_;
  kr_testing::PeerThread provider_;
};

TEST_F(SRecordsFetchTest, IndexBoundsAndFilter) {
  struct Case {
    const char* name;
    const char* lower;
    const char* upper;
    const char* filter;
    std::vector<int32_t> ids;
  };
  std::vector<int32_t> all = IndexedIds(false);
  const Case cases[] = {
      {"restricted to (10, 20)", "10", "20", nullptr, Range(10, 20)},
      {"no restriction", nullptr, nullptr, nullptr, all},
      {"restricted and filtered", "10", "20", "%id > 15", Range(16, 20)},
      {"bounds outside the ids", "30", "40", nullptr, {}},
      {"a single id", "8", "8", nullptr, {8}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TraceCapture trace;
    std::vector<int32_t> ids;
    ASSERT_EQ(Fetch("indexed", k.lower, k.upper, k.filter, &ids), 0) << trace.Dump();
    EXPECT_EQ(ids, k.ids);
    EXPECT_TRUE(trace.Contains("Got srecords table from process OK"));
  }
}

int CountProgress(void* argument, int) {
  ++*static_cast<int*>(argument);
  return 0;
}

TEST_F(SRecordsFetchTest, ProgressEvery500Items) {
  int calls = 0;
  std::vector<int32_t> ids;
  // 1200 items, of which the bounds keep 100: progress counts every item, taken or not.
  ASSERT_EQ(Fetch("bulk", "600", "699", nullptr, &ids, &CountProgress, &calls), 0);
  EXPECT_EQ(ids, Range(600, 699));
  EXPECT_EQ(calls, 2);
}

// --- with real processes -------------------------------------------------------------------------

class SRecordsProcesses : public ::testing::Test {
 protected:
  void StartProcesses(std::vector<std::string> provider_args) {
    producer_ = kr_testing::StartReportsStandIn(home_.home());
    ASSERT_TRUE(producer_->ready());
    provider_args.insert(provider_args.begin(), {"--register", "alpha", "--remote", "--srecords"});
    provider_ = kr_testing::StartTestProvider(home_.home(), "beta", provider_args);
    ASSERT_TRUE(provider_->ready());
  }
  Ref<RepControl> Control(const char* class_name) {
    Ref<RepParams> params = RepParamsAlloc();
    RepParamsSetClass(params.get(), class_name);
    RepParamsSetOutputType(params.get(), kRepOutputCsv);
    RepParamsSetFormat(params.get(), "%ID,%NAME");
    return RepControlAlloc(params.get());
  }
  void SetUp() override {
    ASSERT_TRUE(kr_testing::WriteFile(
        home_.ReportsPath("classes/streamedjobs"),
        "%NICENAME = 'Streamed jobs'\n"
        "SELECT testjobs.id, testjobs.name, testjobs.size FROM testjobs\n"
        "  WHERE IN testjobs RESTRICT id TO (10, 2500) AND IN testjobs FILTER IS (%size > 100)\n"));
    ASSERT_TRUE(kr_testing::WriteFile(home_.ReportsPath("classes/allstreamed"),
                                      "%NICENAME = 'All streamed jobs'\n"
                                      "SELECT testjobs.id, testjobs.name FROM testjobs\n"));
  }

  TestHome home_{kr_testing::HomeOptions("alpha", "Report Requester")};
  std::unique_ptr<kr_testing::ReadyProgram> producer_;
  std::unique_ptr<kr_testing::ReadyProgram> provider_;
};

TEST_F(SRecordsProcesses, ClassTableRegisteredAsSerializedRecords) {
  StartProcesses({"--jobs", "3000", "--clients", "5"});
  const auto registry = kr_testing::ReadFile(home_.config_dir() + "/reptables.cfg");
  ASSERT_TRUE(registry);
  EXPECT_NE(registry->find("Serialized Records = TRUE"), std::string::npos) << *registry;
  Ref<RepControl> control = Control("Streamed jobs");
  ASSERT_TRUE(control);
  TraceCapture trace(3);
  std::string error;
  ASSERT_EQ(RepControlProduceReport(&error, control.get(), 1, nullptr, nullptr), 1) << error;
  EXPECT_TRUE(trace.Contains("Got srecords table from process OK"));
  // Ids 10..2500 whose size (id * 7919 % 100000) is over 100.
  size_t expected = 0;
  for (int64_t i = 10; i <= 2500; ++i) expected += (i * 7919) % 100000 > 100 ? 1 : 0;
  EXPECT_EQ(RepGiveNumRecords(control.get()), expected);
}

int KillProvider(void* argument, int) {
  static_cast<kr_testing::ReadyProgram*>(argument)->Kill();
  return 0;
}

TEST_F(SRecordsProcesses, SenderKilledMidStreamFailsTheFetch) {
  StartProcesses({"--jobs", "200000", "--clients", "5", "--record-delay-us", "20"});
  Ref<RepControl> control = Control("All streamed jobs");
  ASSERT_TRUE(control);
  TraceCapture trace;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  // The first progress call comes after 500 items; the provider dies there, mid-stream.
  EXPECT_EQ(RepControlProduceReport(&error, control.get(), 1, &KillProvider, provider_.get()), 0);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
  EXPECT_EQ(RepGiveNumRecords(control.get()), 0u);
  EXPECT_TRUE(trace.Contains("Failed to receive srecords data on channel. Abort.")) << trace.Dump();
  EXPECT_TRUE(trace.Contains("Finished srecords receive for table. Success = FALSE"));
}

}  // namespace
