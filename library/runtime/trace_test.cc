// The failure capture a front end puts around a library call.

#include <gtest/gtest.h>

#include "kr/trace.h"
#include "testing.h"

namespace {

// It keeps each failure once, oldest first, passes every line on to the sink it replaced, and
// gives that sink back when it goes; a nested capture takes only its own call's failures.
TEST(TraceFailureCapture, KeepsFailuresAndPassesEverythingOn) {
  kr_testing::TraceCapture outer;
  {
    TraceFailureCapture capture;
    TraceMessage("T", 1, 0, -1, "disk full on '%s'", "out.txt");
    TraceMessage("T", 2, 0, 2, "a milestone");
    {
      TraceFailureCapture inner;
      TraceMessage("T", 3, 0, -1, "no process 'P'");
      EXPECT_EQ(inner.Take(), std::vector<std::string>{"no process 'P'"});
      EXPECT_TRUE(inner.Take().empty());
    }
    TraceMessage("T", 1, 0, -1, "disk full on '%s'", "out.txt");
    EXPECT_EQ(capture.Take(), (std::vector<std::string>{"disk full on 'out.txt'", "no process 'P'"}));
  }
  TraceMessage("T", 4, 0, -1, "after");
  EXPECT_EQ(outer.lines().size(), 5u) << outer.Dump();
  EXPECT_TRUE(outer.Contains("after", -1));
}

}  // namespace
