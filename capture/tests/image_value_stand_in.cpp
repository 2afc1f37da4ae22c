// Grey histograms of an image pair over the matcher's image size, for the exposure tests.
#include "libtessaro.h"

extern "C" int CalculateImageValue(const unsigned char* left, const unsigned char* right, unsigned int* left_histogram,
                                   unsigned int* right_histogram) {
  if (left == nullptr || right == nullptr || left_histogram == nullptr || right_histogram == nullptr) return 1;
  for (unsigned long i = 0; i < s_sgm_m * s_sgm_n; ++i) {
    ++left_histogram[left[i]];
    ++right_histogram[right[i]];
  }
  return 0;
}
