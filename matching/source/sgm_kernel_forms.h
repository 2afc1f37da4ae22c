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

template <class Value>
uint16_t scalar_recurrence(const Value* previous_cell, uint16_t cost, unsigned long d, uint16_t min_previous,
                           uint16_t p1, uint16_t jump) {
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

// Path cells of a full-range frame, in one of two widths over the lanes of a form. Both compute
// cost + (min(same, lower + p1, upper + p1, min_previous + p2) - min_previous), which equals the recurrence in
// wrapping 16-bit arithmetic however its terms are grouped. Wide holds the 16-bit lanes that sums are added in;
// each vector of cells widens into kHalves of them.
//
// 16-bit cells: V's own lanes.
template <class V>
struct WideCells {
  using Value = uint16_t;
  using T = typename V::T;
  using Wide = V;
  static constexpr unsigned long kLanes = V::kLanes;
  static constexpr unsigned long kHalves = 1;
  static constexpr Value kNoValue = UINT16_MAX;
  static Value penalty(uint16_t p1) { return p1; }
  static Value jump(Value min_previous, uint16_t p2) { return static_cast<Value>(min_previous + p2); }
  static T load(const Value* p) { return V::load(p); }
  static T load_costs(const uint8_t* p) { return V::load_bytes(p); }
  static void store(Value* p, T v) { V::store(p, v); }
  static T dup(Value v) { return V::dup(v); }
  static T add(T a, T b) { return V::add(a, b); }
  static T add_penalty(T a, T b) { return V::add(a, b); }
  static T sub(T a, T b) { return V::sub(a, b); }
  static T min(T a, T b) { return V::min(a, b); }
  static Value smallest(T v) { return V::smallest(v); }
  static T shift_in_low(T a, T b) { return V::shift_in_low(a, b); }
  static T shift_in_high(T b, T c) { return V::shift_in_high(b, c); }
  template <unsigned long kHalf>
  static typename V::T widen(T v) {
    return v;
  }
};

// Byte cells, twice the lanes, where every path value provably fits a byte (sgm_sweep.cpp says when). B gives
// byte lanes: load, store, dup, wrapping add and subtract, saturating add, unsigned minimum, the smallest lane,
// the shifts by one lane as V's, and widen<h>, the h-th group of Wide::kLanes lanes as 16-bit lanes of Wide.
// Penalties are capped at 255 and the terms saturate: every term but `same` only counts when it is below
// `same`, which is a byte, so a capped term loses whenever the exact one would.
template <class B>
struct ByteCells {
  using Value = uint8_t;
  using T = typename B::T;
  using Wide = typename B::Wide;
  static constexpr unsigned long kLanes = B::kLanes;
  static constexpr unsigned long kHalves = B::kLanes / Wide::kLanes;
  static constexpr Value kNoValue = UINT8_MAX;
  static Value penalty(uint16_t p1) { return static_cast<Value>(std::min<unsigned>(p1, kNoValue)); }
  static Value jump(Value min_previous, uint16_t p2) {
    return static_cast<Value>(std::min<unsigned>(min_previous + unsigned{p2}, kNoValue));
  }
  static T load(const Value* p) { return B::load(p); }
  static T load_costs(const uint8_t* p) { return B::load(p); }
  static void store(Value* p, T v) { B::store(p, v); }
  static T dup(Value v) { return B::dup(v); }
  static T add(T a, T b) { return B::add(a, b); }
  static T add_penalty(T a, T b) { return B::add_saturated(a, b); }
  static T sub(T a, T b) { return B::sub(a, b); }
  static T min(T a, T b) { return B::min(a, b); }
  static Value smallest(T v) { return B::smallest(v); }
  static T shift_in_low(T a, T b) { return B::shift_in_low(a, b); }
  static T shift_in_high(T b, T c) { return B::shift_in_high(b, c); }
  template <unsigned long kHalf>
  static typename Wide::T widen(T v) {
    return B::template widen<kHalf>(v);
  }
};

// A vector of byte sums from byte cells; byte lanes that stream have stream and stream_fence as V's.
template <class B, bool kStream>
void store_byte_sums(uint8_t* p, typename B::T v) {
  if constexpr (kStream && Streams<B>::value) {
    if (reinterpret_cast<uintptr_t>(p) % sizeof(typename B::T) == 0) {
      B::stream(p, v);
      return;
    }
  }
  B::store(p, v);
}

template <class Cells>
struct ByteLanesOf {
  using type = void;
};
template <class B>
struct ByteLanesOf<ByteCells<B>> {
  using type = B;
};

// The recurrence over all `count` indices of a cell of C (WideCells or ByteCells), also writing
// sums[d] = addend[d] + cell[d+1] (addend may be sums). Sums and addends are 16-bit values or, where every sum
// is known to fit, bytes; kStream where the sums are a volume handed on to a later pass. With kSumMinimum,
// *smallest_sum receives the smallest sum written, for a winner-take-all that follows at once. Returns the
// smallest cell value written.
// Inlined into the passes, which call it for every path of every pixel.
template <class C, bool kStream = false, class A = uint16_t, class S = uint16_t, bool kSumMinimum = false>
__attribute__((always_inline)) inline typename C::Value recurrence_sum(
    unsigned long count, typename C::Value min_previous, const typename C::Value* previous_cell, const uint8_t* cost,
    typename C::Value* cell, uint16_t p1, uint16_t p2, const A* addend, S* sums, uint16_t* smallest_sum = nullptr) {
  using Value = typename C::Value;
  using T = typename C::T;
  using W = typename C::Wide;
  constexpr bool kByteSums = std::is_same_v<Value, uint8_t> && std::is_same_v<S, uint8_t>;
  static_assert(!kByteSums || std::is_same_v<A, uint8_t>, "byte sums of byte cells add byte addends");
  const Value jump = C::jump(min_previous, p2);
  const T min_lanes = C::dup(min_previous);
  const T p1_lanes = C::dup(C::penalty(p1));
  const T jump_lanes = C::dup(jump);
  T lowest = C::dup(C::kNoValue);
  [[maybe_unused]] typename W::T lowest_sum = W::dup(kNoValue);
  auto put_half = [&](unsigned long at, typename W::T value) {
    const typename W::T sum = W::add(load_values<W>(addend + at), value);
    store_values<W, kStream>(sums + at, sum);
    if constexpr (kSumMinimum) lowest_sum = W::min(lowest_sum, sum);
  };
  auto put_sum = [&](unsigned long at, T value) {
    if constexpr (kByteSums) {
      store_byte_sums<typename ByteLanesOf<C>::type, kStream>(sums + at, C::add(C::load(addend + at), value));
    } else {
      put_half(at, C::template widen<0>(value));
      if constexpr (C::kHalves == 2) put_half(at + W::kLanes, C::template widen<1>(value));
    }
  };
  auto value_of = [&](T same, T lower, T upper, unsigned long d) {
    const T best = C::min(C::min(same, C::add_penalty(lower, p1_lanes)),
                          C::min(C::add_penalty(upper, p1_lanes), jump_lanes));
    return C::add(C::load_costs(cost + d), C::sub(best, min_lanes));
  };
  unsigned long d = 0;
  if (count % C::kLanes == 0) {
    // The neighbours come from the same loads shifted by one lane, so every load of the previous cell lines up
    // with the stores that wrote it (a cell written just before forwards from those stores).
    T below = C::dup(previous_cell[0]);  // its last lane is the lower guard
    T same = C::load(previous_cell + 1);
    for (; d < count; d += C::kLanes) {
      const T above =
          d + C::kLanes < count ? C::load(previous_cell + d + 1 + C::kLanes) : C::dup(previous_cell[count + 1]);
      const T value = value_of(same, C::shift_in_low(below, same), C::shift_in_high(same, above), d);
      C::store(cell + d + 1, value);
      put_sum(d, value);
      lowest = C::min(lowest, value);
      below = same;
      same = above;
    }
  }
  for (; d + C::kLanes <= count; d += C::kLanes) {
    const T value =
        value_of(C::load(previous_cell + d + 1), C::load(previous_cell + d), C::load(previous_cell + d + 2), d);
    C::store(cell + d + 1, value);
    put_sum(d, value);
    lowest = C::min(lowest, value);
  }
  Value smallest = C::smallest(lowest);
  [[maybe_unused]] uint16_t smallest_of_sums = kSumMinimum ? W::smallest(lowest_sum) : kNoValue;
  for (; d < count; ++d) {
    // Exact in 16 bits; a byte cell's value fits its byte.
    const Value value = static_cast<Value>(
        scalar_recurrence(previous_cell, cost[d], d, min_previous, p1, static_cast<uint16_t>(min_previous + p2)));
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

template <class V>
void add_planes(const uint16_t* first, unsigned long stride, unsigned long planes, unsigned long count,
                uint16_t* sums) {
  unsigned long k = 0;
  for (; k + V::kLanes <= count; k += V::kLanes) {
    typename V::T total = V::load(sums + k);
    for (unsigned long p = 0; p < planes; ++p) total = V::add(total, V::load(first + p * stride + k));
    V::store(sums + k, total);
  }
  for (; k < count; ++k) {
    uint16_t total = sums[k];
    for (unsigned long p = 0; p < planes; ++p) total = static_cast<uint16_t>(total + first[p * stride + k]);
    sums[k] = total;
  }
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
