// Census transform with a square window of radius r and the Hamming-distance matching cost.
#include "sgm_census.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "sgm_kernels.h"
#include "sgm_pool.h"
#include "sgm_state.h"

namespace {

constexpr long kVectorPixels = 16;  // pixels per call of the 128-bit census
constexpr long kBlockPixels = 64;   // pixels per call of a form's own census
constexpr unsigned long kCensusBandsPerThread = 2;

// Signature of one pixel: bit p is set when window position p (rows top to bottom, columns left to right)
// is strictly brighter than the centre.
template <unsigned long R>
void census_signature(const unsigned char* image, long n, long y, long x, uint64_t* signature) {
  constexpr unsigned long kWords = sgm_census_words(R);
  constexpr long kRadius = static_cast<long>(R);
  uint64_t words[kWords] = {};
  const unsigned char centre = image[y * n + x];
  unsigned long p = 0;
  for (long dy = -kRadius; dy <= kRadius; ++dy) {
    const unsigned char* row = image + (y + dy) * n + x;
    for (long dx = -kRadius; dx <= kRadius; ++dx, ++p)
      words[p / kCensusWordBits] |= static_cast<uint64_t>(row[dx] > centre) << (p % kCensusWordBits);
  }
  for (unsigned long w = 0; w < kWords; ++w) signature[w] = words[w];
}

// Signatures of rows [row_begin, row_end) and columns [column_begin, column_end): 64 pixels at a time where the
// form of the inner loops has its own census, then 16 at a time, then one by one.
template <unsigned long R>
void census_signatures(const unsigned char* image, long row_begin, long row_end, long column_begin, long column_end,
                       uint64_t* signatures) {
  constexpr unsigned long kWords = sgm_census_words(R);
  const long n = static_cast<long>(s_sgm_n);
  const auto census_64 = kWords == 1 ? sgm_kernels().census_64 : nullptr;
  for (long y = row_begin; y < row_end; ++y) {
    long x = column_begin;
    if (census_64 != nullptr)
      for (; x + kBlockPixels <= column_end; x += kBlockPixels) census_64(image, n, y, x, R, signatures + y * n + x);
    for (; x + kVectorPixels <= column_end; x += kVectorPixels)
      sgm_census_16<R>(image, n, y, x, signatures + (y * n + x) * kWords);
    for (; x < column_end; ++x) census_signature<R>(image, n, y, x, signatures + (y * n + x) * kWords);
  }
}

template <unsigned long kWords>
inline unsigned short hamming_distance(const uint64_t* a, const uint64_t* b) {
  unsigned int bits = 0;
  for (unsigned long w = 0; w < kWords; ++w) bits += static_cast<unsigned int>(__builtin_popcountll(a[w] ^ b[w]));
  return static_cast<unsigned short>(bits);
}

// Signatures of both images over `area` in bands of rows on the matcher's pool (the right image's from the
// same rows); each band then runs then(band_begin, band_end), which needs only its own rows' signatures.
template <unsigned long R, class Then>
void signature_bands(const SgmArea& area, const unsigned char* left, const unsigned char* right,
                     uint64_t* left_signatures, uint64_t* right_signatures, const Then& then) {
  SgmPool& pool = sgm_pool();
  const long rows = area.row_end - area.row_begin;
  const long bands = std::min<long>(rows, static_cast<long>(pool.threads() * kCensusBandsPerThread));
  const long rows_per_band = (rows + bands - 1) / bands;
  pool.Run(static_cast<unsigned long>(bands), [&](unsigned long band) {
    const long band_begin = area.row_begin + static_cast<long>(band) * rows_per_band;
    const long band_end = std::min(band_begin + rows_per_band, area.row_end);
    census_signatures<R>(left, band_begin, band_end, area.column_begin, area.column_end, left_signatures);
    census_signatures<R>(right, band_begin, band_end, static_cast<long>(R), area.column_end, right_signatures);
    then(band_begin, band_end);
  });
}

}  // namespace

