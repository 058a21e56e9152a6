#include "memory.h"

#include <pthread.h>
#include <sys/mman.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace kr_internal {
namespace {

[[noreturn]] void OutOfMemory(size_t size) {
  std::fprintf(stderr, "kr: out of memory allocating %zu bytes\n", size);
  std::abort();
}

void* CheckedMalloc(size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) OutOfMemory(size);
  return p;
}

#ifndef KR_NO_POOL

constexpr size_t kClassCount = kMemPoolMaxSize / 8;
constexpr size_t kSlabSize = 64 * 1024;
// A thread that has taken this much in small slabs is building something big (a loaded table):
// from then on its slabs are large and backed by huge pages where the system offers them, which
// saves most of the page faults of first touching millions of objects.
constexpr size_t kLargeSlabAfter = 16 * 1024 * 1024;
constexpr size_t kLargeSlabSize = 2 * 1024 * 1024;

// A large slab aligned to its size, so that the system can back it with one huge page. Mapped
// directly: an aligned block from malloc would keep twice its size mapped.
void* LargeSlab() {
  const size_t span = 2 * kLargeSlabSize;
  void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) OutOfMemory(kLargeSlabSize);
  const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (start + kLargeSlabSize - 1) & ~uintptr_t{kLargeSlabSize - 1};
  const size_t head = aligned - start, tail = span - head - kLargeSlabSize;
  if (head > 0) munmap(mapped, head);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + kLargeSlabSize), tail);
  void* slab = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(slab, kLargeSlabSize, MADV_HUGEPAGE);  // only advice: without it the slab still works
#endif
  return slab;
}

// Large slabs are faulted in ahead, on a thread of their own. The system clears every page a
// process first touches; for a table loaded from the network that clearing took from 2% to 30%
// of the loading thread's time, depending on the machine, and here it runs beside that thread.
// A few slabs are kept ready; a thread that finds none maps its own as before. The stock starts
// with the first large slab, so a process that never builds anything big has no such thread.
class SlabStock {
 public:
  void* Take() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!started_) Start();
      wanted_.notify_one();  // one is taken, or was wanted
      if (!ready_.empty()) {
        void* slab = ready_.back();
        ready_.pop_back();
        return slab;
      }
    }
    return LargeSlab();
  }

  // Fork holds the lock, so the child's list is whole; the child has no stocking thread, and
  // starts its own when it needs one.
  void BeforeFork() { mu_.lock(); }
  void AfterForkInParent() { mu_.unlock(); }
  void AfterForkInChild() {
    mu_.unlock();
    new (&wanted_) std::condition_variable;
    started_ = false;
  }

 private:
  static constexpr size_t kKept = 4;

  void Start() {
    try {
      std::thread([this] { Stock(); }).detach();
      started_ = true;
    } catch (...) {
      started_ = true;  // no thread: every slab is mapped where it is needed, as before
    }
  }

  [[noreturn]] void Stock() {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mu_);
        wanted_.wait(lock, [this] { return ready_.size() < kKept; });
      }
      void* slab = LargeSlab();
      Populate(slab);
      std::lock_guard<std::mutex> lock(mu_);
      ready_.push_back(slab);
    }
  }

  static void Populate(void* slab) {
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
    if (madvise(slab, kLargeSlabSize, MADV_POPULATE_WRITE) == 0) return;
    // An older system: one written byte per page faults it in (the page stays all zeros).
    auto* bytes = static_cast<volatile char*>(slab);
    for (size_t at = 0; at < kLargeSlabSize; at += 4096) bytes[at] = 0;
  }

  std::mutex mu_;
  std::condition_variable wanted_;
  std::vector<void*> ready_;
  bool started_ = false;
};

SlabStock& Stock() {
  static SlabStock* s = [] {
    auto* stock = new SlabStock;  // never destroyed: its thread runs until the process ends
    pthread_atfork([] { Stock().BeforeFork(); }, [] { Stock().AfterForkInParent(); },
                   [] { Stock().AfterForkInChild(); });
    return stock;
  }();
  return *s;
}

