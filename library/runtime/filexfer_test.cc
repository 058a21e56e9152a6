#include "kr/filexfer.h"

#include <gtest/gtest.h>

#include <string>

#include "kr/file.h"
#include "kr/message.h"
#include "kr/path.h"
#include "testing.h"

namespace {

using kr_testing::PeerThread;
using kr_testing::ReadFile;
using kr_testing::TestHome;
using kr_testing::WriteFile;

constexpr uint32_t kFetchMsg = 700;  // test only: asks the fetcher to fetch (path, target)
constexpr uint32_t kFetchedMsg = 701;

struct FetchOrder : ObjView<FetchOrder> {
  static constexpr uint32_t kTypeCode = 0x4b52ff01;
  static constexpr const char kSpec[] = "s;s;";
  static constexpr const char kName[] = "FetchOrder";
};

TestHome::Options Opts(const char* machine, const char* process, const std::string& home = "") {
  TestHome::Options o;
  o.machine_name = machine;
  o.process_name = process;
  o.home = home;
  o.timeout_scale = 0.01;
  return o;
}

int FetchOnOrder(Obj* message, void*) {
  Ref<Obj> order, sender;
  MsgGetObjectInternal(&order, message, FetchOrder::kTypeCode);
  MsgGetSender(&sender, message);
  int r = PlgFileXferFetch(sender.get(), ObjGetSlotString(order.get(), 1),
                           ObjGetSlotString(order.get(), 2));
  MsgSendReply(message, kFetchedMsg, ObjNewInteger(r).get());
  return 0;
}

void ServeFetches(PeerThread& p) {
  MsgWaitAddHandler(kFetchMsg, &FetchOnOrder, nullptr);
  MsgInit();
  p.Ready();
  p.Serve();
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 2654435761u) >> 13);
  return s;
}

class FileXferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(beta_.WaitReady());
    ProcCreateAddress(&beta_address_, "beta", "Fetcher", 0);
  }
  void TearDown() override { PlgFileXferSetSendHook(nullptr, nullptr); }

  // Has the fetcher `process` on beta fetch our `path` into `target`; its result, or -1.
  int Fetch(const std::string& path, const std::string& target, const char* process = "Fetcher") {
    Ref<Obj> address, reply;
    ProcCreateAddress(&address, "beta", process, 0);
    Ref<FetchOrder> order = FetchOrder::New();
    order->SetStrSlot<1>(path.c_str());
    order->SetStrSlot<2>(target.c_str());
    Ref<Obj> timeout;
    TimeCreateAndSetTimeout(&timeout, 1000, 0);  // 10 s of real time at the test scale
    if (!MsgWaitInterchangeInternal(&reply, address.get(), kFetchMsg, order.get(), kFetchedMsg,
                                    timeout.get()))
      return -1;
    Ref<Obj> result;
    MsgGetObjectInternal(&result, reply.get(), kObjIntegerType);
    return ObjGetInteger(result.get());
  }

  TestHome home_{Opts("alpha", "Sender")};
  PeerThread beta_{Opts("beta", "Fetcher", home_.home()), &ServeFetches};
  Ref<Obj> beta_address_;
};

TEST_F(FileXferTest, PermittedFilesArriveByteIdentical) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{kPlgFileXferBufferSize},
                      size_t{3 * kPlgFileXferBufferSize + 17}}) {
    SCOPED_TRACE(size);
    const std::string source = home_.HomePath("out/file.bin");
    const std::string target = home_.HomePath("in/file.bin");
    const std::string data = Pattern(size);
    ASSERT_TRUE(WriteFile(source, data));
    ASSERT_TRUE(kr_testing::MakeDirs(home_.HomePath("in")));
    ASSERT_EQ(PlgFileXferAllowPeer(beta_address_.get()), 1);
    ASSERT_EQ(PlgFileXferAllow(source.c_str()), 1);
    EXPECT_EQ(Fetch(source, target), 1);
    EXPECT_EQ(PlgFileXferDisallowPeer(beta_address_.get()), 1);
    EXPECT_EQ(ReadFile(target), data);
  }
}

