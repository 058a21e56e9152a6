#include "kr/jobs.h"

#include <gtest/gtest.h>

#include "kr/stanza.h"

namespace {

// How the schedule travels in a job step's stanza slot is the serializer's concern (its round
// trip keeps titles, key names and values); here, only what counts as immediate.
TEST(JobSchedule, OnlyTheImmediateScheduleReadsAsImmediate) {
  std::unique_ptr<Stanza> schedule;
  ASSERT_EQ(JobCreateImmediateScheduleStanza(&schedule), 1);
  EXPECT_TRUE(JobScheduleIsImmediate(schedule.get()));
  EXPECT_TRUE(JobScheduleIsImmediate(StnzDuplicate(*schedule).get()));
  std::unique_ptr<Stanza> other = StnzCreate("Schedule", 1);
  StnzSetString(other.get(), "Type", "Weekly");
  EXPECT_FALSE(JobScheduleIsImmediate(other.get()));
  EXPECT_FALSE(JobScheduleIsImmediate(StnzCreate("Other", 0).get()));
  EXPECT_FALSE(JobScheduleIsImmediate(nullptr));
}

}  // namespace
