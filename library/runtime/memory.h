// The small-object pool behind objects, strings in slots and list arrays.
//
// A report holds millions of small objects; malloc's per-block overhead would double their
// footprint. Blocks up to kMemPoolMaxSize bytes come from per-thread free lists in size classes
// of 8 bytes, carved from 64 KiB slabs; a thread that has taken 16 MiB goes on in 2 MiB slabs
// mapped directly and advised for huge pages. Slabs are never returned to the system (a freed block
// goes back on the free list of the thread that frees it); all slabs stay registered in one
// global list, so nothing in them is ever reported as leaked. Larger blocks use malloc.
//
// Built with KR_NO_POOL (the sanitizer builds), every block comes from malloc, so use after free
// and overruns are caught.
#pragma once

#include <cstddef>

// Thread-locals on hot paths (the pool, the type cache) use the initial-exec model: the runtime
// is linked into its programs, never opened later with dlopen, so an access is a plain load from
// the thread pointer instead of a call to __tls_get_addr for every allocation.
#if defined(__GNUC__)
#define KR_TLS_FAST __attribute__((tls_model("initial-exec")))
#else
#define KR_TLS_FAST
#endif

namespace kr_internal {

inline constexpr size_t kMemPoolMaxSize = 512;

// Never returns null: running out of memory ends the process.
void* MemAlloc(size_t size) noexcept;
// MemAlloc's block, cleared to zeros.
void* MemAllocZeroed(size_t size) noexcept;
// `size` must be the size the block was allocated with.
void MemFree(void* block, size_t size) noexcept;
// Whether a block allocated with size `a` may be freed as one of size `b` (and so hold what a
// block of size `b` holds): the same size class of the pool, or the same size.
inline bool MemSameBlockSize(size_t a, size_t b) noexcept {
#ifndef KR_NO_POOL
  if (a <= kMemPoolMaxSize && b <= kMemPoolMaxSize)
    return (a == 0 ? 8 : (a + 7) & ~size_t{7}) == (b == 0 ? 8 : (b + 7) & ~size_t{7});
#endif
  return a == b;
}
// Bytes of slab handed out so far by the pool (all threads), for measurements.
size_t MemPoolSlabBytes() noexcept;
// Of those, the bytes in large slabs mapped from the system directly (not seen by malloc's
// statistics).
size_t MemPoolMappedBytes() noexcept;

}  // namespace kr_internal
