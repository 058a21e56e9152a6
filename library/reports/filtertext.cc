// The filter text: the operator and word tables, reading constants, components and expressions,
// component lists, and finding what a filter refers to. The parser builds on its readers, and the
// front ends' component lists need no tree, so it is its own file.

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

// The readers of the filter text; filter_internal.h declares those the parser uses.
namespace kr_internal::filter {

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
        if (RepStateTextToState(&state, p) == kRepFailed) return false;
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
  if (RepEncodeData(&encoded, value.c_str(), field_type) == kRepFailed) {
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
bool CheckConstantText(const char* start, const ConstantSpan& span, const char** fault) {
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

// Reads an expression at `p` ('%') against the field list into `e`. `*constant_start` is where
// its constant begins and `*end` just after the constant; on a refusal `*fault` (when given) is
// where the expression goes wrong.
bool ReadExpression(RepFilterExpression* e, const char** constant_start, const char** end,
                    const char* p, const RepFieldList* fields, const char** fault) {
  const char* unused;
  if (fault == nullptr) fault = &unused;
  *fault = p;
  int32_t index = 0, type = 0;
  if (*p != '%' || RepGetFieldIndexAndType(&index, &type, p, fields) == kRepFailed) {
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

}  // namespace kr_internal::filter

using kr_internal::filter::CollectInteractive;
using kr_internal::filter::InteractiveCookie;
using kr_internal::filter::IsOperatorId;
using kr_internal::filter::kOperators;
using kr_internal::filter::kTag;
using kr_internal::filter::kWords;
using kr_internal::filter::OperatorRow;
using kr_internal::filter::ReadComponent;
using kr_internal::filter::ReadConstant;
using kr_internal::filter::ReadExpression;
using kr_internal::filter::WordRow;

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
