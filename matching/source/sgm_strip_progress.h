// The rows of one strip of a two-pass frame that its pass has finished (sgm_raster_passes.h), for the strip after it
// to wait for. The waiter looks for them for a while, then sleeps: a strip's holder that lost its processor to other
// work (or shares it with more threads than there are processors) is not kept from it by a waiter that spins.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// On a cache line of its own: the strip's task writes it while the next strip's task reads it.
class alignas(64) SgmStripProgress {
 public:
  // Forgets every row, for the next pass. Not while any task waits.
  void Reset() { rows_.store(0, std::memory_order_relaxed); }
  // Tells that the strip has finished its rows up to `rows` (of the pass's area), and wakes whoever sleeps on them.
  void Publish(long rows);
  // Returns once the strip has finished its rows up to `needed`, with the time it waited.
  std::chrono::nanoseconds Await(long needed);

 private:
  std::atomic<long> rows_{0};
  std::atomic<int> sleepers_{0};
  std::mutex mutex_;
  std::condition_variable published_;
};
