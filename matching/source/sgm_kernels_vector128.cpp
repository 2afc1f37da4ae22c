// The 128-bit form of the inner loops: NEON, through SIMDe (SSE4.2) on x86-64.
#if defined(__ARM_NEON) || defined(__aarch64__)
#include <arm_neon.h>
#else
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/arm/neon.h>
#endif

#include "sgm_kernel_table.h"

namespace {

constexpr unsigned kBitsPerLaneByte = 8;

struct Vector128Lanes {
  using T = uint16x8_t;
  static constexpr unsigned long kLanes = 8;
  static T load(const uint16_t* p) { return vld1q_u16(p); }
  static T load_bytes(const uint8_t* p) { return vmovl_u8(vld1_u8(p)); }
  static void store(uint16_t* p, T v) { vst1q_u16(p, v); }
  static void store_bytes(uint8_t* p, T v) { vst1_u8(p, vmovn_u16(v)); }
  static T dup(uint16_t v) { return vdupq_n_u16(v); }
  static T add(T a, T b) { return vaddq_u16(a, b); }
  static T sub(T a, T b) { return vsubq_u16(a, b); }
  static T min(T a, T b) { return vminq_u16(a, b); }
  static uint16_t smallest(T v) { return vminvq_u16(v); }
  static T shift_in_low(T a, T b) { return vextq_u16(a, b, kLanes - 1); }
  static T shift_in_high(T b, T c) { return vextq_u16(b, c, 1); }
  static int first_equal(T v, T target) {
    // One byte per lane, 0xff where equal: the lowest set byte is the first match.
    const uint8x8_t equal = vmovn_u16(vceqq_u16(v, target));
    const uint64_t bits = vget_lane_u64(vreinterpret_u64_u8(equal), 0);
    return bits == 0 ? -1 : __builtin_ctzll(bits) / static_cast<int>(kBitsPerLaneByte);
  }
};

struct Vector128Bytes {
  using T = uint8x16_t;
  using Wide = Vector128Lanes;
  static constexpr unsigned long kLanes = 16;
  static T load(const uint8_t* p) { return vld1q_u8(p); }
  static void store(uint8_t* p, T v) { vst1q_u8(p, v); }
  static T dup(uint8_t v) { return vdupq_n_u8(v); }
  static T add(T a, T b) { return vaddq_u8(a, b); }
  static T add_saturated(T a, T b) { return vqaddq_u8(a, b); }
  static T sub(T a, T b) { return vsubq_u8(a, b); }
  static T min(T a, T b) { return vminq_u8(a, b); }
  static uint8_t smallest(T v) { return vminvq_u8(v); }
  static T shift_in_low(T a, T b) { return vextq_u8(a, b, kLanes - 1); }
  static T shift_in_high(T b, T c) { return vextq_u8(b, c, 1); }
  template <unsigned long kHalf>
  static uint16x8_t widen(T v) {
    return vmovl_u8(kHalf == 0 ? vget_low_u8(v) : vget_high_u8(v));
  }
};

}  // namespace

const SgmKernels kSgmVector128Kernels = sgm_forms::kernel_table<Vector128Lanes, Vector128Bytes>();
