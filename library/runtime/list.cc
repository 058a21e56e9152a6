// Array-backed lists.

#include "kr/list.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "memory.h"
#include "object_internal.h"

using namespace kr_internal;

// Cell 0 holds the item array, cell 1 the count (low 32 bits) and capacity (high 32 bits),
// cell 2 the extension item.
namespace {

const ObjType* ListType() {
  static const ObjType* t = ObjTypeIntern(kObjListType, "L;", "List");
  return t;
}

inline Obj** Items(Obj* l) { return static_cast<Obj**>(l->cells()[0].p); }
inline size_t Count(const Obj* l) { return l->cells()[1].u & 0xffffffffu; }
inline size_t Capacity(const Obj* l) { return l->cells()[1].u >> 32; }
inline void SetCount(Obj* l, size_t n) {
  l->cells()[1].u = (l->cells()[1].u & ~uint64_t{0xffffffffu}) | n;
}

void Grow(Obj* l, size_t need) {
  size_t cap = Capacity(l);
  if (need <= cap) return;
  size_t new_cap = std::max<size_t>(need, cap < 4 ? 4 : cap + cap / 2);
  if (new_cap > 0xffffffffu) new_cap = 0xffffffffu;
  auto** items = static_cast<Obj**>(MemAlloc(new_cap * sizeof(Obj*)));
  size_t n = Count(l);
  if (n > 0) std::memcpy(items, Items(l), n * sizeof(Obj*));
  if (cap > 0) MemFree(Items(l), cap * sizeof(Obj*));
  l->cells()[0].p = items;
  l->cells()[1].u = (uint64_t{new_cap} << 32) | n;
}

// Makes a hole at index0 and puts `item` (a reference already owned) there.
void InsertOwned(List* l, size_t index0, Obj* item) {
  size_t n = Count(l);
  if (n + 1 > Capacity(l)) Grow(l, n + 1);
  Obj** items = Items(l);
  if (index0 < n) std::memmove(items + index0 + 1, items + index0, (n - index0) * sizeof(Obj*));
  items[index0] = item;
  SetCount(l, n + 1);
}

Obj* TakeAt(List* l, size_t index0) {
  size_t n = Count(l);
  Obj** items = Items(l);
  Obj* item = items[index0];
  std::memmove(items + index0, items + index0 + 1, (n - index0 - 1) * sizeof(Obj*));
  SetCount(l, n - 1);
  return item;
}

// A stable merge sort that only ever compares two distinct items, and stays within the array
// whatever the comparator answers. `less(a, b)` is compare(a, b) < 0.
template <class Less>
void StableSort(Obj** a, size_t n, Less less) {
  if (n < 2) return;
  constexpr size_t kRun = 24;
  for (size_t start = 0; start < n; start += kRun) {
    size_t end = std::min(start + kRun, n);
    for (size_t i = start + 1; i < end; ++i) {
      Obj* x = a[i];
      size_t j = i;
      while (j > start && less(x, a[j - 1])) {
        a[j] = a[j - 1];
        --j;
      }
      a[j] = x;
    }
  }
  if (n <= kRun) return;
  std::vector<Obj*> tmp(n);
  for (size_t width = kRun; width < n; width *= 2) {
    for (size_t lo = 0; lo + width < n; lo += 2 * width) {
      size_t mid = lo + width, hi = std::min(lo + 2 * width, n);
      if (!less(a[mid], a[mid - 1])) continue;  // the two runs are already in order
      size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi) tmp[k++] = less(a[j], a[i]) ? a[j++] : a[i++];
      while (i < mid) tmp[k++] = a[i++];
      while (j < hi) tmp[k++] = a[j++];
      std::copy(tmp.begin() + static_cast<ptrdiff_t>(lo), tmp.begin() + static_cast<ptrdiff_t>(hi),
                a + lo);
    }
  }
}

}  // namespace

