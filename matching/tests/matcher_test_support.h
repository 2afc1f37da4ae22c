// Parameter records for the matcher tests.
#pragma once

#include <cstdint>

#include "libtessaro.h"

constexpr uint16_t kMatcherPenalty1 = 8;
constexpr uint16_t kMatcherPenalty2 = 50;

// A record for a normal-mode matcher of the given size and disparity range, four paths on one thread.
inline tagSGMParameterSet MatcherParameters(int height, int width, int disparity_min, int disparity_max,
                                            int radius = 2) {
  tagSGMParameterSet set{};
  set.image_height = static_cast<uint64_t>(height);
  set.image_width = static_cast<uint64_t>(width);
  set.disparity_min = disparity_min;
  set.disparity_max = disparity_max;
  set.window_scale = static_cast<uint64_t>(radius);
  set.ddr_disparity_range = static_cast<uint64_t>(disparity_max - disparity_min);
  set.path_number = 4;
  set.thread_number = 1;
  set.sgm_penalty1 = kMatcherPenalty1;
  set.sgm_penalty2 = kMatcherPenalty2;
  set.ddr_threshold = 100;
  return set;
}
