// Full-range frames without the path planes. Up to four paths come in families of two opposite directions along the
// same lines (columns, rows): the columns' family runs in bands of whole lines, one band per task, and hands its sums
// on; the rows' family runs last, a few rows per task, reading the sums in the order they lie in memory, and picks
// each pixel's winner as it goes. No task waits for another within a pass, and a band's path state stays with the
// thread that runs it. Five to eight paths run in two passes over the rows (sgm_raster.h), which hand on one volume
// where four families (columns, both diagonals, rows) would write three and read them back; but each strip of those
// passes waits for the one before it, so while other work takes the threads' processors, they run as the four
// independent families, where a thread that loses its processor holds up only its own band.
#include "sgm_sweep.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "opencl_seam.h"
#include "sgm_buffer.h"
#include "sgm_census.h"
#include "sgm_kernels.h"
#include "sgm_lines.h"
#include "sgm_path.h"
#include "sgm_pool.h"
#include "sgm_raster.h"
#include "sgm_state.h"
#include "sgm_sweep_passes.h"

namespace {

using sgm_forms::kSweepBandLines;
using sgm_forms::kSweepRowGroup;
using Frame = SgmSweepFrame;
using Family = SgmSweepFamily;

constexpr unsigned long kFamilies = 4;

struct FreeSums {
  void operator()(unsigned short* sums) const { sgm_unmap_buffer(sums); }
};

struct Buffers {
  std::unique_ptr<unsigned short, FreeSums> sums;  // m x n x D sums that a full-range frame's families hand on
  std::vector<uint16_t> fill_cell;  // the cell of a pixel outside the processed area: all initial fill
  std::vector<uint8_t> fill_cell_bytes;
  std::vector<uint16_t> zeros;
  std::vector<uint8_t> zero_bytes;
  std::vector<unsigned char> left, right;  // images of the last swept frame
  bool stale = false;
};

Buffers buffers;
SgmEightPathSchedule schedule = SgmEightPathSchedule::kByContention;

// Each path as the offset (dy, dx) of its previous pixel: the four-path and the eight-path tables, of which a frame
// takes its first path_number.
constexpr int kFourPaths[kMaxFourPaths][2] = {{0, -1}, {-1, 0}, {0, 1}, {1, 0}};
constexpr int kEightPaths[kMaxEightPaths][2] = {{0, -1}, {-1, -1}, {-1, 0}, {-1, 1},
                                                {0, 1},  {1, 1},   {1, 0},  {1, -1}};

bool four_path_mode() { return sgm_params.path_number < kFourPathLimit; }

SgmRasterPaths eight_paths() { return {kEightPaths, std::min(sgm_params.path_number, kMaxEightPaths)}; }

// The families of the frame's paths, in the order the passes run them: the columns', the diagonals', the rows'.
std::vector<Family> families_of_paths() {
  Family families[kFamilies] = {{false, 0}, {false, -1}, {false, 1}, {true, 0}};
  const bool four = four_path_mode();
  const unsigned long count = std::min(sgm_params.path_number, four ? kMaxFourPaths : kMaxEightPaths);
  for (unsigned long i = 0; i < count; ++i) {
    const int dy = four ? kFourPaths[i][0] : kEightPaths[i][0], dx = four ? kFourPaths[i][1] : kEightPaths[i][1];
    // The first direction's previous pixel lies above, at (y - 1, x + slope), or left in a row.
    const bool forward = sgm_raster_forward_path(dy, dx);
    const long slope = forward ? dx : -dx;
    Family& target = dy == 0 ? families[3] : slope == 0 ? families[0] : slope < 0 ? families[1] : families[2];
    (forward ? target.forward : target.backward) = true;
  }
  std::vector<Family> present;
  for (const Family& family : families)
    if (family.forward || family.backward) present.push_back(family);
  return present;
}

void run_family(const Frame& f, const Family& family, SgmCellWidth cells, SgmSumsLayout sums) {
  SgmPool& pool = sgm_pool();
  const SgmKernels& kernels = sgm_kernels();
  if (family.rows) {
    const long groups = (f.area.row_end - f.area.row_begin + kSweepRowGroup - 1) / kSweepRowGroup;
    pool.Run(static_cast<unsigned long>(groups), [&](unsigned long i) {
      const long begin = f.area.row_begin + static_cast<long>(i) * kSweepRowGroup;
      kernels.sweep_rows[cells][sums](f, family, begin, std::min(begin + kSweepRowGroup, f.area.row_end));
    });
    return;
  }
  // Bands of whole lines x + slope * y.
  const SgmLineRange lines = sgm_area_lines(f.area, family.slope, 1);
  pool.Run(static_cast<unsigned long>(sgm_band_count(lines, kSweepBandLines)), [&](unsigned long band) {
    const SgmLineRange own = sgm_line_band(lines, static_cast<long>(band), kSweepBandLines);
    kernels.sweep_band[family.slope != 0][cells][sums](f, family, own.first, own.last);
  });
}

constexpr unsigned long kLargestByte = 255;
constexpr unsigned long kLargest16 = 65535;

// True while no term of the 16-bit recurrence wraps: the guards' fill plus the larger penalty, and the previous
// pixel's smallest value (at most the fill) plus P2, stay within 16 bits.
bool terms_fit_16_bits() {
  const unsigned long p1 = sgm_params.penalty1, p2 = sgm_params.penalty2;
  return sgm_params.census_bits + p2 + std::max(p1, p2) <= kLargest16;
}

// Each path value lies between its cost and the cost plus P2: the previous pixel's smallest value is the least a
// term can be, its jump term the most, and the guards (initial fill: more than the largest cost plus P2) never win.
// That holds while no 16-bit term wraps, and while the fill exceeds every cost, which the interval-sampling mode's
// fill does not.
bool paths_within_cost_plus_p2() { return sgm_params.mode != kIntervalSamplingMode && terms_fit_16_bits(); }

// Byte cells where every path value and the guards' fill fit a byte: a path value is at most the largest cost plus
// P2, below the fill of the census bit count plus P2.
SgmCellWidth cell_width() {
  if (!paths_within_cost_plus_p2()) return kSgmCells16;
  return sgm_params.census_bits + sgm_params.penalty2 <= kLargestByte ? kSgmCellBytes : kSgmCells16;
}

// One carried byte volume where the sum of all families but the last fits a byte; else a byte volume per family where
// each family's own sum fits (the last family reads them all, as much as a carried volume would move, in half the
// bytes of 16 bits); else one carried 16-bit volume.
SgmSumsLayout family_sums_layout(const std::vector<Family>& families) {
  if (!paths_within_cost_plus_p2() || families.size() < 2) return kSgmCarried16;
  const unsigned long largest_path = sgm_params.census_bits - 1 + sgm_params.penalty2;  // the centre bit never differs
  unsigned long stored = 0, largest_family = 0;
  for (size_t i = 0; i + 1 < families.size(); ++i) {
    const unsigned long paths = static_cast<unsigned long>(families[i].forward + families[i].backward);
    stored += paths;
    largest_family = std::max(largest_family, paths);
  }
  if (stored * largest_path <= kLargestByte) return kSgmCarriedBytes;
  const bool room = families.size() - 1 <= kMaxSweepVolumes;
  return room && largest_family * largest_path <= kLargestByte ? kSgmSeparateBytes : kSgmCarried16;
}

// Bytes where the two passes' byte sums can be restored (see byte_totals in sgm_raster_passes.h): byte cells, and the
// paths of either pass exceed their costs by at most 255 together, P2 each.
SgmSumsWidth raster_sums_width() {
  const SgmRasterPaths paths = eight_paths();
  const unsigned long forward = sgm_raster_forward_paths(paths);
  const unsigned long most = std::max(forward, paths.count - forward);
  return cell_width() == kSgmCellBytes && most * sgm_params.penalty2 <= kLargestByte ? kSgmSumBytes : kSgmSums16;
}

}  // namespace