namespace kr_internal {

void ListReleaseCells(Obj* l) noexcept {
  Obj** items = Items(l);
  size_t n = Count(l);
  // The items of a small list (a record's values) are fetched together, so that their cache
  // misses overlap instead of following one another.
  if (n <= 32)
    for (size_t i = 0; i < n; ++i) __builtin_prefetch(items[i], 1);
  for (size_t i = 0; i < n; ++i) ObjDecRefCount(items[i]);
  if (Capacity(l) > 0) MemFree(items, Capacity(l) * sizeof(Obj*));
  ObjDecRefCount(l->cells()[2].o);
  l->cells()[0].p = nullptr;
  l->cells()[1].u = 0;
  l->cells()[2].o = nullptr;
}

bool ListDuplicateInto(Obj* dst, const Obj* src, int depth) noexcept {
  size_t n = Count(src);
  Grow(dst, n);
  const Obj* const* from = static_cast<Obj* const*>(src->cells()[0].p);
  for (size_t i = 0; i < n; ++i) {
    Ref<Obj> c = DuplicateAt(from[i], depth + 1);
    if (!c) return false;
    Items(dst)[i] = c.release();
    SetCount(dst, i + 1);
  }
  if (src->cells()[2].o != nullptr) {
    Ref<Obj> ext = DuplicateAt(src->cells()[2].o, depth + 1);
    if (!ext) return false;
    dst->cells()[2].o = ext.release();
  }
  return true;
}

}  // namespace kr_internal

Ref<List> ListNewFromPool(MemPool* /*pool*/) noexcept {
  Ref<Obj> o = ObjNewOfType(ListType());
  return Ref<List>::Adopt(static_cast<List*>(o.release()));
}

Ref<List> ListNewWithCapacity(size_t capacity) noexcept {
  Ref<List> l = ListNewFromPool();
  Grow(l.get(), capacity);
  return l;
}

void ListReserve(List* list, size_t capacity) noexcept {
  if (list != nullptr) Grow(list, capacity);
}

size_t ListGetItemCount(const List* list) noexcept { return list ? Count(list) : 0; }

Obj* ListGetNthItem(const List* list, size_t n) noexcept {
  if (list == nullptr || n < 1 || n > Count(list)) return nullptr;
  return list->at(n - 1);
}

Obj* ListGetFirstItem(const List* list) noexcept { return ListGetNthItem(list, 1); }

Obj* ListGetLastItem(const List* list) noexcept {
  return list ? ListGetNthItem(list, Count(list)) : nullptr;
}

size_t ListFindItem(const List* list, const Obj* item) noexcept {
  if (list == nullptr) return 0;
  for (size_t i = 0; i < Count(list); ++i)
    if (list->at(i) == item) return i + 1;
  return 0;
}

int ListAddLastItem(List* list, Obj* item) noexcept {
  if (list == nullptr || item == nullptr) return 0;
  ObjIncRefCount(item);
  InsertOwned(list, Count(list), item);
  return 1;
}

int ListAddFirstItem(List* list, Obj* item) noexcept {
  if (list == nullptr || item == nullptr) return 0;
  ObjIncRefCount(item);
  InsertOwned(list, 0, item);
  return 1;
}

int ListPushLastItemInternal(List* list, Ref<Obj> item) noexcept {
  if (list == nullptr || !item) return 0;
  InsertOwned(list, Count(list), item.release());
  return 1;
}

int ListPushFirstItemInternal(List* list, Ref<Obj> item) noexcept {
  if (list == nullptr || !item) return 0;
  InsertOwned(list, 0, item.release());
  return 1;
}

int ListInsertBefore(List* list, Obj* before, Obj* item) noexcept {
  if (list == nullptr || item == nullptr) return 0;
  if (before == nullptr) return ListAddLastItem(list, item);
  size_t pos = ListFindItem(list, before);
  if (pos == 0) return 0;
  ObjIncRefCount(item);
  InsertOwned(list, pos - 1, item);
  return 1;
}

int ListInsertAt(List* list, size_t n, Obj* item) noexcept {
  if (list == nullptr || item == nullptr || n < 1 || n > Count(list) + 1) return 0;
  ObjIncRefCount(item);
  InsertOwned(list, n - 1, item);
  return 1;
}

int ListReorder(List* list, const uint32_t* from, size_t n) noexcept {
  if (list == nullptr || from == nullptr || n != Count(list)) return 0;
  // Only a permutation: every position named exactly once, so no reference is lost or doubled.
  // Records reorder a handful of values each, so short lists need no allocation.
  constexpr size_t kShort = 64;
  uint64_t seen_short = 0;
  std::vector<bool> seen_long(n > kShort ? n : 0);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t f = from[i];
    if (f >= n) return 0;
    if (n <= kShort) {
      if ((seen_short >> f) & 1) return 0;
      seen_short |= uint64_t{1} << f;
    } else {
      if (seen_long[f]) return 0;
      seen_long[f] = true;
    }
  }
  Obj* before_short[kShort];
  std::vector<Obj*> before_long(n > kShort ? n : 0);
  Obj** before = n <= kShort ? before_short : before_long.data();
  Obj** items = Items(list);
  std::copy(items, items + n, before);
  for (size_t i = 0; i < n; ++i) items[i] = before[from[i]];
  return 1;
}

