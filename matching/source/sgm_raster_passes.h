// Full-range frames of five to eight paths in two passes over the image, written once over a lane type V like the
// other inner loops. The forward pass walks the rows top to bottom, each left to right, with the paths whose previous
// pixel lies left or above; the backward pass walks bottom to top, right to left, with the paths from the other side,
// adds the forward sums and picks each pixel's winner. Only the forward sums go through memory, and the census costs
// are counted twice in all (four line families would write and read six volumes and count them four times).
//
// Both passes are written in the pass's own coordinates: row a and column c of the processed area, counted in the
// order the pass walks them. A pixel's paths come from (a, c - 1) and from (a - 1, c - 1 .. c + 1), none of them with
// a larger a + c than its own: cut into strips of consecutive values of a + c (sheared along the anti-diagonal), each
// strip depends on the strip before it alone. A task walks its strip row by row, one row behind the strip before it,
// and only the last two pixels of each row pass from one task to the next.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <type_traits>

#include "sgm_strip_progress.h"
#include "sgm_sweep_passes.h"

// The paths of a pixel's cells, in the pass's coordinates: the three column paths by their previous pixel's column
// offset + 1, from (a - 1, c - 1), (a - 1, c), (a - 1, c + 1), then the row path from (a, c - 1).
constexpr long kRasterColumnPaths = 3;
constexpr long kRasterRowPath = 3;
constexpr long kRasterCellsPerPixel = 4;
// The last pixels of a strip's row that the next strip reads, for its row path and its column paths: a strip is at
// least this wide, but for the last.
constexpr long kRasterEdgePixels = 2;

struct SgmRasterFrame {
  SgmSweepFrame frame;  // the area, sizes, penalties, signatures and output
  bool row_path;
  bool column_path[kRasterColumnPaths];
  unsigned long forward_paths;  // paths of the forward pass
  // m x n x D: the forward pass's sums, 16-bit or their low bytes.
  void* forward_sums;
  long widest_strip;  // diagonals of the widest strip, for the strips' own cells
  // The cells of each row's last kRasterEdgePixels pixels of a strip, for the strips of either parity: two strips
  // apart, a strip writes a row only after the strip between them has read it (see raster_strip).
  void* edge_cells;
  uint16_t* edge_minima;
  SgmStripProgress* progress;  // by strip
};

// What one strip took: its pixels, and the time it waited for the strip before it.
struct SgmStripWork {
  long pixels = 0;
  std::chrono::nanoseconds waited{0};
};

