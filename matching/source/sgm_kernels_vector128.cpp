// The 128-bit form of the inner loops and the census of 16 pixels: NEON, through SIMDe (SSE4.2) on x86-64.
#if defined(__ARM_NEON) || defined(__aarch64__)
#include <arm_neon.h>
#else
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/arm/neon.h>
#endif

#include "sgm_kernel_table.h"
#include "sgm_types.h"

namespace {

constexpr unsigned kBitsPerLaneByte = 8;
constexpr unsigned long kBitsPerByte = 8;

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

// Word `word` of the signatures of 16 neighbouring pixels starting at (y, x): the 64 compare bits are
// gathered as eight byte planes (plane b holds bits 8b to 8b+7 of every pixel), then transposed so that each
// pixel's eight bytes form its little-endian word.
template <unsigned long R>
void census_word_of_16(const unsigned char* image, long n, long y, long x, unsigned long word, uint64_t* first) {
  constexpr unsigned long kWords = sgm_census_words(R);
  constexpr unsigned long kSide = 2 * R + 1;
  constexpr unsigned long kBits = kSide * kSide;
  constexpr long kRadius = static_cast<long>(R);
  const uint8x16_t centre = vld1q_u8(image + y * n + x);
  uint8x16_t planes[kBitsPerByte];
  for (uint8x16_t& plane : planes) plane = vdupq_n_u8(0);
  for (unsigned long q = 0; q < kCensusWordBits && word * kCensusWordBits + q < kBits; ++q) {
    const unsigned long p = word * kCensusWordBits + q;
    const long dy = static_cast<long>(p / kSide) - kRadius;
    const long dx = static_cast<long>(p % kSide) - kRadius;
    const uint8x16_t brighter = vcgtq_u8(vld1q_u8(image + (y + dy) * n + x + dx), centre);
    const uint8x16_t bit = vdupq_n_u8(static_cast<uint8_t>(1u << (q % kBitsPerByte)));
    planes[q / kBitsPerByte] = vorrq_u8(planes[q / kBitsPerByte], vandq_u8(brighter, bit));
  }
  uint8x16_t pairs[kBitsPerByte];
  for (unsigned long b = 0; b < kBitsPerByte; b += 2) {
    pairs[b] = vzip1q_u8(planes[b], planes[b + 1]);      // pixels 0 to 7
    pairs[b + 1] = vzip2q_u8(planes[b], planes[b + 1]);  // pixels 8 to 15
  }
  uint16x8_t quads[kBitsPerByte];  // [half][quarter]: bytes 0-3 of pixels, then bytes 4-7
  for (unsigned long half = 0; half < 2; ++half) {
    for (unsigned long h = 0; h < 2; ++h) {
      const uint16x8_t low = vreinterpretq_u16_u8(pairs[4 * half + h]);
      const uint16x8_t high = vreinterpretq_u16_u8(pairs[4 * half + 2 + h]);
      quads[4 * half + 2 * h] = vzip1q_u16(low, high);
      quads[4 * half + 2 * h + 1] = vzip2q_u16(low, high);
    }
  }
  for (unsigned long k = 0; k < 4; ++k) {
    const uint32x4_t low = vreinterpretq_u32_u16(quads[k]);
    const uint32x4_t high = vreinterpretq_u32_u16(quads[4 + k]);
    const uint64x2_t even = vreinterpretq_u64_u32(vzip1q_u32(low, high));
    const uint64x2_t odd = vreinterpretq_u64_u32(vzip2q_u32(low, high));
    uint64_t* out = first + 4 * k * kWords + word;
    out[0] = vgetq_lane_u64(even, 0);
    out[kWords] = vgetq_lane_u64(even, 1);
    out[2 * kWords] = vgetq_lane_u64(odd, 0);
    out[3 * kWords] = vgetq_lane_u64(odd, 1);
  }
}

}  // namespace

const SgmKernels kSgmVector128Kernels = sgm_forms::kernel_table<Vector128Lanes, Vector128Bytes>();

template <unsigned long R>
void sgm_census_16(const unsigned char* image, long n, long y, long x, uint64_t* signatures) {
  for (unsigned long w = 0; w < sgm_census_words(R); ++w) census_word_of_16<R>(image, n, y, x, w, signatures);
}

template void sgm_census_16<1>(const unsigned char*, long, long, long, uint64_t*);
template void sgm_census_16<2>(const unsigned char*, long, long, long, uint64_t*);
template void sgm_census_16<3>(const unsigned char*, long, long, long, uint64_t*);
template void sgm_census_16<4>(const unsigned char*, long, long, long, uint64_t*);
template void sgm_census_16<5>(const unsigned char*, long, long, long, uint64_t*);
template void sgm_census_16<6>(const unsigned char*, long, long, long, uint64_t*);
template void sgm_census_16<7>(const unsigned char*, long, long, long, uint64_t*);
template void sgm_census_16<8>(const unsigned char*, long, long, long, uint64_t*);
template void sgm_census_16<9>(const unsigned char*, long, long, long, uint64_t*);
