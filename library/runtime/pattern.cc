// Patterns: regular expressions compiled under a fixed locale, the cost guard and the literal
// shortcut.

#include "kr/pattern.h"

#include <locale.h>
#include <regex.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "kr/text.h"
#include "object_internal.h"

namespace {

// The locale patterns are compiled and matched under, whatever the program has set, so that
// every process matches alike. Null when the system lacks it (the current locale is used then).
locale_t PatternLocale() {
  static const locale_t loc = [] {
    locale_t l = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (l == static_cast<locale_t>(0))
      l = newlocale(LC_ALL_MASK, "C.utf8", static_cast<locale_t>(0));
    return l;
  }();
  return loc;
}

class ScopedPatternLocale {
 public:
  ScopedPatternLocale() {
    locale_t l = PatternLocale();
    if (l != static_cast<locale_t>(0)) previous_ = uselocale(l);
  }
  ~ScopedPatternLocale() {
    if (previous_ != static_cast<locale_t>(0)) uselocale(previous_);
  }
  ScopedPatternLocale(const ScopedPatternLocale&) = delete;
  ScopedPatternLocale& operator=(const ScopedPatternLocale&) = delete;

 private:
  locale_t previous_ = static_cast<locale_t>(0);
};

// What a pattern's data field holds: the compiled expression and, for a simplified pattern
// with no wildcard whose text is all ASCII, that text, so that most texts need no regexec.
// `magic` tells a compiled pattern from any other data field.
struct CompiledPattern {
  uint32_t magic;
  uint32_t literal_bytes;
  int32_t literal;  // 1 when `text` may be compared directly
  regex_t re;
  char text[1];
};
constexpr uint32_t kCompiledPatternMagic = 0x4b525054;

// The runtime's data-field objects, viewed directly.
struct DataFieldView : ObjView<DataFieldView> {
  static constexpr uint32_t kTypeCode = kObjDataFieldType;
  static constexpr const char kSpec[] = "r;";
  static constexpr const char kName[] = "DataField";
};

void FreeCompiledPattern(void* bytes) { regfree(&static_cast<CompiledPattern*>(bytes)->re); }

bool IsAscii(const char* s, size_t* bytes) {
  const char* p = s;
  for (; *p != '\0'; ++p)
    if (static_cast<unsigned char>(*p) >= 0x80) return false;
  *bytes = static_cast<size_t>(p - s);
  return true;
}

inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// The literal shortcut. The anchored, escaped expression built from a pattern with no wildcard
// matches exactly the texts equal to the pattern ignoring case, and when both texts are ASCII
// that is equality after folding ASCII letters, which is what is done here. Any other text (a
// byte of 0x80 or above, where the locale's case folding is more than ASCII's, such as the
// Kelvin sign folding to 'k') goes to regexec, so both ways always give the same answer.
// -1 when the shortcut does not apply.
// `text` is kept with its ASCII letters folded to lower case.
int LiteralMatch(const CompiledPattern* cp, const char* s) {
  if (cp->literal == 0) return -1;
  const char* t = cp->text;
  size_t n = cp->literal_bytes;
  size_t i = 0;
  for (; i < n; ++i) {
    char c = s[i];
    if (c == '\0') return 0;
    if (static_cast<unsigned char>(c) >= 0x80) return -1;
    if (AsciiLower(c) != t[i]) {
      // Decide on the rest only if it is ASCII; else regexec.
      for (const char* r = s + i; *r != '\0'; ++r)
        if (static_cast<unsigned char>(*r) >= 0x80) return -1;
      return 0;
    }
  }
  if (s[n] == '\0') return 1;
  for (const char* r = s + n; *r != '\0'; ++r)
    if (static_cast<unsigned char>(*r) >= 0x80) return -1;
  return 0;
}

// Whether compiling a regular expression would cost out of all proportion to its length. Three
// costs of the C library's compiler are worked out here, cheaply and from above:
//  - it copies the operand of '+' once and that of an interval {m,n} up to n times, so nested
//    repetitions ("a+++...", "((a{1,99}){1,99}){1,99}") grow exponentially;
//  - it works out for every node the nodes reachable from it without reading a character, in
//    memory and time that grow with the square of the number of repetitions, options and
//    alternatives ("(a*|a*|...)*" of 4 KB takes 160 MB);
//  - a repetition of something that can match the empty text, repeated again ("g?????+++++",
//    "(a?b?...)+++"), takes time exponential in how deep such repetitions nest: a 14-byte
//    pattern ran for seconds.
// A pattern whose tree would be many times its own length, with more empty moves than a small
// fixed number, with such repetitions nested more than twice, or that refers back to a group
// (exponential matching), is refused as if it did not compile. Stacked repetition marks
// ("a**", "a+?") are undefined in extended expressions anyway.
// The costs above, worked out over the pattern one character at a time: a stack of groups,
// each with its size so far and its last atom (which a following quantifier applies to).
class RegExpCost {
 public:
  explicit RegExpCost(size_t length)
      : node_limit_(std::max<double>(20000.0, 4.0 * static_cast<double>(length))) {
    frames_.back().last.nullable = true;
  }

