// Census transform with a square window of radius r and the Hamming-distance matching cost.
#include "sgm_census.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "sgm_state.h"

namespace {

constexpr unsigned long kWordBits = 64;

// 64-bit words that hold the (2r+1)^2 bits of one signature.
constexpr unsigned long census_words(unsigned long r) {
  return ((2 * r + 1) * (2 * r + 1) + kWordBits - 1) / kWordBits;
}

// Signatures of rows [row_begin, row_end) and columns [column_begin, column_end): bit p is set when window
// position p (rows top to bottom, columns left to right) is strictly brighter than the centre.
template <unsigned long R>
void census_signatures(const unsigned char* image, long row_begin, long row_end, long column_begin,
                       long column_end, uint64_t* signatures) {
  constexpr unsigned long kWords = census_words(R);
  constexpr long kRadius = static_cast<long>(R);
  const long n = static_cast<long>(s_sgm_n);
  for (long y = row_begin; y < row_end; ++y) {
    for (long x = column_begin; x < column_end; ++x) {
      const unsigned char centre = image[y * n + x];
      uint64_t* signature = signatures + (y * n + x) * kWords;
      unsigned long p = 0;
      for (long dy = -kRadius; dy <= kRadius; ++dy) {
        const unsigned char* row = image + (y + dy) * n + x;
        for (long dx = -kRadius; dx <= kRadius; ++dx, ++p)
          signature[p / kWordBits] |= static_cast<uint64_t>(row[dx] > centre) << (p % kWordBits);
      }
    }
  }
}

template <unsigned long kWords>
inline unsigned short hamming_distance(const uint64_t* a, const uint64_t* b) {
  unsigned int bits = 0;
  for (unsigned long w = 0; w < kWords; ++w) bits += static_cast<unsigned int>(__builtin_popcountll(a[w] ^ b[w]));
  return static_cast<unsigned short>(bits);
}

}  // namespace

template <unsigned long R>
void calculate_census_cost(unsigned short* cost, const unsigned char* left, const unsigned char* right) {
  constexpr unsigned long kWords = census_words(R);
  const SgmArea area = sgm_census_area();
  if (area.row_begin >= area.row_end || area.column_begin >= area.column_end) return;
  const long n = static_cast<long>(s_sgm_n);
  const long disparities = static_cast<long>(sgm_params.disparity_count);
  const long r = static_cast<long>(R);
  std::vector<uint64_t> left_signatures(s_sgm_m * s_sgm_n * kWords);
  std::vector<uint64_t> right_signatures(s_sgm_m * s_sgm_n * kWords);
  census_signatures<R>(left, area.row_begin, area.row_end, area.column_begin, area.column_end,
                       left_signatures.data());
  census_signatures<R>(right, area.row_begin, area.row_end, r, area.column_end, right_signatures.data());
  for (long y = area.row_begin; y < area.row_end; ++y) {
    for (long x = area.column_begin; x < area.column_end; ++x) {
      const long pixel = y * n + x;
      const uint64_t* left_signature = left_signatures.data() + pixel * kWords;
      const uint64_t* right_signature = right_signatures.data() + pixel * kWords;
      unsigned short* pixel_cost = cost + pixel * disparities;
      for (long d = 0; d < disparities; ++d)
        pixel_cost[d] = hamming_distance<kWords>(left_signature, right_signature - d * static_cast<long>(kWords));
    }
  }
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

extern "C" void calculate_census(unsigned short* cost, const unsigned char* left, const unsigned char* right,
                                 unsigned long window_scale) {
  using Instance = void (*)(unsigned short*, const unsigned char*, const unsigned char*);
  static constexpr Instance kInstances[] = {calculate_census_cost<1>, calculate_census_cost<2>,
                                            calculate_census_cost<3>, calculate_census_cost<4>,
                                            calculate_census_cost<5>, calculate_census_cost<6>,
                                            calculate_census_cost<7>, calculate_census_cost<8>,
                                            calculate_census_cost<9>};
  if (window_scale < kMinWindowScale || window_scale > kMaxWindowScale) {
    std::printf("window_scale error\n");
    return;
  }
  kInstances[window_scale - kMinWindowScale](cost, left, right);
  std::printf("window_scale: %lu\n", window_scale);
}
