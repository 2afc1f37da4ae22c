// The two passes of a full-range frame of five to eight paths: each pass hands its strips out in the order of their
// diagonals, as wide as each thread's speed allows, to every thread of the pool.
#include "sgm_raster.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "sgm_pool.h"
#include "sgm_raster_passes.h"
#include "sgm_strip_schedule.h"

namespace {

// Strips a few to each thread, so that the small ones at the corners and each strip's wait for the one before it
// leave no thread idle for long; not so narrow that the pixels passed between strips cost much.
constexpr long kStripsPerThread = 2;
constexpr long kNarrowestStrip = 16;
constexpr long kWidestStrip = 64;
// A thread that runs this many times slower than the fastest still takes strips this much narrower, not less.
constexpr long kMostNarrowing = 8;

struct Buffers {
  // The cells at the strips' edges, in the width of the frame's cells, and the strips' progress.
  sgm_forms::CellScratch<uint16_t> edge_wide;
  sgm_forms::CellScratch<uint8_t> edge_bytes;
  std::vector<uint16_t> edge_minima;
  std::unique_ptr<SgmStripProgress[]> progress;
  long progress_strips = 0;
};

Buffers buffers;

long area_diagonals(const SgmArea& area) {
  return (area.row_end - area.row_begin) + (area.column_end - area.column_begin) - 1;
}

long widest_strip(const SgmArea& area) {
  const long wanted = area_diagonals(area) / (kStripsPerThread * static_cast<long>(sgm_pool().threads()));
  return std::clamp(wanted, kNarrowestStrip, kWidestStrip);
}

// The paths of the forward or the backward pass, in that pass's coordinates, where the backward pass counts rows from
// the bottom and columns from the right.
void take_paths(SgmRasterFrame& pass, const SgmRasterPaths& paths, bool forward) {
  pass.row_path = false;
  std::fill(std::begin(pass.column_path), std::end(pass.column_path), false);
  for (unsigned long i = 0; i < paths.count; ++i) {
    const int dy = paths.offsets[i][0], dx = paths.offsets[i][1];
    if (sgm_raster_forward_path(dy, dx) != forward) continue;
    if (dy == 0) {
      pass.row_path = true;
    } else {
      pass.column_path[(forward ? dx : -dx) + 1] = true;
    }
  }
}

// Every task takes strips until none is left. A strip waits only for the one before it, which a running task holds,
// so the pass ends however the pool hands its tasks out.
void run_pass(const SgmRasterFrame& r, SgmCellWidth cells, SgmSumsWidth sums, bool backward) {
  const auto strip = sgm_kernels().sweep_raster[cells][sums][backward];
  const long diagonals = area_diagonals(r.frame.area);
  for (long k = 0; k < buffers.progress_strips; ++k) r.progress[k].Reset();
  // Every strip but the last holds at least the pixels that pass to the next one.
  const int pass = backward ? 1 : 0;
  SgmStripSchedule schedule(diagonals, r.widest_strip, std::max(kRasterEdgePixels, r.widest_strip / kMostNarrowing),
                            pass);
  SgmPool& pool = sgm_pool();
  pool.Run(pool.threads(), [&](unsigned long) {
    SgmStripClaim claim{};
    while (schedule.Claim(claim)) {
      const auto start = std::chrono::steady_clock::now();
      const SgmStripWork work = strip(r, claim.index, claim.begin, claim.end);
      const auto busy = std::chrono::steady_clock::now() - start - work.waited;
      SgmStripSchedule::Report(pass, work.pixels,
                               std::chrono::duration_cast<std::chrono::nanoseconds>(busy).count());
    }
  });
}

}  // namespace

void sgm_raster_aggregate(const SgmSweepFrame& f, const SgmRasterPaths& paths, SgmCellWidth cells,
                          SgmSumsWidth sums) {
  SgmRasterFrame pass{};
  pass.frame = f;
  pass.forward_paths = sgm_raster_forward_paths(paths);
  pass.forward_sums = f.sums_volume;
  pass.widest_strip = widest_strip(f.area);
  const long rows = f.area.row_end - f.area.row_begin;
  const unsigned long edge_cells = static_cast<unsigned long>(2 * rows * kRasterEdgePixels * kRasterCellsPerPixel);
  pass.edge_cells = cells == kSgmCellBytes
                        ? static_cast<void*>(buffers.edge_bytes.fit(edge_cells, f.cell_size, f.fill))
                        : static_cast<void*>(buffers.edge_wide.fit(edge_cells, f.cell_size, f.fill));
  buffers.edge_minima.resize(edge_cells);
  pass.edge_minima = buffers.edge_minima.data();
  const long strips = SgmStripSchedule::MostStrips(area_diagonals(f.area), kRasterEdgePixels);
  if (buffers.progress_strips < strips) {
    buffers.progress.reset(new SgmStripProgress[static_cast<unsigned long>(strips)]);
    buffers.progress_strips = strips;
  }
  pass.progress = buffers.progress.get();
  take_paths(pass, paths, true);
  run_pass(pass, cells, sums, false);
  take_paths(pass, paths, false);
  run_pass(pass, cells, sums, true);
}

void sgm_raster_free() {
  buffers = Buffers();
  SgmStripSchedule::Forget();
}
