#include "kr/object.h"

#include <gtest/gtest.h>

#include "kr/list.h"
#include "kr/stanza.h"
#include "kr/tree.h"
#include "kr/unique.h"

namespace {

// A typed view as the library declares them.
struct Sample : ObjView<Sample> {
  static constexpr uint32_t kTypeCode = 0x11223344;
  static constexpr const char kSpec[] = "i;s;b;o;p;ol;n8;c32;d;i;";
  static constexpr const char kName[] = "Sample";
  int32_t first() const { return IntSlot<1>(); }
  int32_t last() const { return IntSlot<10>(); }
};

int g_finalized = 0;
void CountFinalize(void*) { ++g_finalized; }

// A data field whose destruction is counted, to see what a release reaches.
Ref<Obj> Tracked() {
  Ref<Obj> d;
  EXPECT_EQ(ObjDataFieldCreate(&d, "x", 1), 1);
  ObjDataFieldSetFinalizer(d.get(), CountFinalize);
  return d;
}

}  // namespace

TEST(ObjectTypes, SpecsAreParsedAndRefused) {
  EXPECT_TRUE(ObjNewInternal(0, 1, "i;s;b;o;p;ol;d;z;l;r;n8;c32;", 0, nullptr));
  for (const char* bad : {"i", "x;", "n;", "n0;", "n99999;", "c4097;", "L;", "T;", "i;L;", ";"})
    EXPECT_FALSE(ObjNewInternal(0, 2, bad, 0, nullptr)) << bad;
  EXPECT_FALSE(ObjNewInternal(0, kObjListType, "i;", 0, nullptr));  // the list code is reserved
  Ref<Obj> o;
  EXPECT_EQ(ObjCreateInternal(&o, 0, 0xabc, "i;i;", 0, nullptr), 1);
  EXPECT_EQ(ObjGetMagic(o.get()), 0xabcu);
  EXPECT_EQ(ObjCheckTypeInternal(o.get(), 0xabc), 1);
  EXPECT_EQ(ObjCheckTypeInternal(o.get(), 0xabd), 0);
  EXPECT_STREQ(ObjNameFromObject(o.get()), "Object(0x00000abc)");
  EXPECT_STREQ(ObjNameFromObject(Sample::New().get()), "Sample");
}

TEST(ObjectTypes, TypedViewsMatchTheGenericLayout) {
  Ref<Sample> s = Sample::New();
  // Slot 10 comes after n8 (one cell), c32 (four cells) and d: cell 11.
  ObjSetSlotInteger(s.get(), 1, 5);
  ObjSetSlotInteger(s.get(), 10, 77);
  EXPECT_EQ(s->first(), 5);
  EXPECT_EQ(s->last(), 77);
  size_t n = 0;
  ObjGetSlotBytes(s.get(), 8, &n);
  EXPECT_EQ(n, 32u);
  // A foreign object with the same type code but another layout is not a Sample.
  Ref<Obj> foreign = ObjNewInternal(0, Sample::kTypeCode, "i;", 0, nullptr);
  EXPECT_EQ(ObjCast<Sample>(foreign.get()), nullptr);
  EXPECT_NE(ObjCast<Sample>(static_cast<Obj*>(s.get())), nullptr);
}

TEST(ObjectSlots, GenericAccessChecksKindAndRange) {
  Ref<Obj> o = ObjNewInternal(0, 9, "i;s;b;o;p;n8;z;d;", 0, nullptr);
  EXPECT_EQ(ObjSetSlotInteger(o.get(), 2, 1), 0);  // slot 2 is a string
  EXPECT_EQ(ObjSetSlotInteger(o.get(), 9, 1), 0);  // no slot 9
  EXPECT_EQ(ObjSetSlotInteger(o.get(), 0, 1), 0);
  EXPECT_EQ(ObjGetSlotString(o.get(), 1), nullptr);
  EXPECT_EQ(ObjGetSlotPointer(o.get(), 2), 0u);
  EXPECT_EQ(ObjGetSlotScratch(o.get(), 7), nullptr);
  EXPECT_EQ(ObjSetSlotStanza(o.get(), 8, new Stanza{"refused", {}}), 0);  // and freed
  // Setting a string to null frees the old text and reads back as null, not "".
  EXPECT_EQ(ObjSetSlotString(o.get(), 2, "text"), 1);
  EXPECT_EQ(ObjSetSlotString(o.get(), 2, nullptr), 1);
  EXPECT_EQ(ObjGetSlotString(o.get(), 2), nullptr);
}

