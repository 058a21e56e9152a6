// Field restrictions: converting their bound texts to typed values and finding them by field.

#include "reports/restrictions.h"

#include "kr/text.h"
#include "kr/trace.h"
#include "reports/reports.h"

namespace {

constexpr const char* kTag = "REPRESTR";

const RepFieldDef* FindField(const RepFieldList* fields, const char* name) {
  for (const Obj* o : *fields) {
    const RepFieldDef* f = ObjCast<RepFieldDef>(o);
    if (f != nullptr && f->name() != nullptr && name != nullptr &&
        StrCompareNoCase(f->name(), name) == 0)
      return f;
  }
  return nullptr;
}

}  // namespace

int RepConvTextRestrictions(List* restrictions, const RepFieldList* fields) noexcept {
  if (restrictions == nullptr || fields == nullptr) {
    TraceMessage(kTag, 1, 0, 3,
                 "No fields or no restrictions. Not converting textual restrictions.");
    return 1;
  }
  for (Obj* o : *restrictions) {
    RepSqlRestriction* r = ObjCast<RepSqlRestriction>(o);
    if (r == nullptr) continue;
    const RepFieldDef* f = FindField(fields, r->field());
    if (f == nullptr) continue;
    TraceMessage(kTag, 2, 0, 3, "Lower bound text '%s'", StrOrEmpty(r->lower_text()));
    Ref<Obj> value;
    if (RepEncodeData(&value, r->lower_text(), f->type()) == kRepFailed) {
      TraceMessage(kTag, 3, 0, -1, "Failed to convert lower bound of restriction for field '%s'.",
                   r->field());
      return 0;
    }
    r->set_lower(std::move(value));
    if (RepEncodeData(&value, r->upper_text(), f->type()) == kRepFailed) {
      TraceMessage(kTag, 4, 0, -1, "Failed to convert upper bound of restriction for field '%s'.",
                   r->field());
      return 0;
    }
    r->set_upper(std::move(value));
  }
  TraceMessage(kTag, 5, 0, 3, "Converted restriction list textual bounds to data types OK.");
  return 1;
}

int RepFindFieldRestriction(Ref<RepSqlRestriction>* restriction, const char* field_name,
                            const List* restrictions) noexcept {
  if (restriction == nullptr || field_name == nullptr || restrictions == nullptr) return 0;
  for (Obj* o : *restrictions) {
    RepSqlRestriction* r = ObjCast<RepSqlRestriction>(o);
    if (r != nullptr && r->field() != nullptr && StrCompareNoCase(r->field(), field_name) == 0) {
      *restriction = Ref<RepSqlRestriction>::Share(r);
      return 1;
    }
  }
  return 0;
}
