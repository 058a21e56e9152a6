#include "reports/filter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "filter_test_util.h"
#include "kr/text.h"
#include "reports/reports.h"
#include "testing.h"

using kr_testing::TestHome;
using kr_testing::TraceCapture;
using namespace filter_test;

namespace {

// --- tree shapes and text -----------------------------------------------------------------------

TEST(FilterTrees, ChainsAssociateLeftGroupsNest) {
  TestHome home;
  TraceCapture trace;
  EXPECT_EQ(ShapeOf("%name = 1"), "TOP(name)");
  EXPECT_EQ(ShapeOf("%name = 1 AND %size = 2 OR %count = 3"), "TOP(OR(AND(name,size),count))");
  EXPECT_EQ(ShapeOf("%name = 1 OR %size = 2 AND %count = 3"), "TOP(AND(OR(name,size),count))");
  EXPECT_EQ(ShapeOf("%name = 1 or %size = 2 and %count = 3 OR %status = x"),
            "TOP(OR(AND(OR(name,size),count),status))");
  EXPECT_EQ(ShapeOf("(%name = 1)"), "TOP(name)");
  EXPECT_EQ(ShapeOf("(%name = 1 AND (%size = 2))"), "TOP(AND(name,size))");
  EXPECT_EQ(ShapeOf("%name = 1 AND (%size = 2 OR %count = 3)"), "TOP(AND(name,OR(size,count)))");
  EXPECT_EQ(ShapeOf("(%name = 1 OR %size = 2) AND %count = 3"), "TOP(AND(OR(name,size),count))");
  EXPECT_EQ(ShapeOf("(%name = 1) OR (%size = 2)"), "TOP(OR(name,size))");
  EXPECT_EQ(ShapeOf("%name = 1 AND ((%size = 2 OR %count = 3) AND %status = 4)"),
            "TOP(AND(name,AND(OR(size,count),status)))");
  EXPECT_EQ(ShapeOf("((%name = 1 OR %size = 2) AND (%count = 3 OR %status = 4)) OR %flag = y"),
            "TOP(OR(AND(OR(name,size),OR(count,status)),flag))");
  EXPECT_EQ(ShapeOf("%count = 0 OR (%name = 1 OR %size = 2) AND %status = 3"),
            "TOP(AND(OR(count,OR(name,size)),status))");
  // Blanks and tabs around brackets and a trailing line end do not matter.
  EXPECT_EQ(ShapeOf("\t( %name\t=  1 AND  ( %size = 2\t) )  \n"), "TOP(AND(name,size))");
  // A word is followed by a blank.
  EXPECT_EQ(ShapeOf("%name = 1 AND\t%size = 2"), "null");
  // Words, brackets and keywords inside quotes are part of the constant.
  EXPECT_EQ(ShapeOf("%name = 'a AND b' OR %status = \"x OR y\""), "TOP(OR(name,status))");
  EXPECT_EQ(ShapeOf("%name = regexp:'^a b$' AND %status = interactive:status:Never"),
            "TOP(AND(name,status))");
  EXPECT_EQ(ShapeOf("(%name = AND OR %status = OR)"), "TOP(OR(name,status))");
  EXPECT_EQ(ShapeOf("(%count = status:N/A)"), "TOP(count)");
}

// Which error a refused text reports: the grammar's first fault, front to back; else the last
// operand that does not read, as operands are read last first; and some texts are refused with
// no message of their own.
TEST(FilterTrees, RefusalsReportTheirFirstFault) {
  TestHome home;
  Ref<List> f = Fields();
  // clang-format off
  const char* bad[] = {
      "", "   \t ", "((%name = 1))",
      "(((%name = 1 AND %size = 2)) OR %count = 3)", "%name = regexp:'^a(b|c)'",
      "%name = 'x)'", "%name = 'q AND %status = 1'", "%name = 1 %size = 2",
      "%name = 1 AND AND %size = 2", "AND %name = 1", "%name = 1 AND",
      "%name = 1 junk AND %size = 2", "(%name = 1", "%name = 1) OR (%size = 2", "%name=1",
      "%name.x = 1", "%name => 1", "%name = ", "%name = 'open", "()", "(%name = 1) (%size = 2)",
      "%name = 1 AND ()", "%", "(", ")", "'", "%name = 1 x > 2 OR %count = 3",
      "(%name = 1 AND %status = ab' OR %status = c')", "%name = ) OR %status = 1",
  };
  // clang-format on
  for (const char* text : bad) {
    TraceCapture trace(0);
    EXPECT_FALSE(RepMakeFilterTree(text, f.get())) << text;
    EXPECT_TRUE(trace.Contains("Failed to make filter tree from")) << text;
  }
  EXPECT_FALSE(RepMakeFilterTree("%name = 1", nullptr));
  std::string chain = "%name = 1";
  for (int i = 1; i < 1000; ++i) chain += " OR %size = 2";
  const struct {
    std::string text;
    std::vector<std::string> errors;  // before "Failed to make filter tree from"
  } cases[] = {
      {"%unknown = 1 AND %size = lots",
       {"Failed to encode value of constant",
        "Failed to read constant of filter expression '%size = lots)'"}},
      {"%size = lots AND %unknown = 1", {"Failed to get field index and type"}},
      {"%when < regexp:status:Nevermore",
       {"Unrecognised state word in filter constant 'regexp:status:Nevermore)'",
        "Failed to read constant of filter expression '%when < regexp:status:Nevermore)'"}},
      {"%size = lots AND (%name = 1) junk", {"Expected AND, OR or ')' in filter spec at 'junk'"}},
      {"%name = 'a'b", {"Unexpected text after filter constant at 'b'"}},
      {"%name = 'a%b'", {"Filter constant holds '%', which no constant may: ''a%b''"}},
      {"%count = status:N/A\nOR %size = 1",
       {"Unexpected text after filter constant at '\nOR %size = 1'"}},
      {"%name > \"", {"No closing quote for filter constant at '\"'"}},
      {"%name != Inherit:  AND %size = 1",
       {"Missing filter constant at 'Inherit:  AND %size = 1'"}},
      {"%name = status:Never)", {"Unbalanced brackets in filter spec"}},
      {"%name = 1 AND (%size = 2))", {"Unbalanced brackets in filter spec"}},
      // A bare operator symbol as a constant, then a blank and a word.
      {"%count < = AND %name = x", {}},
      {"%count < = OR (%name = x)", {}},
      {"%name = 1 AND %size <= = AND %count = 1", {}},
      {"((%name = 1)) OR %size = 2", {}},
      // A chain one operand too long is refused when its first operands are reached, after the
      // last ones were read.
      {chain + " AND %unknown = 1", {"Failed to get field index and type"}},
      {"%unknown = 1 AND " + chain, {"Filter spec nested or chained more than 1000 deep"}},
  };
  for (const auto& c : cases) {
    TraceCapture trace(0);
    EXPECT_FALSE(RepMakeFilterTree(c.text.c_str(), f.get())) << c.text;
    std::vector<std::string> errors;
    for (const auto& l : trace.lines()) errors.push_back(l.text);
    ASSERT_FALSE(errors.empty()) << c.text;
    EXPECT_EQ(errors.back().rfind("Failed to make filter tree from '", 0), 0u);
    errors.pop_back();
    EXPECT_EQ(errors, c.errors) << c.text.substr(0, 80);
  }
  // Where each refusal was found, for a front end to point at; -1 when the tree was made.
  const struct {
    const char* text;
    int32_t at;
  } located[] = {
      {"%size = lots AND %unknown = 1", 17}, {"%unknown = 1 AND %size = lots", 25},
      {"%size = lots AND (%name = 1) junk", 29}, {"%name = 'a'b", 11},
      {"%name = 1 AND (%size = 2))", 25}, {"(%name = 1", 10}, {"  %name => 1", 2},
      {"%name = 1 AND AND %size = 2", 14}, {"%name = 1", -1},
  };
  for (const auto& l : located) {
    int32_t at = 99;
    EXPECT_EQ(!RepMakeFilterTreeLocated(l.text, f.get(), &at), l.at >= 0) << l.text;
    EXPECT_EQ(at, l.at) << l.text;
  }
  // The detail lines follow the tree from the top: each word's right operand before its left.
  TraceCapture detail;
  ASSERT_TRUE(RepMakeFilterTree("%name = 1 AND (%size = 2)", f.get()));
  std::string numbers;
  for (const auto& l : detail.lines()) numbers += std::to_string(l.msg_no) + " ";
  EXPECT_EQ(numbers, "32 40 41 44 51 40 41 42 44 51 47 48 45 47 48 45 46 ");
  EXPECT_TRUE(detail.Contains("At RepBuildFilterNode, text 'AND (%size = 2))'"));
  // The same constants build where no word follows them, or not bare.
  for (const char* text : {"(%name = = ) AND %size = 1", "%name = =\tAND %size = 1",
                           "%name = '=' AND %size = 1", "%name = regexp:= AND %size = 1"})
    EXPECT_EQ(ShapeOf(text), "TOP(AND(name,size))") << text;
}

TEST(FilterTrees, DeepNestingIsRefusedNotOverflowed) {
  TestHome home;
  TraceCapture trace(0);  // failures only: the detail lines would quote the text at every node
  Ref<List> f = Fields();
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "%name = 1 AND (";
  deep += "%name = 2";
  deep.append(5000, ')');
  EXPECT_FALSE(RepMakeFilterTree(deep.c_str(), f.get()));
  std::string fine = "%name = 1";
  for (int i = 0; i < 200; ++i) fine += " OR %size = " + std::to_string(i);
  Ref<RepFilterTree> t = RepMakeFilterTree(fine.c_str(), f.get());
  ASSERT_TRUE(t);
  Ref<RepRecord> r = Record(Row{.size = 150});
  EXPECT_EQ(RepFilterCatchesRecord(r.get(), t.get()), 1);
  // Its written form brackets every OR, 200 deep, and builds again.
  std::string written;
  ASSERT_EQ(RepFilterTreeToText(&written, t.get(), f.get()), 1);
  ASSERT_EQ(written.compare(0, 200, std::string(200, '(')), 0);
  Ref<RepFilterTree> again = RepMakeFilterTree(written.c_str(), f.get());
  ASSERT_TRUE(again);
  EXPECT_EQ(RepFilterCatchesRecord(r.get(), again.get()), 1);
}

TEST(FilterTrees, WrittenInCanonicalForm) {
  TestHome home;
  Ref<List> f = Fields();
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"%name = 1", "%name = '1'"},
      {"%NAME = 1 AND %size = 2 OR %count = 3", "((%name = '1' AND %size = '2') OR %count = '3')"},
      {"(%name = 1 AND (%size = 2 OR %count = 3))",
       "(%name = '1' AND (%size = '2' OR %count = '3'))"},
      {"%name  !=   \"a b\" and %count >= interactive:status:unlimited",
       "(%name != 'a b' AND %count >= interactive:status:Unlimited)"},
      {"%name = REGEXP:inherit:'^x' OR %size <= 2kb",
       "(%name = regexp:inherit:'^x' OR %size <= '2kb')"},
  };
  for (const Case& c : cases) {
    Ref<RepFilterTree> t = RepMakeFilterTree(c.in, f.get());
    ASSERT_TRUE(t) << c.in;
    std::string once = Write(t.get(), f.get());
    EXPECT_EQ(once, c.out) << c.in;
    Ref<RepFilterTree> again = RepMakeFilterTree(once.c_str(), f.get());
    ASSERT_TRUE(again) << once;
    EXPECT_EQ(Write(again.get(), f.get()), once);
  }
  TraceCapture trace;
  std::string s = "kept";
  Ref<RepFilterTree> empty = TreeNewFromPool();
  EXPECT_EQ(RepFilterTreeToText(&s, empty.get(), f.get()), 0);
  Ref<RepFilterTree> odd = TreeNewFromPool();
  Ref<Obj> i = ObjNewInteger(1);
  TreeInsertRoot(odd.get(), i.get());
  EXPECT_EQ(RepFilterTreeToText(&s, odd.get(), f.get()), 0);
  EXPECT_TRUE(trace.Contains("Bad object type in filter tree. Cannot convert tree to text"));
  EXPECT_EQ(s, "kept");
}

