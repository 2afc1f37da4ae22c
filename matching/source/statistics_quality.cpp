// Match-quality figures: share of a disparity histogram below a threshold, and the error-match percentage.
#include <algorithm>
#include <array>
#include <cstdint>

#include "libtessaro.h"
#include "statistics_split.h"

using tessaro_statistics::kGreyLevels;

namespace {
constexpr unsigned int kPercent = 100;
}

extern "C" {

// Percentage of pixels below disparity `from`, counted against `total`; 0 when `from` and above
// already reach the total. Bins above 255 can never be filled by a byte image.
int GetDisparityImageQuality(unsigned char* image, unsigned long bins, unsigned long from, unsigned long total) {
  std::array<unsigned int, kGreyLevels> histogram{};
  const unsigned long counted = std::min<unsigned long>(bins, kGreyLevels);
  CalculateDisparityImageValue(image, counted, histogram.data());
  uint32_t high = 0;
  for (unsigned long v = from; v < counted; ++v) high += histogram[v];
  if (high >= total) return 0;
  return static_cast<int>(kPercent - (high * kPercent) / total);
}

// Share of the last frame's pixels that the GPU pipelines did not flag, in whole percent; 100 when
// there is no error map (matcher closed) or no image.
int CalculateErrMatch() {
  const uint64_t pixels = static_cast<uint64_t>(s_sgm_m) * s_sgm_n;
  if (pixels == 0 || s_sgm_uniqueness_err == nullptr) return kPercent;
  const uint32_t flagged = static_cast<uint32_t>(
      std::count_if(s_sgm_uniqueness_err, s_sgm_uniqueness_err + pixels, [](unsigned char e) { return e != 0; }));
  return static_cast<int>(kPercent - (uint64_t{flagged} * kPercent) / pixels);
}

}  // extern "C"
