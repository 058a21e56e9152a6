// The job library's schedule call.

#include "kr/jobs.h"

#include <string>

#include "kr/text.h"

namespace {
constexpr const char* kTitle = "Schedule";
constexpr const char* kType = "Type";
constexpr const char* kImmediate = "Immediate";
}  // namespace

int JobCreateImmediateScheduleStanza(std::unique_ptr<Stanza>* out) noexcept {
  if (out == nullptr) return 0;
  std::unique_ptr<Stanza> s = StnzCreate(kTitle, 2);
  if (s == nullptr || !StnzSetString(s.get(), kType, kImmediate) ||
      !StnzSetString(s.get(), "Repeat", "Never"))
    return 0;
  *out = std::move(s);
  return 1;
}

bool JobScheduleIsImmediate(const Stanza* schedule) noexcept {
  if (schedule == nullptr || StrCompareNoCase(schedule->title.c_str(), kTitle) != 0) return false;
  std::string type;
  return StnzGetString(&type, schedule, kType, 0) == 1 &&
         StrCompareNoCase(type.c_str(), kImmediate) == 0;
}
