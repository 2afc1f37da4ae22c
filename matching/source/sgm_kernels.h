// The matcher's inner loops, in one table per instruction set: a plain form (the reference), a 128-bit
// form (SSE through SIMDe on x86-64, NEON on ARM) and, on x86-64 processors that have it, AVX2. Every
// form gives the same values; the table in use is chosen once from the processor and may be set by tests.
#pragma once

#include <cstdint>

struct SgmSweepFrame;
struct SgmSweepFamily;
struct SgmRasterFrame;
struct SgmStripWork;

struct SgmKernels {
  // Path recurrence for indices [start, end): cell[d+1] = cost[d] + min(previous[d+1], previous[d] + p1,
  // previous[d+2] + p1, min_previous + p2) - min_previous in wrapping 16-bit arithmetic. Returns the
  // smallest value written (65535 for an empty range).
  uint16_t (*recurrence)(unsigned long start, unsigned long end, uint16_t min_previous, const uint16_t* previous_cell,
                         const uint16_t* cost, uint16_t* cell, uint16_t p1, uint16_t p2);
  // Smallest of `count` values (65535 for none).
  uint16_t (*minimum)(const uint16_t* values, unsigned long count);
  // Winner-take-all of one pixel: sums[k] = the wrapping sum over `planes` planes of first[p * stride + k]
  // for k below count; returns the first index of the smallest sum (0 for count 0).
  unsigned long (*winner)(const uint16_t* first, unsigned long stride, unsigned long planes, unsigned long count,
                          uint16_t* sums);
  // sums[k] += the wrapping sum over `planes` planes of first[p * stride + k], for k below count.
  void (*add_planes)(const uint16_t* first, unsigned long stride, unsigned long planes, unsigned long count,
                     uint16_t* sums);
  // First index of the smallest of `count` values (0 for none).
  unsigned long (*first_minimum)(const uint16_t* values, unsigned long count);
  // Census costs of `pixels` neighbouring pixels with one-word signatures, as bytes:
  // cost[i * disparities + d] = popcount(left[i] ^ right[i - d]).
  void (*byte_costs)(const uint64_t* left, const uint64_t* right, unsigned long pixels, unsigned long disparities,
                     uint8_t* cost);
  // One-word census signatures (radius 1 to 3) of the 64 pixels from (y, x) of an image n pixels wide, into
  // signatures[0] to [63]; null in the forms that do it 16 pixels at a time through the census itself.
  void (*census_64)(const unsigned char* image, long n, long y, long x, unsigned long radius, uint64_t* signatures);
  // The passes of a full-range frame in families of lines (sgm_sweep_passes.h), by the width of the path cells
  // (SgmCellWidth) and the way the sums are handed on (SgmSumsLayout): rows [begin, end) of the rows' family, and the
  // band of lines [begin, end) of another family, whose lines are the columns (first index 0) or diagonals (1).
  void (*sweep_rows[2][3])(const SgmSweepFrame& frame, const SgmSweepFamily& family, long begin, long end);
  void (*sweep_band[2][2][3])(const SgmSweepFrame& frame, const SgmSweepFamily& family, long begin, long end);
  // Strip `strip` of diagonals [begin, end) of the forward or backward pass of a full-range frame of five to eight
  // paths (sgm_raster_passes.h), by the width of the path cells, of the forward sums and the pass (0 forward, 1
  // backward); null for byte sums of 16-bit cells, which never occur.
  SgmStripWork (*sweep_raster[2][2][2])(const SgmRasterFrame& frame, long strip, long begin, long end);
};

// The sums that one pass of a full-range frame hands to the next: 16-bit values, or bytes where they provably fit.
enum SgmSumsWidth { kSgmSums16, kSgmSumBytes };

// How a full-range frame's families of lines hand their sums on: one carried 16-bit volume, one carried byte volume,
// or a byte volume per family that the last family adds up.
enum SgmSumsLayout { kSgmCarried16, kSgmCarriedBytes, kSgmSeparateBytes };

// Path cells of a full-range frame: 16-bit values, or bytes where every path value provably fits one (twice the
// lanes per vector).
enum SgmCellWidth { kSgmCells16, kSgmCellBytes };

enum class SgmCodePath { kPlain, kVector128, kAvx2, kAvx512 };

// Tables of each form; the AVX2 and AVX-512 tables are null where they are not built.
extern const SgmKernels kSgmPlainKernels;
extern const SgmKernels kSgmVector128Kernels;
extern const SgmKernels* const kSgmAvx2Kernels;
extern const SgmKernels* const kSgmAvx512Kernels;

// True when this processor can run the form.
bool sgm_code_path_available(SgmCodePath path);
// Selects the form every later frame uses; false (and no change) when the processor cannot run it.
bool sgm_select_code_path(SgmCodePath path);
// The fastest form this processor runs.
SgmCodePath sgm_best_code_path();
SgmCodePath sgm_current_code_path();
// The table in use.
const SgmKernels& sgm_kernels();

// Census signatures of radius R (1 to 9) of the 16 neighbouring pixels from (y, x) of an image n pixels wide, each
// of sgm_census_words(R) words, from signatures[0] on; on 128-bit registers, whichever table is in use.
template <unsigned long R>
void sgm_census_16(const unsigned char* image, long n, long y, long x, uint64_t* signatures);
