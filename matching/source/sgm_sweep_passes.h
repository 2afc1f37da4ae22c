// The passes of a full-range frame, written once over a lane type V like the other inner loops (see
// sgm_kernel_forms.h), so that each instruction-set file compiles them with its own lanes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "sgm_kernel_forms.h"
#include "sgm_types.h"

// A family's first direction comes from above (or from the left for rows): previous pixel (y - 1, x + slope);
// the second from below: (y + 1, x - slope). For rows: (y, x - 1) and (y, x + 1).
struct SgmSweepFamily {
  bool rows;
  long slope;  // of the columns (0) and the diagonals (-1, 1)
  bool forward = false;
  bool backward = false;
};

constexpr unsigned long kMaxSweepVolumes = 3;

struct SgmSweepFrame {
  SgmArea area;
  long n;
  unsigned long disparities;
  long cell_size;
  uint16_t p1, p2, fill;
  int disparity_min;
  const uint64_t* left_signatures;  // census signatures, `words` per pixel
  const uint64_t* right_signatures;
  unsigned long words;
  // m x n x D: the sums that one family hands to the next, 16-bit values or bytes. Where each family's own sums fit
  // a byte but their total would not, every family but the last writes a byte volume of its own here (separate), and
  // the last adds up `volumes` of them.
  void* sums_volume;
  const uint8_t* volumes[kMaxSweepVolumes] = {};
  unsigned long volume_count = 0;
  bool carried_in = false;  // an earlier family has written sums_volume
  const uint16_t* fill_cell;
  const uint8_t* fill_cell_bytes;  // the same for byte cells
  const uint16_t* zeros;
  const uint8_t* zero_bytes;
  unsigned char* out;

  template <class S>
  S* sums(long y, long x) const {
    return static_cast<S*>(sums_volume) + (y * n + x) * static_cast<long>(disparities);
  }
  bool inside(long y, long x) const {
    return y >= area.row_begin && y < area.row_end && x >= area.column_begin && x < area.column_end;
  }
  // The sum of the separate volumes at (y, x), into `into` (D values).
  template <class V>
  const uint16_t* gather(long y, long x, uint16_t* into) const {
    const long first = (y * n + x) * static_cast<long>(disparities);
    unsigned long d = 0;
    for (; d + V::kLanes <= disparities; d += V::kLanes) {
      typename V::T total = V::load_bytes(volumes[0] + first + d);
      for (unsigned long v = 1; v < volume_count; ++v) total = V::add(total, V::load_bytes(volumes[v] + first + d));
      V::store(into + d, total);
    }
    for (; d < disparities; ++d) {
      uint16_t total = 0;
      for (unsigned long v = 0; v < volume_count; ++v) total = static_cast<uint16_t>(total + volumes[v][first + d]);
      into[d] = total;
    }
    return into;
  }
  template <class Value>
  const Value* fill_cell_of() const {
    if constexpr (std::is_same_v<Value, uint8_t>) {
      return fill_cell_bytes;
    } else {
      return fill_cell;
    }
  }
  template <class S>
  const S* zeros_of() const {
    if constexpr (std::is_same_v<S, uint8_t>) {
      return zero_bytes;
    } else {
      return zeros;
    }
  }
  // What a family's paths add to at (y, x): the sums that earlier families carried, none for the first.
  template <class S>
  const S* incoming(long y, long x) const {
    return carried_in ? static_cast<const S*>(sums<S>(y, x)) : zeros_of<S>();
  }
  // The winner at (y, x): the first index of the smallest of the D totals.
  template <class V>
  void pick(long y, long x, const uint16_t* total, uint16_t smallest) const {
    out[y * n + x] = static_cast<unsigned char>(
        disparity_min + static_cast<long>(sgm_forms::first_index_of<V>(total, disparities, smallest)));
  }
};

namespace sgm_forms {

constexpr long kSweepBandLines = 8;  // lines of one band: its sums of one direction stay in the thread's cache
constexpr long kSweepRowGroup = 4;   // rows of one task of the rows' family
constexpr long kPrefetchRows = 2;    // how far ahead a band's walk asks for its next rows
constexpr long kCacheLine = 64;

// Path cells of one width with guards at the initial fill, and the layout they were filled for.
template <class Value>
struct CellScratch {
  std::vector<Value> cells;
  long cell_size = 0;  // values per cell
  uint16_t fill = 0;

