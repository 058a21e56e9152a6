// Text: UTF-8 walking, tokens, case-blind comparison, integers, patterns and growable strings.

#include "kr/text.h"

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

inline bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Decodes the character at p, which is not the terminating NUL, and returns its length in bytes.
// Only well-formed sequences (RFC 3629: no overlong forms, no surrogates, nothing above
// U+10FFFF) decode; any other lead byte is one raw-byte character. A continuation byte is looked
// at only after the one before it proved to be a continuation byte, so the NUL is never passed.
inline size_t Decode(const unsigned char* p, uint32_t* cp) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (IsContinuation(p[1])) {
      *cp = (uint32_t{b0} & 0x1F) << 6 | (p[1] & 0x3F);
      return 2;
    }
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    // E0 must not be overlong (second byte A0..BF); ED must not encode a surrogate (80..9F).
    const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
    if (p[1] >= lo && p[1] <= hi && IsContinuation(p[2])) {
      *cp = (uint32_t{b0} & 0x0F) << 12 | (uint32_t{p[1]} & 0x3F) << 6 | (p[2] & 0x3F);
      return 3;
    }
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    // F0 must not be overlong (90..BF); F4 must stay at or below U+10FFFF (80..8F).
    const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
    if (p[1] >= lo && p[1] <= hi && IsContinuation(p[2]) && IsContinuation(p[3])) {
      *cp = (uint32_t{b0} & 0x07) << 18 | (uint32_t{p[1]} & 0x3F) << 12 |
            (uint32_t{p[2]} & 0x3F) << 6 | (p[3] & 0x3F);
      return 4;
    }
  }
  *cp = kStrRawByteBase + b0;
  return 1;
}

inline size_t CharLength(const unsigned char* p) {
  if (*p < 0x80) return 1;
  uint32_t cp;
  return Decode(p, &cp);
}

inline const unsigned char* U(const char* p) { return reinterpret_cast<const unsigned char*>(p); }
inline const char* C(const unsigned char* p) { return reinterpret_cast<const char*>(p); }