// --- front-end trees ----------------------------------------------------------------------------

TEST(FilterGuiTrees, ConvertedBySlotThirteen) {
  TestHome home;
  Ref<List> f = Fields();
  Ref<RepFilterTree> t = RepMakeFilterTree("%count = 1 OR %count = 2 AND %name = x", f.get());
  ASSERT_TRUE(t);
  // A front-end tree mirroring it, each item an object with the node in slot 13.
  const char* spec = "i;i;i;i;i;i;i;i;i;i;i;s;o;";
  Ref<Tree> gui = TreeNewFromPool();
  std::vector<std::pair<TreeNode*, TreeNode*>> stack;
  auto item_for = [&](TreeNode* n) {
    Ref<Obj> o = ObjNewInternal(0, 0xc0ffee01, spec, 0, nullptr);
    ObjSetSlotObject(o.get(), 13, Ref<Obj>::Share(TreeNodeItem(n)));
    return o;
  };
  TreeNode* root = TreeFirstNode(t.get());
  stack.push_back({root, TreeInsertRoot(gui.get(), item_for(root).get())});
  while (!stack.empty()) {
    auto [src, dst] = stack.back();
    stack.pop_back();
    for (TreeNode* c = TreeNodeFirstChild(src); c != nullptr; c = TreeNodeNextSibling(c))
      stack.push_back({c, TreeAddChildLast(dst, item_for(c).get())});
  }
  Ref<RepFilterTree> back;
  ASSERT_EQ(RepGuiFilterTreeToFilterTree(&back, gui.get()), 1);
  EXPECT_EQ(Write(back.get(), f.get()), Write(t.get(), f.get()));
  EXPECT_EQ(TreeNodeItem(TreeFirstNode(back.get())), TreeNodeItem(TreeFirstNode(t.get())));

  TraceCapture trace;
  Ref<Tree> empty = TreeNewFromPool();
  EXPECT_EQ(RepGuiFilterTreeToFilterTree(&back, empty.get()), 0);
  EXPECT_TRUE(trace.Contains("Empty GUI filter tree. Cannot convert."));
}

