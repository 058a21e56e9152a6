// The filter parser and trees: reading a filter text into a tree against a table's fields,
// writing a tree back as text, and taking a front end's tree. Evaluation never parses, so this
// is its own file.

#include "reports/filter.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kr/config.h"
#include "kr/pattern.h"
#include "kr/text.h"
#include "kr/trace.h"
#include "reports/control.h"
#include "reports/params.h"
#include "reports/reports.h"
#include "filter_internal.h"

using kr_internal::filter::CheckConstantText;
using kr_internal::filter::ConstantOfExpression;
using kr_internal::filter::ConstantSpan;
using kr_internal::filter::kMaxBuildDepth;
using kr_internal::filter::kMaxNesting;
using kr_internal::filter::kTag;
using kr_internal::filter::OperatorAt;
using kr_internal::filter::ReadExpression;
using kr_internal::filter::SkipBlanks;
using kr_internal::filter::SpanOfConstant;

namespace {

// --- the parser ---------------------------------------------------------------------------------

// Reads a filter text front to back in one pass, checking the grammar
//   chain = operand { ("AND " | "OR ") operand }    operand = expression | "(" chain ")"
// (blanks and tabs between tokens) and taking each constant whole, then makes the tree from what
// it found. The nodes are made, and the expressions read against the field list, last operand
// first: the last word of a chain is its node, made before the chain in front of it, so the
// first expression that does not read is the last one in the text. The working copy holds the
// text in one bracket pair (its own, when it is wholly enclosed by one) after a zero character
// and a blank, and is what the detail traces and the expression messages quote.
class FilterParser {
 public:
  explicit FilterParser(const RepFieldList* fields) : fields_(fields) {}

  bool Build(const char* text, RepFilterTree* tree);

  // After a refused Build: the byte offset in the text given to Build where the fault was found.
  size_t fault_offset() const { return body_offset_ + fault_; }

 private:
  // An operand of a chain: an expression or a group. Positions are offsets into the text.
  struct Operand {
    size_t pos;     // its '%' or '('
    size_t word;    // the word before it (not on the first operand of a chain)
    int32_t group;  // index into groups_, or -1 for an expression
    // An expression whose bare constant is an operator symbol followed by a blank ("%a = = OR
    // ..."): a word after it does not join it to the next operand, and the filter is refused, as
    // it always has been, so that stored filters build, or fail, as they did.
    bool reads_as_operator;
  };
  // A group's operands are operands_[first, first + count).
  struct Group {
    size_t first;
    size_t count;
  };

  bool Parse(const char* text);
  const char* At(size_t offset) const { return w_.c_str() + shift_ + offset; }

  bool BuildTop(TreeNode* root);
  bool BuildGroup(TreeNode* parent, bool as_first, const Group& g, int depth);
  bool AddWord(TreeNode* parent, bool as_first, const Group& g, size_t k, int depth);
  bool AddExpression(TreeNode* parent, bool as_first, const Operand& o, int depth);
  bool RightOperand(TreeNode* node, const Operand& o, int depth);
  bool WordFollows(const Group& g, size_t k) const {
    return !operands_[g.first + k].reads_as_operator;
  }
  // Notes where in the working copy a refusal was found; answers false for the caller's return.
  bool Fault(const char* at) {
    fault_ = static_cast<size_t>(at - (w_.c_str() + shift_));
    return false;
  }

