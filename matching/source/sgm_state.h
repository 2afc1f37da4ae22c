// The matcher's module state: the copied parameters, the frame counter, the temporal flags and the buffers.
#pragma once

#include <cstdint>

#include "libtessaro.h"
#include "library_export.h"
#include "sgm_types.h"

extern SgmModuleParameters sgm_params;
LIBRARY_EXPORT extern uint64_t sgm_frame_count;
extern unsigned char* sgm_range_flags_current;   // pixels whose windowed search failed in this frame
extern unsigned char* sgm_range_flags_previous;  // 1 = search this pixel over the full range
LIBRARY_EXPORT extern unsigned char* sgm_prev_disparity;        // last CPU result, centre of the temporal window
LIBRARY_EXPORT extern unsigned short* sgm_cost_volume;          // m x n x D census costs, pixel-major
LIBRARY_EXPORT extern unsigned short* sgm_path_costs;           // path_number planes of m x n cells of D+2 values
extern unsigned short* sgm_cell_minima;          // per path plane and pixel: the smallest of its D path costs
extern uint64_t* sgm_census_left;                // census signatures of the left image, kept zeroed outside
extern uint64_t* sgm_census_right;               // the computed area so that reuse across frames is exact
extern unsigned char* sgm_sampled_left;          // interval-sampling mode: every second row and column
extern unsigned char* sgm_sampled_right;

// The search limits the parameters give, and those of a frame over the full range that flags no pixel.
inline SgmSearchLimits sgm_search_limits() { return {sgm_params.threshold, sgm_params.window_width}; }
inline SgmSearchLimits sgm_full_range_limits() {
  return {kFullRangeThreshold, static_cast<unsigned long>(sgm_params.disparity_count)};
}

// Values per path cell: a guard, the D path costs, a guard.
inline unsigned long sgm_cell_size() { return static_cast<unsigned long>(sgm_params.disparity_count) + 2; }
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
// Allocates every buffer for the current parameters, zeroed.
void sgm_allocate_buffers();

