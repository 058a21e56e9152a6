// Unique ids: 16 random bytes naming a thing across machines and time.
//
// An id whose bytes are all zero is the invalid id, the state of an id that names nothing. The
// text form is 32 hexadecimal digits grouped 8-4-4-4-12 by dashes, written in lower case, for
// example "3f2504e0-4f89-41d3-9a0c-0305e82c3301"; it is read in either case. The invalid id has
// a text form too (all digits 0), so that it survives a round trip through text.
//
// Thread safety: every function is safe to call from any thread on data it does not share.
#pragma once

#include <cstddef>
#include <string>

struct UniqueId {
  unsigned char bytes[16];
};

// The length of the text form, without a terminating NUL.
inline constexpr size_t kUniqueTextLength = 36;

void UniqueInvalidate(UniqueId* id) noexcept;
// False for the invalid id and for null.
bool UniqueIsValid(const UniqueId* id) noexcept;
// -1, 0 or 1, comparing the bytes in order as unsigned values. A null id sorts first.
int UniqueCompare(const UniqueId* a, const UniqueId* b) noexcept;
// A new random id (a version 4, variant 1 id in the usual sense), never the invalid one.
// 1 on success; 0 when the system's random source cannot be read (*id is then invalid).
int UniqueCreate(UniqueId* id) noexcept;
// The text form. 1 on success, 0 for null arguments.
int UniqueToString(std::string* out, const UniqueId* id) noexcept;
// Reads exactly the text form (36 characters, nothing before or after). 1 on success; 0 and
// *out untouched otherwise.
int UniqueFromString(UniqueId* out, const char* text) noexcept;
