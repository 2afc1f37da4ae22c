// The inner loops written once over a lane type V, instantiated by each instruction-set file. V gives
// kLanes 16-bit lanes with wrapping add and subtract, unsigned minimum, broadcast, load and store
// (unaligned; load_bytes widens kLanes bytes, store_bytes narrows to them), the smallest lane, the first
// lane equal to a value (-1 for none), and the shifts by one lane across two vectors:
// shift_in_low(a, b) = {a[last], b[0], ..., b[last - 1]}, shift_in_high(b, c) = {b[1], ..., b[last], c[0]}.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "sgm_kernels.h"

namespace sgm_forms {

constexpr uint16_t kNoValue = UINT16_MAX;

inline uint16_t scalar_recurrence(const uint16_t* previous_cell, uint16_t cost, unsigned long d,
                                  uint16_t min_previous, uint16_t p1, uint16_t jump) {
  uint16_t best = previous_cell[d + 1];
  const uint16_t lower = static_cast<uint16_t>(previous_cell[d] + p1);
  const uint16_t upper = static_cast<uint16_t>(previous_cell[d + 2] + p1);
  if (lower < best) best = lower;
  if (upper < best) best = upper;
  if (jump < best) best = jump;
  return static_cast<uint16_t>(cost + best - min_previous);
}

template <class V>
uint16_t recurrence(unsigned long start, unsigned long end, uint16_t min_previous, const uint16_t* previous_cell,
                    const uint16_t* cost, uint16_t* cell, uint16_t p1, uint16_t p2) {
  const uint16_t jump = static_cast<uint16_t>(min_previous + p2);
  const typename V::T min_lanes = V::dup(min_previous);
  const typename V::T p1_lanes = V::dup(p1);
  const typename V::T jump_lanes = V::dup(jump);
  typename V::T lowest = V::dup(kNoValue);
  unsigned long d = start;
  for (; d + V::kLanes <= end; d += V::kLanes) {
    const typename V::T same = V::load(previous_cell + d + 1);
    const typename V::T lower = V::add(V::load(previous_cell + d), p1_lanes);
    const typename V::T upper = V::add(V::load(previous_cell + d + 2), p1_lanes);
    const typename V::T best = V::min(V::min(same, lower), V::min(upper, jump_lanes));
    const typename V::T value = V::sub(V::add(V::load(cost + d), best), min_lanes);
    V::store(cell + d + 1, value);
    lowest = V::min(lowest, value);
  }
  uint16_t smallest = V::smallest(lowest);
  for (; d < end; ++d) {
    const uint16_t value = scalar_recurrence(previous_cell, cost[d], d, min_previous, p1, jump);
    cell[d + 1] = value;
    if (value < smallest) smallest = value;
  }
  return smallest;
}

// Loads and stores of 16-bit lanes from 16-bit values or bytes (a stored byte must hold its value).
template <class V>
typename V::T load_values(const uint16_t* p) {
  return V::load(p);
}
template <class V>
typename V::T load_values(const uint8_t* p) {
  return V::load_bytes(p);
}
// Sums handed from one family to the next are read by another pass long after: a lane type with stream and
// stream_bytes writes them past the caches (kStream) where the destination is aligned to the vector it stores
// (no read of the line first), and a task that streamed ends with stream_fence so that later tasks see them.
template <class V, class = void>
struct Streams : std::false_type {};
template <class V>
struct Streams<V, std::void_t<decltype(&V::stream_fence)>> : std::true_type {};

template <class V, bool kStream>
void store_values(uint16_t* p, typename V::T v) {
  if constexpr (kStream && Streams<V>::value) {
    if (reinterpret_cast<uintptr_t>(p) % sizeof(typename V::T) == 0) {
      V::stream(p, v);
      return;
    }
  }
  V::store(p, v);
}
template <class V, bool kStream>
void store_values(uint8_t* p, typename V::T v) {
  if constexpr (kStream && Streams<V>::value) {
    if (reinterpret_cast<uintptr_t>(p) % V::kLanes == 0) {
      V::stream_bytes(p, v);
      return;
    }
  }
  V::store_bytes(p, v);
}

template <class V>
struct StreamFenceOnExit {
  ~StreamFenceOnExit() {
    if constexpr (Streams<V>::value) V::stream_fence();
  }
};

// The recurrence over all `count` indices, also writing sums[d] = addend[d] + cell[d+1] (addend may be sums).
// Sums and addends are 16-bit values or, where every sum is known to fit, bytes; kStream where the sums are a
// volume handed on to a later pass. With kSumMinimum, *smallest_sum receives the smallest sum written, for a
// winner-take-all that follows at once.
template <class V, bool kStream = false, class A = uint16_t, class S = uint16_t, bool kSumMinimum = false>
uint16_t recurrence_sum(unsigned long count, uint16_t min_previous, const uint16_t* previous_cell,
                        const uint8_t* cost, uint16_t* cell, uint16_t p1, uint16_t p2, const A* addend, S* sums,
                        uint16_t* smallest_sum = nullptr) {
  const uint16_t jump = static_cast<uint16_t>(min_previous + p2);
  const typename V::T min_lanes = V::dup(min_previous);
  const typename V::T p1_lanes = V::dup(p1);
  const typename V::T jump_lanes = V::dup(jump);
  typename V::T lowest = V::dup(kNoValue);
  typename V::T lowest_sum = V::dup(kNoValue);
  auto put_sum = [&](unsigned long at, typename V::T value) {
    const typename V::T sum = V::add(load_values<V>(addend + at), value);
    store_values<V, kStream>(sums + at, sum);
    if constexpr (kSumMinimum) lowest_sum = V::min(lowest_sum, sum);
  };
  unsigned long d = 0;
  if (count % V::kLanes == 0) {
    // The neighbours come from the same loads shifted by one lane, so every load of the previous cell lines up
    // with the stores that wrote it (a cell written just before forwards from those stores).
    typename V::T below = V::dup(previous_cell[0]);  // its last lane is the lower guard
    typename V::T same = V::load(previous_cell + 1);
    for (; d < count; d += V::kLanes) {
      const typename V::T above =
          d + V::kLanes < count ? V::load(previous_cell + d + 1 + V::kLanes) : V::dup(previous_cell[count + 1]);
      const typename V::T lower = V::add(V::shift_in_low(below, same), p1_lanes);
      const typename V::T upper = V::add(V::shift_in_high(same, above), p1_lanes);
      const typename V::T best = V::min(V::min(same, lower), V::min(upper, jump_lanes));
      const typename V::T value = V::sub(V::add(V::load_bytes(cost + d), best), min_lanes);
      V::store(cell + d + 1, value);
      put_sum(d, value);
      lowest = V::min(lowest, value);
      below = same;
      same = above;
    }
  }
  for (; d + V::kLanes <= count; d += V::kLanes) {
    const typename V::T same = V::load(previous_cell + d + 1);
    const typename V::T lower = V::add(V::load(previous_cell + d), p1_lanes);
    const typename V::T upper = V::add(V::load(previous_cell + d + 2), p1_lanes);
    const typename V::T best = V::min(V::min(same, lower), V::min(upper, jump_lanes));
    const typename V::T value = V::sub(V::add(V::load_bytes(cost + d), best), min_lanes);
    V::store(cell + d + 1, value);
    put_sum(d, value);
    lowest = V::min(lowest, value);
  }
  uint16_t smallest = V::smallest(lowest);
  [[maybe_unused]] uint16_t smallest_of_sums = kSumMinimum ? V::smallest(lowest_sum) : kNoValue;
  for (; d < count; ++d) {
    const uint16_t value = scalar_recurrence(previous_cell, cost[d], d, min_previous, p1, jump);
    cell[d + 1] = value;
    sums[d] = static_cast<S>(addend[d] + value);
    if (value < smallest) smallest = value;
    if constexpr (kSumMinimum) smallest_of_sums = std::min<uint16_t>(smallest_of_sums, sums[d]);
  }
  if constexpr (kSumMinimum) *smallest_sum = smallest_of_sums;
  return smallest;
}

template <class V>
uint16_t minimum(const uint16_t* values, unsigned long count) {
  typename V::T lowest = V::dup(kNoValue);
  unsigned long k = 0;
  for (; k + V::kLanes <= count; k += V::kLanes) lowest = V::min(lowest, V::load(values + k));
  uint16_t smallest = V::smallest(lowest);
  for (; k < count; ++k)
    if (values[k] < smallest) smallest = values[k];
  return smallest;
}

template <class V>
unsigned long winner(const uint16_t* first, unsigned long stride, unsigned long planes, unsigned long count,
                     uint16_t* sums) {
  typename V::T lowest = V::dup(kNoValue);
  unsigned long k = 0;
  for (; k + V::kLanes <= count; k += V::kLanes) {
    typename V::T total = V::dup(0);
    for (unsigned long p = 0; p < planes; ++p) total = V::add(total, V::load(first + p * stride + k));
    V::store(sums + k, total);
    lowest = V::min(lowest, total);
  }
  uint16_t smallest = V::smallest(lowest);
  for (; k < count; ++k) {
    uint16_t total = 0;
    for (unsigned long p = 0; p < planes; ++p) total = static_cast<uint16_t>(total + first[p * stride + k]);
    sums[k] = total;
    if (total < smallest) smallest = total;
  }
  // The lowest index wins ties.
  k = 0;
  const typename V::T target = V::dup(smallest);
  for (; k + V::kLanes <= count; k += V::kLanes) {
    const int lane = V::first_equal(V::load(sums + k), target);
    if (lane >= 0) return k + static_cast<unsigned long>(lane);
  }
  for (; k < count; ++k)
    if (sums[k] == smallest) return k;
  return 0;
}

// First index of `smallest` among `count` values, which holds it (0 for none).
template <class V>
unsigned long first_index_of(const uint16_t* values, unsigned long count, uint16_t smallest) {
  const typename V::T target = V::dup(smallest);
  unsigned long k = 0;
  for (; k + V::kLanes <= count; k += V::kLanes) {
    const int lane = V::first_equal(V::load(values + k), target);
    if (lane >= 0) return k + static_cast<unsigned long>(lane);
  }
  for (; k < count; ++k)
    if (values[k] == smallest) return k;
  return 0;
}

// First index of the smallest of `count` values (0 for none).
template <class V>
unsigned long first_minimum(const uint16_t* values, unsigned long count) {
  return first_index_of<V>(values, count, minimum<V>(values, count));
}

// Census costs as bytes for one-word signatures: cost[i * disparities + d] = popcount(left[i] ^ right[i - d]).
// A lane type with a byte_costs of its own (whole words counted at once) replaces this one.
inline void byte_costs(const uint64_t* left, const uint64_t* right, unsigned long pixels, unsigned long disparities,
                       uint8_t* cost) {
  for (unsigned long i = 0; i < pixels; ++i) {
    const uint64_t signature = left[i];
    const uint64_t* match = right + i;
    uint8_t* pixel_cost = cost + i * disparities;
#pragma GCC unroll 8
    for (unsigned long d = 0; d < disparities; ++d)
      pixel_cost[d] = static_cast<uint8_t>(__builtin_popcountll(signature ^ *(match - d)));
  }
}

template <class V, class = void>
struct Census64 {
  static constexpr decltype(SgmKernels::census_64) kFunction = nullptr;
};
template <class V>
struct Census64<V, std::void_t<decltype(&V::census_64)>> {
  static constexpr auto kFunction = V::census_64;
};

template <class V, class = void>
struct ByteCosts {
  static constexpr auto kFunction = byte_costs;
};
template <class V>
struct ByteCosts<V, std::void_t<decltype(&V::byte_costs)>> {
  static constexpr auto kFunction = V::byte_costs;
};

}  // namespace sgm_forms