TEST(ObjectScalars, GettersRefuseOtherTypes) {
  Ref<Obj> i = ObjNewInteger(-5), l = ObjNewInt64(INT64_MIN), b = ObjNewBoolean(true),
           s = ObjNewString("abc"), n = ObjNewString(nullptr);
  EXPECT_EQ(ObjGetInteger(i.get()), -5);
  EXPECT_EQ(ObjGetInt64(l.get()), INT64_MIN);
  EXPECT_TRUE(ObjGetBoolean(b.get()));
  EXPECT_STREQ(ObjGetString(s.get()), "abc");
  EXPECT_EQ(ObjGetString(n.get()), nullptr);
  EXPECT_EQ(ObjGetInteger(l.get()), 0);
  EXPECT_EQ(ObjSetInteger(s.get(), 1), 0);
  EXPECT_EQ(ObjSetString(s.get(), "longer text than before"), 1);
  EXPECT_STREQ(ObjGetString(s.get()), "longer text than before");
  UniqueId u{};
  u.bytes[3] = 9;
  Ref<Obj> uo = ObjNewUnique(u);
  UniqueId back{};
  EXPECT_EQ(ObjGetUnique(&back, uo.get()), 1);
  EXPECT_EQ(back.bytes[3], 9);
  EXPECT_EQ(ObjGetUnique(&back, i.get()), 0);
  u.bytes[15] = 7;
  EXPECT_EQ(ObjSetUnique(uo.get(), u), 1);
  EXPECT_EQ(ObjSetUnique(i.get(), u), 0);
  EXPECT_EQ(ObjGetUnique(&back, uo.get()), 1);
  EXPECT_EQ(back.bytes[15], 7);
}

TEST(ObjectLifetime, ReleasingAnOwnerReleasesEverythingItOwns) {
  g_finalized = 0;
  {
    Ref<Obj> holder = ObjNewInternal(0, 10, "o;ol;o;", 0, nullptr);
    Ref<List> list = ListNewFromPool();
    ListPushLastItemInternal(list.get(), Tracked());
    ListSetExtensionItem(list.get(), Tracked().get());
    Ref<Tree> tree = TreeNewFromPool();
    TreeNode* root = TreeInsertRoot(tree.get(), Tracked().get());
    TreeAddChildLast(TreeAddChildLast(root, Tracked().get()), Tracked().get());
    ObjSetSlotObject(holder.get(), 1, list);
    ObjSetSlotObject(holder.get(), 2, Tracked());
    ObjSetSlotObject(holder.get(), 3, tree);
    Ref<Obj> extra = holder;  // a second reference keeps everything alive
    holder.reset();
    EXPECT_EQ(g_finalized, 0);
  }
  EXPECT_EQ(g_finalized, 6);
}

TEST(ObjectDuplicate, AssignPlainCopiesValuesAndTextsInPlaceOnly) {
  Ref<Obj> a = ObjNewInternal(0, 11, "i;s;l;n3;", 0, nullptr);
  Ref<Obj> b = ObjNewInternal(0, 11, "i;s;l;n3;", 0, nullptr);
  ObjSetSlotInteger(a.get(), 1, 7);
  ObjSetSlotString(a.get(), 2, "seven");
  ObjSetSlotInt64(a.get(), 3, int64_t{1} << 40);
  ObjSetSlotString(b.get(), 2, "old");
  ASSERT_EQ(ObjAssignPlain(b.get(), a.get()), 1);
  EXPECT_EQ(ObjGetSlotInteger(b.get(), 1), 7);
  EXPECT_STREQ(ObjGetSlotString(b.get(), 2), "seven");
  EXPECT_NE(ObjGetSlotString(b.get(), 2), ObjGetSlotString(a.get(), 2));  // a copy of its own
  EXPECT_EQ(ObjGetSlotInt64(b.get(), 3), int64_t{1} << 40);
  EXPECT_EQ(ObjAssignPlain(ObjNewInteger(1).get(), a.get()), 0);  // another type
  Ref<Obj> with_object = ObjNewInternal(0, 12, "i;o;", 0, nullptr);
  EXPECT_EQ(ObjAssignPlain(with_object.get(), with_object.get()), 0);  // an object slot
}

