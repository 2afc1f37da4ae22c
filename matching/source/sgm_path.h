// Semi-global path aggregation of the cost volume with the temporal narrowing of each pixel's search.
#pragma once

// Disparity indices [begin, end) that one pixel searches.
struct SgmSearchRange {
  unsigned long begin;
  unsigned long end;
};

// The pixel's search range: all D indices when `full` is set or W covers D, otherwise the window of W
// indices around the previous result (relative to disparity_min), moved inside [0, D) at the edges.
SgmSearchRange sgm_search_range(int previous, bool full);

// One pixel of the path whose previous pixel is at (y + DY, x + DX): runs the recurrence over the pixel's
// range, and when the best cost there is above the threshold, fills the rest of the cell and sets the flag.
// `minimum` is the pixel's entry in the plane's map of cell minima, which it reads for the previous pixel and
// keeps up to date for this one.
template <int DY, int DX>
void sgm_path_pixel(unsigned char& flag, unsigned short* cell, const unsigned short* cost, int previous, bool full,
                    unsigned short* minimum);

// Path workers write their plane of path costs and its map of cell minima.
// Four-path worker: one direction over the band [begin, end) of rows (horizontal) or columns (vertical).
template <int DY, int DX>
void sgm_path_thread(unsigned short* plane, unsigned short* minima, unsigned long begin, unsigned long end);

// Eight-path workers over the whole processed area: top to bottom, left to right, or the reverse.
template <int DY, int DX>
void sgm_path_forward(unsigned short* plane, unsigned short* minima);
template <int DY, int DX>
void sgm_path_backward(unsigned short* plane, unsigned short* minima);

// Aggregates every path of one frame; starts and joins its workers.
void sgm_path();
