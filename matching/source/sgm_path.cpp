// Path aggregation: the recurrence along 1 to 8 straight paths, each cut into bands of independent lines
// that the matcher's pool runs, with each pixel's search narrowed to a window around its previous result.
#include "sgm_path.h"

#include <algorithm>

#include "sgm_lines.h"
#include "sgm_pool.h"

namespace {

constexpr int kByteValues = 256;  // disparities are reported as one byte
constexpr unsigned long kBandsPerThread = 2;  // more bands than threads evens out unequal diagonal bands

template <int DY, int DX>
inline void path_pixel(const SgmKernels& kernels, unsigned char& flag, unsigned short* cell,
                       const unsigned short* cost, int previous, bool full, unsigned short* minimum,
                       const SgmSearchLimits& limits) {
  const unsigned long disparities = static_cast<unsigned long>(sgm_params.disparity_count);
  const long previous_pixel = DY * static_cast<long>(s_sgm_n) + DX;
  const unsigned short* previous_cell = cell + previous_pixel * static_cast<long>(sgm_cell_size());
  const SgmSearchRange range = sgm_search_range(previous, full, limits);
  const bool whole_cell = range.begin == 0 && range.end == disparities;
  // The smallest of all D entries of the previous cell, kept since that cell was last written.
  const unsigned short min_previous = minimum[previous_pixel];
  const unsigned short best = kernels.recurrence(range.begin, range.end, min_previous, previous_cell, cost, cell,
                                                 sgm_params.penalty1, sgm_params.penalty2);
  if (best <= limits.threshold) {
    *minimum = whole_cell ? best : kernels.minimum(cell + 1, disparities);
    return;
  }
  if (!full) {
    // The window failed: fill the indices outside it without the large-jump term.
    const unsigned short p1 = sgm_params.penalty1;
    for (unsigned long d = 0; d < disparities; ++d) {
      if (d >= range.begin && d < range.end) continue;
      const unsigned short lower = static_cast<unsigned short>(previous_cell[d] + p1);
      const unsigned short upper = static_cast<unsigned short>(previous_cell[d + 2] + p1);
      const unsigned short smallest = std::min({previous_cell[d + 1], lower, upper});
      cell[d + 1] = static_cast<unsigned short>(cost[d] + smallest - min_previous);
    }
  }
  *minimum = whole_cell ? best : kernels.minimum(cell + 1, disparities);
  sgm_set_flag(flag);
}

// Lines of band `band` of `bands`, where a pixel (y, x) lies on line x * DY - y * DX.
template <int DY, int DX>
SgmLineRange band_lines(const SgmArea& area, unsigned long band, unsigned long bands) {
  const SgmLineRange lines = sgm_area_lines(area, -DX, DY);
  const long per_band = (lines.last - lines.first + static_cast<long>(bands) - 1) / static_cast<long>(bands);
  return sgm_line_band(lines, static_cast<long>(band), per_band);
}

using PathBand = void (*)(unsigned short*, unsigned short*, unsigned long, unsigned long, const SgmSearchLimits&);

// Four-path and eight-path directions in plane order.
constexpr PathBand kFourPaths[kMaxFourPaths] = {sgm_path_band<0, -1>, sgm_path_band<-1, 0>, sgm_path_band<0, 1>,
                                                sgm_path_band<1, 0>};
constexpr PathBand kEightPaths[kMaxEightPaths] = {sgm_path_band<0, -1>, sgm_path_band<-1, -1>, sgm_path_band<-1, 0>,
                                                  sgm_path_band<-1, 1>, sgm_path_band<0, 1>,   sgm_path_band<1, 1>,
                                                  sgm_path_band<1, 0>,  sgm_path_band<1, -1>};

}  // namespace

