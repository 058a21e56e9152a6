// Filters: operator and word tables, constants, component lists, the filter parser, writing trees
// back as text, and evaluating trees against records.

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

namespace {

constexpr const char* kTag = "REPFILT";

// --- tables -------------------------------------------------------------------------------------

struct OperatorRow {
  int32_t id;
  const char* symbol;
  const char* description;
  int catalogue_id;
};
constexpr OperatorRow kOperators[] = {
    {kRepOpEqual, "=", "is equal to", 8240},
    {kRepOpNotEqual, "!=", "is not equal to", 8241},
    {kRepOpGreater, ">", "is greater than", 8242},
    {kRepOpGreaterEqual, ">=", "is greater than or equal to", 8244},
    {kRepOpLess, "<", "is less than", 8243},
    {kRepOpLessEqual, "<=", "is less than or equal to", 8245},
    {-1, nullptr, nullptr, 0},
};

struct WordRow {
  int32_t id;
  const char* word;
  size_t bytes;
};
constexpr WordRow kWords[] = {{kRepBoolAnd, "AND", 3}, {kRepBoolOr, "OR", 2}, {-1, nullptr, 0}};

// The order in which a reader tries the symbols, each with the blank that must follow it. The
// blank is what keeps ">=" from being read as ">".
struct SymbolWithBlank {
  const char* text;
  size_t bytes;
  int32_t id;
};
constexpr SymbolWithBlank kReadOrder[] = {
    {"= ", 2, kRepOpEqual}, {"!= ", 3, kRepOpNotEqual},     {"> ", 2, kRepOpGreater},
    {"< ", 2, kRepOpLess},  {">= ", 3, kRepOpGreaterEqual}, {"<= ", 3, kRepOpLessEqual},
};

// The operator whose symbol and blank stand at `p`, or -1; *bytes is the symbol's length
// without the blank.
int32_t OperatorAt(const char* p, size_t* bytes) {
  for (const SymbolWithBlank& s : kReadOrder) {
    if (std::strncmp(p, s.text, s.bytes) == 0) {
      *bytes = s.bytes - 1;
      return s.id;
    }
  }
  return -1;
}

bool IsOperatorId(int32_t id) { return id >= 0 && id <= kRepOpLessEqual; }

// Whether the comparison code of a record's value against a constant satisfies the operator.
// Code -1: the record's value is greater; 1: smaller; 0: equal or the pattern matched;
// 2: no match or not comparable.
bool OperatorMatches(int32_t op, int code) {
  switch (code) {
    case 0:
      return op == kRepOpEqual || op == kRepOpGreaterEqual || op == kRepOpLessEqual;
    case -1:
      return op == kRepOpGreater || op == kRepOpGreaterEqual || op == kRepOpNotEqual;
    case 1:
      return op == kRepOpLess || op == kRepOpLessEqual || op == kRepOpNotEqual;
    case 2:
      return op == kRepOpNotEqual;
    default:
      return false;
  }
}

// --- constant keywords --------------------------------------------------------------------------

struct Keyword {
  const char* text;
  size_t chars;
};

Keyword MakeKeyword(const char* default_text, int id) {
  const char* t = LocaleGetStaticString(default_text, id);
  return Keyword{t, StrCharCount(t)};
}

// The reader's keywords, looked up once per process.
struct ReaderKeywords {
  Keyword status, regexp, interactive, inherit;
};
const ReaderKeywords& GetReaderKeywords() {
  static const ReaderKeywords k{MakeKeyword("status:", 8236), MakeKeyword("regexp:", 8237),
                                MakeKeyword("interactive:", 8238), MakeKeyword("inherit:", 8239)};
  return k;
}

// A catalogue text of no characters would match everywhere and never advance: it never matches.
bool KeywordAt(const char* p, const Keyword& k) {
  return k.chars > 0 && StrCompareRangeNoCase(p, k.text, k.chars) == 0;
}

bool IsQuote(char c) { return c == '\'' || c == '"'; }
bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

const char* SkipBlanks(const char* p) {
  while (IsBlankOrTab(*p)) ++p;
  return p;
}

// Reads a constant at `text`. `*end` is set just after the constant itself: after the closing
// quote of a quoted value, or at the character that ends a bare value or a state word. With
// `strict`, a state word must be exactly a state's text (the filter parser wants that; a reader of
// one constant accepts any word that begins with one).
bool ReadConstant(Ref<RepFilterConstant>* out, const char** end, const char* text,
                  int32_t field_type, bool strict) {
  if (text == nullptr) text = "";
  Ref<RepFilterConstant> c = RepFilterConstant::New();
  const char* p = text;
  if (!IsQuote(*p)) {
    const ReaderKeywords& k = GetReaderKeywords();
    for (;;) {
      if (KeywordAt(p, k.status)) {
        c->set_kind(kRepConstStatus);
        p = StrAdvanceChars(p, k.status.chars);
        int32_t state = 0;
        if (RepStateTextToState(&state, p) == 0) return false;
        c->set_state(state);
        // A state word ends at white space; a closing bracket ends it too, so that a status
        // constant can close a group.
        const char* word = p;
        while (*p != '\0' && !StrIsWhiteSpaceByte(static_cast<unsigned char>(*p)) && *p != ')') ++p;
        if (strict &&
            StrCharCount(std::string(word, p).c_str()) != StrCharCount(RepStateToText(state))) {
          TraceMessage(kTag, 1, 0, -1, "Unrecognised state word in filter constant '%s'", text);
          return false;
        }
        continue;
      }
      if (KeywordAt(p, k.regexp)) {
        c->set_flags(c->flags() | kRepConstRegExp);
        TraceMessage(kTag, 2, 0, 3, "Detected regexp in constant construction");
        p = StrAdvanceChars(p, k.regexp.chars);
        continue;
      }
      if (KeywordAt(p, k.interactive)) {
        c->set_flags(c->flags() | kRepConstInteractive);
        TraceMessage(kTag, 3, 0, 3, "Detected interactive constant in construction");
        p = StrAdvanceChars(p, k.interactive.chars);
        continue;
      }
      if (KeywordAt(p, k.inherit)) {
        c->set_flags(c->flags() | kRepConstInherit);
        TraceMessage(kTag, 4, 0, 3, "Detected inheriting constant in construction");
        p = StrAdvanceChars(p, k.inherit.chars);
        continue;
      }
      break;
    }
  }
  c->set_field_type(field_type);
  if (c->kind() == kRepConstStatus) {
    *end = p;
    *out = std::move(c);
    return true;
  }
  std::string value;
  const char* after = nullptr;
  if (RepExtractValue(&value, &after, p) != kRepExtractOk) {
    TraceMessage(kTag, 5, 0, -1, "Failed to extract value for constant from '%s'", p);
    return false;
  }
  c->set_text(value.c_str());
  Ref<Obj> encoded;
  if (RepEncodeData(&encoded, value.c_str(), field_type) == 0) {
    TraceMessage(kTag, 6, 0, -1, "Failed to encode value of constant");
    return false;
  }
  c->set_value(std::move(encoded));
  if (field_type == kRepTypeString) {
    c->set_is_pattern((c->flags() & kRepConstRegExp) != 0 ||
                      value.find_first_of("*?") != std::string::npos);
  }
  *end = IsQuote(*p) ? after : p + value.size();
  *out = std::move(c);
  return true;
}

// Where the parts of the constant that starts at `p` lie, as the constant reader sees them: its
// value (after any keywords) and its end: through the closing quote of a quoted value, or up to
// the blank, tab, ')' or end that ends a bare value or a state word. `end` is null for a quote
// with no partner.
struct ConstantSpan {
  const char* value;
  const char* end;
  bool quoted;
};

ConstantSpan SpanOfConstant(const char* p) {
  if (!IsQuote(*p)) {
    const ReaderKeywords& k = GetReaderKeywords();
    for (bool more = true; more;) {
      more = false;
      for (const Keyword* kw : {&k.regexp, &k.interactive, &k.inherit}) {
        if (KeywordAt(p, *kw)) {
          p = StrAdvanceChars(p, kw->chars);
          more = true;
        }
      }
      if (KeywordAt(p, k.status)) return {p, p + std::strcspn(p, " \t\r\n\v\f)"), false};
    }
  }
  if (IsQuote(*p)) {
    const char* close = std::strchr(p + 1, *p);
    return {p, close != nullptr ? close + 1 : nullptr, true};
  }
  return {p, p + std::strcspn(p, " \t)"), false};
}

// --- components ---------------------------------------------------------------------------------

// Reads one component at `p`, which should hold '%'. On success `*after` is just after the
// constant (after its closing quote if it had one). The name is not looked up and the constant
// not parsed here.
bool ReadComponent(Ref<RepFilterComponent>* out, const char** after, const char* p) {
  if (*p != '%') {
    TraceMessage(kTag, 10, 0, -1, "No '%%' char leading expected field name.");
    return false;
  }
  ++p;
  int chars = StrGetTokenCharCount(p);
  if (chars <= 0) {
    TraceMessage(kTag, 11, 0, -1, "Bad field name constructing component");
    return false;
  }
  std::string name(p, StrBytesForChars(p, static_cast<size_t>(chars)));
  p = StrSkipWhiteSpaceF(StrSkipTokenF(p));
  size_t symbol_bytes = 0;
  int32_t op = OperatorAt(p, &symbol_bytes);
  if (op < 0) {
    TraceMessage(kTag, 12, 0, -1, "Bad operator for component using field '%s'", name.c_str());
    return false;
  }
  p = StrSkipWhiteSpaceF(p + symbol_bytes + 1);
  // The constant ends where the filter parser ends it, so that every filter that builds can also
  // be edited as components: a quoted value runs through its closing quote also when keywords
  // come before it (regexp:'x y'), as the constant writer puts them.
  const ConstantSpan span = SpanOfConstant(p);
  const char* constant_end;
  if (span.quoted) {
    if (span.end == nullptr) {
      TraceMessage(kTag, 13, 0, -1, "Failed to find closing quote in filter constant");
      constant_end = p;
    } else {
      constant_end = span.end;
    }
  } else {
    constant_end = p + std::strcspn(p, " \t)");
  }
  if (constant_end == p) {
    TraceMessage(kTag, 14, 0, -1,
                 "Failed to find a constant component for filter component using field '%s'",
                 name.c_str());
    return false;
  }
  Ref<RepFilterComponent> c = RepFilterComponent::New();
  c->set_field_name(name.c_str());
  c->set_op(op);
  c->set_constant(std::string(p, constant_end).c_str());
  *after = constant_end;
  *out = std::move(c);
  return true;
}

// --- expressions --------------------------------------------------------------------------------

// The brutal component list and the list of a filter's fields find expressions by scanning for
// '%', and a bracket or quote in a constant would make the text read differently to a reader that
// tracks brackets and quotes, so a constant holding '%' or a bracket, or a bare constant holding
// a quote, could be read as part of another filter than the one written: such constants are
// refused outright.
// An empty constant, or anything but a blank, tab, ')' or the end right after a constant, is
// refused too, as it would be silently dropped. `*fault` (when given) is where a refused constant
// goes wrong.
bool CheckConstantText(const char* start, const ConstantSpan& span, const char** fault = nullptr) {
  const char* unused;
  if (fault == nullptr) fault = &unused;
  *fault = start;
  if (span.end == nullptr) {
    TraceMessage(kTag, 26, 0, -1, "No closing quote for filter constant at '%s'", start);
    return false;
  }
  if (span.end == span.value) {
    TraceMessage(kTag, 27, 0, -1, "Missing filter constant at '%s'", start);
    return false;
  }
  for (const char* r = start; r < span.end; ++r) {
    if (*r == '%' || *r == '(' || *r == ')' || (!span.quoted && IsQuote(*r))) {
      *fault = r;
      TraceMessage(kTag, 24, 0, -1, "Filter constant holds '%c', which no constant may: '%.*s'", *r,
                   static_cast<int>(span.end - start), start);
      return false;
    }
  }
  const char* end = span.end;
  if (*end != '\0' && !IsBlankOrTab(*end) && *end != ')') {
    *fault = end;
    TraceMessage(kTag, 25, 0, -1, "Unexpected text after filter constant at '%s'", end);
    return false;
  }
  return true;
}

// The constant of the expression head at `p` ('%'), without looking the field up. Null when `p`
// does not hold "%name op ".
const char* ConstantOfExpression(const char* p) {
  const char* q = StrSkipTokenF(p + 1);
  if (q == p + 1 || !IsBlankOrTab(*q)) return nullptr;
  q = SkipBlanks(q);
  size_t symbol_bytes = 0;
  if (OperatorAt(q, &symbol_bytes) < 0) return nullptr;
  return SkipBlanks(q + symbol_bytes + 1);
}

// Deeper nesting or longer chains than this are refused: building, evaluating and releasing a
// tree then stay within a small stack.
constexpr int kMaxBuildDepth = 1000;

// Deeper bracket nesting than this is refused. The written form of a tree brackets every AND and
// OR, so a chain of n operands is written n - 1 deep: the limit is the tree's own, so that every
// tree that builds also builds again from its written form.
constexpr int kMaxNesting = kMaxBuildDepth;

// Reads an expression at `p` ('%') against the field list into `e`. `*constant_start` is where
// its constant begins and `*end` just after the constant; on a refusal `*fault` (when given) is
// where the expression goes wrong.
bool ReadExpression(RepFilterExpression* e, const char** constant_start, const char** end,
                    const char* p, const RepFieldList* fields, const char** fault = nullptr) {
  const char* unused;
  if (fault == nullptr) fault = &unused;
  *fault = p;
  int32_t index = 0, type = 0;
  if (*p != '%' || RepGetFieldIndexAndType(&index, &type, p, fields) == 0) {
    TraceMessage(kTag, 20, 0, -1, "Failed to get field index and type");
    return false;
  }
  e->set_field_index(index);
  e->set_field_type(type);
  const char* q = StrSkipTokenF(p + 1);
  *fault = q;
  if (!IsBlankOrTab(*q)) {
    TraceMessage(kTag, 21, 0, -1, "No blank after field name in filter expression '%s'", p);
    return false;
  }
  q = SkipBlanks(q);
  *fault = q;
  size_t symbol_bytes = 0;
  int32_t op = OperatorAt(q, &symbol_bytes);
  if (op < 0) {
    TraceMessage(kTag, 22, 0, -1, "Bad operator in filter expression '%s'", p);
    return false;
  }
  e->set_op(op);
  q = SkipBlanks(q + symbol_bytes + 1);
  if (!CheckConstantText(q, SpanOfConstant(q), fault)) return false;
  *fault = q;
  Ref<RepFilterConstant> constant;
  const char* after = nullptr;
  if (!ReadConstant(&constant, &after, q, type, true)) {
    TraceMessage(kTag, 23, 0, -1, "Failed to read constant of filter expression '%s'", p);
    return false;
  }
  e->set_constant(std::move(constant));
  *constant_start = q;
  *end = after;
  return true;
}

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

// --- compiled patterns --------------------------------------------------------------------------

// The compiled pattern of a string expression, compiled on first use; null when it does not
// compile (traced at every attempt, so a later evaluation tries again).
const Obj* PatternOf(RepFilterExpression* e, const RepFilterConstant* c) {
  if (const Obj* compiled = e->compiled_pattern()) return compiled;
  const char* text = ObjGetString(c->value());
  if (text == nullptr) return nullptr;
  Ref<Obj> compiled;
  std::string expression;
  int rc;
  if ((c->flags() & kRepConstRegExp) != 0) {
    TraceMessage(kTag, 60, 0, 3, "Need to pre-calc standard regexp '%s'", text);
    expression = text;
    rc = PatternCompile(&compiled, text);
  } else {
    TraceMessage(kTag, 61, 0, 3, "Need to pre-calc simplified regexp '%s'", text);
    rc = PatternCompileSimplified(&compiled, &expression, text);
  }
  if (rc == kPatternTooCostly) {
    TraceMessage(kTag, 65, 0, -1, "Regular expression '%s' would cost too much to compile or run",
                 expression.c_str());
  }
  if (rc != kPatternCompiled) {
    TraceMessage(kTag, 63, 0, -1, "Failed to convert string '%s' to pre-compiled regexp",
                 expression.c_str());
    return nullptr;
  }
  const Obj* kept = compiled.get();
  e->set_compiled_pattern(std::move(compiled));
  TraceMessage(kTag, 64, 0, 3, "Regexp pre-calc OK");
  return kept;
}

// --- evaluation ---------------------------------------------------------------------------------

// Evaluation of trees made elsewhere (front ends) is bounded too.
constexpr int kMaxEvalDepth = 10000;

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

int ComparisonCode(RepFilterExpression* e, const RepRecord* record) {
  const RepFilterConstant* c = e->constant();
  if (c == nullptr || record == nullptr || e->field_index() < 0) return 2;
  const RepFieldValue* v = record->value_at(static_cast<size_t>(e->field_index()));
  if (v == nullptr) return 2;
  if (v->state() != kRepStateNormal || c->kind() == kRepConstStatus)
    return c->state() == v->state() ? 0 : 2;
  if (e->field_type() == kRepTypeString) {
    const Obj* pattern = PatternOf(e, c);
    if (pattern == nullptr) return 2;
    return PatternMatch(pattern, ObjGetString(v->value())) == 1 ? 0 : 2;
  }
  if (v->value() == nullptr) return 2;
  return Sign(RepCompareData(c->value(), v->value(), e->field_type()));
}

int ApplyNode(TreeNode* node, const RepRecord* record, int depth) {
  if (node == nullptr || depth > kMaxEvalDepth) return 0;
  Obj* item = TreeNodeItem(node);
  if (RepFilterExpression* e = ObjCast<RepFilterExpression>(item))
    return OperatorMatches(e->op(), ComparisonCode(e, record)) ? 1 : 0;
  const RepFilterBoolNode* b = ObjCast<RepFilterBoolNode>(item);
  if (b == nullptr) return 0;
  TreeNode* first = TreeNodeFirstChild(node);
  if (first == nullptr) return 0;
  switch (b->op()) {
    case kRepBoolTop:
      return ApplyNode(first, record, depth + 1);
    case kRepBoolAnd:
      if (ApplyNode(first, record, depth + 1) == 0) return 0;
      return ApplyNode(TreeNodeNextSibling(first), record, depth + 1);
    case kRepBoolOr:
      if (ApplyNode(first, record, depth + 1) != 0) return 1;
      return ApplyNode(TreeNodeNextSibling(first), record, depth + 1);
    default:
      return 0;
  }
}

struct BinCookie {
  TreeNode* top;
  int drop_when;  // the match result that drops a record
};

int BinDrop(Obj* item, void* cookie) {
  const auto* c = static_cast<const BinCookie*>(cookie);
  return ApplyNode(c->top, ObjCast<RepRecord>(item), 0) == c->drop_when ? 1 : 0;
}

void Bin(const RepFilterTree* tree, List* records, int drop_when) {
  if (tree == nullptr || records == nullptr) return;
  BinCookie cookie{TreeFirstNode(tree), drop_when};
  ListRemoveIf(records, BinDrop, nullptr, &cookie);
}

// One run of RepFilterRecords: the first nodes of the trees in use, the bin, the progress.
struct FilterRun {
  TreeNode* include;
  TreeNode* exclude;
  TreeNode* condition;
  List* bin;
  RepProgressCallback callback;
  void* argument;
  int examined;
};

int DropFromReport(Obj* item, void* cookie) {
  auto* run = static_cast<FilterRun*>(cookie);
  if (run->callback != nullptr && ++run->examined == kRepFilterProgressEvery) {
    run->examined = 0;
    run->callback(run->argument, 0);
  }
  const RepRecord* r = ObjCast<RepRecord>(item);
  if (run->include != nullptr && ApplyNode(run->include, r, 0) == 0) return 1;
  if (run->exclude != nullptr && ApplyNode(run->exclude, r, 0) != 0) return 1;
  if (run->condition != nullptr && ApplyNode(run->condition, r, 0) == 0) return 1;
  return 0;
}

void KeepDropped(Obj* item, void* cookie) {
  ListAddLastItem(static_cast<FilterRun*>(cookie)->bin, item);
}

TreeNode* FirstNodeOf(Obj* tree) { return TreeFirstNode(ObjCast<Tree>(tree)); }

// Builds one of a report's trees into its slot; an absent or empty text leaves the slot alone.
bool BuildReportTree(RepControl* control, const char* text, void (RepControl::*set)(Ref<Obj>)) {
  if (text == nullptr || *text == '\0') return true;
  Ref<RepFilterTree> tree = RepMakeFilterTree(text, control->report_fields());
  if (!tree) return false;
  (control->*set)(std::move(tree));
  return true;
}

// --- walking trees ------------------------------------------------------------------------------

struct InteractiveCookie {
  List* found;
};

int CollectInteractive(TreeNode* node, void* cookie) {
  Obj* item = TreeNodeItem(node);
  if (const RepFilterExpression* e = ObjCast<RepFilterExpression>(item)) {
    const RepFilterConstant* c = e->constant();
    if (c != nullptr && (c->flags() & kRepConstInteractive) != 0)
      return ListAddLastItem(static_cast<InteractiveCookie*>(cookie)->found, item);
  }
  return 1;
}

}  // namespace