  // `count` cells of `size` values at `initial`. Guards are never written, so only a change of length, cell size or
  // fill needs a refill; the cell size must count on its own, since another disparity count can give the same
  // length with the guards elsewhere.
  Value* fit(unsigned long count, long size, uint16_t initial) {
    const unsigned long values = count * static_cast<unsigned long>(size);
    if (cells.size() != values || cell_size != size || fill != initial) {
      cells.assign(values, static_cast<Value>(initial));
      cell_size = size;
      fill = initial;
    }
    return cells.data();
  }
};

// Per thread, kept from frame to frame: path cells of both widths, and sums.
struct SweepScratch {
  CellScratch<uint16_t> wide;
  CellScratch<uint8_t> bytes;
  std::vector<uint16_t> minima;
  std::vector<uint16_t> band_sums;
  std::vector<uint8_t> band_byte_sums;
  std::vector<uint16_t> total;
  std::vector<uint8_t> costs;
  std::vector<uint16_t> incoming;

  template <class Value>
  CellScratch<Value>& cells_of() {
    if constexpr (std::is_same_v<Value, uint8_t>) {
      return bytes;
    } else {
      return wide;
    }
  }
  template <class S>
  std::vector<S>& band_sums_of() {
    if constexpr (std::is_same_v<S, uint8_t>) {
      return band_byte_sums;
    } else {
      return band_sums;
    }
  }
};

// The scratch of the calling thread for `cells` cells of Value, `band_sums` sums of S and `costs` costs.
template <class Value, class S>
SweepScratch& scratch_for(const SgmSweepFrame& f, unsigned long cells, unsigned long band_sums, unsigned long costs) {
  thread_local SweepScratch scratch;
  scratch.cells_of<Value>().fit(cells, f.cell_size, f.fill);
  scratch.minima.resize(cells);
  std::vector<S>& sums = scratch.band_sums_of<S>();
  if (sums.size() < band_sums) sums.resize(band_sums);
  scratch.total.resize(f.disparities);
  if (scratch.costs.size() < costs) scratch.costs.resize(costs);
  return scratch;
}

// Census costs of the pixels [x, x + count) of row y as bytes, D per pixel: computed where they are used,
// from the signatures, which stay in cache where a volume of costs would not.
template <class V>
void pixel_costs(const SgmSweepFrame& f, long y, long x, long count, uint8_t* out) {
  if (count <= 0) return;
  const long first = y * f.n + x;
  if (f.words == 1) {
    ByteCosts<V>::kFunction(f.left_signatures + first, f.right_signatures + first, static_cast<unsigned long>(count),
                            f.disparities, out);
    return;
  }
  const long words = static_cast<long>(f.words);
  const long disparities = static_cast<long>(f.disparities);
  for (long i = 0; i < count; ++i) {
    const uint64_t* signature = f.left_signatures + (first + i) * words;
    for (long d = 0; d < disparities; ++d) {
      const uint64_t* match = f.right_signatures + (first + i - d) * words;
      int bits = 0;
      for (long w = 0; w < words; ++w) bits += __builtin_popcountll(signature[w] ^ match[w]);
      out[i * disparities + d] = static_cast<uint8_t>(bits);
    }
  }
}

// Rows [row_begin, row_end) of the rows' family, at most kSweepRowGroup: left to right, then right to left. The
// rows advance together pixel by pixel, so that one row's work overlaps the wait for another's previous pixel.
// The rows' family runs last: it reads the sums handed on row by row, in the order they lie in memory, and picks
// each pixel's winner. C gives the path cells (WideCells or ByteCells over V's form), S the sums handed on, kSeparate
// whether they come in a byte volume per family.
template <class V, class C, class S, bool kSeparate>
void row_pass(const SgmSweepFrame& f, const SgmSweepFamily& family, long row_begin, long row_end) {
  using Value = typename C::Value;
  const long group = row_end - row_begin;
  const long begin = f.area.column_begin, end = f.area.column_end;
  const long width = end - begin;
  const long d = static_cast<long>(f.disparities);
  // With both directions, the first one's sums of the group's rows wait for the second.
  const bool keeps_sums = family.forward && family.backward;
  const unsigned long group_values = static_cast<unsigned long>(kSweepRowGroup * width * d);
  SweepScratch& s = scratch_for<Value, uint16_t>(f, static_cast<unsigned long>(2 * kSweepRowGroup),
                                                 keeps_sums ? group_values : 0, group_values);
  if constexpr (kSeparate) s.incoming.resize(f.disparities);
  uint16_t* total = s.total.data();
  Value* cells = s.cells_of<Value>().cells.data();
  const Value* fill_cell = f.fill_cell_of<Value>();
  const Value fill = static_cast<Value>(f.fill);
  for (long row = 0; row < group; ++row)
    pixel_costs<V>(f, row_begin + row, begin, width, s.costs.data() + row * width * d);
  auto cell = [&](long row, long x) { return cells + (2 * row + (x & 1)) * f.cell_size; };
  auto row_sums = [&](long row, long x) { return s.band_sums.data() + (row * width + x - begin) * d; };
  // The carried volume, or in separate mode the other families' volumes added up.
  auto incoming = [&](long y, long x) {
    if constexpr (kSeparate) {
      return f.template gather<V>(y, x, s.incoming.data());
    } else {
      return f.template incoming<S>(y, x);
    }
  };
  auto previous_minimum = [&](long row, bool first) { return first ? fill : static_cast<Value>(s.minima[row]); };
  auto step = [&](long row, long x, bool first, long previous_x, const auto* addend, uint16_t* sums) {
    s.minima[row] = recurrence_sum<C>(f.disparities, previous_minimum(row, first),
                                      first ? fill_cell : cell(row, previous_x),
                                      s.costs.data() + (row * width + x - begin) * d, cell(row, x), f.p1, f.p2, addend,
                                      sums);
  };
  // The same into the totals of (y, x), whose winner it then picks.
  auto step_and_pick = [&](long row, long x, bool first, long previous_x, const auto* addend) {
    using A = std::remove_cv_t<std::remove_pointer_t<decltype(addend)>>;
    uint16_t smallest = 0;
    s.minima[row] = recurrence_sum<C, false, A, uint16_t, true>(
        f.disparities, previous_minimum(row, first), first ? fill_cell : cell(row, previous_x),
        s.costs.data() + (row * width + x - begin) * d, cell(row, x), f.p1, f.p2, addend, total, &smallest);
    f.template pick<V>(row_begin + row, x, total, smallest);
  };
  if (family.forward) {
    for (long x = begin; x < end; ++x) {
      for (long row = 0; row < group; ++row) {
        const long y = row_begin + row;
        if (keeps_sums) {
          step(row, x, x == begin, x - 1, incoming(y, x), row_sums(row, x));
        } else {
          step_and_pick(row, x, x == begin, x - 1, incoming(y, x));
        }
      }
    }
  }
  if (!family.backward) return;
  for (long x = end - 1; x >= begin; --x) {
    for (long row = 0; row < group; ++row) {
      const long y = row_begin + row;
      const bool first = x == end - 1;
      if (keeps_sums) {
        step_and_pick(row, x, first, x + 1, row_sums(row, x));
      } else {
        step_and_pick(row, x, first, x + 1, incoming(y, x));
      }
    }
  }
}

// A band walks down or up its columns, a new memory page every row, where the hardware does not fetch ahead:
// asks for the sums of the pixels [begin, end) of row y (clipped to the area) ahead of their use.
template <class S>
void prefetch_row(const SgmSweepFrame& f, long y, long begin, long end) {
  if (y < f.area.row_begin || y >= f.area.row_end) return;
  begin = std::max(begin, f.area.column_begin);
  end = std::min(end, f.area.column_end);
  if (begin >= end) return;
  const char* sums = reinterpret_cast<const char*>(f.template sums<S>(y, begin));
  const char* sums_end = reinterpret_cast<const char*>(f.template sums<S>(y, end));
  for (const char* p = sums; p < sums_end; p += kCacheLine) __builtin_prefetch(p);
}

// The same for the census signatures that the costs of those pixels read: their own in the left image, and the
// D - 1 more to their left in the right image.
inline void prefetch_signatures(const SgmSweepFrame& f, long y, long begin, long end) {
  if (y < f.area.row_begin || y >= f.area.row_end) return;
  begin = std::max(begin, f.area.column_begin);
  end = std::min(end, f.area.column_end);
  if (begin >= end) return;
  const long words = static_cast<long>(f.words);
  const long first = y * f.n + begin, last = y * f.n + end;
  const char* left = reinterpret_cast<const char*>(f.left_signatures + first * words);
  const char* left_end = reinterpret_cast<const char*>(f.left_signatures + last * words);
  for (const char* p = left; p < left_end; p += kCacheLine) __builtin_prefetch(p);
  const long first_match = first - static_cast<long>(f.disparities) + 1;
  const char* right = reinterpret_cast<const char*>(f.right_signatures + first_match * words);
  const char* right_end = reinterpret_cast<const char*>(f.right_signatures + last * words);
  for (const char* p = right; p < right_end; p += kCacheLine) __builtin_prefetch(p);
}

// The band of lines [line_begin, line_end) of a family whose lines are x + slope * y: top to bottom for the
// first direction, bottom to top for the second, each row's pixels of the band in order. Every such family runs
// before the rows' and hands its sums on (of type S; the first direction's sums of the band wait in S too).
template <class V, class C, class S, bool kSeparate, bool kSloped>
void band_pass(const SgmSweepFrame& f, const SgmSweepFamily& family, long line_begin, long line_end) {
  using Value = typename C::Value;
  // Columns (kSloped false) compile without the slope: their walks take a quarter longer with it.
  const long slope = kSloped ? family.slope : 0;
  const StreamFenceOnExit<V> fence;
  const long lines = line_end - line_begin;
  const long rows = f.area.row_end - f.area.row_begin;
  const long cell = f.cell_size;
  const long d = static_cast<long>(f.disparities);
  // Two rows of cells per direction, alternating; the first direction's sums of the whole band when the
  // second direction follows.
  SweepScratch& s =
      scratch_for<Value, S>(f, static_cast<unsigned long>(4 * lines),
                            family.forward && family.backward ? static_cast<unsigned long>(rows * lines * d) : 0,
                            static_cast<unsigned long>(rows * lines * d));
  Value* cells = s.cells_of<Value>().cells.data();
  const Value* fill_cell = f.fill_cell_of<Value>();
  const Value fill = static_cast<Value>(f.fill);
  S* own_sums = s.band_sums_of<S>().data();
  auto columns = [&](long y, long& begin, long& end) {
    begin = std::max(f.area.column_begin, line_begin - slope * y);
    end = std::min(f.area.column_end, line_end - slope * y);
  };
  auto slot = [&](int direction, long y, long line) { return (direction * 2 + (y & 1)) * lines + line; };
  auto band_sums = [&](long y, long line) { return own_sums + ((y - f.area.row_begin) * lines + line) * d; };
  // The band's costs, by row and line: computed a row at a time by the first walk, reused by the second.
  auto costs = [&](long y, long line) { return s.costs.data() + ((y - f.area.row_begin) * lines + line) * d; };
  auto row_costs = [&](long y, long begin, long end) {
    pixel_costs<V>(f, y, begin, end - begin, costs(y, begin + slope * y - line_begin));
  };
  // In separate mode each family writes a volume of its own, from nothing.
  auto incoming = [&](long y, long x) {
    if constexpr (kSeparate) {
      return f.template zeros_of<S>();
    } else {
      return f.template incoming<S>(y, x);
    }
  };
  // The volume is read by a later pass, after this task has ended; the band's own sums by this task.
  constexpr std::true_type kToVolume{};
  constexpr std::false_type kToScratch{};
  auto step = [&](bool first, long previous, long current, long y, long x, const S* addend, S* sums, auto stream) {
    s.minima[current] = recurrence_sum<C, decltype(stream)::value, S, S>(
        f.disparities, first ? fill : static_cast<Value>(s.minima[previous]),
        first ? fill_cell : cells + previous * cell, costs(y, x + slope * y - line_begin),
        cells + current * cell, f.p1, f.p2, addend, sums);
  };
  if (family.forward) {
    for (long y = f.area.row_begin; y < f.area.row_end; ++y) {
      long begin, end;
      columns(y, begin, end);
      // This walk reads the volume that earlier families carried, and writes it without a second direction.
      if ((!kSeparate && f.carried_in) || !family.backward)
        prefetch_row<S>(f, y + kPrefetchRows, begin - slope * kPrefetchRows,
                        end - slope * kPrefetchRows);
      prefetch_signatures(f, y + kPrefetchRows, begin - slope * kPrefetchRows,
                          end - slope * kPrefetchRows);
      row_costs(y, begin, end);
      for (long x = begin; x < end; ++x) {
        const long line = x + slope * y - line_begin;
        const bool first = kSloped ? !f.inside(y - 1, x + slope) : y == f.area.row_begin;
        const long previous = slot(0, y - 1, line), current = slot(0, y, line);
        if (family.backward) {
          step(first, previous, current, y, x, incoming(y, x), band_sums(y, line), kToScratch);
        } else {
          step(first, previous, current, y, x, incoming(y, x), f.template sums<S>(y, x), kToVolume);
        }
      }
    }
  }
  if (!family.backward) return;
  for (long y = f.area.row_end - 1; y >= f.area.row_begin; --y) {
    long begin, end;
    columns(y, begin, end);
    prefetch_row<S>(f, y - kPrefetchRows, begin + slope * kPrefetchRows, end + slope * kPrefetchRows);
    if (!family.forward) {
      prefetch_signatures(f, y - kPrefetchRows, begin + slope * kPrefetchRows,
                          end + slope * kPrefetchRows);
      row_costs(y, begin, end);
    }
    for (long x = end - 1; x >= begin; --x) {
      const long line = x + slope * y - line_begin;
      const bool first = kSloped ? !f.inside(y + 1, x - slope) : y == f.area.row_end - 1;
      const long previous = slot(1, y + 1, line), current = slot(1, y, line);
      if (family.forward) {
        step(first, previous, current, y, x, band_sums(y, line), f.template sums<S>(y, x), kToVolume);
      } else {
        step(first, previous, current, y, x, incoming(y, x), f.template sums<S>(y, x), kToVolume);
      }
    }
  }
}

}  // namespace sgm_forms
