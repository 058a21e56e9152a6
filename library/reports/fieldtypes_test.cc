#include "fieldtypes.h"

#include <gtest/gtest.h>

#include <string>

#include "reports/reports.h"

using kr_internal::FieldTypeOps;
using kr_internal::FieldTypeOpsFor;

namespace {

// The runtime object each type holds; types of one family share their value objects.
int Family(int32_t type) {
  switch (type) {
    case kRepTypeTimePassed:
    case kRepTypeSysTime:
      return kRepTypeInteger;
    case kRepTypeDataCount:
      return kRepTypeInt64;
    default:
      return type;
  }
}

std::string Render(const FieldTypeOps& ops, const Obj* value) {
  DString scratch;
  std::string_view text;
  if (!ops.render(value, &scratch, &text)) return "<failed>";
  return std::string(text);
}

uint64_t Key(const FieldTypeOps& ops, const Obj* value) {
  uint64_t key = 0;
  EXPECT_TRUE(ops.hash(value, &key));
  return key;
}

}  // namespace

// Every entry's blank value is of its own form and of no other family's, orders equal to another
// blank, shares its key, and sorts after an object of the wrong form, which keys as nothing.
TEST(FieldTypeTable, EveryTypeHasEveryBehaviourAndItsBlankFitsOnlyItsFamily) {
  EXPECT_EQ(FieldTypeOpsFor(-1), nullptr);
  EXPECT_EQ(FieldTypeOpsFor(kRepFieldTypeCount), nullptr);
  for (int32_t t = 0; t < kRepFieldTypeCount; ++t) {
    SCOPED_TRACE(t);
    const FieldTypeOps& ops = *FieldTypeOpsFor(t);
    ASSERT_TRUE(ops.blank && ops.fits && ops.compare && ops.hash && ops.render);
    const bool tree = t == kRepTypeSelectionTree || t == kRepTypePluginScreen;
    EXPECT_EQ(ops.encode == nullptr, tree);
    EXPECT_EQ(ops.derive != nullptr, t == kRepTypeSysTime);
    EXPECT_EQ(ops.render_appends, t == kRepTypePluginScreen);

    Ref<Obj> a = ops.blank(), b = ops.blank();
    EXPECT_EQ(ops.compare(a.get(), b.get()), 0);
    EXPECT_EQ(Key(ops, a.get()), Key(ops, b.get()));
    const Ref<Obj> wrong = t == kRepTypeString ? ObjNewInteger(1) : ObjNewString("x");
    uint64_t key = 0;
    EXPECT_FALSE(ops.hash(wrong.get(), &key));
    if (!tree) {  // the trees have no order at all
      EXPECT_LT(ops.compare(wrong.get(), a.get()), 0);
      EXPECT_GT(ops.compare(a.get(), nullptr), 0);
    }
    for (int32_t other = 0; other < kRepFieldTypeCount; ++other) {
      EXPECT_EQ(ops.fits(FieldTypeOpsFor(other)->blank().get()), Family(other) == Family(t))
          << "type " << t << " against the blank of " << other;
    }
  }
}

// Per type with a text form: a value read from text is of the type's form, equals (and keys as)
// the same text read again in another case where the type folds case, sorts before a larger
// value, renders as shown, and where its rendering is a text form reads back as itself.
TEST(FieldTypeTable, ReadCompareKeyRenderRoundTrip) {
  struct Case {
    int32_t type;
    const char* text;
    const char* same;    // another text of an equal value
    const char* larger;  // a text of a value sorting after
    const char* shown;
    bool reads_back;
  };
  const Case cases[] = {
      {kRepTypeInteger, "-42", "-42", "7", "-42", true},
      {kRepTypeString, "Alpha", "aLPHA", "beta", "Alpha", true},
      {kRepTypeBoolean, "no", "FALSE", "y", "No", true},
      {kRepTypeDate, "20240305", "2024/03/05", "2024\\03\\06", "Tue 5 March 2024", false},
      {kRepTypeTime, "070509", "07:05:09", "07:05:10", "07:05:09", true},
      {kRepTypeTimePassed, "01:02:03", "010203", "01:02:04", "01:02:03", true},
      {kRepTypeHdwmyCount, "2w", "14d", "337h", "2 wks", false},
      {kRepTypeDaysInWeek, "WEMO", "MOWE", "TUMO", "M-W----", false},
      {kRepTypeDaysInMonth, "3,1", "1,3", "1,2", "1,3", true},
      {kRepTypeWeeksInMonth, "41", "14", "12", "1--4-", false},
      {kRepTypeInt64, "9000000000", "9000000000", "9000000001", "9000000000", true},
      {kRepTypeSysTime, "1000", "1000", "1001", "1000", true},
      {kRepTypeUnique, "3f2504e0-4f89-41d3-9a0c-0305e82c3301",
       "3F2504E0-4F89-41D3-9A0C-0305E82C3301", "3f2504e0-4f89-41d3-9a0c-0305e82c3302",
       "3f2504e0-4f89-41d3-9a0c-0305e82c3301", true},
      {kRepTypeDataCount, "2kb", "2048", "2049", "2KB", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const FieldTypeOps& ops = *FieldTypeOpsFor(c.type);
    Ref<Obj> v = ops.encode(c.text), same = ops.encode(c.same), larger = ops.encode(c.larger);
    ASSERT_TRUE(v && same && larger);
    EXPECT_TRUE(ops.fits(v.get()));
    EXPECT_EQ(ops.compare(v.get(), same.get()), 0);
    EXPECT_EQ(Key(ops, v.get()), Key(ops, same.get()));
    EXPECT_EQ(ops.compare(v.get(), larger.get()), -1);
    EXPECT_EQ(ops.compare(larger.get(), v.get()), 1);
    if (ops.key_is_exact) {
      EXPECT_NE(Key(ops, v.get()), Key(ops, larger.get()));
    }
    const std::string shown = Render(ops, v.get());
    EXPECT_EQ(shown, c.shown);
    if (c.reads_back) {
      Ref<Obj> again = ops.encode(shown.c_str());
      ASSERT_TRUE(again);
      EXPECT_EQ(ops.compare(v.get(), again.get()), 0);
    }
  }
}