// --- operators and words ------------------------------------------------------------------------

const char* RepGetOperatorSymbol(int32_t id) noexcept {
  for (const OperatorRow* r = kOperators; r->id != -1; ++r)
    if (r->id == id) return r->symbol;
  return nullptr;
}

int32_t RepOperatorIdFromSymbol(const char* symbol) noexcept {
  if (symbol == nullptr) return -1;
  for (const OperatorRow* r = kOperators; r->id != -1; ++r)
    if (StrCompareNoCase(symbol, r->symbol) == 0) return r->id;
  return -1;
}

const char* RepGetBoolOpText(int32_t id) noexcept {
  for (const WordRow* r = kWords; r->id != -1; ++r)
    if (r->id == id) return r->word;
  return nullptr;
}

int RepGetAvailOperators(Ref<List>* list) noexcept {
  if (list == nullptr) return 0;
  Ref<List> l = ListNewWithCapacity(6);
  for (const OperatorRow* r = kOperators; r->id != -1; ++r) {
    Ref<RepOperatorInfo> info = RepOperatorInfo::New();
    info->set_id(r->id);
    info->set_symbol(r->symbol);
    info->set_description(LocaleGetString(r->description, r->catalogue_id).c_str());
    ListPushLastItemInternal(l.get(), std::move(info));
  }
  *list = std::move(l);
  return 1;
}