namespace sgm_forms {

// The totals of one pixel in 16 bits from the byte sums of both passes, into `total`; returns the smallest. Each byte
// sum holds the low byte of a sum that exceeds its paths times the cost by at most 255 (a path value lies between its
// cost and the cost plus P2, and bytes are used only where the paths of a pass times P2 fit one): that excess is the
// low byte of the difference, and the cost times all the paths goes back on in 16 bits.
template <class B>
uint16_t byte_totals(const uint8_t* forward, const uint8_t* backward, const uint8_t* cost, unsigned long count,
                     unsigned long forward_paths, unsigned long backward_paths, uint16_t* total) {
  using W = typename B::Wide;
  constexpr unsigned long kHalves = B::kLanes / W::kLanes;
  const unsigned long paths = forward_paths + backward_paths;
  auto times = [](auto add, auto value, unsigned long factor, auto zero) {
    auto product = zero;
    for (; factor != 0; factor >>= 1) {
      if (factor & 1) product = add(product, value);
      value = add(value, value);
    }
    return product;
  };
  typename W::T lowest = W::dup(kNoValue);
  unsigned long d = 0;
  for (; d + B::kLanes <= count; d += B::kLanes) {
    const typename B::T costs = B::load(cost + d);
    const typename B::T zero = B::dup(0);
    const typename B::T forward_excess = B::sub(B::load(forward + d), times(B::add, costs, forward_paths, zero));
    const typename B::T backward_excess = B::sub(B::load(backward + d), times(B::add, costs, backward_paths, zero));
    auto put_half = [&](unsigned long at, typename W::T one, typename W::T other, typename W::T cost_half) {
      const typename W::T sum = W::add(W::add(one, other), times(W::add, cost_half, paths, W::dup(0)));
      W::store(total + at, sum);
      lowest = W::min(lowest, sum);
    };
    put_half(d, B::template widen<0>(forward_excess), B::template widen<0>(backward_excess),
             B::template widen<0>(costs));
    if constexpr (kHalves == 2)
      put_half(d + W::kLanes, B::template widen<1>(forward_excess), B::template widen<1>(backward_excess),
               B::template widen<1>(costs));
  }
  uint16_t smallest = W::smallest(lowest);
  for (; d < count; ++d) {
    const uint8_t forward_excess = static_cast<uint8_t>(forward[d] - forward_paths * cost[d]);
    const uint8_t backward_excess = static_cast<uint8_t>(backward[d] - backward_paths * cost[d]);
    total[d] = static_cast<uint16_t>(forward_excess + backward_excess + paths * cost[d]);
    smallest = std::min(smallest, total[d]);
  }
  return smallest;
}

// One strip of a pass (see above). C gives the path cells (WideCells or ByteCells over V's form), S the forward sums:
// 16-bit values, or bytes where the forward paths times P2 fit one (then C is ByteCells). The forward pass writes its
// sums past the caches; the backward pass adds them and picks the winners.
template <class V, class C, class S, bool kBackward>
SgmStripWork raster_strip(const SgmRasterFrame& r, long strip, long u0, long u1) {
  using Value = typename C::Value;
  static_assert(!std::is_same_v<S, uint8_t> || std::is_same_v<Value, uint8_t>, "byte sums come from byte cells");
  const SgmSweepFrame& f = r.frame;
  const StreamFenceOnExit<V> fence;
  // The backward pass adds 16-bit forward sums in 16 bits; byte sums it keeps in bytes to the end.
  constexpr bool kWideTotals = kBackward && std::is_same_v<S, uint16_t>;
  const long rows = f.area.row_end - f.area.row_begin;
  const long columns = f.area.column_end - f.area.column_begin;
  const long w = u1 - u0;  // the strip holds a + c in [u0, u1)
  const long d = static_cast<long>(f.disparities);
  const long cell = f.cell_size;
  // Two rows of the strip's own cells, alternating; the running sums of a pixel; the costs of a row.
  SweepScratch& s = scratch_for<Value, S>(f, static_cast<unsigned long>(2 * r.widest_strip * kRasterCellsPerPixel),
                                          static_cast<unsigned long>(d), static_cast<unsigned long>(r.widest_strip * d));
  SgmStripWork work;
  Value* const own_cells = s.cells_of<Value>().cells.data();
  uint16_t* const own_minima = s.minima.data();
  Value* const edge_cells = static_cast<Value*>(r.edge_cells);
  S* const sums = s.band_sums_of<S>().data();
  uint16_t* const total = s.total.data();
  const Value* const fill_cell = f.fill_cell_of<Value>();
  const Value fill = static_cast<Value>(f.fill);
  // The first of the cells of pixel j = a + c - u0 of row a: this strip's own but for the last pixels of a row, which
  // lie with the edges like the previous strip's (j < 0).
  auto place = [&](long a, long j, Value*& cells, uint16_t*& minima) {
    long index = 0;
    if (j < 0 || j >= w - kRasterEdgePixels) {
      const long parity = (j < 0 ? strip - 1 : strip) & 1;
      const long pixel = j < 0 ? j + kRasterEdgePixels : j - (w - kRasterEdgePixels);
      index = ((parity * rows + a) * kRasterEdgePixels + pixel) * kRasterCellsPerPixel;
      cells = edge_cells + index * cell;
      minima = r.edge_minima + index;
    } else {
      index = ((a & 1) * w + j) * kRasterCellsPerPixel;
      cells = own_cells + index * cell;
      minima = own_minima + index;
    }
  };
  long offsets[kRasterColumnPaths];  // the column paths present, as offsets + 1
  long column_paths = 0;
  for (long k = 0; k < kRasterColumnPaths; ++k)
    if (r.column_path[k]) offsets[column_paths++] = k;
  const long paths = r.row_path + column_paths;
  const long first_row = std::max(0L, u0 - (columns - 1)), last_row = std::min(rows - 1, u0 + w - 1);
  for (long a = first_row; a <= last_row; ++a) {
    // The previous strip's rows up to a + 1: then the strip two before this one, which writes the same edges, has
    // finished the row this one writes and the row after it, which read it.
    if (strip > 0) work.waited += r.progress[strip - 1].Await(std::min(a + 2, rows));
    const long c0 = std::max(0L, u0 - a), c1 = std::min(columns, u0 + w - a);
    const long y = kBackward ? f.area.row_end - 1 - a : f.area.row_begin + a;
    const long row_x = kBackward ? f.area.column_end - c1 : f.area.column_begin + c0;  // leftmost pixel of the row
    if constexpr (kBackward) {
      // The forward sums come from memory, a new stretch each row: ask for the next row's while this one runs.
      const long next = a + 1;
      const long n0 = std::max(0L, u0 - next), n1 = std::min(columns, u0 + w - next);
      if (next <= last_row && n0 < n1) {
        const char* first = reinterpret_cast<const char*>(static_cast<const S*>(r.forward_sums) +
                                                          ((y - 1) * f.n + f.area.column_end - n1) * d);
        const char* past = first + (n1 - n0) * d * static_cast<long>(sizeof(S));
        for (const char* p = first; p < past; p += kCacheLine) __builtin_prefetch(p);
      }
    }
    pixel_costs<V>(f, y, row_x, c1 - c0, s.costs.data());
    work.pixels += c1 - c0;
    for (long c = c0; c < c1; ++c) {
      const long x = kBackward ? f.area.column_end - 1 - c : f.area.column_begin + c;
      const long j = a + c - u0;
      const uint8_t* cost = s.costs.data() + (x - row_x) * d;
      Value* own = nullptr;
      uint16_t* own_minimum = nullptr;
      place(a, j, own, own_minimum);
      long done = 0;
      // Path number `done` of this pixel adds its values to the sums; the last one of the forward pass writes them
      // to the volume, the last one of the backward pass into the totals, whose winner it then picks.
      // Inlined: as a call of its own, reaching every variable through the closure, the strip ran twice as long.
      auto add_path = [&](long k, bool start, long from_a, long from_j) __attribute__((always_inline)) {
        Value* previous = nullptr;
        uint16_t* previous_minimum = nullptr;
        if (!start) place(from_a, from_j, previous, previous_minimum);
        const Value min_previous = start ? fill : static_cast<Value>(previous_minimum[k]);
        const Value* previous_cell = start ? fill_cell : previous + k * cell;
        Value* target = own + k * cell;
        const bool last = ++done == paths;
        Value minimum = 0;
        if constexpr (kWideTotals) {
          if (!last) {
            minimum = recurrence_sum<C, false, uint16_t, uint16_t>(f.disparities, min_previous, previous_cell, cost,
                                                                   target, f.p1, f.p2, total, total);
          } else {
            uint16_t smallest = 0;
            minimum = recurrence_sum<C, false, uint16_t, uint16_t, true>(
                f.disparities, min_previous, previous_cell, cost, target, f.p1, f.p2, total, total, &smallest);
            f.template pick<V>(y, x, total, smallest);
          }
        } else {
          // The forward pass's last path writes the volume, past the caches; the backward pass keeps its sums.
          const S* addend = done == 1 ? f.template zeros_of<S>() : sums;
          if (!last || kBackward) {
            minimum = recurrence_sum<C, false, S, S>(f.disparities, min_previous, previous_cell, cost, target, f.p1,
                                                     f.p2, addend, sums);
          } else {
            minimum = recurrence_sum<C, true, S, S>(f.disparities, min_previous, previous_cell, cost, target, f.p1,
                                                    f.p2, addend, static_cast<S*>(r.forward_sums) + (y * f.n + x) * d);
          }
        }
        own_minimum[k] = minimum;
      };
      [[maybe_unused]] const S* forward = static_cast<const S*>(r.forward_sums) + (y * f.n + x) * d;
      if constexpr (kWideTotals) {
        std::copy(forward, forward + d, total);
        // Without paths of its own the backward pass only picks the winner of the forward sums.
        if (paths == 0) f.template pick<V>(y, x, total, minimum<V>(total, f.disparities));
      }
      // The row path first: its chain from pixel to pixel is the longest wait, so each pixel starts it early.
      if (r.row_path) add_path(kRasterRowPath, c == 0, a, j - 1);
      for (long p = 0; p < column_paths; ++p) {
        const long k = offsets[p];
        const long from_c = c + k - 1;
        add_path(k, a == 0 || from_c < 0 || from_c >= columns, a - 1, j + k - 2);
      }
      if constexpr (kBackward && !kWideTotals) {
        const uint8_t* backward = paths == 0 ? f.zero_bytes : sums;
        f.template pick<V>(y, x, total,
                           byte_totals<typename ByteLanesOf<C>::type>(forward, backward, cost, f.disparities,
                                                                      r.forward_paths, static_cast<unsigned long>(paths),
                                                                      total));
      }
    }
    r.progress[strip].Publish(a + 1);
  }
  r.progress[strip].Publish(rows);
  return work;
}

}  // namespace sgm_forms
