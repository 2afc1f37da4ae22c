// The inner loops written once over a lane type V, instantiated by each instruction-set file. V gives
// kLanes 16-bit lanes with wrapping add and subtract, unsigned minimum, broadcast, load and store
// (unaligned), the smallest lane, and the first lane equal to a value (-1 for none).
#pragma once

#include <cstdint>

#include "sgm_kernels.h"

namespace sgm_forms {

constexpr uint16_t kNoValue = UINT16_MAX;

inline uint16_t scalar_recurrence(const uint16_t* previous_cell, const uint16_t* cost, unsigned long d,
                                  uint16_t min_previous, uint16_t p1, uint16_t jump) {
  uint16_t best = previous_cell[d + 1];
  const uint16_t lower = static_cast<uint16_t>(previous_cell[d] + p1);
  const uint16_t upper = static_cast<uint16_t>(previous_cell[d + 2] + p1);
  if (lower < best) best = lower;
  if (upper < best) best = upper;
  if (jump < best) best = jump;
  return static_cast<uint16_t>(cost[d] + best - min_previous);
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
    const uint16_t value = scalar_recurrence(previous_cell, cost, d, min_previous, p1, jump);
    cell[d + 1] = value;
    if (value < smallest) smallest = value;
  }
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

template <class V>
constexpr SgmKernels kernel_table() {
  return SgmKernels{recurrence<V>, minimum<V>, winner<V>};
}

}  // namespace sgm_forms