// --- constants ----------------------------------------------------------------------------------

int RepConstantFromText(Ref<RepFilterConstant>* constant, const char* text, void* /*reserved*/,
                        int32_t field_type) noexcept {
  if (constant == nullptr) return 0;
  Ref<RepFilterConstant> c;
  const char* end;
  if (!ReadConstant(&c, &end, text, field_type, false)) return 0;
  *constant = std::move(c);
  return 1;
}

int RepConstantToText(std::string* text, const RepFilterConstant* constant) noexcept {
  if (text == nullptr || constant == nullptr) return 0;
  std::string s;
  if (constant->flags() & kRepConstRegExp) s += LocaleGetStaticString("regexp:", 8232);
  if (constant->flags() & kRepConstInteractive) s += LocaleGetStaticString("interactive:", 8233);
  if (constant->flags() & kRepConstInherit) s += LocaleGetStaticString("inherit:", 8234);
  if (constant->kind() == kRepConstValue) {
    s += '\'';
    if (constant->text() != nullptr) s += constant->text();
    s += '\'';
  } else if (constant->kind() == kRepConstStatus) {
    s += LocaleGetStaticString("status:", 8235);
    s += RepStateToText(constant->state());
  } else {
    TraceMessage(kTag, 70, 0, -1, "Unrecognised constant type %ld",
                 static_cast<long>(constant->kind()));
    return 0;
  }
  *text = std::move(s);
  return 1;
}