bool sgm_sweep_applies(const SgmSearchLimits& limits) {
  // The byte costs come from the processor's census; the GPU's census fills only the 16-bit volume.
  return limits.threshold == kFullRangeThreshold &&
         limits.window_width >= static_cast<unsigned long>(sgm_params.disparity_count) &&
         sgm_params.path_number >= 1 && sgm_params.path_number <= kMaxEightPaths && !sgm_params.opencl_enable &&
         sgm_params.window_scale <= kMaxByteCostWindowScale && buffers.sums != nullptr;
}

void sgm_sweep_frame(unsigned char* out, const unsigned char* left, const unsigned char* right) {
  const unsigned long pixels = s_sgm_m * s_sgm_n;
  sgm_census_signatures(left, right);
  buffers.left.assign(left, left + pixels);
  buffers.right.assign(right, right + pixels);
  buffers.stale = true;
  sgm_sweep_aggregate(out);
}

void sgm_sweep_aggregate(unsigned char* out) {
  // Outside the processed area every sum is the same, so index 0 wins.
  std::memset(out, static_cast<unsigned char>(sgm_params.disparity_min), s_sgm_m * s_sgm_n);
  const SgmArea area = sgm_processed_area();
  if (area.row_begin >= area.row_end || area.column_begin >= area.column_end) return;
  const unsigned long disparities = static_cast<unsigned long>(sgm_params.disparity_count);
  Frame f;
  f.area = area;
  f.n = static_cast<long>(s_sgm_n);
  f.disparities = disparities;
  f.cell_size = static_cast<long>(sgm_cell_size());
  f.p1 = sgm_params.penalty1;
  f.p2 = sgm_params.penalty2;
  f.fill = static_cast<uint16_t>(sgm_params.census_bits + sgm_params.penalty2);
  f.disparity_min = sgm_params.disparity_min;
  f.left_signatures = sgm_census_left;
  f.right_signatures = sgm_census_right;
  f.words = sgm_census_words(sgm_params.window_scale);
  f.sums_volume = buffers.sums.get();
  buffers.fill_cell.assign(disparities + 2, f.fill);
  buffers.fill_cell_bytes.assign(disparities + 2, static_cast<uint8_t>(f.fill));
  buffers.zeros.assign(disparities, 0);
  buffers.zero_bytes.assign(disparities, 0);
  f.fill_cell = buffers.fill_cell.data();
  f.fill_cell_bytes = buffers.fill_cell_bytes.data();
  f.zeros = buffers.zeros.data();
  f.zero_bytes = buffers.zero_bytes.data();
  f.out = out;
  const bool families_now = schedule == SgmEightPathSchedule::kFamilies ||
                            (schedule == SgmEightPathSchedule::kByContention && sgm_pool().Contended());
  if (!four_path_mode() && !families_now) {
    sgm_raster_aggregate(f, eight_paths(), cell_width(), raster_sums_width());
    return;
  }
  // Both tables start with the rows' first direction, so the rows' pass always runs, last, and picks the winners.
  const std::vector<Family> families = families_of_paths();
  const SgmSumsLayout layout = family_sums_layout(families);
  const unsigned long cells = s_sgm_m * s_sgm_n * disparities;
  for (size_t i = 0; i < families.size(); ++i) {
    if (layout == kSgmSeparateBytes && i + 1 < families.size()) {
      uint8_t* own = reinterpret_cast<uint8_t*>(buffers.sums.get()) + i * cells;
      f.sums_volume = own;
      f.volumes[f.volume_count++] = own;
    }
    run_family(f, families[i], cell_width(), layout);
    f.carried_in = true;
  }
}