// --- property: build, write, build, write -------------------------------------------------------

class FilterGenerator {
 public:
  explicit FilterGenerator(uint32_t seed) : rng_(seed) {}

  std::string Filter(int depth = 0) {
    int operands = 1 + Pick(depth < 2 ? 4 : 2);
    std::string s;
    for (int i = 0; i < operands; ++i) {
      if (i > 0) s += Pick(2) ? (Pick(2) ? " AND " : " and ") : (Pick(2) ? " OR " : " Or ");
      // A group must hold a chain or an expression, never just another group.
      if (operands > 1 && depth < 3 && Pick(4) == 0) {
        s += "(" + Filter(depth + 1) + ")";
      } else {
        s += Expression();
      }
    }
    return s;
  }

 private:
  int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

  std::string Expression() {
    static const char* ops[] = {"=", "!=", ">", ">=", "<", "<="};
    static const char* names[] = {"name", "size", "count", "status"};
    int field = Pick(4);
    std::string s = std::string("%") + names[field] + (Pick(5) ? " " : "\t") + ops[Pick(6)] + " ";
    if (Pick(8) == 0) {
      static const char* states[] = {"Normal", "N/A", "unknown", "NEVER", "Unlimited"};
      return s + (Pick(3) == 0 ? "interactive:" : "") + "status:" + states[Pick(5)];
    }
    std::string value;
    if (field == 1) {
      static const char* units[] = {"", "kb", "MB", "b"};
      value = std::to_string(Pick(3000)) + units[Pick(4)];
    } else if (field == 2) {
      value = std::to_string(Pick(20) - 5);
    } else {
      static const char* words[] = {"ok", "OK", "fail*", "?k", "a b", "x.y", "", "err?r", "a+"};
      value = words[Pick(9)];
      if (Pick(6) == 0) s += "regexp:";
    }
    if (Pick(6) == 0) s += "inherit:";
    if (value.empty() || value.find(' ') != std::string::npos || Pick(2))
      return s + (Pick(2) ? "'" + value + "'" : "\"" + value + "\"");
    return s + value;
  }

