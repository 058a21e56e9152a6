// Lists: ordered, array-backed sequences of object references.
//
// A list is an object (type kObjListType) and may sit in any object slot; it owns one reference
// to each item. Items are never null. Positions in the List* functions are 1-based, as callers
// count them; C++ code may also iterate (`for (Obj* item : *list)`) and index from 0 (`at`).
// ListGetNthItem is O(1). Code that drops many items compacts in one pass (ListRemoveIf) rather
// than removing them one at a time.
//
// A list may also carry one extension item (ListSetExtensionItem), an extra object that travels
// with it.
//
// Thread safety: none; a list belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kr/object.h"

struct List : Obj {
  static constexpr uint32_t kTypeCode = kObjListType;

  size_t size() const noexcept { return cells()[1].u & 0xffffffffu; }
  bool empty() const noexcept { return size() == 0; }
  Obj* const* begin() const noexcept { return static_cast<Obj* const*>(cells()[0].p); }
  Obj* const* end() const noexcept { return begin() + size(); }
  Obj* at(size_t index0) const noexcept { return begin()[index0]; }
  // Inline, so that ObjCast<List> on a hot path is one compare rather than a call into the runtime.
  static uint32_t TypeIndex() noexcept {
    static const uint32_t index = ObjTypeIndex(ObjTypeIntern(kObjListType, "L;", "List"));
    return index;
  }
};

Ref<List> ListNewFromPool(MemPool* pool = nullptr) noexcept;
// A new list with room for `capacity` items before it grows.
Ref<List> ListNewWithCapacity(size_t capacity) noexcept;
void ListReserve(List* list, size_t capacity) noexcept;

size_t ListGetItemCount(const List* list) noexcept;        // 0 for null
Obj* ListGetNthItem(const List* list, size_t n) noexcept;  // 1-based; null when out of range
Obj* ListGetFirstItem(const List* list) noexcept;
Obj* ListGetLastItem(const List* list) noexcept;
// The 1-based position of the first occurrence of `item`, 0 when absent.
size_t ListFindItem(const List* list, const Obj* item) noexcept;

// Adding: the Add functions take a new reference to the item; the Push functions move the
// caller's reference in. 0 for a null list or item.
int ListAddLastItem(List* list, Obj* item) noexcept;
int ListAddFirstItem(List* list, Obj* item) noexcept;
int ListPushLastItemInternal(List* list, Ref<Obj> item) noexcept;
int ListPushFirstItemInternal(List* list, Ref<Obj> item) noexcept;
// Inserts `item` (new reference) before the first occurrence of `before`; at the end when
// `before` is null. 0 when `before` is not in the list.
int ListInsertBefore(List* list, Obj* before, Obj* item) noexcept;
// Inserts `item` (new reference) so that it stands at 1-based position n (1..size+1).
int ListInsertAt(List* list, size_t n, Obj* item) noexcept;
// Puts the list's items in a new order in place: item i (0-based) becomes the one that was at
// from[i]. `from` must be a permutation of 0 .. n-1 and n the list's size; 0 (nothing moved)
// otherwise.
int ListReorder(List* list, const uint32_t* from, size_t n) noexcept;

// Removing drops the list's reference. ListRemoveItem removes the first occurrence of `item`;
// a caller walking the list by position simply does not advance after a removal.
int ListRemoveItem(List* list, Obj* item) noexcept;
int ListRemoveNthItem(List* list, size_t n) noexcept;
// Removes the item at position n and hands its reference to the caller.
Ref<Obj> ListTakeNthItem(List* list, size_t n) noexcept;
void ListClear(List* list) noexcept;

// Removes, in one stable pass, every item for which `drop(item, cookie)` is non-zero; the
// removed items are passed, in order, to `removed(item, cookie)` when given (which may take
// its own reference) before the list lets go of them. Returns the number removed.
size_t ListRemoveIf(List* list, int (*drop)(Obj* item, void* cookie),
                    void (*removed)(Obj* item, void* cookie), void* cookie) noexcept;

// The first item for which `match(item, cookie)` is non-zero, or null.
Obj* ListSearch(const List* list, int (*match)(Obj* item, void* cookie), void* cookie) noexcept;
// Calls `callback(item, cookie)` for each item in order, stopping at the first that returns 0.
// 1 when every call returned non-zero.
int ListWalk(const List* list, int (*callback)(Obj* item, void* cookie), void* cookie) noexcept;

// Stable sorts: items that compare equal keep their order. The comparator returns negative,
// 0 or positive; it is only ever asked about two distinct items of the list, and an
// inconsistent comparator gives some order but never breaks the list.
void ListSort(List* list, int (*compare)(Obj* a, Obj* b)) noexcept;
void ListSortWithCookie(List* list, int (*compare)(Obj* a, Obj* b, void* cookie),
                        void* cookie) noexcept;

// Moves every item of `source` onto the end of `destination`, leaving `source` empty.
int ListJoin(List* destination, List* source) noexcept;
// A new list holding new references to the same items (not copies), and the same extension.
int ListClone(Ref<List>* out, const List* source) noexcept;

int ListSetExtensionItem(List* list, Obj* item) noexcept;  // new reference; null clears
Obj* ListGetExtensionItem(const List* list) noexcept;
