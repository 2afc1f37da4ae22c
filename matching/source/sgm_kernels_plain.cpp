// The plain form of the inner loops: one value at a time, the reference for the vector forms.
#include <algorithm>

#include "sgm_kernel_table.h"

namespace {

struct PlainLanes {
  using T = uint16_t;
  static constexpr unsigned long kLanes = 1;
  static T load(const uint16_t* p) { return *p; }
  static T load_bytes(const uint8_t* p) { return *p; }
  static void store(uint16_t* p, T v) { *p = v; }
  static void store_bytes(uint8_t* p, T v) { *p = static_cast<uint8_t>(v); }
  static T dup(uint16_t v) { return v; }
  static T add(T a, T b) { return static_cast<T>(a + b); }
  static T sub(T a, T b) { return static_cast<T>(a - b); }
  static T min(T a, T b) { return std::min(a, b); }
  static uint16_t smallest(T v) { return v; }
  static int first_equal(T v, T target) { return v == target ? 0 : -1; }
  static T shift_in_low(T a, T) { return a; }
  static T shift_in_high(T, T c) { return c; }
};

struct PlainBytes {
  using T = uint8_t;
  using Wide = PlainLanes;
  static constexpr unsigned long kLanes = 1;
  static constexpr unsigned kLargest = 255;
  static T load(const uint8_t* p) { return *p; }
  static void store(uint8_t* p, T v) { *p = v; }
  static T dup(uint8_t v) { return v; }
  static T add(T a, T b) { return static_cast<T>(a + b); }
  static T add_saturated(T a, T b) { return static_cast<T>(std::min<unsigned>(a + b, kLargest)); }
  static T sub(T a, T b) { return static_cast<T>(a - b); }
  static T min(T a, T b) { return std::min(a, b); }
  static uint8_t smallest(T v) { return v; }
  static T shift_in_low(T a, T) { return a; }
  static T shift_in_high(T, T c) { return c; }
  template <unsigned long kHalf>
  static uint16_t widen(T v) {
    return v;
  }
};

}  // namespace

const SgmKernels kSgmPlainKernels = sgm_forms::kernel_table<PlainLanes, PlainBytes>();
