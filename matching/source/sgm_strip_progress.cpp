// A strip's finished rows, looked for and then slept on.
#include "sgm_strip_progress.h"

#include "sgm_processor_loss.h"
#include "sgm_spin.h"

namespace {

using Clock = std::chrono::steady_clock;

// A row of a strip takes microseconds: a wait this long means the strip waited for has lost its processor. Shorter
// looks slept through the noise of a shared machine and woke late for it.
constexpr auto kLookBeforeSleep = std::chrono::microseconds(1000);
constexpr int kPausesPerClockRead = 64;

}  // namespace

void SgmStripProgress::Publish(long rows) {
  // Sequentially consistent with the sleeper's count and check: either this sees the sleeper, or it sees the rows.
  rows_.store(rows, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
  { const std::lock_guard<std::mutex> lock(mutex_); }  // a sleeper between its check and its sleep finishes both
  published_.notify_all();
}

std::chrono::nanoseconds SgmStripProgress::Await(long needed) {
  if (rows_.load(std::memory_order_acquire) >= needed) return std::chrono::nanoseconds::zero();
  const Clock::time_point start = Clock::now();
  // A thread that shares its processor with another of the matcher's sleeps at once: that one may be the holder.
  for (int pauses = 1; sgm_spin_allowed(); ++pauses) {
    if (rows_.load(std::memory_order_acquire) >= needed) return Clock::now() - start;
    sgm_spin_pause();
    if (pauses % kPausesPerClockRead == 0 && Clock::now() - start >= kLookBeforeSleep) break;
  }
  const Clock::time_point asleep = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  published_.wait(lock, [&] { return rows_.load(std::memory_order_seq_cst) >= needed; });
  sleepers_.fetch_sub(1, std::memory_order_relaxed);
  const Clock::time_point now = Clock::now();
  sgm_chosen_sleep() += now - asleep;
  return now - start;
}
