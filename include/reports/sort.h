// Sorting a report's records by its sort spec.
//
// A sort spec text names fields by field references ("%" and a field name); each reference is a
// sort key, most significant first. A reference directly followed by "-" (nothing between the
// name and the minus) sorts that key descending, any other ascending; all other text is ignored,
// so "%jobid %size-", "%jobid,%size-" and "%jobid%size-" are the same spec.
//
// Records are ordered key by key. Two Normal values compare as their type orders them (strings
// case-blind), reversed for a descending key. Otherwise the state decides, in the order Normal,
// N/A, Unknown, Never, Unlimited, whatever the key's direction: a descending key still puts the
// Normal values first. Two values in the same non-Normal state are equal on that key. A record
// without a value at a key's position counts as Unknown there.
//
// The sort is stable: records equal on every key keep their order.
//
// Thread safety: none beyond the runtime's; the records belong to the calling thread.
#pragma once

#include <cstdint>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/control.h"
#include "reports/fields.h"

// One key of a sort spec.
struct RepSortKey : ObjView<RepSortKey> {
  static constexpr uint32_t kTypeCode = 0xc8ece3d3;
  static constexpr const char kSpec[] = "i;i;b;";
  static constexpr const char kName[] = "RepSortKey";

  int32_t type() const noexcept { return IntSlot<1>(); }  // the field's RepFieldType
  // The field's 0-based position in the field list the spec was built against, which must be
  // the field list of the records sorted.
  int32_t index() const noexcept { return IntSlot<2>(); }
  bool ascending() const noexcept { return BoolSlot<3>(); }

  void set_type(int32_t v) noexcept { SetIntSlot<1>(v); }
  void set_index(int32_t v) noexcept { SetIntSlot<2>(v); }
  void set_ascending(bool v) noexcept { SetBoolSlot<3>(v); }
};

// A sort spec: a list of RepSortKey, most significant first.
using RepSortSpec = List;

// The context of one sort: its spec, the progress callback and argument (as opaque tokens of
// this process), and the comparisons made since the last progress call.
struct RepSortCookie : ObjView<RepSortCookie> {
  static constexpr uint32_t kTypeCode = 0xc9cac2c7;
  static constexpr const char kSpec[] = "o;p;p;i;";
  static constexpr const char kName[] = "RepSortCookie";

  List* spec() const noexcept { return ObjCast<List>(ObjSlot<1>()); }
  int32_t counter() const noexcept { return IntSlot<4>(); }
};

// Progress is reported every this many comparisons.
inline constexpr int32_t kRepSortProgressInterval = 5000;

// 1 and a new spec of the keys of `sort_text` against `fields`; a null or empty text gives an
// empty spec. A reference to a field not in the list is skipped (traced) and never fails the
// call. 0 when `fields` is null or empty.
int RepBuildSortSpec(Ref<List>* spec, const RepFieldList* fields, const char* sort_text) noexcept;

// 1 and a new list of the definitions referenced by `sort_text`, in order (a field referenced
// twice is listed twice); a null or empty text gives an empty list. 0 (traced) at the first
// reference to a field not in `fields`.
int RepGetFieldsInSort(Ref<List>* fields_in_sort, const RepFieldList* fields,
                       const char* sort_text) noexcept;

// Sorts the records of the control's table in place by the sort text of its parameters, built
// against the table's field list. Calls `progress(argument, 0)` every 5000 comparisons when
// given; the callback must not change the records being sorted. Leaves the records as they are
// when the spec is empty or cannot be built (a table without fields).
void RepSort(RepControl* control, RepProgressCallback progress, void* argument) noexcept;

// Sorts `records` (a list of RepRecord) in place by `spec`, without progress calls. Does
// nothing when either list is null or empty.
void RepApplySortToRecords(const List* spec, List* records) noexcept;