SgmSearchRange sgm_search_range(int previous, bool full, const SgmSearchLimits& limits) {
  const long disparities = sgm_params.disparity_count;
  const long width = static_cast<long>(limits.window_width);
  if (full || width >= disparities) return {0, static_cast<unsigned long>(disparities)};
  // The previous result is disparity_min + index, wrapped into a byte: recover the index.
  const long centre = ((previous - sgm_params.disparity_min) % kByteValues + kByteValues) % kByteValues;
  const long half = width / 2;
  if (centre - half < 0) return {0, static_cast<unsigned long>(width)};
  if (centre + half > disparities)
    return {static_cast<unsigned long>(disparities - width), static_cast<unsigned long>(disparities)};
  return {static_cast<unsigned long>(centre - half), static_cast<unsigned long>(centre + half)};
}

template <int DY, int DX>
void sgm_path_pixel(unsigned char& flag, unsigned short* cell, const unsigned short* cost, int previous, bool full,
                    unsigned short* minimum, const SgmSearchLimits& limits) {
  path_pixel<DY, DX>(sgm_kernels(), flag, cell, cost, previous, full, minimum, limits);
}

template void sgm_path_pixel<0, -1>(unsigned char&, unsigned short*, const unsigned short*, int, bool,
                                    unsigned short*, const SgmSearchLimits&);

template <int DY, int DX>
void sgm_path_band(unsigned short* plane, unsigned short* minima, unsigned long band, unsigned long bands,
                   const SgmSearchLimits& limits) {
  // Top-left first for paths whose previous pixel lies above (or to the left in the same row), bottom-right
  // first otherwise.
  constexpr bool kForward = DY < 0 || (DY == 0 && DX < 0);
  const SgmArea area = sgm_processed_area();
  if (area.row_begin >= area.row_end || area.column_begin >= area.column_end) return;
  const SgmLineRange lines = band_lines<DY, DX>(area, band, bands);
  if (lines.first >= lines.last) return;
  const SgmKernels& kernels = sgm_kernels();
  const long n = static_cast<long>(s_sgm_n);
  const long cell_size = static_cast<long>(sgm_cell_size());
  const long disparities = sgm_params.disparity_count;
  auto visit = [&](long y, long x) {
    const long pixel = y * n + x;
    path_pixel<DY, DX>(kernels, sgm_range_flags_current[pixel], plane + pixel * cell_size,
                       sgm_cost_volume + pixel * disparities, sgm_prev_disparity[pixel],
                       sgm_range_flags_previous[pixel] != 0, minima + pixel, limits);
  };
  auto row = [&](long y) {
    long column_begin = area.column_begin, column_end = area.column_end;
    if (DY == 0) {
      const long line = -y * DX;
      if (line < lines.first || line >= lines.last) return;
    } else {
      // x * DY lies in [first + y * DX, last + y * DX).
      const long low = lines.first + y * DX, high = lines.last + y * DX;
      const long x_low = DY > 0 ? low : 1 - high;
      const long x_high = DY > 0 ? high : 1 - low;
      column_begin = std::max(column_begin, x_low);
      column_end = std::min(column_end, x_high);
    }
    if (kForward) {
      for (long x = column_begin; x < column_end; ++x) visit(y, x);
    } else {
      for (long x = column_end - 1; x >= column_begin; --x) visit(y, x);
    }
  };
  if (kForward) {
    for (long y = area.row_begin; y < area.row_end; ++y) row(y);
  } else {
    for (long y = area.row_end - 1; y >= area.row_begin; --y) row(y);
  }
}

void sgm_path() { sgm_path(sgm_search_limits()); }

void sgm_path(const SgmSearchLimits& limits) {
  const bool four_paths = sgm_params.path_number < kFourPathLimit;
  const unsigned long directions = std::min(sgm_params.path_number, four_paths ? kMaxFourPaths : kMaxEightPaths);
  if (directions == 0) return;
  const PathBand* paths = four_paths ? kFourPaths : kEightPaths;
  SgmPool& pool = sgm_pool();
  const unsigned long bands = pool.threads() == 1 ? 1 : pool.threads() * kBandsPerThread;
  const unsigned long plane_size = sgm_plane_size();
  const unsigned long pixels = s_sgm_m * s_sgm_n;
  pool.Run(directions * bands, [&](unsigned long task) {
    const unsigned long direction = task / bands;
    paths[direction](sgm_path_costs + direction * plane_size, sgm_cell_minima + direction * pixels, task % bands,
                     bands, limits);
  });
}
