// The AVX2 form of the inner loops. This file alone is compiled with -mavx2; its table is used only
// after the processor has been asked whether it has AVX2.
#include "sgm_kernels.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include "sgm_kernel_forms.h"

namespace {

constexpr unsigned kBitsPerLane = 2;  // movemask bits per 16-bit lane

struct Avx2Lanes {
  using T = __m256i;
  static constexpr unsigned long kLanes = 16;
  static T load(const uint16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static void store(uint16_t* p, T v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  static T dup(uint16_t v) { return _mm256_set1_epi16(static_cast<short>(v)); }
  static T add(T a, T b) { return _mm256_add_epi16(a, b); }
  static T sub(T a, T b) { return _mm256_sub_epi16(a, b); }
  static T min(T a, T b) { return _mm256_min_epu16(a, b); }
  static uint16_t smallest(T v) {
    const __m128i halves = _mm_min_epu16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<uint16_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(halves)));
  }
  static int first_equal(T v, T target) {
    const unsigned bits = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(v, target)));
    return bits == 0 ? -1 : __builtin_ctz(bits) / static_cast<int>(kBitsPerLane);
  }
};

constexpr SgmKernels kAvx2Table = sgm_forms::kernel_table<Avx2Lanes>();

}  // namespace

const SgmKernels* const kSgmAvx2Kernels = &kAvx2Table;
#else
const SgmKernels* const kSgmAvx2Kernels = nullptr;
#endif
