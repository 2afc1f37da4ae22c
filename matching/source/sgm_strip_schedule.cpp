// Strips of a two-pass frame, each as wide as its thread's speed allows.
#include "sgm_strip_schedule.h"

#include <algorithm>
#include <mutex>

namespace {

constexpr long kPicoPerNano = 1000;
constexpr uint64_t kFirstDiagonalMask = 0xffffffffULL;
constexpr int kIndexShift = 32;

// The recent work time per pixel of every thread that has matched strips and still runs, in picoseconds (0: not
// measured yet). A thread enters on its first strip and leaves when it ends, so the fastest is always a live one.
class Speeds {
 public:
  struct Entry {
    Entry();
    ~Entry();
    std::atomic<long> picoseconds_per_pixel[SgmStripSchedule::kPasses] = {};
  };
  static Speeds& Get() {
    static Speeds* const speeds = new Speeds;  // never destroyed: threads may still leave while the process exits
    return *speeds;
  }
  static Entry& Own() {
    thread_local Entry entry;
    return entry;
  }
  long Fastest(int pass) {
    const std::lock_guard<std::mutex> lock(mutex_);
    long fastest = 0;
    for (const Entry* entry : entries_) {
      const long time = entry->picoseconds_per_pixel[pass].load(std::memory_order_relaxed);
      if (time > 0 && (fastest == 0 || time < fastest)) fastest = time;
    }
    return fastest;
  }
  void Forget() {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (Entry* entry : entries_)
      for (std::atomic<long>& time : entry->picoseconds_per_pixel) time.store(0, std::memory_order_relaxed);
  }

 private:
  std::mutex mutex_;
  std::vector<Entry*> entries_;
};

Speeds::Entry::Entry() {
  Speeds& speeds = Get();
  const std::lock_guard<std::mutex> lock(speeds.mutex_);
  speeds.entries_.push_back(this);
}

Speeds::Entry::~Entry() {
  Speeds& speeds = Get();
  const std::lock_guard<std::mutex> lock(speeds.mutex_);
  speeds.entries_.erase(std::find(speeds.entries_.begin(), speeds.entries_.end(), this));
}

std::mutex test_widths_mutex;
std::vector<long> test_widths;
std::atomic<bool> test_widths_set{false};

}  // namespace

SgmStripSchedule::SgmStripSchedule(long diagonals, long widest, long narrowest, int pass)
    : diagonals_(diagonals), widest_(widest), narrowest_(std::min(narrowest, widest)), pass_(pass) {}

long SgmStripSchedule::Width() const {
  const long own = Speeds::Own().picoseconds_per_pixel[pass_].load(std::memory_order_relaxed);
  if (own <= 0) return widest_;
  return std::clamp(widest_ * Speeds::Get().Fastest(pass_) / own, narrowest_, widest_);
}

bool SgmStripSchedule::Claim(SgmStripClaim& claim) {
  long width = Width();
  uint64_t next = next_.load(std::memory_order_relaxed);
  for (;;) {
    const long index = static_cast<long>(next >> kIndexShift);
    const long begin = static_cast<long>(next & kFirstDiagonalMask);
    if (begin >= diagonals_) return false;
    if (test_widths_set.load(std::memory_order_relaxed)) {
      const std::lock_guard<std::mutex> lock(test_widths_mutex);
      if (!test_widths.empty())
        width = std::clamp(test_widths[static_cast<size_t>(index) % test_widths.size()], narrowest_, widest_);
    }
    const long end = std::min(begin + width, diagonals_);
    const uint64_t taken = (static_cast<uint64_t>(index + 1) << kIndexShift) | static_cast<uint64_t>(end);
    if (next_.compare_exchange_weak(next, taken, std::memory_order_relaxed)) {
      claim = {index, begin, end};
      return true;
    }
  }
}

void SgmStripSchedule::Report(int pass, long pixels, long nanoseconds) {
  if (pixels <= 0 || nanoseconds <= 0) return;
  // Half the newest strip, half the speed before: one slow strip does not halve the next one's width.
  std::atomic<long>& own = Speeds::Own().picoseconds_per_pixel[pass];
  const long measured = nanoseconds * kPicoPerNano / pixels;
  const long before = own.load(std::memory_order_relaxed);
  own.store(before > 0 ? (before + measured) / 2 : measured, std::memory_order_relaxed);
}

void SgmStripSchedule::Forget() { Speeds::Get().Forget(); }

void sgm_strip_widths_for_tests(std::vector<long> widths) {
  const std::lock_guard<std::mutex> lock(test_widths_mutex);
  test_widths = std::move(widths);
  test_widths_set.store(!test_widths.empty(), std::memory_order_relaxed);
}
