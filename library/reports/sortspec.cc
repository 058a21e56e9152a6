// Sort specs: the sort text of a report turned into its keys, and the fields a sort text names.
// The sorting itself is in sort.cc.

#include <algorithm>

#include "kr/list.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/fields.h"
#include "reports/sort.h"

namespace {

constexpr const char* kTag = "RPTSORT";

}  // namespace

namespace {

// Walks the field references of a sort text in order, calling `visit(found, field, name, after)`
// for each: `found` is whether the name is a field of the list, `name` where it starts and
// `after` the text right after it. Stops at the end of the text, or when `visit` answers false
// (then the result is false).
template <class Visit>
bool ScanSortReferences(const RepFieldList* fields, const char* text, Visit visit) {
  const char* p = text;
  while (p != nullptr) {
    Ref<RepFieldDef> field;
    const char* name = nullptr;
    int32_t length = 0;
    const int r = RepFindField(&field, p, &name, &length, fields);
    if (r == kRepFieldNoMore || name == nullptr) break;
    const char* after = StrAdvanceChars(name, static_cast<size_t>(std::max(length, 0)));
    if (!visit(r == kRepFieldFound, std::move(field), name, after)) return false;
    p = after;  // past the '%' at least, so the scan always moves on
  }
  return true;
}

}  // namespace

int RepBuildSortSpec(Ref<List>* spec, const RepFieldList* fields, const char* sort_text) noexcept {
  if (spec == nullptr) return 0;
  if (fields == nullptr || fields->empty()) {
    TraceMessage(kTag, 1, 0, -1, "Not making sort spec - report has no fields");
    return 0;
  }
  Ref<List> keys = ListNewFromPool();
  ScanSortReferences(fields, sort_text,
                     [&](bool found, Ref<RepFieldDef> field, const char*, const char* after) {
                       if (!found) {
                         TraceMessage(kTag, 2, 0, -1, "Sort spec contains bad field. Ignoring it.");
                         return true;
                       }
                       Ref<RepSortKey> key = RepSortKey::New();
                       key->set_type(field->type());
                       key->set_index(static_cast<int32_t>(ListFindItem(fields, field.get())) - 1);
                       key->set_ascending(*after != '-');
                       ListPushLastItemInternal(keys.get(), std::move(key));
                       return true;
                     });
  *spec = std::move(keys);
  return 1;
}

int RepGetFieldsInSort(Ref<List>* fields_in_sort, const RepFieldList* fields,
                       const char* sort_text) noexcept {
  if (fields_in_sort == nullptr) return 0;
  Ref<List> list = ListNewFromPool();
  const bool all_known = ScanSortReferences(
      fields, sort_text, [&](bool found, Ref<RepFieldDef> field, const char* name, const char*) {
        if (!found) {
          TraceMessage(kTag, 3, 0, -1, "Bad field in sort spec. (Pointer at '%s')", name);
          return false;
        }
        ListPushLastItemInternal(list.get(), std::move(field));
        return true;
      });
  if (!all_known) return 0;
  *fields_in_sort = std::move(list);
  return 1;
}

