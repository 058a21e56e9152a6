// Report jobs: new report job records, and job component lists from template names.

#include "reports/reportjobs.h"

#include <string>

#include "kr/jobs.h"
#include "kr/path.h"
#include "kr/text.h"
#include "kr/time.h"
#include "kr/trace.h"
#include "reports/fields.h"
#include "reports/params.h"
#include "reports/templatefile.h"
#include "reports/utilities.h"

namespace {

constexpr const char* kTag = "RPTPLG";

// Values the job library's readers expect in a report job.
constexpr int32_t kJobProcessId = 1050000;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Jobs.

void RepMakeNewJobRecord(Ref<Obj>* job, const char* title, int32_t report_kind) noexcept {
  if (job == nullptr) return;
  const bool kind1 = report_kind == 1;
  int64_t now = 0;
  if (!QuorTime(&now)) {
    TraceMessage(kTag, 10, 0, -1,
                 "Warning - falling back to system time when creating a new job record");
    now = TimeNow();
  }
  TimeBreakdown bd{};
  TimeToBreakdownStruct(&bd, now);

  Ref<RepJobScheduleTime> when = RepJobScheduleTime::New();
  when->SetIntSlot<2>(bd.w[kTimeBdHour]);
  when->SetIntSlot<3>(bd.w[kTimeBdMinute]);
  when->SetIntSlot<4>(bd.w[kTimeBdDay]);
  when->SetIntSlot<5>(bd.w[kTimeBdMonth]);
  when->SetIntSlot<6>(bd.w[kTimeBdYear]);
  when->SetIntSlot<9>(1);

  Ref<RepJobScheduleHolder> holder = RepJobScheduleHolder::New();
  holder->SetObjSlot<1>(ListNewFromPool());
  holder->SetObjSlot<3>(std::move(when));

  Ref<RepJobStepProcess> process = RepJobStepProcess::New();
  process->SetStrSlot<1>(kRepReportsProcessName);
  process->SetIntSlot<2>(kJobProcessId);
  process->SetBoolSlot<5>(true);

  Ref<RepJobStep> step = RepJobStep::New();
  step->SetIntSlot<1>(kind1 ? 9 : 8);
  std::unique_ptr<Stanza> schedule;
  if (JobCreateImmediateScheduleStanza(&schedule))
    ObjSetSlotStanza(step.get(), 2, schedule.release());
  Ref<List> processes = ListNewFromPool();
  ListAddLastItem(processes.get(), process.get());
  step->SetObjSlot<3>(std::move(processes));

  Ref<RepJobDefinition> definition = RepJobDefinition::New();
  definition->SetIntSlot<1>(kind1 ? 1007006 : 1007005);
  definition->SetBoolSlot<2>(true);
  definition->SetStrSlot<4>(title);
  definition->SetStrSlot<5>(kRepReportsProcessName);
  definition->SetIntSlot<6>(kJobProcessId);
  Ref<List> steps = ListNewFromPool();
  ListAddLastItem(steps.get(), step.get());
  definition->SetObjSlot<8>(std::move(steps));

  Ref<RepJobRecord> record = RepJobRecord::New();
  record->SetIntSlot<1>(-1);
  record->SetIntSlot<2>(kind1 ? 4 : 3);
  record->SetIntSlot<3>(static_cast<int32_t>(TimeNow()));
  record->SetObjSlot<5>(std::move(definition));
  Ref<List> extension = ListNewFromPool();
  ListSetExtensionItem(extension.get(), holder.get());
  record->SetObjSlot<7>(std::move(extension));
  *job = std::move(record);
}

namespace {

// Fills the class and nice name of a component from its template, as far as it can be read.
void FillComponentFromTemplate(RepJobComponent* component, const char* name) {
  std::string path;
  if (!PathIsSafeName(name) || !RepPathBuild(&path, "templates", name, nullptr)) {
    TraceMessage(kTag, 13, 0, -1,
                 "Warning - cannot build path to component '%s' - wont fill out nice name and "
                 "class",
                 name);
    return;
  }
  Ref<RepTemplate> tmpl;
  if (!RepTemplateAlloc(path.c_str(), &tmpl)) {
    TraceMessage(kTag, 14, 0, -1,
                 "Warning - cannot load template '%s' when converting to job component - wont "
                 "set class and nice name",
                 name);
    return;
  }
  Ref<Obj> class_value;
  if (RepTemplateGetParamValue(&class_value, tmpl.get(), "class", 1, kRepTypeString) &&
      ObjGetString(class_value.get()) != nullptr) {
    component->SetStrSlot<3>(ObjGetString(class_value.get()));
  } else {
    TraceMessage(kTag, 15, 0, -1,
                 "Warning - cannot derive class of component '%s' when converting to job "
                 "component",
                 name);
  }
  std::string nice;
  if (RepGetTemplateNiceName(&nice, tmpl.get(), name)) component->SetStrSlot<2>(nice.c_str());
}

}  // namespace

int RepComponentListFromStrings(Ref<List>* components, const List* names) noexcept {
  if (components == nullptr) return 0;
  if (names == nullptr || names->empty()) {
    TraceMessage(kTag, 11, 0, -1, "Empty source template names list");
    return 0;
  }
  Ref<List> out = ListNewWithCapacity(names->size());
  for (Obj* item : *names) {
    const char* name = ObjGetString(item);
    if (name == nullptr) name = "";
    TraceMessage(kTag, 12, 0, 3, "Convert named component '%s' to job component", name);
    Ref<RepJobComponent> component = RepJobComponent::New();
    component->SetStrSlot<1>(name);
    component->SetIntSlot<4>(0);
    FillComponentFromTemplate(component.get(), name);
    Ref<RepJobComponentHolder> holder = RepJobComponentHolder::New();
    holder->SetObjSlot<1>(std::move(component));
    ListPushLastItemInternal(out.get(), std::move(holder));
  }
  *components = std::move(out);
  return 1;
}
