#include "reports/reportjobs.h"

#include <gtest/gtest.h>

#include <string>

#include "kr/jobs.h"
#include "kr/path.h"
#include "kr/time.h"
#include "testing.h"

namespace {

using kr_testing::ScopedTimeZone;
using kr_testing::TestHome;
using kr_testing::TraceCapture;
using kr_testing::WriteFile;

constexpr int64_t kMarch5th2004 = 1078495629;  // 2004-03-05 14:07:09 UTC

TEST(JobRecord, SlotsForEachReportKind) {
  ScopedTimeZone utc("UTC");
  TestHome::Options o;
  o.fixed_time = kMarch5th2004;
  TestHome home(o);
  struct Case {
    int32_t kind, record_kind, definition_code, step_kind;
  } cases[] = {{1, 4, 1007006, 9}, {0, 3, 1007005, 8}, {7, 3, 1007005, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    Ref<Obj> job;
    RepMakeNewJobRecord(&job, "Weekly jobs", c.kind);
    ASSERT_EQ(ObjGetMagic(job.get()), RepJobRecord::kTypeCode);
    EXPECT_STREQ(ObjGetSpec(job.get()), RepJobRecord::kSpec);
    EXPECT_EQ(ObjGetSlotInteger(job.get(), 1), -1);
    EXPECT_EQ(ObjGetSlotInteger(job.get(), 2), c.record_kind);
    EXPECT_EQ(ObjGetSlotInteger(job.get(), 3), kMarch5th2004);
    EXPECT_EQ(ObjGetSlotString(job.get(), 4), nullptr);
    EXPECT_EQ(ObjGetSlotObject(job.get(), 6), nullptr);

    Obj* def = ObjGetSlotObject(job.get(), 5);
    ASSERT_EQ(ObjGetMagic(def), RepJobDefinition::kTypeCode);
    EXPECT_EQ(ObjGetSlotInteger(def, 1), c.definition_code);
    EXPECT_TRUE(ObjGetSlotBoolean(def, 2));
    EXPECT_EQ(ObjGetSlotString(def, 3), nullptr);
    EXPECT_STREQ(ObjGetSlotString(def, 4), "Weekly jobs");
    EXPECT_STREQ(ObjGetSlotString(def, 5), "Reports Producer");
    EXPECT_EQ(ObjGetSlotInteger(def, 6), 1050000);
    EXPECT_EQ(ObjGetSlotStanza(def, 10), nullptr);
    const List* steps = ObjCast<List>(ObjGetSlotObject(def, 8));
    ASSERT_EQ(ListGetItemCount(steps), 1u);

    Obj* step = steps->at(0);
    ASSERT_EQ(ObjGetMagic(step), RepJobStep::kTypeCode);
    EXPECT_EQ(ObjGetSlotInteger(step, 1), c.step_kind);
    EXPECT_TRUE(JobScheduleIsImmediate(ObjGetSlotStanza(step, 2)));
    EXPECT_EQ(ObjGetSlotObject(step, 4), nullptr);
    EXPECT_FALSE(ObjGetSlotBoolean(step, 9));
    const List* processes = ObjCast<List>(ObjGetSlotObject(step, 3));
    ASSERT_EQ(ListGetItemCount(processes), 1u);
    Obj* process = processes->at(0);
    ASSERT_EQ(ObjGetMagic(process), RepJobStepProcess::kTypeCode);
    EXPECT_STREQ(ObjGetSlotString(process, 1), "Reports Producer");
    EXPECT_EQ(ObjGetSlotInteger(process, 2), 1050000);
    EXPECT_FALSE(ObjGetSlotBoolean(process, 6));
    EXPECT_TRUE(ObjGetSlotBoolean(process, 5));

    const List* extension = ObjCast<List>(ObjGetSlotObject(job.get(), 7));
    ASSERT_NE(extension, nullptr);
    EXPECT_TRUE(extension->empty());
    Obj* holder = ListGetExtensionItem(extension);
    ASSERT_EQ(ObjGetMagic(holder), RepJobScheduleHolder::kTypeCode);
    ASSERT_NE(ObjCast<List>(ObjGetSlotObject(holder, 1)), nullptr);
    EXPECT_TRUE(ObjCast<List>(ObjGetSlotObject(holder, 1))->empty());
    EXPECT_EQ(ObjGetSlotObject(holder, 2), nullptr);
    Obj* when = ObjGetSlotObject(holder, 3);
    ASSERT_EQ(ObjGetMagic(when), RepJobScheduleTime::kTypeCode);
    const int32_t expected[] = {0, 14, 7, 5, 3, 2004, 0, 0, 1};
    for (int slot = 1; slot <= 9; ++slot)
      EXPECT_EQ(ObjGetSlotInteger(when, slot), expected[slot - 1]) << "slot " << slot;
    EXPECT_FALSE(ObjGetSlotBoolean(when, 13));
  }
}

TEST(JobComponents, OneComponentPerNameReadableTemplatesFilled) {
  TestHome home;
  TraceCapture trace;
  WriteFile(home.ReportsPath("templates/weekly"), "%class \"Jobs\" %nicename \"Weekly jobs\"\n");
  WriteFile(home.ReportsPath("templates/plain"), "%class \"Media\"\n");
  WriteFile(home.ReportsPath("templates/noclass"), "%nicename \"No class\"\n");
  Ref<List> names = ListNewFromPool();
  for (const char* n : {"weekly", "missing", "plain", "noclass", "../weekly"})
    ListPushLastItemInternal(names.get(), ObjNewString(n));
  Ref<List> components;
  ASSERT_EQ(RepComponentListFromStrings(&components, names.get()), 1);
  struct Want {
    const char *name, *nice, *class_name;
  } want[] = {{"weekly", "Weekly jobs", "Jobs"},
              {"missing", nullptr, nullptr},
              {"plain", "plain", "Media"},
              {"noclass", "No class", nullptr},
              {"../weekly", nullptr, nullptr}};
  ASSERT_EQ(ListGetItemCount(components.get()), 5u);
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(want[i].name);
    Obj* holder = components->at(i);
    ASSERT_EQ(ObjGetMagic(holder), RepJobComponentHolder::kTypeCode);
    EXPECT_EQ(ObjGetSlotObject(holder, 2), nullptr);
    Obj* c = ObjGetSlotObject(holder, 1);
    ASSERT_EQ(ObjGetMagic(c), RepJobComponent::kTypeCode);
    EXPECT_STREQ(ObjGetSlotString(c, 1), want[i].name);
    EXPECT_STREQ(ObjGetSlotString(c, 2), want[i].nice);
    EXPECT_STREQ(ObjGetSlotString(c, 3), want[i].class_name);
    EXPECT_EQ(ObjGetSlotInteger(c, 4), 0);
    EXPECT_EQ(ObjGetSlotObject(c, 5), nullptr);
  }
  EXPECT_TRUE(trace.Contains(
      "Warning - cannot load template 'missing' when converting to job component - wont set "
      "class and nice name",
      -1));
  EXPECT_TRUE(trace.Contains(
      "Warning - cannot derive class of component 'noclass' when converting to job component", -1));
  EXPECT_TRUE(trace.Contains(
      "Warning - cannot build path to component '../weekly' - wont fill out nice name and class",
      -1));

  Ref<List> empty = ListNewFromPool();
  EXPECT_EQ(RepComponentListFromStrings(&components, empty.get()), 0);
  EXPECT_EQ(RepComponentListFromStrings(&components, nullptr), 0);
  EXPECT_TRUE(trace.Contains("Empty source template names list", -1));
}

}  // namespace
