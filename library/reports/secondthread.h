// Work shared with a second thread. The requester's filter and sort run once every record has
// arrived, when the provider is idle; on a long list they split their reading of the records
// between the calling thread and a second one. Each half only reads the records and writes its
// own part of the result, so the outcome is the one thread's.
#pragma once

#include <cstddef>
#include <system_error>
#include <thread>

namespace kr_internal {

// Lists this long share their filter decisions, sort keys and radix buckets with a second
// thread; below it the thread costs more than it saves.
inline constexpr size_t kSharedMinRecords = size_t{1} << 16;

// Runs `theirs` on a second thread while `mine` runs on this one, and waits for both. When no
// thread can be started, `theirs` runs here after `mine`.
template <class Theirs, class Mine>
void OnSecondThread(Theirs theirs, Mine mine) {
  std::thread thread;
  try {
    thread = std::thread(theirs);
  } catch (const std::system_error&) {
    mine();
    theirs();
    return;
  }
  mine();
  thread.join();
}

}  // namespace kr_internal
