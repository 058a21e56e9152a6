// The report control object and its small accessors.

#include "reports/control.h"

#include "kr/trace.h"
#include "reports/fields.h"

namespace {

constexpr const char* kTag = "RPTMAIN";

}  // namespace

Ref<RepParams> RepControlGetParams(const RepControl* control) noexcept {
  if (control == nullptr || control->params() == nullptr) return nullptr;
  Ref<Obj> copy;
  if (!ObjDuplicate(&copy, control->params())) return nullptr;
  return RefCast<RepParams>(std::move(copy));
}

int RepControlGetFieldString(std::string* fields, const RepControl* control) noexcept {
  if (fields == nullptr || control == nullptr || control->possible_fields() == nullptr) return 0;
  return RepGetAllFieldsString(fields, control->possible_fields());
}

size_t RepGiveNumRecords(const RepControl* control) noexcept {
  const RepTable* table = control != nullptr ? control->table() : nullptr;
  return table != nullptr ? ListGetItemCount(table->records()) : 0;
}

Ref<RepControl> RepControlFromTable(const RepParams* params, RepTable* table) noexcept {
  if (table == nullptr || table->fields() == nullptr) {
    TraceMessage(kTag, 1, 0, -1, "Cannot make a report control without a table and its fields");
    return nullptr;
  }
  Ref<RepParams> own;
  if (params != nullptr) {
    Ref<Obj> copy;
    if (!ObjDuplicate(&copy, params)) return nullptr;
    own = RefCast<RepParams>(std::move(copy));
  } else {
    own = RepParamsAlloc();
  }
  Ref<List> report_fields;
  if (!own || !ListClone(&report_fields, table->fields())) return nullptr;

  Ref<RepControl> control = RepControl::New();
  if (!control) return nullptr;
  control->set_params(std::move(own));
  control->set_possible_fields(Ref<List>::Share(table->fields()));
  control->set_report_fields(std::move(report_fields));
  control->set_table(Ref<RepTable>::Share(table));
  return control;
}