unsigned long sgm_sweep_bytes_per_cell() {
  // Five to eight paths may run as passes of strips or as families: room for whichever hands on more.
  constexpr unsigned long kOne16BitVolume = 2;
  if (four_path_mode()) return kOne16BitVolume;
  const std::vector<Family> families = families_of_paths();
  const SgmSumsLayout layout = family_sums_layout(families);
  const unsigned long family_bytes = layout == kSgmSeparateBytes ? families.size() - 1
                                     : layout == kSgmCarriedBytes ? 1
                                                                  : kOne16BitVolume;
  return std::max(family_bytes, raster_sums_width() == kSgmSumBytes ? 1 : kOne16BitVolume);
}

void sgm_sweep_schedule_for_tests(SgmEightPathSchedule chosen) { schedule = chosen; }

bool sgm_sweep_planes_stale() { return buffers.stale; }

void sgm_sweep_restore_planes() {
  if (!buffers.stale) return;
  buffers.stale = false;
  if (!(sgm_params.opencl_enable &&
        tessaro_opencl_census(sgm_cost_volume, buffers.left.data(), buffers.right.data())))
    sgm_census_volume(sgm_cost_volume, buffers.left.data(), buffers.right.data(), sgm_params.window_scale);
  // A full-range frame flags no pixel, so the flag maps stay as they are.
  sgm_path(sgm_full_range_limits());
}

void sgm_sweep_reset() { buffers.stale = false; }

void sgm_sweep_allocate() {
  sgm_sweep_free();
  // Written before it is read in every frame that uses it. Aligned to a cache line, so that the sums of a pixel
  // whose D is a multiple of 32 start on a vector of bytes and can be streamed past the caches.
  const unsigned long cells = s_sgm_m * s_sgm_n * static_cast<unsigned long>(sgm_params.disparity_count);
  buffers.sums.reset(static_cast<unsigned short*>(sgm_map_buffer(cells * sgm_sweep_bytes_per_cell())));
}

void sgm_sweep_free() {
  buffers.sums.reset();
  sgm_raster_free();
  buffers.stale = false;
}
