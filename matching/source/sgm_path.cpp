// Path aggregation: the recurrence along 1 to 8 straight paths, each on worker threads of its own,
// with each pixel's search narrowed to a window around its previous result.
#include "sgm_path.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "sgm_neon.h"
#include "sgm_state.h"

namespace {

constexpr int kByteValues = 256;  // disparities are reported as one byte

// Runs the path over a rectangle in the order its dependency needs: top-left first for paths whose
// previous pixel lies above (or to the left in the same row), bottom-right first otherwise.
template <int DY, int DX>
void aggregate_rectangle(unsigned short* plane, unsigned short* minima, long row_begin, long row_end, long column_begin,
                         long column_end) {
  constexpr bool kForward = DY < 0 || (DY == 0 && DX < 0);
  const long n = static_cast<long>(s_sgm_n);
  const long cell_size = static_cast<long>(sgm_cell_size());
  const long disparities = sgm_params.disparity_count;
  auto visit = [&](long y, long x) {
    const long pixel = y * n + x;
    sgm_path_pixel<DY, DX>(sgm_range_flags_current[pixel], plane + pixel * cell_size,
                           sgm_cost_volume + pixel * disparities, sgm_prev_disparity[pixel],
                           sgm_range_flags_previous[pixel] != 0, minima + pixel);
  };
  if (kForward) {
    for (long y = row_begin; y < row_end; ++y)
      for (long x = column_begin; x < column_end; ++x) visit(y, x);
  } else {
    for (long y = row_end - 1; y >= row_begin; --y)
      for (long x = column_end - 1; x >= column_begin; --x) visit(y, x);
  }
}

using FourPathWorker = void (*)(unsigned short*, unsigned short*, unsigned long, unsigned long);
using EightPathWorker = void (*)(unsigned short*, unsigned short*);

// Four-path directions in plane order.
constexpr FourPathWorker kFourPathWorkers[kMaxFourPaths] = {sgm_path_thread<0, -1>, sgm_path_thread<-1, 0>,
                                                            sgm_path_thread<0, 1>, sgm_path_thread<1, 0>};

// Eight-path directions in plane order, with the processor each worker pins itself to.
struct EightPathDirection {
  EightPathWorker worker;
  int processor;
};
constexpr EightPathDirection kEightPathDirections[kMaxEightPaths] = {
    {sgm_path_forward<0, -1>, 4}, {sgm_path_forward<-1, -1>, 4}, {sgm_path_forward<-1, 0>, 0},
    {sgm_path_forward<-1, 1>, 1}, {sgm_path_backward<0, 1>, 5},  {sgm_path_backward<1, 1>, 5},
    {sgm_path_backward<1, 0>, 2}, {sgm_path_backward<1, -1>, 3}};

}  // namespace

SgmSearchRange sgm_search_range(int previous, bool full) {
  const long disparities = sgm_params.disparity_count;
  const long width = static_cast<long>(sgm_params.window_width);
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
                    unsigned short* minimum) {
  const unsigned long disparities = static_cast<unsigned long>(sgm_params.disparity_count);
  const long previous_pixel = DY * static_cast<long>(s_sgm_n) + DX;
  const unsigned short* previous_cell = cell + previous_pixel * static_cast<long>(sgm_cell_size());
  const SgmSearchRange range = sgm_search_range(previous, full);
  const bool whole_cell = range.begin == 0 && range.end == disparities;
  // The smallest of all D entries of the previous cell, kept since that cell was last written.
  const unsigned short min_previous = minimum[previous_pixel];
  asm_cost_accumulation(range.begin, range.end, &min_previous, previous_cell, cost, cell, &sgm_params.penalty1,
                        &sgm_params.penalty2);
  const unsigned short best = sgm_min_value(cell + range.begin + 1, range.end - range.begin);
  if (best <= sgm_params.threshold) {
    *minimum = whole_cell ? best : sgm_min_value(cell + 1, disparities);
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
  *minimum = whole_cell ? best : sgm_min_value(cell + 1, disparities);
  sgm_set_flag(flag);
}

template <int DY, int DX>
void sgm_path_thread(unsigned short* plane, unsigned short* minima, unsigned long begin, unsigned long end) {
  const SgmArea area = sgm_processed_area();
  const long band_begin = static_cast<long>(begin);
  const long band_end = static_cast<long>(end);
  if (DY == 0) {
    aggregate_rectangle<DY, DX>(plane, minima, std::max(area.row_begin, band_begin), std::min(area.row_end, band_end),
                                area.column_begin, area.column_end);
  } else {
    aggregate_rectangle<DY, DX>(plane, minima, area.row_begin, area.row_end, std::max(area.column_begin, band_begin),
                                std::min(area.column_end, band_end));
  }
}

template <int DY, int DX>
void sgm_path_forward(unsigned short* plane, unsigned short* minima) {
  static_assert(DY < 0 || (DY == 0 && DX < 0), "forward paths take their previous pixel from above or left");
  const SgmArea area = sgm_processed_area();
  aggregate_rectangle<DY, DX>(plane, minima, area.row_begin, area.row_end, area.column_begin, area.column_end);
}

template <int DY, int DX>
void sgm_path_backward(unsigned short* plane, unsigned short* minima) {
  static_assert(DY > 0 || (DY == 0 && DX > 0), "backward paths take their previous pixel from below or right");
  const SgmArea area = sgm_processed_area();
  aggregate_rectangle<DY, DX>(plane, minima, area.row_begin, area.row_end, area.column_begin, area.column_end);
}

void sgm_path() {
  const unsigned long plane_size = sgm_plane_size();
  const unsigned long pixels = s_sgm_m * s_sgm_n;
  std::vector<std::thread> workers;
  if (sgm_params.path_number < kFourPathLimit) {
    const unsigned long directions = std::min(sgm_params.path_number, kMaxFourPaths);
    if (directions == 0) return;
    const unsigned long per_direction = (sgm_params.thread_number - 1) / directions + 1;
    for (unsigned long i = 0; i < directions; ++i) {
      const bool horizontal = i % 2 == 0;
      const unsigned long extent = horizontal ? s_sgm_m : s_sgm_n;
      const unsigned long band = (extent + per_direction - 1) / per_direction;
      for (unsigned long j = 0; j < per_direction; ++j)
        workers.emplace_back(kFourPathWorkers[i], sgm_path_costs + i * plane_size, sgm_cell_minima + i * pixels,
                             band * j, band * (j + 1));
    }
  } else {
    const unsigned long directions = std::min(sgm_params.path_number, kMaxEightPaths);
    for (unsigned long i = 0; i < directions; ++i) {
      const EightPathDirection direction = kEightPathDirections[i];
      unsigned short* plane = sgm_path_costs + i * plane_size;
      unsigned short* minima = sgm_cell_minima + i * pixels;
      workers.emplace_back([direction, plane, minima] {
        BindThreadToCpu(direction.processor);
        direction.worker(plane, minima);
      });
    }
  }
  for (std::thread& worker : workers) worker.join();
}
