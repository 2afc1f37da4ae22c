// Full-range frames in one pass per family of paths along the same lines (up to four paths, and five to eight while
// other work takes the threads' processors) or in two passes over the rows (five to eight), with the winner-take-all
// folded into the last. The path planes are not written; a later
// narrowed frame that needs them has them rebuilt from the kept images of the last such frame.
#pragma once

#include "sgm_state.h"

// True when the current parameters make every pixel search the full range and never flag it (the threshold
// accepts every cost and the window covers D), with 1 to 8 paths: such a frame depends only on its images. Also
// asks for the processor's census with costs that fit a byte (radius up to 7), and for the sums' volume.
bool sgm_sweep_applies(const SgmSearchLimits& limits = sgm_search_limits());

// Computes the census signatures of the images, aggregates their costs along all paths and writes the
// cheapest disparity of every pixel into out (m x n bytes). Keeps copies of the images for
// sgm_sweep_restore_planes.
void sgm_sweep_frame(unsigned char* out, const unsigned char* left, const unsigned char* right);

// The aggregation and winner-take-all of sgm_sweep_frame alone, over the signatures already computed.
void sgm_sweep_aggregate(unsigned char* out);

// Bytes per cell that the sums handed between passes take with the current parameters: room for one 16-bit
// volume, or one byte volume where five to eight paths hand on bytes both in two passes and in families.
unsigned long sgm_sweep_bytes_per_cell();

// How full-range frames of five to eight paths run: in two passes of strips while the pool's threads keep their
// processors, as independent families while other work takes them (SgmPool::Contended). Tests fix either.
enum class SgmEightPathSchedule { kByContention, kStrips, kFamilies };
void sgm_sweep_schedule_for_tests(SgmEightPathSchedule schedule);

// True while the path planes lag behind the last frame, because that frame was swept.
bool sgm_sweep_planes_stale();
// Brings the path planes to the state the last swept frame would have left: its census again, then the
// path aggregation over the full range. Overwrites the cost volume.
void sgm_sweep_restore_planes();
// Forgets any swept frame: the planes are as init or set-up left them.
void sgm_sweep_reset();
// Allocates the sums' volume, sized by sgm_sweep_bytes_per_cell for the current parameters, and forgets any
// swept frame; throws std::bad_alloc when there is no room.
void sgm_sweep_allocate();
// Frees the sums' volume and forgets any swept frame; harmless when nothing is allocated.
void sgm_sweep_free();
