// The AVX-512 form of the inner loops: 32 lanes of 16 bits, and census costs eight words at a time. This file
// alone is compiled with AVX-512 (BW, VPOPCNTDQ, VBMI); its table is used only after the processor has been
// asked whether it has them.
#include "sgm_kernels.h"

#if defined(__x86_64__)
// GCC 12's AVX-512 header starts some intrinsics from a deliberately undefined value and then warns about it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include "sgm_kernel_table.h"

namespace {

constexpr int kUpperHalves = 0xEE;  // 128-bit blocks 2, 3, 2, 3

struct Avx512Lanes {
  using T = __m512i;
  static constexpr unsigned long kLanes = 32;
  static T load(const uint16_t* p) { return _mm512_loadu_si512(p); }
  static T load_bytes(const uint8_t* p) {
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  }
  static void store(uint16_t* p, T v) { _mm512_storeu_si512(p, v); }
  static void store_bytes(uint8_t* p, T v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_cvtepi16_epi8(v));
  }
  static void stream_bytes(uint8_t* p, T v) {
    _mm256_stream_si256(reinterpret_cast<__m256i*>(p), _mm512_cvtepi16_epi8(v));
  }
  static void stream_fence() { _mm_sfence(); }
  static T dup(uint16_t v) { return _mm512_set1_epi16(static_cast<short>(v)); }
  static T add(T a, T b) { return _mm512_add_epi16(a, b); }
  static T sub(T a, T b) { return _mm512_sub_epi16(a, b); }
  static T min(T a, T b) { return _mm512_min_epu16(a, b); }
  static uint16_t smallest(T v) {
    const __m256i upper = _mm512_castsi512_si256(_mm512_shuffle_i64x2(v, v, kUpperHalves));
    const __m256i half = _mm256_min_epu16(_mm512_castsi512_si256(v), upper);
    const __m128i quarter = _mm_min_epu16(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
    return static_cast<uint16_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(quarter)));
  }
  static int first_equal(T v, T target) {
    const __mmask32 equal = _mm512_cmpeq_epi16_mask(v, target);
    return equal == 0 ? -1 : __builtin_ctz(equal);
  }
  // Lane i of the result is lane i - 1 of b (lane 31 of a for i = 0), or lane i + 1 of b (lane 0 of c).
  static T shift_in_low(T a, T b) { return _mm512_permutex2var_epi16(b, low_index(), a); }
  static T shift_in_high(T b, T c) { return _mm512_permutex2var_epi16(b, high_index(), c); }

  // Eight disparities per step: the right signatures of d + 7 down to d lie in ascending memory, so their
  // counts are put back in disparity order before they are narrowed to bytes. Whole blocks of 64 disparities
  // gather the low bytes of eight steps' counts with byte permutes, two steps each, and store them at once.
  static void byte_costs(const uint64_t* left, const uint64_t* right, unsigned long pixels,
                         unsigned long disparities, uint8_t* cost) {
    const __m512i reverse = _mm512_set_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    const __m512i index0 = pair_bytes_index(0), index1 = pair_bytes_index(1);
    const __m512i index2 = pair_bytes_index(2), index3 = pair_bytes_index(3);
    for (unsigned long i = 0; i < pixels; ++i) {
      const __m512i signature = _mm512_set1_epi64(static_cast<long long>(left[i]));
      uint8_t* pixel_cost = cost + i * disparities;
      auto counts_of_step = [&](unsigned long d) {
        const __m512i words = _mm512_loadu_si512(right + i - d - (kWordsPerStep - 1));
        return _mm512_popcnt_epi64(_mm512_xor_si512(words, signature));
      };
      unsigned long d = 0;
      for (; d + kBlock <= disparities; d += kBlock) {
        auto pair = [&](unsigned long number, __m512i index) {
          const unsigned long first = d + 2 * number * kWordsPerStep;
          return _mm512_permutex2var_epi8(counts_of_step(first), index, counts_of_step(first + kWordsPerStep));
        };
        // Pair k fills 64-bit quarters 2k and 2k + 1.
        const __m512i low = _mm512_mask_blend_epi64(0x0C, pair(0, index0), pair(1, index1));
        const __m512i high = _mm512_mask_blend_epi64(0xC0, pair(2, index2), pair(3, index3));
        _mm512_storeu_si512(pixel_cost + d, _mm512_mask_blend_epi64(0xF0, low, high));
      }
      for (; d + kWordsPerStep <= disparities; d += kWordsPerStep) {
        const __m512i words = _mm512_loadu_si512(right + i - d - (kWordsPerStep - 1));
        const __m512i counts = _mm512_popcnt_epi64(_mm512_xor_si512(words, signature));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(pixel_cost + d),
                         _mm512_cvtepi64_epi8(_mm512_permutexvar_epi64(reverse, counts)));
      }
      for (; d < disparities; ++d)
        pixel_cost[d] = static_cast<uint8_t>(__builtin_popcountll(left[i] ^ right[i - d]));
    }
  }

 private:
  static constexpr unsigned long kWordsPerStep = 8;
  static constexpr unsigned long kBlock = 64;  // disparities gathered into one vector of bytes
  static constexpr unsigned kSecondTable = 64;  // byte permute indices from here on pick from the second vector

  // For the pair of steps that fills 64-bit quarters 2 pair and 2 pair + 1: byte 16 pair + k is the count of
  // disparity k of the first step (low byte of its quarter 7 - k), byte 16 pair + 8 + k that of the second.
  static T pair_bytes_index(unsigned long pair) {
    alignas(64) uint8_t index[kBlock] = {};
    for (unsigned k = 0; k < kWordsPerStep; ++k) {
      const unsigned low_byte = static_cast<unsigned>(kWordsPerStep) * (7 - k);
      index[2 * kWordsPerStep * pair + k] = static_cast<uint8_t>(low_byte);
      index[2 * kWordsPerStep * pair + kWordsPerStep + k] = static_cast<uint8_t>(kSecondTable + low_byte);
    }
    return _mm512_load_si512(index);
  }

  // Indices below 32 pick from the first operand, 32 and above from the second.
  static T low_index() {
    alignas(64) static const uint16_t kIndex[kLanes] = {63, 0,  1,  2,  3,  4,  5,  6,  7,  8,  9,
                                                         10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                                         21, 22, 23, 24, 25, 26, 27, 28, 29, 30};
    return _mm512_load_si512(kIndex);
  }
  static T high_index() {
    alignas(64) static const uint16_t kIndex[kLanes] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                                         12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                                         23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
    return _mm512_load_si512(kIndex);
  }
};

constexpr SgmKernels kAvx512Table = sgm_forms::kernel_table<Avx512Lanes>();

}  // namespace

const SgmKernels* const kSgmAvx512Kernels = &kAvx512Table;
#else
const SgmKernels* const kSgmAvx512Kernels = nullptr;
#endif
