#include "kr/jobs.h"

#include <gtest/gtest.h>

#include <string>

#include "kr/serialize.h"

namespace {

// The schedule travels inside a job step's stanza slot: it must still read as immediate once
// the record has been serialized and rebuilt elsewhere.
TEST(JobSchedule, ImmediateScheduleSurvivesTravelInAStanzaSlot) {
  std::unique_ptr<Stanza> schedule;
  ASSERT_EQ(JobCreateImmediateScheduleStanza(&schedule), 1);
  EXPECT_TRUE(JobScheduleIsImmediate(schedule.get()));

  Ref<Obj> step = ObjNewInternal(0, 0xca510b1c, "i;z;o;", 0, nullptr);
  ASSERT_EQ(ObjSetSlotStanza(step.get(), 2, schedule.release()), 1);
  std::string bytes;
  ASSERT_EQ(ObjSerializeToMemory(&bytes, step.get()), 1);
  Ref<Obj> back;
  ASSERT_EQ(ObjReconstructFromMemory(&back, bytes.data() + kObjHeaderSize,
                                     bytes.size() - kObjHeaderSize),
            1);
  EXPECT_TRUE(JobScheduleIsImmediate(ObjGetSlotStanza(back.get(), 2)));

  // Anything else is not an immediate schedule.
  std::unique_ptr<Stanza> other = StnzCreate("Schedule", 1);
  StnzSetString(other.get(), "Type", "Weekly");
  EXPECT_FALSE(JobScheduleIsImmediate(other.get()));
  EXPECT_FALSE(JobScheduleIsImmediate(StnzCreate("Other", 0).get()));
  EXPECT_FALSE(JobScheduleIsImmediate(nullptr));
}

}  // namespace
