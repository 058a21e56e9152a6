#include "reports/filter.h"

#include <gtest/gtest.h>

#include <string>

#include "filter_test_util.h"
#include "kr/text.h"
#include "reports/reports.h"
#include "testing.h"

using kr_testing::TestHome;
using kr_testing::TraceCapture;
using namespace filter_test;

namespace {

// --- operators and words -------------------------------------------------------------------------

TEST(FilterTables, OperatorsAndWords) {
  TestHome home;
  const char* symbols[] = {"=", "!=", ">", ">=", "<", "<="};
  for (int32_t id = 0; id < 6; ++id) {
    EXPECT_STREQ(RepGetOperatorSymbol(id), symbols[id]);
    EXPECT_EQ(RepOperatorIdFromSymbol(symbols[id]), id);
  }
  EXPECT_EQ(RepGetOperatorSymbol(6), nullptr);
  EXPECT_EQ(RepOperatorIdFromSymbol("=>"), -1);
  EXPECT_STREQ(RepGetBoolOpText(1), "OR");
  EXPECT_EQ(RepGetBoolOpText(2), nullptr);
  Ref<List> ops;
  ASSERT_EQ(RepGetAvailOperators(&ops), 1);
  ASSERT_EQ(ops->size(), 6u);
  auto* ge = ObjCast<RepOperatorInfo>(ops->at(3));
  EXPECT_STREQ(ge->symbol(), ">=");
  EXPECT_STREQ(ge->description(), "is greater than or equal to");
}

// --- constants -----------------------------------------------------------------------------------

TEST(FilterConstants, ValuesKeywordsAndWrittenForm) {
  TestHome home;
  const struct {
    const char* in;
    int32_t type;
    int32_t flags;
    const char* value;  // null for a status constant
    bool pattern;
    const char* written;
  } cases[] = {
      {"100", kRepTypeInteger, 0, "100", false, "'100'"},
      {"regexp:'^a.*$' AND more", kRepTypeString, kRepConstRegExp, "^a.*$", true, "regexp:'^a.*$'"},
      {"'regexp:x'", kRepTypeString, 0, "regexp:x", false, "'regexp:x'"},  // no keywords
      {"INHERIT:Interactive:\"a b\"", kRepTypeString, kRepConstInteractive | kRepConstInherit,
       "a b", false, "interactive:inherit:'a b'"},
      {"interactive:status:never", kRepTypeInteger, kRepConstInteractive, nullptr, false,
       "interactive:status:Never"},
      {"status:N/A)", kRepTypeString, 0, nullptr, false, "status:N/A"},
      // Wildcards make a pattern only on string fields.
      {"a*", kRepTypeString, 0, "a*", true, "'a*'"},
      {"a?", kRepTypeString, 0, "a?", true, "'a?'"},
      {"a", kRepTypeString, 0, "a", false, "'a'"},
      {"''", kRepTypeString, 0, "", false, "''"},
      // A value holding a single quote is written as it stands (and reads back only up to it).
      {"\"it's\"", kRepTypeString, 0, "it's", false, "'it's'"},
  };
  for (const auto& c : cases) {
    Ref<RepFilterConstant> k = Constant(c.in, c.type);
    ASSERT_TRUE(k) << c.in;
    EXPECT_EQ(k->kind(), c.value != nullptr ? kRepConstValue : kRepConstStatus) << c.in;
    EXPECT_EQ(k->flags(), c.flags) << c.in;
    EXPECT_EQ(k->is_pattern(), c.pattern) << c.in;
    EXPECT_EQ(ConstantText(k.get()), c.written) << c.in;
    if (c.value != nullptr) {
      EXPECT_STREQ(k->text(), c.value) << c.in;
    } else {
      EXPECT_EQ(k->value(), nullptr) << c.in;
    }
  }
  EXPECT_EQ(ObjGetInteger(Constant("100", kRepTypeInteger)->value()), 100);
  EXPECT_EQ(Constant("status:never", kRepTypeInteger)->state(), kRepStateNever);
  EXPECT_STREQ(Constant("'it's'", kRepTypeString)->text(), "it");
}

TEST(FilterConstants, RefusalsAreTracedAndLeaveTheOutputAlone) {
  TestHome home;
  TraceCapture trace;
  Ref<RepFilterConstant> c;
  EXPECT_EQ(RepConstantFromText(&c, "abc", nullptr, kRepTypeInteger), 0);
  EXPECT_TRUE(trace.Contains("Failed to encode value of constant"));
  EXPECT_EQ(RepConstantFromText(&c, "'open", nullptr, kRepTypeString), 0);
  EXPECT_TRUE(trace.Contains("Failed to extract value for constant from ''open'"));
  for (const char* bad : {"regexp:", "status:Sometimes", static_cast<const char*>(nullptr)})
    EXPECT_EQ(RepConstantFromText(&c, bad, nullptr, kRepTypeString), 0);
  EXPECT_FALSE(c);

  Ref<RepFilterConstant> bad = RepFilterConstant::New();
  bad->set_kind(7);
  std::string s = "kept";
  EXPECT_EQ(RepConstantToText(&s, bad.get()), 0);
  EXPECT_EQ(s, "kept");
  EXPECT_TRUE(trace.Contains("Unrecognised constant type 7"));
}

// --- component lists ----------------------------------------------------------------------------

std::string CompString(const List* l) {
  std::string s;
  for (Obj* o : *l) {
    auto* c = ObjCast<RepFilterComponent>(o);
    s += "[" + std::to_string(c->bool_op()) + " " + c->field_name() + " " +
         std::to_string(c->op()) + " " + c->constant() + "]";
  }
  return s;
}

TEST(FilterComponents, FlatListsReadAndWrite) {
  TestHome home;
  TraceCapture trace;
  Ref<List> l;
  ASSERT_EQ(RepFilterToCompList(&l, "%a = 1 and %b >= 2"), 1);
  EXPECT_EQ(CompString(l.get()), "[-1 a 0 1][0 b 3 2]");
  ASSERT_EQ(RepFilterToCompList(&l, "  %a = 'x y' OR %b != regexp:z"), 1);
  EXPECT_EQ(CompString(l.get()), "[-1 a 0 'x y'][1 b 1 regexp:z]");
  for (const char* none : {"", static_cast<const char*>(nullptr)}) {
    ASSERT_EQ(RepFilterToCompList(&l, none), 1);
    EXPECT_TRUE(l->empty());
  }

  std::string s;
  ASSERT_EQ(RepFilterToCompList(&l, "%a = 1 OR %b = 'x'"), 1);
  ASSERT_EQ(RepFilterFromCompList(&s, l.get()), 1);
  EXPECT_EQ(s, "%a = 1 OR %b = 'x'");
  EXPECT_TRUE(trace.Contains("Final filter string is '%a = 1 OR %b = 'x''"));

  struct Bad {
    const char* text;
    const char* message;
  } bad[] = {
      {"%a=1", "Bad operator for component using field 'a'"},
      {"%a = 'abc'def", "Could not derive booleam op from text starting 'def'"},
      {"%a = 1 AND", "No '%' char leading expected field name."},
      {"(%a = 1)", "No '%' char leading expected field name."},
      {"% = 1", "Bad field name constructing component"},
      {"%a = 'open", "Failed to find closing quote in filter constant"},
      {"%a = ", "Failed to find a constant component for filter component using field 'a'"},
      {"%a = 1 ANDY %b = 2", "Could not derive booleam op"},
  };
  for (const Bad& b : bad) {
    trace.Clear();
    Ref<List> out;
    EXPECT_EQ(RepFilterToCompList(&out, b.text), 0) << b.text;
    EXPECT_FALSE(out);
    EXPECT_TRUE(trace.Contains(b.message)) << b.text << "\n" << trace.Dump();
  }
}

// Every filter that builds into a tree can be edited as components, with each constant ending
// where the parser ends it, and the tree's own written form reads back the same way.
TEST(FilterComponents, AgreeWithTheParserOnConstantEnds) {
  TestHome home;
  Ref<List> f = Fields();
  const struct {
    const char* text;
    const char* components;
  } cases[] = {
      {"%name = regexp:'x y' OR %count > 2", "[-1 name 0 regexp:'x y'][1 count 2 2]"},
      {"%name = interactive:regexp:\"a b\" AND %count = 1",
       "[-1 name 0 interactive:regexp:\"a b\"][0 count 0 1]"},
      {"%name != REGEXP:'it''s' OR %size < 5", nullptr},
      {"%name = inherit:' ' AND %count = status:Never",
       "[-1 name 0 inherit:' '][0 count 0 status:Never]"},
  };
  for (const auto& c : cases) {
    Ref<List> l;
    EXPECT_EQ(static_cast<bool>(RepMakeFilterTree(c.text, f.get())), c.components != nullptr)
        << c.text;
    ASSERT_EQ(RepFilterToCompList(&l, c.text), c.components != nullptr ? 1 : 0) << c.text;
    if (c.components != nullptr) {
      EXPECT_EQ(CompString(l.get()), c.components) << c.text;
    }
  }

  Ref<RepFilterTree> t = RepMakeFilterTree("%name = regexp:'a b' OR %name = 'c d'", f.get());
  ASSERT_TRUE(t);
  std::string written;
  ASSERT_EQ(RepFilterTreeToText(&written, t.get(), f.get()), 1);
  Ref<List> l;
  ASSERT_EQ(RepFilterToCompListBrutal(&l, written.c_str()), 1) << written;
  EXPECT_EQ(CompString(l.get()), "[0 name 0 regexp:'a b'][0 name 0 'c d']");

  // A keyword before a quote without its partner is refused by both.
  EXPECT_FALSE(RepMakeFilterTree("%name = regexp:'x y", f.get()));
  EXPECT_EQ(RepFilterToCompList(&l, "%name = regexp:'x y"), 0);
}

TEST(FilterComponents, BrutalListsTakeEveryExpression) {
  TestHome home;
  TraceCapture trace;
  Ref<List> l;
  ASSERT_EQ(RepFilterToCompListBrutal(&l, "(%a = 1)"), 1);
  EXPECT_EQ(CompString(l.get()), "[0 a 0 1]");
  ASSERT_EQ(RepFilterToCompListBrutal(&l, "((%a = 1 OR %b < 'q r') AND %c != x)"), 1);
  EXPECT_EQ(CompString(l.get()), "[0 a 0 1][0 b 4 'q r'][0 c 1 x]");
  ASSERT_EQ(RepFilterToCompListBrutal(&l, "no expressions"), 1);
  EXPECT_TRUE(l->empty());
  EXPECT_EQ(RepFilterToCompListBrutal(&l, "(%a = 1) %%"), kRepBrutalFailed);
  EXPECT_TRUE(trace.Contains("Cannot convert textual component"));
  EXPECT_TRUE(
      trace.Contains("Failed to get next filter component in brutal component list geeneration."));
}

TEST(FilterComponents, WritingChecksEveryRowFirst) {
  TestHome home;
  TraceCapture trace;
  std::string s = "kept";
  Ref<Obj> not_a_list = ObjNewInteger(3);
  ASSERT_EQ(RepFilterFromCompList(&s, not_a_list.get()), 1);
  EXPECT_EQ(s, "");

  Ref<List> l;
  ASSERT_EQ(RepFilterToCompList(&l, "%a = 1 OR %b = 2"), 1);
  ObjCast<RepFilterComponent>(l->at(0))->set_bool_op(9);  // ignored on the first row
  ASSERT_EQ(RepFilterFromCompList(&s, l.get()), 1);
  EXPECT_EQ(s, "%a = 1 OR %b = 2");

  s = "kept";
  ObjCast<RepFilterComponent>(l->at(1))->set_bool_op(2);
  EXPECT_EQ(RepFilterFromCompList(&s, l.get()), 0);
  EXPECT_TRUE(trace.Contains("Bad filter boolean operator."));
  ObjCast<RepFilterComponent>(l->at(1))->set_bool_op(1);
  ObjCast<RepFilterComponent>(l->at(1))->set_op(6);
  EXPECT_EQ(RepFilterFromCompList(&s, l.get()), 0);
  EXPECT_TRUE(trace.Contains("Bad filter operator."));
  ObjCast<RepFilterComponent>(l->at(1))->set_op(1);
  ListAddLastItem(l.get(), not_a_list.get());
  EXPECT_EQ(RepFilterFromCompList(&s, l.get()), 0);
  EXPECT_TRUE(trace.Contains("Bad filter component. Unexpected object type"));
  EXPECT_EQ(s, "kept");
}

// --- what a filter refers to --------------------------------------------------------------------

TEST(FilterReferences, InteractiveExpressionsAndFields) {
  TestHome home;
  TraceCapture trace;
  Ref<List> f = Fields();
  Ref<List> found;
  ASSERT_EQ(
      RepFindInteractiveExpressions(
          &found, "%name = interactive:x OR (%count = 3 AND %size > interactive:'1kb')", f.get()),
      1);
  ASSERT_EQ(found->size(), 2u);
  EXPECT_EQ(ObjCast<RepFilterExpression>(found->at(0))->field_index(), kName);
  EXPECT_EQ(ObjCast<RepFilterExpression>(found->at(1))->field_index(), kSize);
  ASSERT_EQ(RepFindInteractiveExpressions(&found, "", f.get()), 1);
  EXPECT_TRUE(found->empty());
  found = nullptr;
  EXPECT_EQ(RepFindInteractiveExpressions(&found, "((%name = 1))", f.get()), 0);
  EXPECT_FALSE(found);
  EXPECT_TRUE(trace.Contains("Cannot make filter tree for finding interactiveexpressions"));

  ASSERT_EQ(RepGetFieldsInFilter(&found, f.get(), "(%SIZE > 1 OR %name = x) AND %size < 9"), 1);
  ASSERT_EQ(found->size(), 3u);
  EXPECT_EQ(found->at(0), f->at(kSize));
  EXPECT_EQ(found->at(1), f->at(kName));
  EXPECT_EQ(found->at(2), f->at(kSize));
  ASSERT_EQ(RepGetFieldsInFilter(&found, f.get(), nullptr), 1);
  EXPECT_TRUE(found->empty());
  found = nullptr;
  EXPECT_EQ(RepGetFieldsInFilter(&found, f.get(), "%name = 1 AND %nosuch = 2"), 0);
  EXPECT_FALSE(found);
  EXPECT_TRUE(trace.Contains("Cannot convert textual expression"));
  EXPECT_TRUE(trace.Contains("Failed when listing fields in filter '%name = 1 AND %nosuch = 2'"));
}

}  // namespace