// --- component lists ----------------------------------------------------------------------------

int RepFilterToCompList(Ref<List>* list, const char* text) noexcept {
  if (list == nullptr) return 0;
  Ref<List> l = ListNewFromPool();
  if (text == nullptr || *text == '\0') {
    TraceMessage(kTag, 80, 0, 3, "OK empty filter expression");
    *list = std::move(l);
    return 1;
  }
  const char* p = StrSkipWhiteSpaceF(text);
  int32_t word = -1;
  for (;;) {
    Ref<RepFilterComponent> c;
    if (!ReadComponent(&c, &p, p)) {
      TraceMessage(kTag, 81, 0, -1, "Failed to extract filter component");
      return 0;
    }
    c->set_bool_op(word);
    ListPushLastItemInternal(l.get(), std::move(c));
    p = StrSkipWhiteSpaceF(p);
    if (*p == '\0') break;
    word = -1;
    for (const WordRow* r = kWords; r->id != -1; ++r) {
      if (StrCompareRangeNoCase(p, r->word, r->bytes) == 0 &&
          (p[r->bytes] == ' ' || p[r->bytes] == '\0')) {
        word = r->id;
        p = StrSkipWhiteSpaceF(p + r->bytes);
        break;
      }
    }
    if (word < 0) {
      TraceMessage(kTag, 82, 0, -1, "Could not derive booleam op from text starting '%s'", p);
      return 0;
    }
  }
  TraceMessage(kTag, 83, 0, 3, "Finished building filter spec component list");
  *list = std::move(l);
  return 1;
}