// Writes the UTF-8 form of a scalar value (not a surrogate, at most U+10FFFF, not 0); returns
// the number of bytes.
size_t Encode(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

inline bool IsRawByteCode(uint32_t cp) {
  return cp >= kStrRawByteBase + 0x80 && cp <= kStrRawByteBase + 0xFF;
}
inline bool IsScalarValue(uint32_t cp) {
  return cp != 0 && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

inline int Fold(unsigned char b) { return (b >= 'A' && b <= 'Z') ? b + ('a' - 'A') : b; }

// Compares the bytes of one character of a (of length len) with the same bytes of b. Stops at
// the first difference, which is found at b's NUL at the latest, since no byte of a's character
// is NUL.
inline int CompareCharBytes(const unsigned char* a, const unsigned char* b, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    const int ca = Fold(a[i]);
    const int cb = Fold(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return 0;
}

template <typename T>
int ParseInteger(T* out, const char* s) {
  if (out == nullptr || s == nullptr) return 0;
  bool negative = false;
  if (*s == '+' || *s == '-') {
    negative = *s == '-';
    ++s;
  }
  if (*s < '0' || *s > '9') return 0;
  const uint64_t limit = negative ? uint64_t{std::numeric_limits<T>::max()} + 1
                                  : uint64_t{std::numeric_limits<T>::max()};
  uint64_t v = 0;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return 0;
    const unsigned digit = static_cast<unsigned>(*s - '0');
    if (v > (limit - digit) / 10) return 0;
    v = v * 10 + digit;
  }
  // Unsigned-to-signed conversion is modular, so 0 - v is right for the most negative value too.
  *out = negative ? static_cast<T>(0 - v) : static_cast<T>(v);
  return 1;
}

bool IsRegExpSpecial(char c) { return c != '\0' && std::strchr(".[\\()*+?{|^$", c) != nullptr; }

}  // namespace

uint32_t StrGetCharAtPointer(const char* p) noexcept {
  if (p == nullptr || *p == '\0') return 0;
  uint32_t cp;
  Decode(U(p), &cp);
  return cp;
}

uint32_t StrGetChar(const char** p) noexcept {
  if (p == nullptr || *p == nullptr || **p == '\0') return 0;
  uint32_t cp;
  *p += Decode(U(*p), &cp);
  return cp;
}

const char* StrNextChar(const char* p) noexcept {
  if (p == nullptr || *p == '\0') return p;
  return p + CharLength(U(p));
}

const char* StrNextCharMatch(const char* p, uint32_t c) noexcept {
  if (p == nullptr) return nullptr;
  // An ASCII byte is always a character of its own, and a well-formed sequence can only start
  // where the walk starts a character (its lead byte is never taken as a continuation), so the
  // byte searches find exactly what a character walk would.
  if (c < 0x80) return std::strchr(p, static_cast<int>(c));
  if (IsScalarValue(c)) {
    char enc[5] = {};
    Encode(c, enc);
    return std::strstr(p, enc);
  }
  if (!IsRawByteCode(c)) return nullptr;
  for (const unsigned char* q = U(p); *q != '\0';) {
    uint32_t cp;
    const size_t len = Decode(q, &cp);
    if (cp == c) return C(q);
    q += len;
  }
  return nullptr;
}

size_t StrCharCount(const char* s) noexcept {
  if (s == nullptr) return 0;
  size_t n = 0;
  for (const unsigned char* p = U(s); *p != '\0'; ++n) p += CharLength(p);
  return n;
}

const char* StrAdvanceChars(const char* p, size_t n) noexcept {
  if (p == nullptr) return nullptr;
  const unsigned char* q = U(p);
  for (; n > 0 && *q != '\0'; --n) q += CharLength(q);
  return C(q);
}

size_t StrBytesForChars(const char* s, size_t n) noexcept {
  if (s == nullptr) return 0;
  return static_cast<size_t>(StrAdvanceChars(s, n) - s);
}

int StrGetTokenCharCount(const char* s) noexcept {
  if (s == nullptr) return 0;
  int n = 0;
  const unsigned char* p = U(s);
  // Every byte of a multibyte character is 0x80 or above, so a token never ends inside one.
  while (StrIsTokenByte(*p)) {
    p += CharLength(p);
    ++n;
  }
  return n;
}

const char* StrSkipTokenF(const char* s) noexcept {
  if (s == nullptr) return nullptr;
  while (StrIsTokenByte(static_cast<unsigned char>(*s))) ++s;
  return s;
}

const char* StrSkipWhiteSpaceF(const char* s) noexcept {
  if (s == nullptr) return nullptr;
  while (StrIsWhiteSpaceByte(static_cast<unsigned char>(*s))) ++s;
  return s;
}

int StrCompareNoCase(const char* a, const char* b) noexcept {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  const unsigned char* p = U(a);
  const unsigned char* q = U(b);
  for (;; ++p, ++q) {
    const int ca = Fold(*p);
    const int cb = Fold(*q);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

int StrCompareRangeNoCase(const char* a, const char* b, size_t nchars) noexcept {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  const unsigned char* p = U(a);
  const unsigned char* q = U(b);
  for (; nchars > 0; --nchars) {
    if (*p == '\0') return *q == '\0' ? 0 : -1;
    const size_t len = CharLength(p);
    if (int r = CompareCharBytes(p, q, len); r != 0) return r;
    p += len;
    q += len;
  }
  return 0;
}

int StrCompareRangeExactNoCase(const char* text, size_t nchars, const char* whole) noexcept {
  if (text == nullptr || whole == nullptr) return text == whole ? 0 : (text == nullptr ? -1 : 1);
  const unsigned char* p = U(text);
  const unsigned char* q = U(whole);
  for (; nchars > 0; --nchars) {
    if (*p == '\0') return *q == '\0' ? 1 : -1;  // text is shorter than it was said to be
    const size_t len = CharLength(p);
    if (int r = CompareCharBytes(p, q, len); r != 0) return r;
    p += len;
    q += len;
  }
  // Equal so far: `whole` must end exactly here.
  return *q == '\0' ? 0 : -1;
}

void StrConvertToLower(char* s) noexcept {
  if (s == nullptr) return;
  for (; *s != '\0'; ++s)
    if (*s >= 'A' && *s <= 'Z') *s = static_cast<char>(*s + ('a' - 'A'));
}

std::string StrToLowerCopy(std::string_view s) noexcept {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  return r;
}

int StrToInteger(int32_t* out, const char* s) noexcept { return ParseInteger(out, s); }

int StrToInt64(int64_t* out, const char* s) noexcept { return ParseInteger(out, s); }

std::string StrFromInteger(int64_t value) noexcept {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

int StrBuildRegExpLiteral(std::string* out, const char* pattern, int anchor) noexcept {
  if (out == nullptr || pattern == nullptr) return 0;
  std::string r;
  r.reserve(std::strlen(pattern) * 2 + 2);
  if (anchor != 0) r += '^';
  for (const char* p = pattern; *p != '\0';) {
    if (*p == '*') {
      // A run of stars means no more than one, and one ".*" is cheaper to match.
      while (*p == '*') ++p;
      r += ".*";
      continue;
    }
    if (*p == '?') {
      r += '.';
      ++p;
      continue;
    }
    if (IsRegExpSpecial(*p)) {
      r += '\\';
      r += *p++;
      continue;
    }
    const char* next = StrNextChar(p);
    r.append(p, next);
    p = next;
  }
  if (anchor != 0) r += '$';
  *out = std::move(r);
  return 1;
}

int DStringAppend(DString* ds, const char* s) noexcept {
  if (ds == nullptr || s == nullptr) return 0;
  ds->text.append(s);
  return 1;
}

int DStringAppendN(DString* ds, const char* s, size_t bytes) noexcept {
  if (ds == nullptr || (s == nullptr && bytes > 0)) return 0;
  ds->text.append(s, bytes);
  return 1;
}

int DStringAppendChar(DString* ds, uint32_t code_point) noexcept {
  if (ds == nullptr) return 0;
  char enc[4];
  size_t len;
  if (IsRawByteCode(code_point)) {
    enc[0] = static_cast<char>(code_point - kStrRawByteBase);
    len = 1;
  } else if (IsScalarValue(code_point)) {
    len = Encode(code_point, enc);
  } else {
    return 0;
  }
  ds->text.append(enc, len);
  return 1;
}

int DStringAppendRepeat(DString* ds, char c, size_t count) noexcept {
  // A count no string can hold is refused rather than left to throw std::length_error.
  if (ds == nullptr || count > ds->text.max_size() - ds->text.size()) return 0;
  ds->text.append(count, c);
  return 1;
}

int DStringAppendFormat(DString* ds, const char* fmt, ...) noexcept {
  if (ds == nullptr || fmt == nullptr) return 0;
  // Most pieces are short: format them on the stack and append once; a long one is formatted a
  // second time straight into the string.
  char buf[256];
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  int ok = 0;
  const size_t old = ds->text.size();
  if (n >= 0 && static_cast<size_t>(n) < sizeof buf) {
    ds->text.append(buf, static_cast<size_t>(n));
    ok = 1;
  } else if (n >= 0) {
    ds->text.resize(old + static_cast<size_t>(n));
    // Writing n + 1 bytes overwrites the string's own terminating NUL with a NUL.
    std::vsnprintf(ds->text.data() + old, static_cast<size_t>(n) + 1, fmt, again);
    ok = 1;
  }
  va_end(again);
  return ok;
}

void DStringClear(DString* ds) noexcept {
  if (ds != nullptr) ds->text.clear();
}

size_t DStringLength(const DString* ds) noexcept { return ds != nullptr ? ds->text.size() : 0; }

size_t DStringCharCount(const DString* ds) noexcept {
  return ds != nullptr ? StrCharCount(ds->text.c_str()) : 0;
}

const char* DStringValue(const DString* ds) noexcept {
  return ds != nullptr ? ds->text.c_str() : "";
}

int DStringSetLength(DString* ds, size_t bytes) noexcept {
  if (ds == nullptr || bytes > ds->text.size()) return 0;
  ds->text.resize(bytes);
  return 1;
}

void DStringTruncateChars(DString* ds, size_t nchars) noexcept {
  if (ds == nullptr) return;
  ds->text.resize(StrBytesForChars(ds->text.c_str(), nchars));
}