  // Reads the element at `p` and answers where it ends (its last character); sets `*refused`
  // for an element that is refused outright (a back reference).
  const char* Read(const char* p, bool* refused) {
    switch (*p) {
      case '\\':
        if (p[1] >= '1' && p[1] <= '9') *refused = true;  // a back reference
        if (p[1] != '\0') ++p;
        Atom(kChar);
        return p;
      case '[':
        p = BracketEnd(p);
        Atom(kChar);
        return p;
      case '(':
        frames_.emplace_back();
        frames_.back().last.nullable = true;  // nothing yet: the empty text
        return p;
      case ')':
        CloseGroup();
        return p;
      case '|':
        Alternative();
        return p;
      case '*':
      case '?':
        Repeat(1, 0, true);
        return p;
      case '+':
        Repeat(2, 0, false);
        return p;
      case '{':
        return Interval(p);
      default:
        Atom(kChar);
        return p;
    }
  }

  // Only the innermost group grows on each step; an outer one grows when that group closes,
  // and a group is never smaller than what it holds, so checking the innermost one is enough.
  bool OverLimits() const {
    const Frame& f = frames_.back();
    return f.total.nodes > node_limit_ || f.last.nodes > node_limit_ ||
           f.total.empty_moves > kEmptyMoveLimit || f.last.empty_moves > kEmptyMoveLimit ||
           f.total.nullable_depth > kNullableDepthLimit;
  }

 private:
  struct Count {
    double nodes = 0;
    double empty_moves = 0;  // repetitions, options and alternatives
    int nullable_depth = 0;  // repetitions of empty-matching operands nested in one another
    bool nullable = false;   // can match the empty text
    void Add(const Count& o) {
      nodes += o.nodes;
      empty_moves += o.empty_moves;
      nullable_depth = std::max(nullable_depth, o.nullable_depth);
    }
  };
  struct Frame {
    Count total;                              // the group so far
    Count last;                               // the last atom, which a quantifier applies to
    bool branch_nullable_before_last = true;  // the current alternative, without the last atom
    bool some_branch_nullable = false;        // of the alternatives already closed by '|'
    bool BranchNullable() const { return branch_nullable_before_last && last.nullable; }
  };
  static constexpr Count kChar{1, 0, 0, false};
  // A few MB and a few milliseconds at worst, far beyond what a filter needs.
  static constexpr double kEmptyMoveLimit = 250.0;
  static constexpr int kNullableDepthLimit = 2;

  void Atom(Count size) {
    Frame& f = frames_.back();
    f.branch_nullable_before_last = f.BranchNullable();
    f.total.Add(size);
    f.last = size;
  }

  // The last atom repeated: `copies` copies of it, `optional` of them optional, one node (and
  // empty move) for the repetition itself; `may_be_empty` when the repetition allows none.
  void Repeat(double copies, double optional, bool may_be_empty) {
    Frame& f = frames_.back();
    const Count one = f.last;
    Count extra;
    extra.nodes = one.nodes * (copies - 1) + 1;
    extra.empty_moves = one.empty_moves * (copies - 1) + optional + 1;
    extra.nullable_depth = one.nullable_depth + (one.nullable ? 1 : 0);
    f.total.Add(extra);
    f.last.nodes = one.nodes * copies + 1;
    f.last.empty_moves = one.empty_moves * copies + optional + 1;
    f.last.nullable_depth = extra.nullable_depth;
    f.last.nullable = one.nullable || may_be_empty;
  }

  // The end of the bracket expression opening at `p`, classes such as [:alpha:] included.
  static const char* BracketEnd(const char* p) {
    const char* q = p + 1;
    if (*q == '^') ++q;
    if (*q == ']') ++q;
    while (*q != '\0' && *q != ']') {
      if (*q == '[' && (q[1] == ':' || q[1] == '.' || q[1] == '=')) {
        const char* close = std::strchr(q + 2, q[1]);
        q = (close != nullptr && close[1] == ']') ? close + 2 : q + 1;
      } else {
        ++q;
      }
    }
    return *q == '\0' ? q - 1 : q;
  }

  void CloseGroup() {
    if (frames_.size() == 1) {
      Atom(kChar);
      return;
    }
    Count size = frames_.back().total;
    size.nodes += 1;
    size.nullable = frames_.back().some_branch_nullable || frames_.back().BranchNullable();
    frames_.pop_back();
    Atom(size);
  }

