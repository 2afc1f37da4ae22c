// Full-range frames of five to eight paths in two passes over the rows (sgm_raster_passes.h), run on the pool.
#pragma once

#include "sgm_kernels.h"

struct SgmSweepFrame;

// The paths of a frame, as the offsets (dy, dx) of their previous pixels; all eight or the first five to seven.
struct SgmRasterPaths {
  const int (*offsets)[2];
  unsigned long count;
};

// True for a path of the forward pass (or a family's first direction): its previous pixel lies above, or left in
// the same row.
inline bool sgm_raster_forward_path(int dy, int dx) { return dy < 0 || (dy == 0 && dx < 0); }

// How many of the paths run in the forward pass.
inline unsigned long sgm_raster_forward_paths(const SgmRasterPaths& paths) {
  unsigned long forward = 0;
  for (unsigned long i = 0; i < paths.count; ++i)
    forward += sgm_raster_forward_path(paths.offsets[i][0], paths.offsets[i][1]);
  return forward;
}

// Aggregates the frame's paths and picks every pixel's winner into f.out. The forward sums go to f.sums_volume, in
// the width `sums` (bytes only for byte cells where the forward paths times P2 fit a byte).
void sgm_raster_aggregate(const SgmSweepFrame& f, const SgmRasterPaths& paths, SgmCellWidth cells, SgmSumsWidth sums);

// Frees the passes' buffers and forgets the threads' speeds; harmless when nothing is allocated.
void sgm_raster_free();