int ListRemoveItem(List* list, Obj* item) noexcept {
  size_t pos = ListFindItem(list, item);
  if (pos == 0) return 0;
  ObjDecRefCount(TakeAt(list, pos - 1));
  return 1;
}

int ListRemoveNthItem(List* list, size_t n) noexcept {
  if (list == nullptr || n < 1 || n > Count(list)) return 0;
  ObjDecRefCount(TakeAt(list, n - 1));
  return 1;
}

Ref<Obj> ListTakeNthItem(List* list, size_t n) noexcept {
  if (list == nullptr || n < 1 || n > Count(list)) return nullptr;
  return Ref<Obj>::Adopt(TakeAt(list, n - 1));
}

void ListClear(List* list) noexcept {
  if (list == nullptr) return;
  Obj** items = Items(list);
  size_t n = Count(list);
  SetCount(list, 0);
  for (size_t i = 0; i < n; ++i) ObjDecRefCount(items[i]);
}

size_t ListRemoveIf(List* list, int (*drop)(Obj*, void*), void (*removed)(Obj*, void*),
                    void* cookie) noexcept {
  if (list == nullptr || drop == nullptr) return 0;
  Obj** items = Items(list);
  size_t n = Count(list), kept = 0;
  constexpr size_t kAhead = 8;  // items fetched ahead of the test, whose misses then overlap
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) __builtin_prefetch(items[i + kAhead]);
    Obj* item = items[i];
    if (drop(item, cookie) != 0) {
      if (removed != nullptr) removed(item, cookie);
      ObjDecRefCount(item);
    } else {
      items[kept++] = item;
    }
  }
  SetCount(list, kept);
  return n - kept;
}

Obj* ListSearch(const List* list, int (*match)(Obj*, void*), void* cookie) noexcept {
  if (list == nullptr || match == nullptr) return nullptr;
  for (Obj* item : *list)
    if (match(item, cookie) != 0) return item;
  return nullptr;
}

int ListWalk(const List* list, int (*callback)(Obj*, void*), void* cookie) noexcept {
  if (list == nullptr || callback == nullptr) return 0;
  // Index-based, so a callback that appends to the list does not invalidate the walk.
  for (size_t i = 0; i < Count(list); ++i)
    if (callback(list->at(i), cookie) == 0) return 0;
  return 1;
}

void ListSort(List* list, int (*compare)(Obj*, Obj*)) noexcept {
  if (list == nullptr || compare == nullptr) return;
  StableSort(Items(list), Count(list), [&](Obj* a, Obj* b) { return compare(a, b) < 0; });
}

void ListSortWithCookie(List* list, int (*compare)(Obj*, Obj*, void*), void* cookie) noexcept {
  if (list == nullptr || compare == nullptr) return;
  StableSort(Items(list), Count(list), [&](Obj* a, Obj* b) { return compare(a, b, cookie) < 0; });
}

int ListJoin(List* destination, List* source) noexcept {
  if (destination == nullptr || source == nullptr || destination == source) return 0;
  size_t n = Count(source), d = Count(destination);
  Grow(destination, d + n);
  if (n > 0) std::memcpy(Items(destination) + d, Items(source), n * sizeof(Obj*));
  SetCount(destination, d + n);
  SetCount(source, 0);
  return 1;
}

int ListClone(Ref<List>* out, const List* source) noexcept {
  if (out == nullptr || source == nullptr) return 0;
  Ref<List> l = ListNewWithCapacity(Count(source));
  for (Obj* item : *source) ListAddLastItem(l.get(), item);
  ListSetExtensionItem(l.get(), ListGetExtensionItem(source));
  *out = std::move(l);
  return 1;
}

int ListSetExtensionItem(List* list, Obj* item) noexcept {
  if (list == nullptr) return 0;
  ObjIncRefCount(item);
  SetObjectCell(&list->cells()[2], item);
  return 1;
}

Obj* ListGetExtensionItem(const List* list) noexcept { return list ? list->cells()[2].o : nullptr; }
