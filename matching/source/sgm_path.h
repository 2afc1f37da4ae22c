// Semi-global path aggregation of the cost volume with the temporal narrowing of each pixel's search.
#pragma once

#include "sgm_kernels.h"
#include "library_export.h"
#include "sgm_state.h"

// Disparity indices [begin, end) that one pixel searches.
struct SgmSearchRange {
  unsigned long begin;
  unsigned long end;
};

// The pixel's search range: all D indices when `full` is set or W covers D, otherwise the window of W
// indices around the previous result (relative to disparity_min), moved inside [0, D) at the edges.
SgmSearchRange sgm_search_range(int previous, bool full, const SgmSearchLimits& limits = sgm_search_limits());

// One pixel of the path whose previous pixel is at (y + DY, x + DX): runs the recurrence over the pixel's
// range, and when the best cost there is above the threshold, fills the rest of the cell and sets the flag.
// `minimum` is the pixel's entry in the plane's map of cell minima, which it reads for the previous pixel and
// keeps up to date for this one.
template <int DY, int DX>
void sgm_path_pixel(unsigned char& flag, unsigned short* cell, const unsigned short* cost, int previous, bool full,
                    unsigned short* minimum, const SgmSearchLimits& limits = sgm_search_limits());

// One band of one path over the processed area, writing the path's plane of costs and its map of cell
// minima. Every pixel depends only on earlier pixels of its own line along the path (a row, a column or a
// diagonal), so the area is cut into `bands` groups of whole lines that run independently.
template <int DY, int DX>
void sgm_path_band(unsigned short* plane, unsigned short* minima, unsigned long band, unsigned long bands,
                   const SgmSearchLimits& limits);

// Aggregates every path of one frame on the matcher's pool, within the parameters' search limits.
LIBRARY_EXPORT void sgm_path();
// The same within the given search limits.
void sgm_path(const SgmSearchLimits& limits);