TEST(ObjectDuplicate, CopiesDeeplyAndLeavesLocalsEmpty) {
  Ref<Obj> shared = ObjNewString("shared");
  Ref<Obj> o = ObjNewInternal(0, 11, "o;o;ol;d;p;s;z;L;", 0, nullptr);
  ASSERT_FALSE(o);  // L only makes up the list type itself
  o = ObjNewInternal(0, 11, "o;o;ol;d;p;s;z;o;", 0, nullptr);
  ObjSetSlotObject(o.get(), 1, shared);
  ObjSetSlotObject(o.get(), 2, shared);
  ObjSetSlotObject(o.get(), 3, ObjNewInteger(1));
  ObjGetSlotScratch(o.get(), 4)->assign("scratch");
  ObjSetSlotPointer(o.get(), 5, 42);
  ObjSetSlotString(o.get(), 6, "text");
  ObjSetSlotStanza(o.get(), 7, new Stanza{"t", {{"k", {"a", "b"}}}});
  Ref<List> l = ListNewFromPool();
  ListAddLastItem(l.get(), shared.get());
  ObjSetSlotObject(o.get(), 8, l);

  Ref<Obj> c;
  ASSERT_EQ(ObjDuplicate(&c, o.get()), 1);
  Obj* c1 = ObjGetSlotObject(c.get(), 1);
  Obj* c2 = ObjGetSlotObject(c.get(), 2);
  EXPECT_NE(c1, shared.get());
  EXPECT_NE(c1, c2);  // sharing is not kept
  EXPECT_STREQ(ObjGetString(c2), "shared");
  EXPECT_EQ(ObjGetSlotObject(c.get(), 3), nullptr);
  EXPECT_TRUE(ObjGetSlotScratch(c.get(), 4)->empty());
  EXPECT_EQ(ObjGetSlotPointer(c.get(), 5), 42u);
  EXPECT_NE(ObjGetSlotString(c.get(), 6), ObjGetSlotString(o.get(), 6));
  EXPECT_STREQ(ObjGetSlotString(c.get(), 6), "text");
  ASSERT_NE(ObjGetSlotStanza(c.get(), 7), nullptr);
  EXPECT_EQ(ObjGetSlotStanza(c.get(), 7)->keys[0].values[1], "b");
  auto* cl = ObjCast<List>(ObjGetSlotObject(c.get(), 8));
  ASSERT_NE(cl, nullptr);
  ASSERT_EQ(cl->size(), 1u);
  EXPECT_NE(cl->at(0), shared.get());
  // Changing the copy leaves the original alone.
  ObjSetString(c1, "changed");
  EXPECT_STREQ(ObjGetString(shared.get()), "shared");
}

TEST(ObjectDuplicate, RefusesAGraphDeeperThanTheLimit) {
  Ref<Obj> top = ObjNewInternal(0, 12, "o;", 0, nullptr);
  Obj* at = top.get();
  for (int i = 0; i < kObjMaxDepth + 5; ++i) {
    Ref<Obj> next = ObjNewInternal(0, 12, "o;", 0, nullptr);
    Obj* raw = next.get();
    ObjSetSlotObject(at, 1, std::move(next));
    at = raw;
  }
  Ref<Obj> c;
  EXPECT_EQ(ObjDuplicate(&c, top.get()), 0);
  EXPECT_FALSE(c);
}
