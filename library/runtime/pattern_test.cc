#include "kr/pattern.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <regex.h>

#include <string>
#include <vector>

#include "kr/text.h"

namespace {

// 1 or 0 for a pattern that compiles, -1 when it does not.
int Simplified(const char* pattern, const char* text) {
  Ref<Obj> p;
  std::string expression;
  if (PatternCompileSimplified(&p, &expression, pattern) != kPatternCompiled) return -1;
  return PatternMatch(p.get(), text);
}

int Extended(const char* expression, const char* text) {
  Ref<Obj> p;
  if (PatternCompile(&p, expression) != kPatternCompiled) return -1;
  return PatternMatch(p.get(), text);
}

TEST(Pattern, SimplifiedMatchesTheWholeTextIgnoringCase) {
  struct {
    const char* pattern;
    const char* text;
    int matches;
  } cases[] = {
      {"backup*", "BACKUP-daily", 1},
      {"*DAILY*", "backup-daily.1", 1},
      {"backup", "backup-daily", 0},  // the whole text must match
      {"a.b", "axb", 0},              // '.' and the other special characters are literal
      {"[x]+{1}", "[X]+{1}", 1},
      {"caf?", "caf\xc3\xa9", 1},  // '?' is one character, a multibyte one included
      {"caf??", "caf\xc3\xa9", 0},
      {"", "", 1},
      {"", "x", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Simplified(c.pattern, c.text), c.matches) << c.pattern << " / " << c.text;
  Ref<Obj> p;
  std::string expression = "old";
  EXPECT_EQ(PatternCompileSimplified(&p, &expression, "a*b?"), kPatternCompiled);
  EXPECT_EQ(expression, "^a.*b.$");
  EXPECT_EQ(PatternCompileSimplified(&p, &expression, nullptr), kPatternBad);
  EXPECT_EQ(expression, "");
}

TEST(Pattern, ExtendedMatchesAnywhereAndRefusalsLeaveNothing) {
  EXPECT_EQ(Extended("daily", "Backup-Daily.1"), 1);
  EXPECT_EQ(Extended("^daily", "Backup-Daily.1"), 0);
  EXPECT_EQ(Extended("^.{4}$", "caf\xc3\xa9"), 1);
  Ref<Obj> p;
  EXPECT_EQ(PatternCompile(&p, "a["), kPatternBad);
  EXPECT_EQ(PatternCompile(&p, nullptr), kPatternBad);
  EXPECT_EQ(p, nullptr);
  // Anything but a compiled pattern, and a null text, match nothing.
  Ref<Obj> other;
  ASSERT_EQ(ObjDataFieldCreate(&other, "x", 1), 1);
  EXPECT_EQ(PatternMatch(other.get(), "x"), 0);
  EXPECT_EQ(PatternMatch(nullptr, "x"), 0);
  ASSERT_EQ(PatternCompile(&p, ".*"), kPatternCompiled);
  EXPECT_EQ(PatternMatch(p.get(), nullptr), 0);
}

// Expressions whose compiled form would grow exponentially, or whose matching would, are refused
// before compiling; ordinary repetitions are not.
TEST(Pattern, CostlyExpressionsAreRefused) {
  auto alternatives = [](int n) {
    std::string s = "(a*";
    for (int i = 1; i < n; ++i) s += "|a*";
    return s + ")*1";
  };
  std::string stars;
  for (int i = 0; i < 200; ++i) stars += "a*";
  const struct {
    std::string expression;
    int result;
  } cases[] = {
      {"a" + std::string(60, '+'), kPatternTooCostly},
      {"((a{1,99}){1,99}){1,99}", kPatternTooCostly},
      {"(a)\\1", kPatternTooCostly},  // a back reference
      // Few nodes, but thousands of empty moves, each reaching the others: hundreds of MB.
      {"a+++++++1+++++++++++", kPatternTooCostly},
      {alternatives(600), kPatternTooCostly},
      // Repetitions of what can match the empty text, nested: seconds for a few bytes.
      {"g????????+++++", kPatternTooCostly},
      {"(a?b?c?d?e?f?g?h?)+++", kPatternTooCostly},
      {"(a*|b)*1", kPatternCompiled},
      {"((a?){0,10}){0,10}1", kPatternCompiled},
      {"^(a|b)+[[:digit:]]{4}$", kPatternCompiled},
      {"^((a)+){1,3}1", kPatternCompiled},
      {"^a+[0-9]{1,100}$", kPatternCompiled},
      {"^[]a]{4}[0-9]+$", kPatternCompiled},
      {alternatives(100), kPatternCompiled},
      {"^" + stars + "1", kPatternCompiled},
  };
  for (const auto& c : cases) {
    Ref<Obj> p;
    ASSERT_EQ(PatternCompile(&p, c.expression.c_str()), c.result) << c.expression;
    // Every one of them would match this text: the refused ones were not just slow to compile.
    if (c.result == kPatternCompiled) {
      EXPECT_EQ(PatternMatch(p.get(), "aaaa1234"), 1) << c.expression;
    }
  }
}

// The literal shortcut must agree with the regular expression engine on every text.
TEST(Pattern, LiteralShortcutAgreesWithRegexec) {
  locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0));
  ASSERT_NE(utf8, static_cast<locale_t>(0));
  // clang-format off
  const char* patterns[] = {"ok", "OK", "a.b", "x+y", "[a]", "{1}", "a|b", "^$", "back\\slash", "",
                            "tab\there", "K", "s", "ss", "i"};
  const char* subjects[] = {"ok", "Ok", "oK ", "a.b", "axb", "x+y", "xxy", "[A]", "{1}", "A|B",
                            "^$", "back\\slash", "", "\xe2\x84\xaa" /* Kelvin sign */,
                            "\xc5\xbf" /* long s */, "TAB\tHERE", "k", "S", "\xc3\x9f", "I",
                            "\xc4\xb0", "ok\n"};
  // clang-format on
  for (const char* p : patterns) {
    Ref<Obj> compiled;
    std::string re;
    ASSERT_EQ(PatternCompileSimplified(&compiled, &re, p), kPatternCompiled) << p;
    regex_t plain;
    locale_t old = uselocale(utf8);
    ASSERT_EQ(regcomp(&plain, re.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB), 0);
    for (const char* s : subjects) {
      int expected = regexec(&plain, s, 0, nullptr, 0) == 0 ? 1 : 0;
      uselocale(old);
      EXPECT_EQ(PatternMatch(compiled.get(), s), expected)
          << "pattern '" << p << "' subject '" << s << "'";
      uselocale(utf8);
    }
    regfree(&plain);
    uselocale(old);
  }
  freelocale(utf8);
}

// The program's own locale does not change what a pattern matches.
TEST(Pattern, ProgramLocaleDoesNotMatter) {
  std::vector<int> in_c, in_utf8;
  for (const char* locale : {"C", "C.UTF-8"}) {
    ASSERT_NE(setlocale(LC_ALL, locale), nullptr);
    std::vector<int>& out = locale[1] == '\0' ? in_c : in_utf8;
    out.push_back(Simplified("caf?", "caf\xc3\xa9"));
    out.push_back(Simplified("CAF\xc3\x89", "caf\xc3\xa9"));
    out.push_back(Extended("^.{4}$", "caf\xc3\xa9"));
  }
  setlocale(LC_ALL, "C");
  EXPECT_EQ(in_c, in_utf8);
  EXPECT_EQ(in_c, (std::vector<int>{1, 1, 1}));
}

}  // namespace
