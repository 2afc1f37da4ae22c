// The matcher's module state: the copied parameters, the frame counter, the temporal flags and the buffers.
#pragma once

#include <cstdint>

#include "libtessaro.h"
#include "library_export.h"

// Parameters as the matcher keeps them after libtessaro_setparam.
struct SgmModuleParameters {
  int64_t mode = 0;                 // image_interval_sampling, widened
  unsigned long source_height = 0;  // rows of the caller's images
  unsigned long source_width = 0;   // columns of the caller's images
  int32_t disparity_min = 0;
  int32_t disparity_max = 0;
  int64_t disparity_count = 0;     // D
  unsigned long window_scale = 0;  // census radius r
  unsigned long census_bits = 0;   // px, also the base of the initial path-cost fill
  uint16_t penalty1 = 0;           // P1
  uint16_t penalty2 = 0;           // P2
  uint16_t threshold = 0;          // temporal acceptance threshold
  unsigned long window_width = 0;  // W
  unsigned long path_number = 0;
  unsigned long thread_number = 0;
  bool opencl_enable = false;
};

// Rows [row_begin, row_end) and columns [column_begin, column_end) of one rectangle; empty when begin >= end.
struct SgmArea {
  long row_begin;
  long row_end;
  long column_begin;
  long column_end;
};

constexpr int64_t kIntervalSamplingMode = 1;
constexpr unsigned long kMinWindowScale = 1;
constexpr unsigned long kMaxWindowScale = 9;
constexpr unsigned long kFourPathLimit = 5;  // path_number below this selects the four-path mode
constexpr unsigned long kMaxFourPaths = 4;
constexpr unsigned long kMaxEightPaths = 8;
constexpr uint16_t kFullRangeThreshold = 65535;

extern SgmModuleParameters sgm_params;
LIBRARY_EXPORT extern uint64_t sgm_frame_count;
extern unsigned char* sgm_range_flags_current;   // pixels whose windowed search failed in this frame
extern unsigned char* sgm_range_flags_previous;  // 1 = search this pixel over the full range
LIBRARY_EXPORT extern unsigned char* sgm_prev_disparity;        // last CPU result, centre of the temporal window
LIBRARY_EXPORT extern unsigned short* sgm_cost_volume;          // m x n x D census costs, pixel-major
LIBRARY_EXPORT extern unsigned short* sgm_path_costs;           // path_number planes of m x n cells of D+2 values
extern unsigned short* sgm_cell_minima;          // per path plane and pixel: the smallest of its D path costs
extern unsigned short* sgm_sweep_sums;           // m x n x D sums that a full-range frame's families hand on
extern uint64_t* sgm_census_left;                // census signatures of the left image, kept zeroed outside
extern uint64_t* sgm_census_right;               // the computed area so that reuse across frames is exact
extern unsigned char* sgm_sampled_left;          // interval-sampling mode: every second row and column
extern unsigned char* sgm_sampled_right;

constexpr unsigned long kCensusWordBits = 64;
// 64-bit words that hold the (2r+1)^2 bits of one census signature.
constexpr unsigned long sgm_census_words(unsigned long r) {
  return ((2 * r + 1) * (2 * r + 1) + kCensusWordBits - 1) / kCensusWordBits;
}

// Values per path cell: a guard, the D path costs, a guard.
inline unsigned long sgm_cell_size() { return static_cast<unsigned long>(sgm_params.disparity_count) + 2; }
constexpr unsigned long kSweepAlignment = 64;  // of sgm_sweep_sums: a cache line
// Values per path plane.
inline unsigned long sgm_plane_size() { return s_sgm_m * s_sgm_n * sgm_cell_size(); }

// First column whose whole search range [x - D + 1, x] lies at or right of column r in the right image.
long sgm_first_matched_column();
// Pixels that receive a census cost.
SgmArea sgm_census_area();
// Pixels that are aggregated along the paths (a part of the census area).
SgmArea sgm_processed_area();

// Marks a pixel's flag byte; several path workers may mark the same byte at once.
inline void sgm_set_flag(unsigned char& flag) { __atomic_store_n(&flag, 1, __ATOMIC_RELAXED); }

// Frees every buffer and nulls its pointer; harmless when nothing is allocated.
void sgm_free_buffers();
// Allocates every buffer for the current parameters, value-initialised.
void sgm_allocate_buffers();

