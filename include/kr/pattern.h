// Patterns: POSIX extended regular expressions, compiled once and matched against many texts,
// ignoring case and without sub-match reporting.
//
// Compiling and matching run under a fixed UTF-8 locale ("C.UTF-8"), whatever locale the
// program has set, so that every process matches alike and '.' is one whole character. (When
// the system lacks that locale the current one is used.)
//
// A compiled pattern is a data-field object (object.h): holding it keeps the compiled form, and
// dropping the last reference frees it. It is local to the process: it is neither serialized nor
// duplicated.
//
// Cost guard. The C library's compiler copies the operand of '+' and of an interval {m,n}, works
// out for every node the nodes reachable without reading a character (quadratic in repetitions,
// options and alternatives), and matches repetitions of what can match the empty text in time
// exponential in how deep they nest. An expression whose compiled form or matching would grow out
// of all proportion to its length is therefore refused before it is compiled
// (kPatternTooCostly): one with a back reference, with more than 250 repetitions, options and
// alternatives in all, with repetitions of what can match the empty text nested more than twice,
// or whose repetitions multiply it far beyond its length.
//
// Literal shortcut. A simplified pattern with no wildcard whose text is all ASCII is matched
// without the regular expression engine for ASCII texts, by comparing after folding ASCII
// letters; any other text goes to the engine, so both ways always give the same answer.
//
// Thread safety: compiling is safe from any thread. A compiled pattern may be matched from
// several threads at once, but its reference count is the object's own (not atomic).
#pragma once

#include <string>

#include "kr/object.h"

// PatternCompile's and PatternCompileSimplified's results.
inline constexpr int kPatternCompiled = 1;
inline constexpr int kPatternBad = 0;        // refused by the compiler (or a null argument)
inline constexpr int kPatternTooCostly = 2;  // refused before compiling: it would cost too much

// Compiles a POSIX extended regular expression, which matches anywhere in a text unless it is
// anchored. *pattern is set only on kPatternCompiled.
int PatternCompile(Ref<Obj>* pattern, const char* expression) noexcept;

// Compiles a simplified pattern: '*' matches any run of characters, '?' any one character,
// every other character itself, and the pattern must match the whole text (StrBuildRegExpLiteral
// with anchoring). *expression receives the regular expression it was turned into, whatever the
// result (empty for a null text). *pattern is set only on kPatternCompiled.
int PatternCompileSimplified(Ref<Obj>* pattern, std::string* expression, const char* text) noexcept;

// 1 when the compiled pattern matches the text, 0 when it does not, or when `pattern` is not a
// compiled pattern or `text` is null.
int PatternMatch(const Obj* pattern, const char* text) noexcept;
