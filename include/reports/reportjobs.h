// Report jobs: new report job records, and job component lists from template names.
//
// The job record is a tree of six objects of the job library's types; this library fills the
// slots listed at each view below and leaves the rest empty.
//
// Traces under the module tag RPTPLG.
//
// Thread safety: everything runs on the calling thread's context.
#pragma once

#include <cstdint>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/registry.h"  // kRepReportsProcessName

// ---- Job records ----

// 1 -1; 2 4 for report kind 1, else 3; 3 the local time of creation; 5 the definition;
// 7 an extension list whose extension item is the schedule holder.
struct RepJobRecord : ObjView<RepJobRecord> {
  static constexpr uint32_t kTypeCode = 0xca34ee76;
  static constexpr const char kSpec[] = "i;i;i;s;o;o;o;";
  static constexpr const char kName[] = "JobRecord";
};
// 1 1007006 for kind 1, else 1007005; 2 true; 4 the title; 5 "Reports Producer"; 6 1050000;
// 8 a list holding the step.
struct RepJobDefinition : ObjView<RepJobDefinition> {
  static constexpr uint32_t kTypeCode = 0xca510b46;
  static constexpr const char kSpec[] = "i;b;s;s;s;i;s;o;s;z;";
  static constexpr const char kName[] = "JobDefinition";
};
// 1 9 for kind 1, else 8; 2 the immediate schedule stanza; 3 a list holding the process entry.
struct RepJobStep : ObjView<RepJobStep> {
  static constexpr uint32_t kTypeCode = 0xca510b1c;
  static constexpr const char kSpec[] = "i;z;o;o;i;s;s;s;b;";
  static constexpr const char kName[] = "JobStep";
};
// 1 "Reports Producer"; 2 1050000; 5 true.
struct RepJobStepProcess : ObjView<RepJobStepProcess> {
  static constexpr uint32_t kTypeCode = 0xca511276;
  static constexpr const char kSpec[] = "s;i;o;o;b;b;";
  static constexpr const char kName[] = "JobStepProcess";
};
// 1 an empty list; 3 the schedule time.
struct RepJobScheduleHolder : ObjView<RepJobScheduleHolder> {
  static constexpr uint32_t kTypeCode = 0xcf5716ca;
  static constexpr const char kSpec[] = "o;o;o;s;s;b;o;";
  static constexpr const char kName[] = "JobScheduleHolder";
};
// 2-6 hour, minute, day, month, year of the system-wide time of creation; 9 1.
struct RepJobScheduleTime : ObjView<RepJobScheduleTime> {
  static constexpr uint32_t kTypeCode = 0xc9b10e75;
  static constexpr const char kSpec[] = "i;i;i;i;i;i;i;i;i;c8;c8;c32;b;s;o;";
  static constexpr const char kName[] = "JobScheduleTime";
};

// A job component: 1 template name; 2 template nice name; 3 class name; 4 0; 5 empty.
struct RepJobComponent : ObjView<RepJobComponent> {
  static constexpr uint32_t kTypeCode = 0xc8e8bc8b;
  static constexpr const char kSpec[] = "s;s;s;i;o;";
  static constexpr const char kName[] = "JobComponent";
};
// 1 the component; 2 empty.
struct RepJobComponentHolder : ObjView<RepJobComponentHolder> {
  static constexpr uint32_t kTypeCode = 0xc8e91495;
  static constexpr const char kSpec[] = "o;o;";
  static constexpr const char kName[] = "JobComponentHolder";
};

// ---- Jobs ----

// A new job record tree for a report job titled `title` (copied; may be null); `report_kind` 1
// or anything else chooses the alternatives noted at the views above. Always hands back a record.
void RepMakeNewJobRecord(Ref<Obj>* job, const char* title, int32_t report_kind) noexcept;

// A list of RepJobComponentHolder, one per string object of `names`, in order: each
// component holds the template name and, when the template (templates/<name> under the reports
// directory) can be read, its class and nice name (the name itself when it has none). 0 for a
// missing or empty list; a template that cannot be read only leaves its slots empty.
int RepComponentListFromStrings(Ref<List>* components, const List* names) noexcept;
