// A frame after a pause ran 35-90% longer than back to back. The processors run at full speed at once, and
// buffers left untouched for 50 ms cost little; what costs is where the woken threads run. Threads roused by one
// wake-up are often queued on the same idle processor, one behind the other, and wait there for milliseconds
// until the scheduler moves them. This measures that with plain threads, then the matcher's own pool.
#include "wake_placement.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_setup.h"
#include "bench_timing.h"
#include "libtessaro.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 25;
constexpr int kWarmUpRounds = 5;
constexpr auto kPause = std::chrono::milliseconds(50);
constexpr int kSlots = 12;            // half milliseconds measured after each wake-up
constexpr double kSlotMicroseconds = 500;
constexpr int kStepsPerClockRead = 1000;
constexpr auto kSoloRun = std::chrono::milliseconds(20);

volatile unsigned long sink;

// Threads that sleep on one condition variable and, woken together, count steps of work per half millisecond.
class WokenThreads {
 public:
  WokenThreads(unsigned long count, bool pinned) : counts_(count, std::vector<long>(kSlots)) {
    const long processors = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned long i = 0; i < count; ++i)
      threads_.emplace_back([this, i, pinned, processors] {
        if (pinned) BindThreadToCpu(static_cast<int>((i + 1) % processors));
        Loop(i);
      });
  }
  ~WokenThreads() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }
  // Sum of all threads' steps per slot after one wake-up.
  std::vector<long> Round() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (std::vector<long>& slots : counts_) std::fill(slots.begin(), slots.end(), 0);
      done_ = 0;
      start_ = Clock::now();
      ++round_;
    }
    wake_.notify_all();
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&] { return done_ == threads_.size(); });
    std::vector<long> total(kSlots, 0);
    for (const std::vector<long>& slots : counts_)
      for (int s = 0; s < kSlots; ++s) total[s] += slots[s];
    return total;
  }

 private:
  void Loop(unsigned long index) {
    unsigned long seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || round_ != seen; });
      if (stopping_) return;
      seen = round_;
      const Clock::time_point start = start_;
      lock.unlock();
      unsigned long x = index;
      for (;;) {
        for (int k = 0; k < kStepsPerClockRead; ++k) x = x * 6364136223846793005UL + 1442695040888963407UL;
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        const int slot = static_cast<int>(us / kSlotMicroseconds);
        if (slot >= kSlots) break;
        ++counts_[index][slot];
      }
      sink = x;
      lock.lock();
      ++done_;
      finished_.notify_all();
    }
  }

  std::vector<std::vector<long>> counts_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_, finished_;
  Clock::time_point start_;
  unsigned long round_ = 0, done_ = 0;
  bool stopping_ = false;
};

// Steps one thread does per slot when it has a processor to itself and has run for a while.
double solo_rate() {
  const Clock::time_point start = Clock::now();
  unsigned long x = 1;
  long steps = 0;
  Clock::time_point measured_from{};
  while (Clock::now() - start < kSoloRun) {
    for (int k = 0; k < kStepsPerClockRead; ++k) x = x * 6364136223846793005UL + 1442695040888963407UL;
    if (measured_from == Clock::time_point{} && Clock::now() - start >= kSoloRun / 2) measured_from = Clock::now();
    if (measured_from != Clock::time_point{}) ++steps;
  }
  sink = x;
  const double us = std::chrono::duration<double, std::micro>(Clock::now() - measured_from).count();
  return static_cast<double>(steps) * kSlotMicroseconds / us;
}

void print_wake_rates(unsigned long count, bool pinned, double solo) {
  WokenThreads threads(count, pinned);
  std::vector<std::vector<long>> rounds;
  for (int round = 0; round < kRounds; ++round) {
    std::this_thread::sleep_for(kPause);
    std::vector<long> slots = threads.Round();
    if (round >= kWarmUpRounds) rounds.push_back(slots);
  }
  std::printf("  %lu %-7s:", count, pinned ? "pinned" : "roaming");
  std::vector<double> medians(kSlots);
  for (int s = 0; s < kSlots; ++s) {
    std::vector<long> values;
    for (const std::vector<long>& slots : rounds) values.push_back(slots[s]);
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    medians[s] = static_cast<double>(values[values.size() / 2]);
  }
  for (int s = 0; s < kSlots; ++s) std::printf(" %4.1f", medians[s] / solo);
  std::printf("\n");
}

}  // namespace

void run_wake_placement() {
  const unsigned long processors = std::max(1u, std::thread::hardware_concurrency());
  const double solo = solo_rate();
  std::printf("threads woken together after a %lld ms pause: how many are at work in each half millisecond after the "
              "wake-up (median of %d wake-ups; load average %.2f)\n",
              static_cast<long long>(kPause.count()), kRounds - kWarmUpRounds, bench_load_average());
  for (unsigned long count : {processors - 1, 3ul}) {
    if (count == 0) continue;
    print_wake_rates(count, false, solo);
    print_wake_rates(count, true, solo);
  }
}
