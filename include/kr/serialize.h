// The serialized form of objects: how objects are stored in files and carried in messages.
//
// A serialized object is an 8-byte header (a magic number that carries the format version, and
// the body length) followed by the body: the table of the types it uses, then the object and
// everything it owns, depth first. doc/objects.md gives the byte layout. Sharing is not kept:
// an object referenced twice is written twice, so a rebuilt graph never has cycles.
//
// Reading trusts nothing: lengths are checked against the buffer in 64-bit arithmetic, nesting
// is bounded (kObjMaxDepth), nothing is allocated from a count before the bytes it promises are
// there, and a type outside the runtime's own is rebuilt generically from the code and spec it
// carries. Corrupt bytes give 0 and a trace, never a crash, a hang or a huge allocation.
//
// Thread safety: the functions keep no state; objects belong to the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kr/object.h"

inline constexpr size_t kObjHeaderSize = 8;
inline constexpr uint32_t kObjMagic = 0x314f524b;  // the bytes "KRO1": format version 1
inline constexpr uint32_t kObjMaxBodySize = 0x7fffffff;

// Appends the header and body of `obj` to `out`. 0 (and `out` as it was) for a null object, a
// graph deeper than kObjMaxDepth or a body too large for the format.
int ObjSerializeToMemory(std::string* out, const Obj* obj) noexcept;

// Reads a header: 1 and the body length when the first kObjHeaderSize bytes of `buffer` are a
// valid header, 0 when they are not (or fewer than kObjHeaderSize bytes are available).
int ObjBufferAnalyze(uint32_t* body_size, const void* buffer, size_t available) noexcept;

// Rebuilds an object from a body (the bytes after the header), which must be used exactly.
int ObjReconstructFromMemory(Ref<Obj>* out, const void* body, size_t size) noexcept;

// Writes header and body to a file (replacing it); every write is checked.
int ObjSerializeToFile(const Obj* obj, const char* path) noexcept;
// Reads a file written by ObjSerializeToFile.
int ObjReconstructFromFile(Ref<Obj>* out, const char* path) noexcept;