int RepFilterToCompListBrutal(Ref<List>* list, const char* text) noexcept {
  if (list == nullptr) return kRepBrutalFailed;
  Ref<List> l = ListNewFromPool();
  const char* p = StrOrEmpty(text);
  while ((p = std::strchr(p, '%')) != nullptr) {
    Ref<RepFilterComponent> c;
    if (!ReadComponent(&c, &p, p)) {
      TraceMessage(kTag, 90, 0, -1, "Cannot convert textual component");
      TraceMessage(kTag, 91, 0, -1,
                   "Failed to get next filter component in brutal component list "
                   "geeneration.");
      return kRepBrutalFailed;
    }
    c->set_bool_op(kRepBoolAnd);
    ListPushLastItemInternal(l.get(), std::move(c));
  }
  *list = std::move(l);
  return 1;
}

int RepFilterFromCompList(std::string* text, const Obj* list) noexcept {
  if (text == nullptr) return 0;
  const List* l = ObjCast<List>(list);
  if (l == nullptr || l->empty()) {
    TraceMessage(kTag, 100, 0, 3, "Empty component list gives empty filter string.");
    text->clear();
    return 1;
  }
  for (size_t i = 0; i < l->size(); ++i) {
    const RepFilterComponent* c = ObjCast<RepFilterComponent>(l->at(i));
    if (c == nullptr) {
      TraceMessage(kTag, 101, 0, -1, "Bad filter component. Unexpected object type '%s'",
                   ObjNameFromObject(l->at(i)));
      return 0;
    }
    if (!IsOperatorId(c->op())) {
      TraceMessage(kTag, 102, 0, -1, "Bad filter operator.");
      return 0;
    }
    if (i > 0 && c->bool_op() != kRepBoolAnd && c->bool_op() != kRepBoolOr) {
      TraceMessage(kTag, 103, 0, -1, "Bad filter boolean operator.");
      return 0;
    }
  }
  std::string s;
  for (size_t i = 0; i < l->size(); ++i) {
    const RepFilterComponent* c = ObjCast<RepFilterComponent>(l->at(i));
    if (i > 0) {
      s += ' ';
      s += RepGetBoolOpText(c->bool_op());
      s += ' ';
    }
    s += '%';
    if (c->field_name() != nullptr) s += c->field_name();
    s += ' ';
    s += RepGetOperatorSymbol(c->op());
    s += ' ';
    if (c->constant() != nullptr) s += c->constant();
  }
  TraceMessage(kTag, 104, 0, 3, "Final filter string is '%s'", s.c_str());
  *text = std::move(s);
  return 1;
}

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
          RepConstantToText(&constant, e->constant()) == 0) {
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

// --- evaluation ---------------------------------------------------------------------------------

int RepApplyFilterNodeToRecord(TreeNode* node, const RepRecord* record) noexcept {
  return ApplyNode(node, record, 0);
}

int RepFilterCatchesRecord(const RepRecord* record, const RepFilterTree* tree) noexcept {
  return ApplyNode(TreeFirstNode(tree), record, 0);
}

void RepApplyFilterBinNonMatching(const RepFilterTree* tree, List* records) noexcept {
  Bin(tree, records, 0);
}

void RepApplyFilterBinMatching(const RepFilterTree* tree, List* records) noexcept {
  Bin(tree, records, 1);
}

// --- filters of a report ------------------------------------------------------------------------

int RepFilterRecord(const RepRecord* record, const RepControl* control) noexcept {
  if (control == nullptr) return 0;
  TreeNode* include = FirstNodeOf(control->include_tree());
  if (include != nullptr && ApplyNode(include, record, 0) == 0) return 0;
  TreeNode* exclude = FirstNodeOf(control->exclude_tree());
  if (exclude != nullptr && ApplyNode(exclude, record, 0) != 0) return 0;
  return 1;
}

int RepBuildFilterSpec(RepControl* control) noexcept {
  if (control == nullptr) return 0;
  const RepParams* params = control->params();
  if (params == nullptr) return 0;
  // Every filter is tried, so that each bad one is traced.
  bool ok = BuildReportTree(control, RepParamsGetInclude(params), &RepControl::set_include_tree);
  ok = BuildReportTree(control, RepParamsGetExclude(params), &RepControl::set_exclude_tree) && ok;
  ok = BuildReportTree(control, RepParamsGetCondition(params), &RepControl::set_condition_tree) &&
       ok;
  return ok ? 1 : 0;
}

void RepFilterRecords(RepControl* control, int use_condition, int keep_filtered,
                      RepProgressCallback callback, void* argument) noexcept {
  if (control == nullptr || control->table() == nullptr) return;
  List* records = control->table()->records();
  if (records == nullptr) return;
  FilterRun run{FirstNodeOf(control->include_tree()),
                FirstNodeOf(control->exclude_tree()),
                use_condition == 1 ? FirstNodeOf(control->condition_tree()) : nullptr,
                nullptr,
                callback,
                argument,
                0};
  if (run.include != nullptr || run.exclude != nullptr || run.condition != nullptr) {
    if (keep_filtered == 1) {
      // Room for every record up front: growing a large list copies it and touches fresh
      // pages each time, which cost more than the filtering itself. Pages never written are
      // never touched, so the unused room costs next to nothing.
      control->set_filtered_out(ListNewWithCapacity(records->size()));
      run.bin = control->filtered_out();
    }
    // One stable pass: kept records close up behind the dropped ones.
    ListRemoveIf(records, DropFromReport, run.bin != nullptr ? KeepDropped : nullptr, &run);
  }
  List* bin = control->filtered_out();
  TraceMessage(kTag, 160, 0, 2, "RepFilterRecords: %ld filtered records kept",
               static_cast<long>(bin != nullptr ? bin->size() : 0));
}

// --- what a filter refers to --------------------------------------------------------------------

int RepFindInteractiveExpressions(Ref<List>* list, const char* text,
                                  const RepFieldList* fields) noexcept {
  if (list == nullptr) return 0;
  Ref<List> found = ListNewFromPool();
  if (text == nullptr || *text == '\0') {
    TraceMessage(kTag, 140, 0, 3, "Empty fiter, so return success and no interactive expressions");
    *list = std::move(found);
    return 1;
  }
  Ref<RepFilterTree> tree = RepMakeFilterTree(text, fields);
  if (!tree) {
    TraceMessage(kTag, 141, 0, -1, "Cannot make filter tree for finding interactiveexpressions");
    return 0;
  }
  InteractiveCookie cookie{found.get()};
  if (TreeWalk(tree.get(), CollectInteractive, &cookie) == 0) {
    TraceMessage(kTag, 142, 0, -1, "Failed to walk tree when finding interactive expressions");
    return 0;
  }
  *list = std::move(found);
  return 1;
}

int RepGetFieldsInFilter(Ref<List>* list, const RepFieldList* fields, const char* text) noexcept {
  if (list == nullptr) return 0;
  Ref<List> found = ListNewFromPool();
  if (text == nullptr || *text == '\0') {
    TraceMessage(kTag, 150, 0, 3, "Success. Empty filter spec with no fields");
    *list = std::move(found);
    return 1;
  }
  // Trailing white space (a line end from a template) is not part of the last constant, as
  // for the filter parser.
  std::string body(text);
  while (!body.empty() && StrIsWhiteSpaceByte(static_cast<unsigned char>(body.back())))
    body.pop_back();
  Ref<RepFilterExpression> scratch = RepFilterExpression::New();
  const char* p = body.c_str();
  while ((p = std::strchr(p, '%')) != nullptr) {
    const char* constant_start;
    const char* end;
    if (!ReadExpression(scratch.get(), &constant_start, &end, p, fields)) {
      TraceMessage(kTag, 151, 0, -1, "Cannot convert textual expression");
      TraceMessage(kTag, 152, 0, -1, "Failed when listing fields in filter '%s'", text);
      return 0;
    }
    ListAddLastItem(found.get(),
                    ListGetNthItem(fields, static_cast<size_t>(scratch->field_index()) + 1));
    p = constant_start;
  }
  TraceMessage(kTag, 153, 0, 3, "Succesfully found %ld fields in filter spec",
               static_cast<long>(found->size()));
  *list = std::move(found);
  return 1;
}
