// The AVX2 form of the inner loops. This file alone is compiled with -mavx2; its table is used only
// after the processor has been asked whether it has AVX2.
#include "sgm_kernels.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include "sgm_kernel_table.h"

namespace {

constexpr unsigned kBitsPerLane = 2;  // movemask bits per 16-bit lane
constexpr int kFirstAndThirdQuarters = 0x08;  // 64-bit quarters 0 and 2 into the low half
constexpr int kCrossHalves = 0x21;  // the upper half of the first operand, the lower half of the second

struct Avx2Lanes {
  using T = __m256i;
  static constexpr unsigned long kLanes = 16;
  static T load(const uint16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static T load_bytes(const uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  static void store(uint16_t* p, T v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  static void store_bytes(uint8_t* p, T v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), packed_bytes(v)); }
  static void stream(uint16_t* p, T v) { _mm256_stream_si256(reinterpret_cast<__m256i*>(p), v); }
  static void stream_bytes(uint8_t* p, T v) { _mm_stream_si128(reinterpret_cast<__m128i*>(p), packed_bytes(v)); }
  static void stream_fence() { _mm_sfence(); }
  // Packing works within 128-bit halves; the permute joins the two halves' bytes.
  static __m128i packed_bytes(T v) {
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), kFirstAndThirdQuarters));
  }
  static T dup(uint16_t v) { return _mm256_set1_epi16(static_cast<short>(v)); }
  static T add(T a, T b) { return _mm256_add_epi16(a, b); }
  static T sub(T a, T b) { return _mm256_sub_epi16(a, b); }
  static T min(T a, T b) { return _mm256_min_epu16(a, b); }
  static uint16_t smallest(T v) {
    const __m128i halves = _mm_min_epu16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<uint16_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(halves)));
  }
  // Across the two 128-bit halves: the permute supplies each half's neighbouring half.
  static T shift_in_low(T a, T b) { return _mm256_alignr_epi8(b, _mm256_permute2x128_si256(a, b, kCrossHalves), 14); }
  static T shift_in_high(T b, T c) { return _mm256_alignr_epi8(_mm256_permute2x128_si256(b, c, kCrossHalves), b, 2); }
  static int first_equal(T v, T target) {
    const unsigned bits = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(v, target)));
    return bits == 0 ? -1 : __builtin_ctz(bits) / static_cast<int>(kBitsPerLane);
  }
};

struct Avx2Bytes {
  using T = __m256i;
  using Wide = Avx2Lanes;
  static constexpr unsigned long kLanes = 32;
  static T load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static void store(uint8_t* p, T v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  static void stream(uint8_t* p, T v) { _mm256_stream_si256(reinterpret_cast<__m256i*>(p), v); }
  static void stream_fence() { _mm_sfence(); }
  static T dup(uint8_t v) { return _mm256_set1_epi8(static_cast<char>(v)); }
  static T add(T a, T b) { return _mm256_add_epi8(a, b); }
  static T add_saturated(T a, T b) { return _mm256_adds_epu8(a, b); }
  static T sub(T a, T b) { return _mm256_sub_epi8(a, b); }
  static T min(T a, T b) { return _mm256_min_epu8(a, b); }
  // Pairs of bytes to 16-bit lanes whose upper byte is 0, then the 16-bit minimum.
  static uint8_t smallest(T v) {
    const __m128i half = _mm_min_epu8(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    const __m128i pairs = _mm_min_epu8(half, _mm_srli_epi16(half, 8));
    return static_cast<uint8_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(pairs)));
  }
  static T shift_in_low(T a, T b) { return _mm256_alignr_epi8(b, _mm256_permute2x128_si256(a, b, kCrossHalves), 15); }
  static T shift_in_high(T b, T c) { return _mm256_alignr_epi8(_mm256_permute2x128_si256(b, c, kCrossHalves), b, 1); }
  template <unsigned long kHalf>
  static __m256i widen(T v) {
    return _mm256_cvtepu8_epi16(kHalf == 0 ? _mm256_castsi256_si128(v) : _mm256_extracti128_si256(v, 1));
  }
};

constexpr SgmKernels kAvx2Table = sgm_forms::kernel_table<Avx2Lanes, Avx2Bytes>();

}  // namespace

const SgmKernels* const kSgmAvx2Kernels = &kAvx2Table;
#else
const SgmKernels* const kSgmAvx2Kernels = nullptr;
#endif
