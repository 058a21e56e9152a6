#include "kr/text.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <regex.h>

#include <climits>
#include <cstring>
#include <memory>
#include <random>
#include <string>

namespace {

TEST(TextWalk, DecodesWellFormedAndStrayBytes) {
  // "aé€😀": characters of one, two, three and four bytes.
  const char* mixed = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const char* p = mixed;
  for (uint32_t want : {0x61u, 0xE9u, 0x20ACu, 0x1F600u}) EXPECT_EQ(StrGetChar(&p), want);
  EXPECT_EQ(StrGetChar(&p), 0u);  // at the end: 0, and no further
  EXPECT_EQ(p, mixed + 10);
  EXPECT_EQ(StrAdvanceChars(mixed, 99), mixed + 10);

  // Truncated, overlong, surrogate, too large, stray: one character per byte.
  for (const char* bad : {"\xC3", "\xE2\x82", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\x80\xBF", "\xFF\xFE"})
    EXPECT_EQ(StrCharCount(bad), std::strlen(bad)) << bad;
  EXPECT_EQ(StrGetCharAtPointer("\xC0\xAF"), kStrRawByteBase + 0xC0);
}

TEST(TextWalk, NeverReadsPastTheTerminator) {
  // Continuation bytes lie after the NUL: a decoder that ignored the NUL would swallow them.
  const char buf[] = {'\xE2', '\0', '\x82', '\xAC', '\0'};
  EXPECT_EQ(StrCharCount(buf), 1u);
  EXPECT_EQ(StrNextChar(buf), buf + 1);
  EXPECT_EQ(StrAdvanceChars(buf, 5), buf + 1);
  EXPECT_EQ(StrGetTokenCharCount(buf), 1);
}

// Random byte soup, biased towards UTF-8 lead and continuation bytes, in heap blocks of exactly
// the text's size (so a sanitizer build sees any read past the NUL): the walkers must agree with
// each other, and walking plus re-appending must reproduce the bytes.
TEST(TextWalk, RandomBytesWalkConsistently) {
  std::mt19937 rng(20261205);
  const unsigned char alphabet[] = {'a',  '%',  0x80, 0x8F, 0x90, 0xA0, 0xBF, 0xC2, 0xC3,
                                    0xDF, 0xE0, 0xE2, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  for (int round = 0; round < 2000; ++round) {
    const size_t len = rng() % 12;
    auto text = std::make_unique<char[]>(len + 1);
    for (size_t i = 0; i < len; ++i) text[i] = static_cast<char>(alphabet[rng() % sizeof alphabet]);
    text[len] = '\0';
    const char* s = text.get();

    DString copy;
    size_t chars = 0;
    for (const char* p = s; *p != '\0'; ++chars) {
      const char* before = p;
      const uint32_t c = StrGetChar(&p);
      ASSERT_EQ(c, StrGetCharAtPointer(before));
      ASSERT_EQ(p, StrNextChar(before));
      const char* first = s;  // the first character equal to c
      while (StrGetCharAtPointer(first) != c) first = StrNextChar(first);
      ASSERT_EQ(StrNextCharMatch(s, c), first);
      ASSERT_EQ(DStringAppendChar(&copy, c), 1);
    }
    ASSERT_EQ(copy.text, std::string(s, len));
    ASSERT_EQ(StrCharCount(s), chars);
  }
}

TEST(TextToken, FieldNamesEndAtPunctuationAndBlanks) {
  EXPECT_EQ(StrGetTokenCharCount("size::12"), 4);
  EXPECT_EQ(StrGetTokenCharCount("size-"), 4);
  EXPECT_EQ(StrGetTokenCharCount("ID%%"), 2);
  EXPECT_EQ(StrGetTokenCharCount("job_id > 3"), 6);
  EXPECT_EQ(StrGetTokenCharCount("a.b,c"), 1);
  // "größe=1": five characters, seven bytes.
  const char* name = "gr\u00f6\u00dfe=1";
  EXPECT_EQ(StrGetTokenCharCount(name), 5);
  EXPECT_EQ(StrSkipTokenF(name), name + 7);
  EXPECT_STREQ(StrSkipWhiteSpaceF(" \t\r\n\v\fx y"), "x y");
}

TEST(TextCompare, CaseBlindWholeAndRanged) {
  EXPECT_LT(StrCompareNoCase("abc", "ABD"), 0);
  EXPECT_LT(StrCompareNoCase(nullptr, ""), 0);
  EXPECT_EQ(StrCompareNoCase(nullptr, nullptr), 0);
  EXPECT_GT(StrCompareNoCase("\xC3\xA9", "z"), 0);         // bytes compare unsigned
  EXPECT_NE(StrCompareNoCase("\xC3\x89", "\xC3\xA9"), 0);  // É and é: ASCII folding only
  EXPECT_GT(StrCompareNoCase("A", "_"), 0);                // folded to lower, as strcasecmp

  EXPECT_EQ(StrCompareRangeNoCase("SIZEX", "sizey", 4), 0);
  EXPECT_LT(StrCompareRangeNoCase("SIZEX", "sizey", 5), 0);
  EXPECT_EQ(StrCompareRangeNoCase("\xC3\xA9\xC3\xA9x", "\xC3\xA9\xC3\xA9y", 2), 0);

  EXPECT_EQ(StrCompareRangeExactNoCase("size::12", 4, "SIZE"), 0);
  EXPECT_NE(StrCompareRangeExactNoCase("size::12", 4, "sizes"), 0);
  EXPECT_NE(StrCompareRangeExactNoCase("siz", 4, "siz"), 0);
  EXPECT_EQ(StrCompareRangeExactNoCase("gr\u00f6\u00dfe > 1", 5, "GR\u00f6\u00dfE"), 0);

  char text[] = "Job_ID \xC3\x89t\xC3\xA9";
  StrConvertToLower(text);
  EXPECT_STREQ(text, "job_id \xC3\x89t\xC3\xA9");
}

TEST(TextInteger, AcceptsOnlyWholeDecimalTextsInRange) {
  int32_t v = 0;
  EXPECT_EQ(StrToInteger(&v, "-2147483648"), 1);
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_EQ(StrToInteger(&v, "+007"), 1);
  EXPECT_EQ(v, 7);
  for (const char* bad : {"2147483648", "-2147483649", "99999999999999999999", "", "-", "+", " 1",
                          "1 ", "12a", "0x10", "--1"}) {
    EXPECT_EQ(StrToInteger(&v, bad), 0) << bad;
    EXPECT_EQ(v, 7) << bad;
  }
  int64_t w = 0;
  EXPECT_EQ(StrToInt64(&w, "-9223372036854775808"), 1);
  EXPECT_EQ(w, INT64_MIN);
  EXPECT_EQ(StrToInt64(&w, "9223372036854775808"), 0);
  EXPECT_EQ(StrFromInteger(INT64_MIN), "-9223372036854775808");
}

// Whether a simplified pattern, converted and anchored, matches a text the way the string
// filters run it: extended, case-blind, no sub-matches, under a UTF-8 locale.
bool PatternMatches(const char* pattern, const char* text) {
  std::string re;
  EXPECT_EQ(StrBuildRegExpLiteral(&re, pattern, 1), 1);
  locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", nullptr);
  locale_t prev = uselocale(utf8);
  regex_t compiled;
  bool matched = false;
  const int rc = regcomp(&compiled, re.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB);
  EXPECT_EQ(rc, 0) << re;
  if (rc == 0) {
    matched = regexec(&compiled, text, 0, nullptr, 0) == 0;
    regfree(&compiled);
  }
  uselocale(prev);
  if (utf8 != nullptr) freelocale(utf8);
  return matched;
}

TEST(TextRegExpLiteral, WildcardsAndEscapes) {
  std::string re;
  EXPECT_EQ(StrBuildRegExpLiteral(&re, "a*b?c", 1), 1);
  EXPECT_EQ(re, "^a.*b.c$");
  EXPECT_EQ(StrBuildRegExpLiteral(&re, "a***b", 0), 1);
  EXPECT_EQ(re, "a.*b");

  const char* specials = "a.b[c]d\\e(f)g+h{2}i|j^k$l";
  EXPECT_TRUE(PatternMatches(specials, specials));
  EXPECT_TRUE(PatternMatches(specials, "A.B[C]D\\E(F)G+H{2}I|J^K$L"));
  EXPECT_FALSE(PatternMatches(specials, "aXb[c]d\\e(f)g+h{2}i|j^k$l"));
  EXPECT_FALSE(PatternMatches("[ab]", "a"));

  EXPECT_TRUE(PatternMatches("*.log", "backup.LOG"));
  EXPECT_FALSE(PatternMatches("*.log", "backup.log.old"));
  // '?' stands for one whole character; a multibyte pattern character is copied whole.
  EXPECT_TRUE(PatternMatches("gr??e", "gr\u00f6\u00dfe"));
  EXPECT_FALSE(PatternMatches("gr?e", "gr\u00f6\u00dfe"));
  EXPECT_TRUE(PatternMatches("\xE2\x82\xAC*", "\u20ac100"));
}

TEST(TextDString, AppendsMeasuresAndCuts) {
  DString ds;
  DStringAppend(&ds, "ab");
  DStringAppendN(&ds, "cdef", 2);
  DStringAppendChar(&ds, 0x20AC);
  DStringAppendRepeat(&ds, ' ', 2);
  DStringAppendFormat(&ds, "%d-%s", 42, "x");
  EXPECT_STREQ(DStringValue(&ds), "abcd\xE2\x82\xAC  42-x");
  EXPECT_EQ(DStringLength(&ds), 13u);
  EXPECT_EQ(DStringCharCount(&ds), 11u);
  for (uint32_t bad : {0u, 0xD800u, 0xDC41u, 0x110000u}) EXPECT_EQ(DStringAppendChar(&ds, bad), 0);
  EXPECT_EQ(DStringLength(&ds), 13u);

  // A piece longer than the formatter's stack buffer.
  const std::string long_piece(1000, 'z');
  DStringClear(&ds);
  EXPECT_EQ(DStringAppendFormat(&ds, "<%s|%d", long_piece.c_str(), 7), 1);
  EXPECT_EQ(ds.text, "<" + long_piece + "|7");

  ds.text = "x\xC3\xA9y\xE2\x82\xAC";
  DStringTruncateChars(&ds, 2);
  EXPECT_EQ(ds.text, "x\xC3\xA9");
  EXPECT_EQ(DStringSetLength(&ds, 5), 0);  // longer: refused
  EXPECT_EQ(DStringSetLength(&ds, 1), 1);
  EXPECT_EQ(ds.text, "x");
}

}  // namespace