  const RepFieldList* fields_;
  std::string w_;
  size_t shift_ = 3;               // where the text starts in w_
  std::vector<Operand> operands_;  // every group's operands, group by group
  std::vector<Group> groups_;      // the last one is the text's whole chain
  std::vector<Operand> open_;      // the operands of the groups still open, innermost last
  std::vector<size_t> starts_;     // where each open group's operands start in open_
  size_t body_offset_ = 0;         // where the text proper starts in the caller's text
  size_t fault_ = 0;               // where a refusal was found, from the text proper's start
};

bool FilterParser::Parse(const char* text) {
  const char* p = text;
  int depth = 0;
  bool want_operand = true;
  size_t word = 0;
  open_.clear();
  starts_.assign(1, 0);
  // Closes the innermost group: its operands move to operands_ in one piece.
  auto close_group = [&] {
    const size_t start = starts_.back();
    starts_.pop_back();
    groups_.push_back(Group{operands_.size(), open_.size() - start});
    operands_.insert(operands_.end(), open_.begin() + static_cast<std::ptrdiff_t>(start),
                     open_.end());
    open_.resize(start);
  };
  for (;;) {
    p = SkipBlanks(p);
    const size_t at = static_cast<size_t>(p - text);
    if (want_operand) {
      if (*p == '(') {
        if (++depth > kMaxNesting) {
          TraceMessage(kTag, 34, 0, -1, "Filter spec nested more than %d deep", kMaxNesting);
          return Fault(p);
        }
        open_.push_back(Operand{at, word, -1, false});
        starts_.push_back(open_.size());
        word = 0;
        ++p;
        continue;
      }
      const char* constant = *p == '%' ? ConstantOfExpression(p) : nullptr;
      if (constant == nullptr) {
        TraceMessage(kTag, 35, 0, -1, "Expected a filter expression at '%s'", p);
        return Fault(p);
      }
      ConstantSpan span = SpanOfConstant(constant);
      const char* fault = nullptr;
      if (!CheckConstantText(constant, span, &fault)) return Fault(fault);
      size_t symbol_bytes;
      open_.push_back(
          Operand{at, word, -1, !span.quoted && OperatorAt(constant, &symbol_bytes) >= 0});
      p = span.end;
      want_operand = false;
      continue;
    }
    if (*p == '\0') {
      if (depth == 0) {
        close_group();
        return true;
      }
      TraceMessage(kTag, 36, 0, -1, "Unbalanced brackets in filter spec");
      return Fault(p);
    }
    if (*p == ')') {
      if (--depth < 0) {
        TraceMessage(kTag, 36, 0, -1, "Unbalanced brackets in filter spec");
        return Fault(p);
      }
      close_group();
      // The group is the operand that was opened with it.
      open_.back().group = static_cast<int32_t>(groups_.size() - 1);
      ++p;
      continue;
    }
    if (StrCompareRangeNoCase(p, "AND ", 4) == 0 || StrCompareRangeNoCase(p, "OR ", 3) == 0) {
      word = at;
      p += (*p == 'A' || *p == 'a') ? 4 : 3;
      want_operand = true;
      continue;
    }
    TraceMessage(kTag, 37, 0, -1, "Expected AND, OR or ')' in filter spec at '%s'", p);
    return Fault(p);
  }
}

bool FilterParser::Build(const char* text, RepFilterTree* tree) {
  const char* p = StrSkipWhiteSpaceF(StrOrEmpty(text));
  body_offset_ = static_cast<size_t>(p - StrOrEmpty(text));
  std::string_view body(p);
  // Trailing white space of any kind (a line end from a template) is not part of the filter.
  while (!body.empty() && StrIsWhiteSpaceByte(static_cast<unsigned char>(body.back())))
    body.remove_suffix(1);
  if (body.empty()) {
    TraceMessage(kTag, 30, 0, -1, "Empty filter spec. Cannot make filter tree.");
    return false;
  }
  // The working copy with the added bracket pair; while parsing, the text ends at the ')'.
  w_.assign(1, '\0');
  w_ += " (";
  w_ += body;
  w_ += '\0';
  if (!Parse(w_.c_str() + 3)) return false;
  const Group& whole = groups_.back();
  if (whole.count == 1 && operands_[whole.first].group >= 0) {
    TraceMessage(kTag, 31, 0, 3, "Filter spec enclosed by brackets. Dont add any more.");
    w_.erase(2, 1);
    w_.pop_back();
    shift_ = 2;
  } else {
    TraceMessage(kTag, 32, 0, 3, "Filter spec not enclosed by brackets. Add some more.");
    w_.back() = ')';
    shift_ = 3;
  }
  Ref<RepFilterBoolNode> top = RepFilterBoolNode::New();
  top->set_op(kRepBoolTop);
  TreeNode* root = TreeInsertRoot(tree, top.get());
  return root != nullptr && BuildTop(root);
}

bool FilterParser::BuildTop(TreeNode* root) {
  TraceMessage(kTag, 40, 0, 3, "At RepBuildFilterNode, text '%s'", w_.c_str() + 1);
  TraceMessage(kTag, 41, 0, 3, "At bool node");
  TraceMessage(kTag, 44, 0, 3, "Make right branch...");
  TraceMessage(kTag, 51, 0, 3, "Right branch is open brancket");
  // The chain in the added pair, or the text's own group.
  const Group& whole = groups_.back();
  const Group& g = shift_ == 3 ? whole : groups_[static_cast<size_t>(operands_[whole.first].group)];
  bool ok = BuildGroup(root, false, g, 0);
  TraceMessage(kTag, 45, 0, 3, "Made right branch. Success = '%s'", ok ? "TRUE" : "FALSE");
  if (!ok) return false;
  TraceMessage(kTag, 46, 0, 3, "Top level node - dont do left branch");
  return true;
}

// Adds the node of a group: its last word when it holds a chain, its expression when it holds
// one expression. A group whose whole content is one group is refused.
bool FilterParser::BuildGroup(TreeNode* parent, bool as_first, const Group& g, int depth) {
  const Operand& last = operands_[g.first + g.count - 1];
  if (g.count == 1) {
    if (last.group >= 0) return Fault(At(last.pos));
    return AddExpression(parent, as_first, last, depth);
  }
  if (!WordFollows(g, g.count - 2)) return Fault(At(last.word));
  return AddWord(parent, as_first, g, g.count - 1, depth);
}

// Adds the node of the word before operand `k` of the group, joining the chain in front of it
// (left) with operand `k` (right).
bool FilterParser::AddWord(TreeNode* parent, bool as_first, const Group& g, size_t k, int depth) {
  if (depth >= kMaxBuildDepth) {
    TraceMessage(kTag, 49, 0, -1, "Filter spec nested or chained more than %d deep", depth);
    return Fault(At(operands_[g.first + k].word));
  }
  Ref<RepFilterBoolNode> b = RepFilterBoolNode::New();
  TreeNode* node =
      as_first ? TreeAddChildFirst(parent, b.get()) : TreeAddChildLast(parent, b.get());
  if (node == nullptr) return false;
  const Operand& right = operands_[g.first + k];
  const char* word = At(right.word);
  TraceMessage(kTag, 40, 0, 3, "At RepBuildFilterNode, text '%s'", word);
  TraceMessage(kTag, 41, 0, 3, "At bool node");
  if (*word == 'A' || *word == 'a') {
    b->set_op(kRepBoolAnd);
    TraceMessage(kTag, 42, 0, 3, "At AND bool node");
  } else {
    b->set_op(kRepBoolOr);
    TraceMessage(kTag, 43, 0, 3, "At OR bool node");
  }
  TraceMessage(kTag, 44, 0, 3, "Make right branch...");
  bool ok = RightOperand(node, right, depth + 1);
  TraceMessage(kTag, 45, 0, 3, "Made right branch. Success = '%s'", ok ? "TRUE" : "FALSE");
  if (!ok) return false;
  const Operand& left = operands_[g.first + k - 1];
  if (k == 1) {  // the first operand of the group
    if (left.group >= 0)
      return BuildGroup(node, true, groups_[static_cast<size_t>(left.group)], depth + 1);
    return AddExpression(node, true, left, depth + 1);
  }
  if (!WordFollows(g, k - 2)) return Fault(At(left.word));
  return AddWord(node, true, g, k - 1, depth + 1);
}

bool FilterParser::RightOperand(TreeNode* node, const Operand& o, int depth) {
  if (o.group < 0) {
    TraceMessage(kTag, 50, 0, 3, "Right branch in an expression");
    return AddExpression(node, false, o, depth);
  }
  TraceMessage(kTag, 51, 0, 3, "Right branch is open brancket");
  return BuildGroup(node, false, groups_[static_cast<size_t>(o.group)], depth);
}

bool FilterParser::AddExpression(TreeNode* parent, bool as_first, const Operand& o, int depth) {
  if (depth >= kMaxBuildDepth) {
    TraceMessage(kTag, 49, 0, -1, "Filter spec nested or chained more than %d deep", depth);
    return Fault(At(o.pos));
  }
  Ref<RepFilterExpression> e = RepFilterExpression::New();
  TreeNode* node =
      as_first ? TreeAddChildFirst(parent, e.get()) : TreeAddChildLast(parent, e.get());
  if (node == nullptr) return false;
  const char* p = At(o.pos);
  TraceMessage(kTag, 47, 0, 3, "At RepBuildFilterNode, text '%s'", p);
  TraceMessage(kTag, 48, 0, 3, "At expression");
  const char* constant_start;
  const char* end;
  const char* fault = nullptr;
  return ReadExpression(e.get(), &constant_start, &end, p, fields_, &fault) || Fault(fault);
}

}  // namespace