  std::mt19937 rng_;
};

std::vector<Ref<RepRecord>> RandomRecords(uint32_t seed, int n) {
  std::mt19937 rng(seed);
  static const char* names[] = {"ok",  "Ok", "failed", "fail", "a b", "x.y",
                                "xzy", "",   "error",  "AAA+", "k"};
  std::vector<Ref<RepRecord>> out;
  for (int i = 0; i < n; ++i) {
    Row r;
    r.name = names[rng() % 11];
    r.status = names[rng() % 11];
    r.size = static_cast<int64_t>(rng() % 4000000);
    r.count = static_cast<int32_t>(rng() % 20) - 5;
    for (int k = 0; k < 4; ++k) r.states[k] = rng() % 5 == 0 ? static_cast<int32_t>(rng() % 5) : 0;
    out.push_back(Record(r));
  }
  return out;
}

TEST(FilterProperty, WrittenTreesRebuildToTheSameTreeAndAgreeOnRecords) {
  TestHome home;
  TraceCapture trace;  // some generated regular expressions do not compile
  Ref<List> f = Fields();
  std::vector<Ref<RepRecord>> records = RandomRecords(7, 150);
  FilterGenerator gen(20240229);
  for (int i = 0; i < 600; ++i) {
    std::string text = gen.Filter();
    Ref<RepFilterTree> first = RepMakeFilterTree(text.c_str(), f.get());
    ASSERT_TRUE(first) << text;
    std::string once = Write(first.get(), f.get());
    Ref<RepFilterTree> second = RepMakeFilterTree(once.c_str(), f.get());
    ASSERT_TRUE(second) << text << "\n" << once;
    EXPECT_EQ(Write(second.get(), f.get()), once) << text;
    for (const Ref<RepRecord>& r : records) {
      ASSERT_EQ(RepFilterCatchesRecord(r.get(), first.get()),
                RepFilterCatchesRecord(r.get(), second.get()))
          << text << "\n"
          << once;
    }
  }
}

}  // namespace
