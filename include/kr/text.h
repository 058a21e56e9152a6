// Text: character-wise access to UTF-8 strings, the token rule, case-blind comparison, integer
// conversion, simplified patterns, and growable strings (DString).
//
// Texts are NUL-terminated UTF-8. A "character" is a code point. A byte that does not begin a
// well-formed UTF-8 sequence (a stray continuation byte, a truncated or overlong sequence, an
// encoded surrogate, anything above U+10FFFF) counts as one character on its own; it is reported
// as the code point 0xDC00 + byte (U+DC80..U+DCFF, code points that well-formed UTF-8 can never
// produce), and DStringAppendChar writes such a code point back as the original byte, so walking
// a text and re-appending its characters reproduces it byte for byte. No function here reads past
// the terminating NUL.
//
// The token rule: a token is a run of ASCII letters, digits, '_' and bytes of 0x80 and above
// (so every non-ASCII character). White space, '.', ',' and every other ASCII punctuation end it.
// So "%size::12", "%size-", "%ID%%" and "job_id" hold the names size, size, ID and job_id.
//
// White space is space, tab, CR, LF, VT and FF.
//
// Case-blind comparison folds ASCII letters only; every other byte is compared as an unsigned
// value, which for well-formed UTF-8 is code point order.
//
// Thread safety: every function is safe to call from any thread on data it does not share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The code point reported for a byte that does not begin a well-formed sequence.
inline constexpr uint32_t kStrRawByteBase = 0xDC00;

// --- Walking characters ------------------------------------------------------------------------

// The code point at p; 0 at the terminating NUL (and for a null p).
uint32_t StrGetCharAtPointer(const char* p) noexcept;
// The code point at *p, advancing *p past it. At the terminating NUL returns 0 and leaves *p.
uint32_t StrGetChar(const char** p) noexcept;
// The character after the one at p; p itself at the terminating NUL. Null for a null p.
const char* StrNextChar(const char* p) noexcept;
// The first occurrence of character c at or after p; null when there is none. c == 0 gives the
// terminating NUL. c may be a raw-byte code point (kStrRawByteBase + byte) to find a stray byte.
const char* StrNextCharMatch(const char* p, uint32_t c) noexcept;
// The number of characters in s (0 for null).
size_t StrCharCount(const char* s) noexcept;
// p advanced by n characters, stopping at the terminating NUL. Null for a null p.
const char* StrAdvanceChars(const char* p, size_t n) noexcept;
// The number of bytes of the first n characters of s (all of s when it has fewer).
size_t StrBytesForChars(const char* s, size_t n) noexcept;

// --- Tokens and white space --------------------------------------------------------------------

// The text, or "" for a null one: for printing and comparing texts that may be absent.
inline const char* StrOrEmpty(const char* s) noexcept { return s != nullptr ? s : ""; }

// True when the byte belongs to a token.
inline bool StrIsTokenByte(unsigned char b) noexcept {
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_' ||
         b >= 0x80;
}
inline bool StrIsWhiteSpaceByte(unsigned char b) noexcept {
  return b == ' ' || b == '\t' || b == '\r' || b == '\n' || b == '\v' || b == '\f';
}

// The number of characters in the token that begins at s (0 when s does not begin one, or is
// null).
int StrGetTokenCharCount(const char* s) noexcept;
// s advanced past the token that begins at it (s itself when none does). Null for a null s.
const char* StrSkipTokenF(const char* s) noexcept;
// s advanced past any white space. Null for a null s.
const char* StrSkipWhiteSpaceF(const char* s) noexcept;

// --- Case-blind comparison ---------------------------------------------------------------------
// Results are negative, 0 or positive like strcmp. A null text sorts before every text; two
// nulls are equal.

int StrCompareNoCase(const char* a, const char* b) noexcept;
// Compares at most the first nchars characters of a against b, like strncasecmp.
int StrCompareRangeNoCase(const char* a, const char* b, size_t nchars) noexcept;
// 0 when the first nchars characters of text are, ignoring case, the whole of `whole`, which
// must therefore have exactly nchars characters. Used to match a token cut from a longer text
// (a field name after '%') against a complete name. Non-zero otherwise.
int StrCompareRangeExactNoCase(const char* text, size_t nchars, const char* whole) noexcept;

// Lower-cases the ASCII letters of s in place (null is ignored).
void StrConvertToLower(char* s) noexcept;
// A copy of s with its ASCII letters lower-cased.
std::string StrToLowerCopy(std::string_view s) noexcept;

// --- Integers ----------------------------------------------------------------------------------

// 1 and *out when the whole of s is an optional '+' or '-' followed by at least one decimal
// digit, and the value is in range. No white space is allowed anywhere. 0 otherwise, *out
// untouched.
int StrToInteger(int32_t* out, const char* s) noexcept;
int StrToInt64(int64_t* out, const char* s) noexcept;
// The value in decimal.
std::string StrFromInteger(int64_t value) noexcept;

// --- Simplified patterns -----------------------------------------------------------------------

// Turns a simplified pattern into a POSIX extended regular expression: '*' matches any run of
// characters (".*"), '?' any one character ("."), and every other character matches itself:
// the ERE special characters . [ \ ( ) * + ? { | ^ $ are escaped with a backslash, and every
// other character (a multibyte one whole) is copied as it stands; a run of '*' counts as one.
// When anchor is non-zero (the filters pass 1) the expression is anchored at both ends
// ("^...$"), so the pattern must match the whole text; otherwise it matches anywhere. The result is
// meant for regcomp with REG_EXTENDED under a UTF-8 locale, so that '?' matches one whole
// character. 1 and *out on success; 0 for a null pattern or out.
int StrBuildRegExpLiteral(std::string* out, const char* pattern, int anchor) noexcept;

// --- Growable strings --------------------------------------------------------------------------
// A DString is a std::string; C++ code may use `text` directly. The functions below return 1 on
// success and 0 when an argument is null or memory runs out (the string is then unchanged).
// DStringValue is valid until the string is next changed.

struct DString {
  std::string text;
};

int DStringAppend(DString* ds, const char* s) noexcept;
int DStringAppendN(DString* ds, const char* s, size_t bytes) noexcept;
// Appends the UTF-8 form of one code point; a raw-byte code point (kStrRawByteBase + 0x80..0xFF)
// appends that byte. 0 for 0, a surrogate or a value above U+10FFFF.
int DStringAppendChar(DString* ds, uint32_t code_point) noexcept;
// Appends `count` copies of the byte c (padding).
int DStringAppendRepeat(DString* ds, char c, size_t count) noexcept;
int DStringAppendFormat(DString* ds, const char* fmt, ...) noexcept
    __attribute__((format(printf, 2, 3)));
void DStringClear(DString* ds) noexcept;
// Length in bytes.
size_t DStringLength(const DString* ds) noexcept;
// Length in characters.
size_t DStringCharCount(const DString* ds) noexcept;
// The text ("" for a null ds).
const char* DStringValue(const DString* ds) noexcept;
// Cuts the string to `bytes` bytes. 0 (and nothing changed) when it is shorter than that.
int DStringSetLength(DString* ds, size_t bytes) noexcept;
// Keeps the first nchars characters.
void DStringTruncateChars(DString* ds, size_t nchars) noexcept;