// --- trees --------------------------------------------------------------------------------------

Ref<RepFilterTree> RepMakeFilterTreeLocated(const char* text, const RepFieldList* fields,
                                            int32_t* fault_offset) noexcept {
  if (fault_offset != nullptr) *fault_offset = -1;
  Ref<RepFilterTree> tree = TreeNewFromPool();
  FilterParser parser(fields);
  if (!parser.Build(text, tree.get())) {
    TraceMessage(kTag, 110, 0, -1, "Failed to make filter tree from '%.200s'", StrOrEmpty(text));
    if (fault_offset != nullptr) {
      const size_t length = std::strlen(StrOrEmpty(text));
      *fault_offset = static_cast<int32_t>(std::min(parser.fault_offset(), length));
    }
    return nullptr;
  }
  return tree;
}

Ref<RepFilterTree> RepMakeFilterTree(const char* text, const RepFieldList* fields) noexcept {
  return RepMakeFilterTreeLocated(text, fields, nullptr);
}

int RepFilterTreeToText(std::string* text, const RepFilterTree* tree,
                        const RepFieldList* fields) noexcept {
  if (text == nullptr) return 0;
  TreeNode* node = TreeFirstNode(tree);
  if (node == nullptr) {
    TraceMessage(kTag, 120, 0, -1, "Empty filter tree. Cannot convert tree to text");
    return 0;
  }
  std::string s;
  int phase = 0;
  for (;;) {
    Obj* item = TreeNodeItem(node);
    bool up = false;
    if (const RepFilterBoolNode* b = ObjCast<RepFilterBoolNode>(item)) {
      if (b->op() == kRepBoolTop) {
        if (phase != 0) break;
        node = TreeNodeFirstChild(node);
        if (node == nullptr) {
          TraceMessage(kTag, 121, 0, -1, "Filter tree top node has no child");
          return 0;
        }
        continue;
      }
      const char* word = RepGetBoolOpText(b->op());
      if (word == nullptr) {
        TraceMessage(kTag, 122, 0, -1, "Bad boolean operator %ld in filter tree",
                     static_cast<long>(b->op()));
        return 0;
      }
      if (phase == 0) {
        s += '(';
        node = TreeNodeFirstChild(node);
      } else if (phase == 1) {
        s += ' ';
        s += word;
        s += ' ';
        node = TreeNodeNthChild(node, 2);
      } else {
        s += ')';
        up = true;
      }
      if (!up) {
        if (node == nullptr) {
          TraceMessage(kTag, 123, 0, -1, "Filter tree %s node lacks an operand", word);
          return 0;
        }
        phase = 0;
        continue;
      }
    } else if (const RepFilterExpression* e = ObjCast<RepFilterExpression>(item)) {
      const RepFieldDef* f = e->field_index() < 0
                                 ? nullptr
                                 : ObjCast<RepFieldDef>(ListGetNthItem(
                                       fields, static_cast<size_t>(e->field_index()) + 1));
      const char* symbol = RepGetOperatorSymbol(e->op());
      std::string constant;
      if (f == nullptr || symbol == nullptr || e->constant() == nullptr ||
          RepConstantToText(&constant, e->constant()) == kRepFailed) {
        TraceMessage(kTag, 124, 0, -1, "Bad filter expression (field %ld). Cannot convert tree",
                     static_cast<long>(e->field_index()));
        return 0;
      }
      s += '%';
      if (f->name() != nullptr) s += f->name();
      s += ' ';
      s += symbol;
      s += ' ';
      s += constant;
      up = true;
    } else {
      TraceMessage(kTag, 125, 0, -1, "Bad object type in filter tree. Cannot convert tree to text");
      return 0;
    }
    // Going up: back from the first child is phase 1, from a later one phase 2.
    TreeNode* parent = TreeNodeParent(node);
    if (parent == nullptr) break;  // a tree whose root is not a top node ends at its root
    phase = TreeNodePrevSibling(node) == nullptr ? 1 : 2;
    node = parent;
  }
  TraceMessage(kTag, 126, 0, 3, "Successfully converted filter to string: '%s'", s.c_str());
  *text = std::move(s);
  return 1;
}