  void Alternative() {
    Frame& f = frames_.back();
    f.some_branch_nullable = f.some_branch_nullable || f.BranchNullable();
    f.total.Add(Count{1, 1, 0, false});
    f.last = Count{0, 0, 0, true};
    f.branch_nullable_before_last = true;
  }

  // An interval {m}, {m,} or {m,n} at `p`; anything else there is a plain character.
  const char* Interval(const char* p) {
    const char* q = p + 1;
    double low = 0, high = 0;
    bool digits = false;
    while (*q >= '0' && *q <= '9') low = low * 10 + (*q++ - '0'), digits = true;
    high = low;
    if (*q == ',') {
      ++q;
      high = low + 1;  // an open interval copies its operand once more
      if (*q >= '0' && *q <= '9') {
        high = 0;
        while (*q >= '0' && *q <= '9') high = high * 10 + (*q++ - '0');
      }
    }
    if (!digits || *q != '}') {
      Atom(kChar);  // not an interval: a plain character (or an error for the compiler)
      return p;
    }
    const double copies = std::max(std::max(low, high), 1.0);
    Repeat(copies, std::max(high - low, 0.0), low == 0);
    return q;
  }

  std::vector<Frame> frames_ = std::vector<Frame>(1);
  const double node_limit_;
};

bool RegExpTooCostly(const char* pattern) {
  RegExpCost cost(std::strlen(pattern));
  for (const char* p = pattern; *p != '\0'; ++p) {
    bool refused = false;
    p = cost.Read(p, &refused);
    if (refused || cost.OverLimits()) return true;
  }
  return false;
}

// Compiles `expression` into a new data field; `literal`, when not null, is an ASCII text the
// expression matches exactly, ignoring case, and nothing else.
int Compile(Ref<Obj>* pattern, const char* expression, const char* literal, size_t literal_bytes) {
  if (RegExpTooCostly(expression)) return kPatternTooCostly;
  Ref<Obj> field;
  if (ObjDataFieldCreate(&field, nullptr, sizeof(CompiledPattern) + literal_bytes) == 0)
    return kPatternBad;
  auto* cp = static_cast<CompiledPattern*>(ObjDataFieldGet(field.get(), nullptr));
  int rc;
  {
    ScopedPatternLocale in_locale;
    rc = regcomp(&cp->re, expression, REG_EXTENDED | REG_ICASE | REG_NOSUB);
  }
  if (rc != 0) return kPatternBad;
  cp->magic = kCompiledPatternMagic;
  ObjDataFieldSetFinalizer(field.get(), FreeCompiledPattern);
  if (literal != nullptr) {
    cp->literal = 1;
    cp->literal_bytes = static_cast<uint32_t>(literal_bytes);
    for (size_t i = 0; i <= literal_bytes; ++i) cp->text[i] = AsciiLower(literal[i]);
  }
  *pattern = std::move(field);
  return kPatternCompiled;
}

}  // namespace

int PatternCompile(Ref<Obj>* pattern, const char* expression) noexcept {
  if (pattern == nullptr || expression == nullptr) return kPatternBad;
  return Compile(pattern, expression, nullptr, 0);
}

int PatternCompileSimplified(Ref<Obj>* pattern, std::string* expression,
                             const char* text) noexcept {
  if (expression != nullptr) expression->clear();
  if (pattern == nullptr || expression == nullptr || text == nullptr) return kPatternBad;
  if (StrBuildRegExpLiteral(expression, text, 1) == 0) return kPatternBad;
  size_t literal_bytes = 0;
  const bool literal = std::strpbrk(text, "*?") == nullptr && IsAscii(text, &literal_bytes);
  return Compile(pattern, expression->c_str(), literal ? text : nullptr, literal_bytes);
}

int PatternMatch(const Obj* pattern, const char* text) noexcept {
  if (text == nullptr) return 0;
  // The data field's block is read here directly: this runs once per record filtered.
  const DataFieldView* field = ObjCast<DataFieldView>(pattern);
  if (field == nullptr || field->cells()[0].p == nullptr) return 0;
  const auto* block = static_cast<const kr_internal::RawBlock*>(field->cells()[0].p);
  const auto* cp = reinterpret_cast<const CompiledPattern*>(block->data);
  if (block->size < sizeof(CompiledPattern) || cp->magic != kCompiledPatternMagic) return 0;
  int literal = LiteralMatch(cp, text);
  if (literal >= 0) return literal;
  ScopedPatternLocale in_locale;
  return regexec(&cp->re, text, 0, nullptr, 0) == 0 ? 1 : 0;
}
