// The AVX-512 form of the inner loops: 32 lanes of 16 bits or bytes, census costs eight words at a time, and
// census signatures 64 pixels at a time. This file alone is compiled with AVX-512 (BW, VL, VPOPCNTDQ, VBMI) and
// GFNI; its table is used only after the processor has been asked whether it has them.
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
  static void stream(uint16_t* p, T v) { _mm512_stream_si512(reinterpret_cast<__m512i*>(p), v); }
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

  // One-word census signatures of the 64 pixels from (y, x): one compare per window position gives that bit of
  // all 64 pixels (a row of a 64 x 64 bit matrix); the matrix is transposed in 8 x 8 blocks of bits (a Galois
  // field affine step per block), and the blocks' bytes are interleaved into each pixel's word.
  static void census_64(const unsigned char* image, long n, long y, long x, unsigned long radius,
                        uint64_t* signatures) {
    alignas(64) uint64_t positions[kCensusPixels] = {};  // row p: bit j set when pixel j's position p is brighter
    const long r = static_cast<long>(radius);
    const __m512i centre = _mm512_loadu_si512(image + y * n + x);
    unsigned long p = 0;
    for (long dy = -r; dy <= r; ++dy) {
      const unsigned char* row = image + (y + dy) * n + x;
      for (long dx = -r; dx <= r; ++dx, ++p)
        positions[p] = _cvtmask64_u64(_mm512_cmpgt_epu8_mask(_mm512_loadu_si512(row + dx), centre));
    }
    // Block (R, C): rows 8R to 8R + 7, byte C of each, gathered into quarter C in reverse row order; the affine
    // step with byte b = 1 << b as its vector then gives byte b = positions 8R to 8R + 7 of pixel 8C + b.
    const __m512i gather = block_gather_index();
    const __m512i bit_of_byte = _mm512_set1_epi64(static_cast<long long>(0x8040201008040201ULL));
    __m512i bytes[kBytesPerWord];  // bytes[R]: byte R of the words of pixels 0 to 63
    for (unsigned long block = 0; block < kBytesPerWord; ++block)
      bytes[block] = _mm512_gf2p8affine_epi64_epi8(
          bit_of_byte, _mm512_permutexvar_epi8(gather, _mm512_load_si512(positions + kBytesPerWord * block)), 0);
    // Interleave bytes, then pairs of bytes, then groups of four: word j takes byte j of bytes[0] to bytes[7].
    __m512i pairs[kBytesPerWord];
    for (unsigned long k = 0; k < kBytesPerWord / 2; ++k) {
      pairs[2 * k] = _mm512_permutex2var_epi8(bytes[2 * k], interleave_index<uint8_t>(0), bytes[2 * k + 1]);
      pairs[2 * k + 1] = _mm512_permutex2var_epi8(bytes[2 * k], interleave_index<uint8_t>(1), bytes[2 * k + 1]);
    }
    __m512i quads[kBytesPerWord];  // quads[4h + q]: bytes 4h to 4h + 3 of pixels 16q to 16q + 15
    for (unsigned long h = 0; h < 2; ++h)
      for (unsigned long q = 0; q < 4; ++q)
        quads[4 * h + q] = _mm512_permutex2var_epi16(pairs[4 * h + q / 2], interleave_index<uint16_t>(q % 2),
                                                     pairs[4 * h + 2 + q / 2]);
    for (unsigned long q = 0; q < 4; ++q)
      for (unsigned long half = 0; half < 2; ++half)
        _mm512_storeu_si512(signatures + 16 * q + 8 * half,
                            _mm512_permutex2var_epi32(quads[q], interleave_index<uint32_t>(half), quads[4 + q]));
  }

 private:
  static constexpr unsigned long kWordsPerStep = 8;
  static constexpr unsigned long kCensusPixels = 64;
  static constexpr unsigned long kBytesPerWord = 8;

  // Quarter C, byte k: row 8 (7 - k) + C of the eight rows' bytes.
  static T block_gather_index() {
    alignas(64) uint8_t index[kCensusPixels];
    for (unsigned c = 0; c < kBytesPerWord; ++c)
      for (unsigned k = 0; k < kBytesPerWord; ++k) index[8 * c + k] = static_cast<uint8_t>(8 * (7 - k) + c);
    return _mm512_load_si512(index);
  }
  // Elements of size E from two vectors alternately, starting at element `half` x (elements per vector / 2) of
  // each: result 2i = a[start + i], 2i + 1 = b[start + i].
  template <class E>
  static T interleave_index(unsigned long half) {
    constexpr unsigned long kElements = 64 / sizeof(E);
    alignas(64) E index[kElements];
    for (unsigned long i = 0; i < kElements / 2; ++i) {
      index[2 * i] = static_cast<E>(half * kElements / 2 + i);
      index[2 * i + 1] = static_cast<E>(kElements + half * kElements / 2 + i);
    }
    return _mm512_load_si512(index);
  }
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

// Bytes in 256-bit vectors: 32 lanes, which widen to one vector of Avx512Lanes, and which a cell of 32 or 64
// disparities fills whole.
struct Avx512Bytes {
  using T = __m256i;
  using Wide = Avx512Lanes;
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
  // Lane i of the result is lane i - 1 of b (lane 31 of a for i = 0), or lane i + 1 of b (lane 0 of c).
  static T shift_in_low(T a, T b) { return _mm256_permutex2var_epi8(b, shift_index(2 * kLanes - 1), a); }
  static T shift_in_high(T b, T c) { return _mm256_permutex2var_epi8(b, shift_index(1), c); }
  template <unsigned long kHalf>
  static __m512i widen(T v) {
    return _mm512_cvtepu8_epi16(v);
  }

 private:
  // Lane i takes lane i + offset of the pair (first operand, second operand), counted modulo 64.
  static T shift_index(unsigned long offset) {
    alignas(32) uint8_t index[kLanes];
    for (unsigned long i = 0; i < kLanes; ++i) index[i] = static_cast<uint8_t>((i + offset) % (2 * kLanes));
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(index));
  }
};

constexpr SgmKernels kAvx512Table = sgm_forms::kernel_table<Avx512Lanes, Avx512Bytes>();

}  // namespace

const SgmKernels* const kSgmAvx512Kernels = &kAvx512Table;
#else
const SgmKernels* const kSgmAvx512Kernels = nullptr;
#endif