int RepGuiFilterTreeToFilterTree(Ref<RepFilterTree>* tree, const Tree* gui_tree) noexcept {
  if (tree == nullptr) return 0;
  TreeNode* gui = TreeFirstNode(gui_tree);
  if (gui == nullptr) {
    TraceMessage(kTag, 130, 0, -1, "Empty GUI filter tree. Cannot convert.");
    return 0;
  }
  Ref<RepFilterTree> t = TreeNewFromPool();
  TreeNode* mine = TreeInsertRoot(t.get(), ObjGetSlotObject(TreeNodeItem(gui), 13));
  while (gui != nullptr && mine != nullptr) {
    for (TreeNode* c = TreeNodeFirstChild(gui); c != nullptr; c = TreeNodeNextSibling(c))
      TreeAddChildLast(mine, ObjGetSlotObject(TreeNodeItem(c), 13));
    gui = TreeNextNode(gui);
    mine = TreeNextNode(mine);
  }
  if (gui != nullptr || mine != nullptr) {
    TraceMessage(kTag, 131, 0, -1, "Failed converting gui tree to filter tree. Tree size mismatch");
    return 0;
  }
  TraceMessage(kTag, 132, 0, 3, "Converted GUI tree to filter tree OK");
  *tree = std::move(t);
  return 1;
}
