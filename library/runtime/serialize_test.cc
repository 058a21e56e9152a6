#include "kr/serialize.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "kr/list.h"
#include "kr/stanza.h"
#include "kr/tree.h"
#include "testing.h"

namespace {

Ref<Obj> RoundTrip(const Obj* o) {
  std::string bytes;
  EXPECT_EQ(ObjSerializeToMemory(&bytes, o), 1);
  uint32_t body = 0;
  EXPECT_EQ(ObjBufferAnalyze(&body, bytes.data(), bytes.size()), 1);
  EXPECT_EQ(body + kObjHeaderSize, bytes.size());
  Ref<Obj> back;
  EXPECT_EQ(ObjReconstructFromMemory(&back, bytes.data() + kObjHeaderSize, body), 1);
  return back;
}

// An object with a slot of every kind, holding a list and a tree of further objects.
Ref<Obj> EverySlot() {
  Ref<Obj> o = ObjNewInternal(0, 0xc0ffee01, "i;s;s;b;o;o;p;ol;d;z;l;r;n8;c32;o;o;", 0, nullptr);
  ObjSetSlotInteger(o.get(), 1, INT32_MIN);
  ObjSetSlotString(o.get(), 2, "text with \xc3\xa9 and spaces");
  ObjSetSlotBoolean(o.get(), 4, true);
  ObjSetSlotObject(o.get(), 5, ObjNewInt64(-1234567890123LL));
  ObjSetSlotPointer(o.get(), 7, 0x1122334455667788ULL);
  ObjSetSlotObject(o.get(), 8, ObjNewInteger(99));   // local: does not travel
  ObjGetSlotScratch(o.get(), 9)->assign("scratch");  // local: does not travel
  ObjSetSlotStanza(o.get(), 10, new Stanza{"field id", {{"Serialized Records", {"a", "", "c"}}}});
  ObjSetSlotInt64(o.get(), 11, INT64_MAX);
  size_t n;
  unsigned char* bytes = ObjGetSlotBytes(o.get(), 13, &n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(i * 37);
  std::memcpy(ObjGetSlotBytes(o.get(), 14, &n), "characters", 10);
  Ref<Obj> shared = ObjNewString("twice");
  Ref<List> l = ListNewFromPool();
  ListAddLastItem(l.get(), shared.get());
  ListAddLastItem(l.get(), shared.get());
  ListPushLastItemInternal(l.get(), ListNewFromPool());  // nested empty list
  ListSetExtensionItem(l.get(), ObjNewBoolean(false).get());
  ObjSetSlotObject(o.get(), 15, l);
  Ref<Tree> t = TreeNewFromPool();
  TreeNode* root = TreeInsertRoot(t.get(), ObjNewString("root").get());
  TreeNode* kid = TreeAddChildLast(root, ObjNewString("kid").get());
  TreeAddChildLast(kid, nullptr);
  TreeAddChildLast(root, ObjNewInteger(7).get());
  ObjSetSlotObject(o.get(), 16, t);
  return o;
}

}  // namespace

TEST(SerializeRoundTrip, EverySlotLetterTravelsAsDocumented) {
  Ref<Obj> o = EverySlot();
  Ref<Obj> b = RoundTrip(o.get());
  ASSERT_TRUE(b);
  EXPECT_EQ(ObjGetMagic(b.get()), 0xc0ffee01u);
  EXPECT_STREQ(ObjGetSpec(b.get()), ObjGetSpec(o.get()));
  EXPECT_EQ(ObjGetSlotInteger(b.get(), 1), INT32_MIN);
  EXPECT_STREQ(ObjGetSlotString(b.get(), 2), "text with \xc3\xa9 and spaces");
  EXPECT_EQ(ObjGetSlotString(b.get(), 3), nullptr);  // null stays null, not ""
  EXPECT_TRUE(ObjGetSlotBoolean(b.get(), 4));
  EXPECT_EQ(ObjGetInt64(ObjGetSlotObject(b.get(), 5)), -1234567890123LL);
  EXPECT_EQ(ObjGetSlotObject(b.get(), 6), nullptr);
  EXPECT_EQ(ObjGetSlotPointer(b.get(), 7), 0x1122334455667788ULL);  // a token, as sent
  EXPECT_EQ(ObjGetSlotObject(b.get(), 8), nullptr);
  EXPECT_TRUE(ObjGetSlotScratch(b.get(), 9)->empty());
  Stanza* z = ObjGetSlotStanza(b.get(), 10);
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(z->title, "field id");
  EXPECT_EQ(z->keys[0].name, "Serialized Records");
  EXPECT_EQ(z->keys[0].values, (std::vector<std::string>{"a", "", "c"}));
  EXPECT_EQ(ObjGetSlotInt64(b.get(), 11), INT64_MAX);
  size_t n1, n2;
  EXPECT_EQ(std::memcmp(ObjGetSlotBytes(b.get(), 13, &n1), ObjGetSlotBytes(o.get(), 13, &n2), 8),
            0);
  EXPECT_EQ(std::memcmp(ObjGetSlotBytes(b.get(), 14, &n1), "characters", 10), 0);
  auto* l = ObjCast<List>(ObjGetSlotObject(b.get(), 15));
  ASSERT_NE(l, nullptr);
  ASSERT_EQ(l->size(), 3u);
  EXPECT_NE(l->at(0), l->at(1));  // referenced twice, rebuilt twice
  EXPECT_STREQ(ObjGetString(l->at(1)), "twice");
  EXPECT_EQ(ListGetItemCount(ObjCast<List>(l->at(2))), 0u);
  EXPECT_EQ(ObjGetMagic(ListGetExtensionItem(l)), kObjBooleanType);
  auto* t = ObjCast<Tree>(ObjGetSlotObject(b.get(), 16));
  ASSERT_NE(t, nullptr);
  TreeNode* root = TreeFirstNode(t);
  EXPECT_STREQ(ObjGetString(TreeNodeItem(root)), "root");
  EXPECT_EQ(TreeNodeChildCount(root), 2u);
  EXPECT_EQ(TreeNodeItem(TreeNodeFirstChild(TreeNodeFirstChild(root))), nullptr);
  EXPECT_EQ(ObjGetInteger(TreeNodeItem(TreeNodeNthChild(root, 2))), 7);
  EXPECT_EQ(TreeNodeCount(t), 4u);
  // A rebuilt object serializes to the same bytes (locals aside, which were empty already).
  std::string a, c;
  ObjSerializeToMemory(&a, b.get());
  ObjSerializeToMemory(&c, RoundTrip(b.get()).get());
  EXPECT_EQ(a, c);
}

TEST(SerializeRoundTrip, DataFieldsKeepTheirBytesButNotTheirFinalizer) {
  Ref<Obj> d;
  ObjDataFieldCreate(&d, "\0\1\2", 3);
  ObjDataFieldSetFinalizer(d.get(), [](void*) {});
  Ref<Obj> b = RoundTrip(d.get());
  size_t n = 0;
  auto* p = static_cast<unsigned char*>(ObjDataFieldGet(b.get(), &n));
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(p[2], 2);
}

TEST(SerializeFiles, FileRoundTripAndAFullDisk) {
  kr_testing::TestHome home;
  kr_testing::TraceCapture trace;
  std::string path = home.HomePath("obj.bin");
  Ref<Obj> o = EverySlot();
  ASSERT_EQ(ObjSerializeToFile(o.get(), path.c_str()), 1);
  Ref<Obj> b;
  ASSERT_EQ(ObjReconstructFromFile(&b, path.c_str()), 1);
  EXPECT_EQ(ObjGetSlotInteger(b.get(), 1), INT32_MIN);
  EXPECT_EQ(ObjSerializeToFile(o.get(), "/dev/full"), 0);
  EXPECT_TRUE(trace.Contains("Failed writing object to '/dev/full'"));
  // A truncated file is refused.
  std::string bytes = *kr_testing::ReadFile(path);
  kr_testing::WriteFile(path, bytes.substr(0, bytes.size() - 1));
  EXPECT_EQ(ObjReconstructFromFile(&b, path.c_str()), 0);
  EXPECT_EQ(ObjReconstructFromFile(&b, home.HomePath("missing").c_str()), 0);
}

TEST(SerializeHostile, EveryTruncationAndEveryByteFlipFailsCleanly) {
  kr_testing::TestHome home;
  kr_testing::TraceCapture trace;
  std::string bytes;
  ObjSerializeToMemory(&bytes, EverySlot().get());
  std::string body = bytes.substr(kObjHeaderSize);
  for (size_t n = 0; n < body.size(); ++n) {
    Ref<Obj> out;
    ASSERT_EQ(ObjReconstructFromMemory(&out, body.data(), n), 0) << n;
    ASSERT_FALSE(out);
  }
  std::mt19937 rng(11);
  for (int round = 0; round < 3000; ++round) {
    std::string m = body;
    for (int k = 0; k < 1 + round % 4; ++k) m[rng() % m.size()] = static_cast<char>(rng());
    Ref<Obj> out;
    ObjReconstructFromMemory(&out, m.data(), m.size());  // may succeed; must not crash
  }
}

TEST(SerializeHostile, HugeCountsDeepNestingAndBadHeaders) {
  kr_testing::TestHome home;
  kr_testing::TraceCapture trace;
  Ref<Obj> out;
  // One list type, then a list claiming 2^60 items with two bytes left.
  std::string body;
  body += '\x01';                              // one type
  body += std::string("\x10\x00\x52\x4b", 4);  // kObjListType, little-endian
  body += '\x02';
  body += "L;";
  body += '\x00';  // the root is type 0
  body += std::string("\x80\x80\x80\x80\x80\x80\x80\x80\x10", 9);
  body += "xx";
  EXPECT_EQ(ObjReconstructFromMemory(&out, body.data(), body.size()), 0);
  EXPECT_TRUE(trace.Contains("bad list count"));

  // A chain of objects nested beyond the limit.
  std::string deep;
  deep += '\x01';
  deep += std::string("\x01\x00\x00\x00", 4);
  deep += '\x02';
  deep += "o;";
  for (int i = 0; i < kObjMaxDepth + 10; ++i) deep += std::string("\x00\x01", 2);
  deep += std::string("\x00\x00", 2);
  EXPECT_EQ(ObjReconstructFromMemory(&out, deep.data(), deep.size()), 0);
  EXPECT_TRUE(trace.Contains("nested too deeply"));

  // A boolean slot holding 7 does not match its spec.
  std::string badbool = std::string("\x01\x02\x00\x00\x00\x02", 6) + "b;" + '\x00' + '\x07';
  EXPECT_EQ(ObjReconstructFromMemory(&out, badbool.data(), badbool.size()), 0);
  // The same with 1 reads, as an object of an unknown type rebuilt generically.
  std::string goodbool = std::string("\x01\x02\x00\x00\x00\x02", 6) + "b;" + '\x00' + '\x01';
  ASSERT_EQ(ObjReconstructFromMemory(&out, goodbool.data(), goodbool.size()), 1);
  EXPECT_EQ(ObjGetMagic(out.get()), 2u);
  EXPECT_TRUE(ObjGetSlotBoolean(out.get(), 1));
  // The list letter under a foreign type code is refused.
  std::string fakelist =
      std::string("\x01\x03\x00\x00\x00\x02", 6) + "L;" + '\x00' + '\x00' + '\x00';
  EXPECT_EQ(ObjReconstructFromMemory(&out, fakelist.data(), fakelist.size()), 0);

  uint32_t size = 0;
  unsigned char hdr[8] = {'K', 'R', 'O', '1', 0xff, 0xff, 0xff, 0xff};
  EXPECT_EQ(ObjBufferAnalyze(&size, hdr, 8), 0);  // body too large for the format
  hdr[0] = 'X';
  hdr[4] = 1;
  hdr[5] = hdr[6] = hdr[7] = 0;
  EXPECT_EQ(ObjBufferAnalyze(&size, hdr, 8), 0);
  EXPECT_EQ(ObjBufferAnalyze(&size, hdr, 7), 0);
}
