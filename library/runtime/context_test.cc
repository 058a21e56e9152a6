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
}