template <unsigned long R>
void calculate_census_cost(unsigned short* cost, const unsigned char* left, const unsigned char* right) {
  constexpr unsigned long kWords = sgm_census_words(R);
  const SgmArea area = sgm_census_area();
  if (area.row_begin >= area.row_end || area.column_begin >= area.column_end) return;
  const long n = static_cast<long>(s_sgm_n);
  const long disparities = static_cast<long>(sgm_params.disparity_count);
  // The module keeps scratch for its own radius; another radius gets zero-filled scratch of its own.
  std::vector<uint64_t> own_left, own_right;
  uint64_t* left_signatures = sgm_census_left;
  uint64_t* right_signatures = sgm_census_right;
  if (R != sgm_params.window_scale || left_signatures == nullptr) {
    own_left.assign(s_sgm_m * s_sgm_n * kWords, 0);
    own_right.assign(s_sgm_m * s_sgm_n * kWords, 0);
    left_signatures = own_left.data();
    right_signatures = own_right.data();
  }
  signature_bands<R>(area, left, right, left_signatures, right_signatures, [&](long band_begin, long band_end) {
    for (long y = band_begin; y < band_end; ++y) {
      for (long x = area.column_begin; x < area.column_end; ++x) {
        const long pixel = y * n + x;
        const uint64_t* left_signature = left_signatures + pixel * kWords;
        const uint64_t* right_signature = right_signatures + pixel * kWords;
        unsigned short* pixel_cost = cost + pixel * disparities;
#pragma GCC unroll 8
        for (long d = 0; d < disparities; ++d)
          pixel_cost[d] = hamming_distance<kWords>(left_signature, right_signature - d * static_cast<long>(kWords));
      }
    }
  });
}

namespace {

// Signatures of both images over the census area into the module's scratch (for the module's radius).
template <unsigned long R>
void census_signatures_only(const unsigned char* left, const unsigned char* right) {
  const SgmArea area = sgm_census_area();
  if (area.row_begin >= area.row_end || area.column_begin >= area.column_end) return;
  signature_bands<R>(area, left, right, sgm_census_left, sgm_census_right, [](long, long) {});
}

}  // namespace

bool sgm_census_signatures(const unsigned char* left, const unsigned char* right) {
  using Instance = void (*)(const unsigned char*, const unsigned char*);
  static constexpr Instance kInstances[] = {
      census_signatures_only<1>, census_signatures_only<2>, census_signatures_only<3>,
      census_signatures_only<4>, census_signatures_only<5>, census_signatures_only<6>,
      census_signatures_only<7>, census_signatures_only<8>, census_signatures_only<9>};
  const unsigned long r = sgm_params.window_scale;
  if (r < kMinWindowScale || r > kMaxWindowScale || sgm_census_left == nullptr) return false;
  kInstances[r - kMinWindowScale](left, right);
  return true;
}

template void calculate_census_cost<1>(unsigned short*, const unsigned char*, const unsigned char*);
template void calculate_census_cost<2>(unsigned short*, const unsigned char*, const unsigned char*);
template void calculate_census_cost<3>(unsigned short*, const unsigned char*, const unsigned char*);
template void calculate_census_cost<4>(unsigned short*, const unsigned char*, const unsigned char*);
template void calculate_census_cost<5>(unsigned short*, const unsigned char*, const unsigned char*);
template void calculate_census_cost<6>(unsigned short*, const unsigned char*, const unsigned char*);
template void calculate_census_cost<7>(unsigned short*, const unsigned char*, const unsigned char*);
template void calculate_census_cost<8>(unsigned short*, const unsigned char*, const unsigned char*);
template void calculate_census_cost<9>(unsigned short*, const unsigned char*, const unsigned char*);

bool sgm_census_volume(unsigned short* cost, const unsigned char* left, const unsigned char* right,
                       unsigned long window_scale) {
  using Instance = void (*)(unsigned short*, const unsigned char*, const unsigned char*);
  static constexpr Instance kInstances[] = {
      calculate_census_cost<1>, calculate_census_cost<2>, calculate_census_cost<3>,
      calculate_census_cost<4>, calculate_census_cost<5>, calculate_census_cost<6>,
      calculate_census_cost<7>, calculate_census_cost<8>, calculate_census_cost<9>};
  if (window_scale < kMinWindowScale || window_scale > kMaxWindowScale) return false;
  kInstances[window_scale - kMinWindowScale](cost, left, right);
  return true;
}

extern "C" void calculate_census(unsigned short* cost, const unsigned char* left, const unsigned char* right,
                                 unsigned long window_scale) {
  if (!sgm_census_volume(cost, left, right, window_scale)) {
    std::printf("window_scale error\n");
    return;
  }
  std::printf("window_scale: %lu\n", window_scale);
}