TEST_F(FileXferTest, AnythingNotPermittedIsRefusedAndNothingWritten) {
  PeerThread gamma(Opts("beta", "Other", home_.home()), &ServeFetches);
  ASSERT_TRUE(gamma.WaitReady());
  const std::string allowed = home_.HomePath("out/a.txt");
  const std::string other = home_.HomePath("out/b.txt");
  ASSERT_TRUE(WriteFile(allowed, "allowed"));
  ASSERT_TRUE(WriteFile(other, "secret"));
  ASSERT_TRUE(kr_testing::MakeDirs(home_.HomePath("in")));
  const std::string target = home_.HomePath("in/t.txt");

  EXPECT_EQ(PlgFileXferAllow(allowed.c_str()), 0);  // no peer allowed yet
  ASSERT_EQ(PlgFileXferAllowPeer(beta_address_.get()), 1);
  ASSERT_EQ(PlgFileXferAllow(allowed.c_str()), 1);
  struct Case {
    const char* what;
    std::string path;
    const char* process;
  } cases[] = {
      {"another path", other, "Fetcher"},
      {"the same file by another name", home_.HomePath("out/../out/a.txt"), "Fetcher"},
      {"another process", allowed, "Other"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Fetch(c.path, target, c.process), 0);
    EXPECT_FALSE(ReadFile(target).has_value());
  }
  ASSERT_EQ(PlgFileXferDisallowPeer(beta_address_.get()), 1);
  EXPECT_EQ(PlgFileXferDisallowPeer(beta_address_.get()), 0);
  EXPECT_EQ(Fetch(allowed, target), 0);  // after the disallow
  EXPECT_FALSE(ReadFile(target).has_value());
  // A new permit for the peer does not bring back the files of the old one.
  ASSERT_EQ(PlgFileXferAllowPeer(beta_address_.get()), 1);
  EXPECT_EQ(Fetch(allowed, target), 0);
  PlgFileXferDisallowPeer(beta_address_.get());
  std::vector<DirEntry> left;
  DirScan(&left, home_.HomePath("in").c_str());
  EXPECT_TRUE(left.empty());
}

// The sending side's fault: grow or shrink the file after the first buffer, or die.
struct Fault {
  std::string path;
  int kind;  // 0 grow, 1 shrink, 2 die
};
int InjectFault(const char* path, uint64_t, void* cookie) {
  auto* f = static_cast<Fault*>(cookie);
  if (f->kind == 2) return 0;
  std::string data = *ReadFile(path);
  WriteFile(f->path, f->kind == 0 ? data + "more" : data.substr(0, data.size() / 2));
  return 1;
}

TEST_F(FileXferTest, FileChangingSizeOrSenderDyingLeavesNoPartialFile) {
  const std::string source = home_.HomePath("out/big.bin");
  const std::string target = home_.HomePath("in/big.bin");
  ASSERT_TRUE(kr_testing::MakeDirs(home_.HomePath("in")));
  for (int kind : {0, 1, 2}) {
    SCOPED_TRACE(kind);
    ASSERT_TRUE(WriteFile(source, Pattern(4 * kPlgFileXferBufferSize)));
    ASSERT_TRUE(WriteFile(target, "old contents"));
    Fault fault{source, kind};
    PlgFileXferSetSendHook(&InjectFault, &fault);
    PlgFileXferAllowPeer(beta_address_.get());
    PlgFileXferAllow(source.c_str());
    EXPECT_EQ(Fetch(source, target), 0);
    PlgFileXferDisallowPeer(beta_address_.get());
    EXPECT_EQ(ReadFile(target), "old contents");  // the old file stays whole
    std::vector<DirEntry> left;
    DirScan(&left, home_.HomePath("in").c_str());
    EXPECT_EQ(left.size(), 1u);  // no temporary file either
  }
}

}  // namespace
