#include "kr/list.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<int> Values(const List* l) {
  std::vector<int> v;
  for (Obj* o : *l) v.push_back(ObjGetInteger(o));
  return v;
}

Ref<List> Of(std::initializer_list<int> values) {
  Ref<List> l = ListNewFromPool();
  for (int v : values) ListPushLastItemInternal(l.get(), ObjNewInteger(v));
  return l;
}

}  // namespace

TEST(ListEdit, AddInsertRemoveKeepOrderAndCounts) {
  Ref<List> l = Of({2, 4});
  Ref<Obj> one = ObjNewInteger(1), three = ObjNewInteger(3), five = ObjNewInteger(5);
  EXPECT_EQ(ListAddFirstItem(l.get(), one.get()), 1);
  EXPECT_EQ(ListInsertBefore(l.get(), l->at(2), three.get()), 1);
  EXPECT_EQ(ListInsertBefore(l.get(), nullptr, five.get()), 1);
  EXPECT_EQ(Values(l.get()), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(one->ref_count, 2u);
  EXPECT_EQ(ListInsertBefore(l.get(), ObjNewInteger(9).get(), one.get()), 0);
  EXPECT_EQ(ListGetNthItem(l.get(), 3), three.get());
  EXPECT_EQ(ListGetNthItem(l.get(), 0), nullptr);
  EXPECT_EQ(ListGetNthItem(l.get(), 6), nullptr);
  EXPECT_EQ(ListRemoveItem(l.get(), three.get()), 1);
  EXPECT_EQ(three->ref_count, 1u);
  EXPECT_EQ(ListRemoveItem(l.get(), three.get()), 0);
  Ref<Obj> taken = ListTakeNthItem(l.get(), 1);
  EXPECT_EQ(taken.get(), one.get());
  EXPECT_EQ(Values(l.get()), (std::vector<int>{2, 4, 5}));
  EXPECT_EQ(ListInsertAt(l.get(), 4, one.get()), 1);
  EXPECT_EQ(ListInsertAt(l.get(), 6, one.get()), 0);
  EXPECT_EQ(Values(l.get()), (std::vector<int>{2, 4, 5, 1}));
  // Removing while walking by position: do not advance after a removal.
  for (size_t i = 1; i <= ListGetItemCount(l.get());) {
    if (ObjGetInteger(ListGetNthItem(l.get(), i)) % 2 == 0)
      ListRemoveNthItem(l.get(), i);
    else
      ++i;
  }
  EXPECT_EQ(Values(l.get()), (std::vector<int>{5, 1}));
}

TEST(ListEdit, ReorderTakesOnlyPermutations) {
  Ref<List> l = Of({10, 20, 30});
  const uint32_t rotate[] = {2, 0, 1}, twice[] = {0, 0, 1}, beyond[] = {0, 1, 3};
  EXPECT_EQ(ListReorder(l.get(), rotate, 3), 1);
  EXPECT_EQ(Values(l.get()), (std::vector<int>{30, 10, 20}));
  EXPECT_EQ(ListReorder(l.get(), twice, 3), 0);   // one item would be lost, one held twice
  EXPECT_EQ(ListReorder(l.get(), beyond, 3), 0);
  EXPECT_EQ(ListReorder(l.get(), rotate, 2), 0);  // not the list's size
  EXPECT_EQ(Values(l.get()), (std::vector<int>{30, 10, 20}));
  std::vector<uint32_t> reverse(100);  // longer than the permutation check's short form
  for (uint32_t i = 0; i < 100; ++i) reverse[i] = 99 - i;
  Ref<List> many = ListNewFromPool();
  for (int i = 0; i < 100; ++i) ListPushLastItemInternal(many.get(), ObjNewInteger(i));
  EXPECT_EQ(ListReorder(many.get(), reverse.data(), 100), 1);
  EXPECT_EQ(ObjGetInteger(many->at(0)), 99);
  reverse[5] = reverse[6];
  EXPECT_EQ(ListReorder(many.get(), reverse.data(), 100), 0);
}

TEST(ListEdit, RemoveIfCompactsStablyAndHandsOverRemoved) {
  Ref<List> l = Of({1, 2, 3, 4, 5, 6, 7});
  Ref<List> bin = ListNewFromPool();
  size_t n = ListRemoveIf(
      l.get(), [](Obj* o, void*) { return ObjGetInteger(o) % 3 == 0 ? 1 : 0; },
      [](Obj* o, void* c) { ListAddLastItem(static_cast<List*>(c), o); }, bin.get());
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(Values(l.get()), (std::vector<int>{1, 2, 4, 5, 7}));
  EXPECT_EQ(Values(bin.get()), (std::vector<int>{3, 6}));
  EXPECT_EQ(bin->at(0)->ref_count, 1u);
}

TEST(ListQuery, SearchAndWalkStopWhereTheyShould) {
  Ref<List> l = Of({1, 2, 3, 4});
  Obj* found = ListSearch(
      l.get(), [](Obj* o, void*) { return ObjGetInteger(o) > 2 ? 1 : 0; }, nullptr);
  EXPECT_EQ(ObjGetInteger(found), 3);
  int seen = 0;
  EXPECT_EQ(ListWalk(
                l.get(),
                [](Obj* o, void* c) {
                  ++*static_cast<int*>(c);
                  return ObjGetInteger(o) < 2 ? 1 : 0;
                },
                &seen),
            0);
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(ListWalk(
                l.get(), [](Obj*, void*) { return 1; }, nullptr),
            1);
}

TEST(ListSort, IsStableAndMatchesStdStableSort) {
  std::mt19937 rng(7);
  for (size_t n : {0u, 1u, 2u, 23u, 24u, 25u, 100u, 1000u}) {
    Ref<List> l = ListNewFromPool();
    std::vector<std::pair<int, int>> ref;
    for (size_t i = 0; i < n; ++i) {
      int key = static_cast<int>(rng() % 10);
      Ref<Obj> o = ObjNewInternal(0, 77, "i;i;", 0, nullptr);
      ObjSetSlotInteger(o.get(), 1, key);
      ObjSetSlotInteger(o.get(), 2, static_cast<int>(i));
      ListPushLastItemInternal(l.get(), o);
      ref.emplace_back(key, static_cast<int>(i));
    }
    ListSort(l.get(),
             [](Obj* a, Obj* b) { return ObjGetSlotInteger(a, 1) - ObjGetSlotInteger(b, 1); });
    std::stable_sort(ref.begin(), ref.end(), [](auto& a, auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < n; ++i) {
      ASSERT_EQ(ObjGetSlotInteger(l->at(i), 1), ref[i].first);
      ASSERT_EQ(ObjGetSlotInteger(l->at(i), 2), ref[i].second) << "unstable at " << i;
    }
  }
}

TEST(ListSort, SurvivesAnInconsistentComparatorAndNeverComparesAnItemWithItself) {
  std::mt19937 rng(3);
  Ref<List> l = ListNewFromPool();
  for (int i = 0; i < 500; ++i) ListPushLastItemInternal(l.get(), ObjNewInteger(i));
  struct Cookie {
    std::mt19937* rng;
    bool self = false;
  } c{&rng};
  ListSortWithCookie(
      l.get(),
      [](Obj* a, Obj* b, void* p) {
        auto* ck = static_cast<Cookie*>(p);
        if (a == b) ck->self = true;
        return static_cast<int>((*ck->rng)() % 3) - 1;
      },
      &c);
  EXPECT_FALSE(c.self);
  std::vector<int> v = Values(l.get());
  std::sort(v.begin(), v.end());
  for (int i = 0; i < 500; ++i) ASSERT_EQ(v[static_cast<size_t>(i)], i);  // a permutation
}

TEST(ListWhole, JoinCloneAndExtension) {
  Ref<List> a = Of({1, 2}), b = Of({3});
  EXPECT_EQ(ListJoin(a.get(), b.get()), 1);
  EXPECT_EQ(Values(a.get()), (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(b->empty());
  EXPECT_EQ(ListJoin(a.get(), a.get()), 0);
  Ref<Obj> ext = ObjNewString("ext");
  ListSetExtensionItem(a.get(), ext.get());
  Ref<List> c;
  ASSERT_EQ(ListClone(&c, a.get()), 1);
  EXPECT_EQ(c->at(0), a->at(0));  // same items, not copies
  EXPECT_EQ(ListGetExtensionItem(c.get()), ext.get());
  EXPECT_EQ(ext->ref_count, 3u);
}
