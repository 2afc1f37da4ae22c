// How the strips of a two-pass frame are handed out (see sgm_raster_passes.h): in the order of their diagonals, each
// as wide as the taking thread's recent speed allows. A strip's rows follow those of the strip before it, so one
// thread that runs slower than the rest (its processor shared with other work) would hold up every strip after its
// own; a strip narrowed in proportion takes it as long per row as the others take for theirs.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

struct SgmStripClaim {
  long index;  // strips count from 0 in the order of their diagonals
  long begin;  // diagonals [begin, end)
  long end;
};

class SgmStripSchedule {
 public:
  // Diagonals [0, diagonals) in strips of at most `widest` and at least `narrowest` (the last may be narrower), for
  // pass `pass`: the speeds of each pass are kept apart, since a pixel of one may take longer than one of the other.
  SgmStripSchedule(long diagonals, long widest, long narrowest, int pass);
  SgmStripSchedule(const SgmStripSchedule&) = delete;
  SgmStripSchedule& operator=(const SgmStripSchedule&) = delete;

  // The next strip, as wide as the calling thread's speed allows; false when every diagonal is taken.
  bool Claim(SgmStripClaim& claim);
  // The most strips that diagonals [0, diagonals) can be cut into.
  static long MostStrips(long diagonals, long narrowest) { return (diagonals + narrowest - 1) / narrowest; }

  // Records that the calling thread matched `pixels` pixels of pass `pass` in `nanoseconds` of work (waits left out).
  static void Report(int pass, long pixels, long nanoseconds);
  static constexpr int kPasses = 2;
  // Forgets every thread's speed, for a new set of threads.
  static void Forget();

 private:
  long Width() const;

  long diagonals_;
  long widest_;
  long narrowest_;
  int pass_;
  std::atomic<uint64_t> next_{0};  // the next strip's index in the upper half, its first diagonal in the lower
};

// For tests: cut strips of these widths in turn, within a schedule's narrowest and widest (none: the widths the
// speeds give). Applies to later frames.
void sgm_strip_widths_for_tests(std::vector<long> widths);
