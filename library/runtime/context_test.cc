#include "kr/context.h"

#include <gtest/gtest.h>

#include <cstring>

#include "testing.h"

TEST(Context, TestHomeIsCurrentAndRestored) {
  KrContext* before = ContextCurrent();
  {
    kr_testing::TestHome home;
    EXPECT_EQ(ContextCurrent(), home.context());
    EXPECT_STREQ(SysLocalMachineName(), "testhost");
    MachInfo info;
    ASSERT_EQ(MachInfoFind(&info, "TESTHOST"), 1);
    EXPECT_STREQ(MachInfoKEVersionString(&info), kKrVersionString);
    EXPECT_EQ(MachInfoFind(&info, "elsewhere"), 0);
  }
  EXPECT_EQ(ContextCurrent(), before);
}

TEST(Context, PluginDataIsPerContextAndZeroed) {
  kr_testing::TestHome a;
  auto* pa = static_cast<unsigned char*>(ContextGetPluginData());
  for (size_t i = 0; i < kContextPluginDataSize; ++i) ASSERT_EQ(pa[i], 0);
  pa[0] = 7;
  {
    kr_testing::TestHome b;
    auto* pb = static_cast<unsigned char*>(ContextGetPluginData());
    EXPECT_NE(pa, pb);
    EXPECT_EQ(pb[0], 0);
  }
  EXPECT_EQ(static_cast<unsigned char*>(ContextGetPluginData())[0], 7);
  // The typed view is the same block, not a copy or a block of its own.
  struct Block {
    unsigned char first;
  };
  EXPECT_EQ(ContextPluginData<Block>()->first, 7);
}

namespace {

int g_alive = 0;  // library states made and not yet destroyed

struct LibraryState {
  LibraryState() { ++g_alive; }
  ~LibraryState() { --g_alive; }
  int value = 0;
};

struct OtherState {
  int value = 0;
};

struct RefusingState {
  RefusingState() { throw 1; }
};

}  // namespace

TEST(Context, LibraryStateIsMadeOncePerContextAndEndsWithIt) {
  kr_testing::TestHome a;
  LibraryState* sa = ContextLibraryState<LibraryState>();
  ASSERT_NE(sa, nullptr);
  sa->value = 5;
  EXPECT_EQ(ContextLibraryState<LibraryState>(), sa);
  // The slot holds one type: another is refused, not given the same object.
  EXPECT_EQ(ContextLibraryState<OtherState>(), nullptr);
  {
    kr_testing::TestHome b;
    LibraryState* sb = ContextLibraryState<LibraryState>();
    ASSERT_NE(sb, nullptr);
    EXPECT_NE(sb, sa);
    EXPECT_EQ(sb->value, 0);
    EXPECT_EQ(g_alive, 2);
  }
  EXPECT_EQ(g_alive, 1);
  EXPECT_EQ(ContextLibraryState<LibraryState>()->value, 5);
  {
    // A constructor that throws leaves the slot empty; nothing escapes.
    kr_testing::TestHome c;
    EXPECT_EQ(ContextLibraryState<RefusingState>(), nullptr);
    EXPECT_NE(ContextLibraryState<OtherState>(), nullptr);
  }
}

TEST(Trace, LevelIsCheckedAndTagsTrimmed) {
  kr_testing::TestHome home;
  kr_testing::TraceCapture cap(2);
  TraceMessage("RPTMAIN        ", 1, 0, 3, "detail %d", 1);
  TraceMessage("RPTMAIN        ", 2, 0, -1, "failure %s", "x");
  ASSERT_EQ(cap.lines().size(), 1u);
  EXPECT_EQ(cap.lines()[0].tag, "RPTMAIN");
  EXPECT_EQ(cap.lines()[0].text, "failure x");
  std::string longtext(2000, 'a');
  TraceMessage("T", 3, 0, 0, "%s", longtext.c_str());
  EXPECT_EQ(cap.lines().back().text, longtext);
  // The threshold reads back as set, and setting it hands back the one before.
  EXPECT_EQ(TraceGetLevel(), 2);
  EXPECT_EQ(TraceSetLevel(-1), 2);
  EXPECT_EQ(TraceGetLevel(), -1);
  TraceMessage("T", 4, 0, 0, "not written");
  EXPECT_EQ(cap.lines().size(), 2u);
}
