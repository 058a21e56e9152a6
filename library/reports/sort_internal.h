// The record comparator of sorting, as the runtime's list sort takes it.
//
// RepApplySortToRecords and RepSort do not call it per comparison: they extract each record's
// keys once and sort those, in exactly the order this comparator gives. It stays the definition
// of that order (the tests check the fast path against it), sorts keys past the ones the fast
// path holds inline, and sorts lists the fast path cannot take.
#pragma once

#include <cstddef>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/control.h"
#include "reports/sort.h"

namespace kr_internal {

// Compares two records by the keys of `spec` from the 0-based key `first_key` on: negative when
// `a` sorts before `b`, 0 when equal on every key, positive when after.
int SortCompareRecords(const Obj* a, const Obj* b, const List* spec, size_t first_key) noexcept;

// A new cookie holding `spec` and the progress callback and argument.
Ref<RepSortCookie> SortMakeCookie(const List* spec, RepProgressCallback progress,
                                  void* argument) noexcept;

// The comparator for ListSortWithCookie; `cookie` is a RepSortCookie. Counts the comparison and
// calls the progress callback every kRepSortProgressInterval comparisons.
int SortCompareWithCookie(Obj* a, Obj* b, void* cookie) noexcept;

}  // namespace kr_internal
