#include "memory.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "testing.h"

namespace {

using kr_internal::MemAlloc;
using kr_internal::MemFree;

// A thread that builds something big goes on in large slabs: every block of every size class
// stays its own, whole and writable, across the change, and the blocks freed are handed out
// again.
TEST(MemPool, BlocksStayDistinctAcrossTheChangeToLargeSlabs) {
  std::thread worker([] {
    const size_t before = kr_internal::MemPoolMappedBytes();
    std::vector<std::pair<unsigned char*, size_t>> blocks;
    size_t total = 0;
    for (size_t i = 0; total < 40u * 1024 * 1024; ++i) {
      const size_t size = 8 + (i * 40) % kr_internal::kMemPoolMaxSize;
      auto* b = static_cast<unsigned char*>(MemAlloc(size));
      std::memset(b, static_cast<int>(i & 0xff), size);
      blocks.emplace_back(b, size);
      total += size;
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
      const auto [b, size] = blocks[i];
      ASSERT_EQ(b[0], i & 0xff) << i;
      ASSERT_EQ(b[size - 1], i & 0xff) << i;
    }
#ifndef KR_NO_POOL
    EXPECT_GT(kr_internal::MemPoolMappedBytes(), before);
#else
    (void)before;
#endif
    for (const auto& [b, size] : blocks) MemFree(b, size);
    void* again = MemAlloc(blocks.back().second);
#ifndef KR_NO_POOL
    EXPECT_EQ(again, blocks.back().first);  // the last block freed of its size
#endif
    MemFree(again, blocks.back().second);

    // Zeroed blocks read as zeros, whether fresh or handed out again after use.
    for (int round = 0; round < 2; ++round) {
      std::vector<unsigned char*> zeroed;
      for (size_t i = 0; i < 20000; ++i) {
        auto* b = static_cast<unsigned char*>(kr_internal::MemAllocZeroed(48));
        for (size_t k = 0; k < 48; ++k) ASSERT_EQ(b[k], 0) << round << " " << i;
        std::memset(b, 0xab, 48);
        zeroed.push_back(b);
      }
      for (unsigned char* b : zeroed) MemFree(b, 48);
    }
  });
  worker.join();
}

// Large slabs come ready from a stocking thread. Two threads building big at once each get
// their own, zeroed; a child made by fork after the stock started builds big too (its stock
// starts again: the parent's thread is not in the child).
TEST(MemPool, LargeSlabsComeZeroedToThreadsAndForkedChildren) {
  auto build = [] {
    std::vector<unsigned char*> blocks;
    bool zeros = true;
    for (size_t i = 0; i < 24u * 1024 * 1024 / 256; ++i) {
      auto* b = static_cast<unsigned char*>(kr_internal::MemAllocZeroed(256));
      zeros = zeros && b[0] == 0 && b[255] == 0;
      std::memset(b, 0x5a, 256);
      blocks.push_back(b);
    }
    for (unsigned char* b : blocks) MemFree(b, 256);
    return zeros;
  };
  bool a = false, b = false;
  std::thread first([&] { a = build(); });
  std::thread second([&] { b = build(); });
  first.join();
  second.join();
  EXPECT_TRUE(a && b);
  if (kr_testing::kUnderThreadSanitizer) return;  // it refuses threads after such a fork
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool zeros = false;
    std::thread t([&] { zeros = build(); });
    t.join();
    _exit(zeros ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