struct FreeBlock {
  FreeBlock* next;
};

// Every slab ever made, so the blocks in them stay reachable for leak checkers.
struct SlabRegistry {
  std::mutex mu;
  std::vector<void*> slabs;
  size_t bytes = 0;
  size_t mapped = 0;  // of which large slabs mapped directly
};

SlabRegistry& Registry() {
  static SlabRegistry* r = new SlabRegistry;  // never destroyed: threads may outlive statics
  return *r;
}

struct ThreadPool {
  FreeBlock* free[kClassCount] = {};
  char* bump = nullptr;
  size_t bump_left = 0;
  bool bump_zeroed = false;  // the bump slab is fresh from the system: still all zeros
  size_t carved = 0;         // slab bytes this thread has taken

  void* Carve(size_t rounded) {
    if (bump_left < rounded) {
      // The tail of the old slab is put on the free lists rather than wasted.
      while (bump_left >= 8) {
        size_t take = bump_left >= kMemPoolMaxSize ? kMemPoolMaxSize : (bump_left & ~size_t{7});
        auto* b = reinterpret_cast<FreeBlock*>(bump);
        b->next = free[take / 8 - 1];
        free[take / 8 - 1] = b;
        bump += take;
        bump_left -= take;
      }
      const size_t size = carved >= kLargeSlabAfter ? kLargeSlabSize : kSlabSize;
      bump = static_cast<char*>(size == kSlabSize ? CheckedMalloc(size) : Stock().Take());
      bump_left = size;
      bump_zeroed = size != kSlabSize;
      carved += size;
      SlabRegistry& r = Registry();
      std::lock_guard<std::mutex> lock(r.mu);
      r.slabs.push_back(bump);
      r.bytes += size;
      if (size != kSlabSize) r.mapped += size;
    }
    void* p = bump;
    bump += rounded;
    bump_left -= rounded;
    return p;
  }
};

KR_TLS_FAST thread_local ThreadPool t_pool;

#endif

}  // namespace

void* MemAlloc(size_t size) noexcept {
#ifndef KR_NO_POOL
  if (size <= kMemPoolMaxSize) {
    size_t rounded = size == 0 ? 8 : (size + 7) & ~size_t{7};
    size_t c = rounded / 8 - 1;
    FreeBlock* b = t_pool.free[c];
    if (b != nullptr) {
      t_pool.free[c] = b->next;
      return b;
    }
    return t_pool.Carve(rounded);
  }
#endif
  return CheckedMalloc(size);
}

void MemFree(void* block, size_t size) noexcept {
  if (block == nullptr) return;
#ifndef KR_NO_POOL
  if (size <= kMemPoolMaxSize) {
    size_t rounded = size == 0 ? 8 : (size + 7) & ~size_t{7};
    auto* b = static_cast<FreeBlock*>(block);
    b->next = t_pool.free[rounded / 8 - 1];
    t_pool.free[rounded / 8 - 1] = b;
    return;
  }
#else
  (void)size;
#endif
  std::free(block);
}

void* MemAllocZeroed(size_t size) noexcept {
#ifndef KR_NO_POOL
  if (size <= kMemPoolMaxSize) {
    size_t rounded = size == 0 ? 8 : (size + 7) & ~size_t{7};
    FreeBlock* b = t_pool.free[rounded / 8 - 1];
    if (b == nullptr) {
      void* p = t_pool.Carve(rounded);
      // A mapped slab's pages read as zeros until written: clearing them again would only touch
      // every page a second time.
      if (!t_pool.bump_zeroed) std::memset(p, 0, rounded);
      return p;
    }
  }
#endif
  void* p = MemAlloc(size);
  std::memset(p, 0, size);
  return p;
}

size_t MemPoolMappedBytes() noexcept {
#ifndef KR_NO_POOL
  SlabRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mu);
  return r.mapped;
#else
  return 0;
#endif
}

size_t MemPoolSlabBytes() noexcept {
#ifndef KR_NO_POOL
  SlabRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mu);
  return r.bytes;
#else
  return 0;
#endif
}

}  // namespace kr_internal
