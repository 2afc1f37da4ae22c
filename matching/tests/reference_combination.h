// Parameter combinations for the tests that hold the matcher against the plain reference matcher: the library's
// parameter record and the reference's settings of one combination, with the same penalties.
#pragma once

#include <cstdint>
#include <ostream>

#include "libtessaro.h"
#include "reference_matcher.h"

struct Combination {
  int height, width, radius, disparity_min, disparity_max, paths, threads, window, threshold;
  bool interval_sampling;
  bool use_previous;
};

inline std::ostream& operator<<(std::ostream& out, const Combination& c) {
  return out << c.width << "x" << c.height << " r=" << c.radius << " dmin=" << c.disparity_min
             << " dmax=" << c.disparity_max << " paths=" << c.paths << " threads=" << c.threads << " W=" << c.window
             << " threshold=" << c.threshold << (c.interval_sampling ? " interval" : "")
             << (c.use_previous ? " use_previous" : "");
}

constexpr int kReferencePenalty1 = 7;
constexpr int kReferencePenalty2 = 40;

inline tagSGMParameterSet ParametersOf(const Combination& c, int penalty1 = kReferencePenalty1,
                                       int penalty2 = kReferencePenalty2) {
  tagSGMParameterSet set{};
  set.image_height = static_cast<uint64_t>(c.height);
  set.image_width = static_cast<uint64_t>(c.width);
  set.disparity_min = c.disparity_min;
  set.disparity_max = c.disparity_max;
  set.window_scale = static_cast<uint64_t>(c.radius);
  set.ddr_disparity_range = static_cast<uint64_t>(c.window);
  set.path_number = static_cast<uint64_t>(c.paths);
  set.thread_number = static_cast<uint64_t>(c.threads);
  set.image_interval_sampling = c.interval_sampling ? 1 : 0;
  set.sgm_penalty1 = static_cast<uint16_t>(penalty1);
  set.sgm_penalty2 = static_cast<uint16_t>(penalty2);
  set.ddr_threshold = static_cast<uint16_t>(c.threshold);
  return set;
}

inline ReferenceSettings SettingsOf(const Combination& c, int penalty1 = kReferencePenalty1,
                                    int penalty2 = kReferencePenalty2) {
  ReferenceSettings s;
  s.height = c.height;
  s.width = c.width;
  s.disparity_min = c.disparity_min;
  s.disparity_max = c.disparity_max;
  s.radius = c.radius;
  s.window = c.window;
  s.paths = c.paths;
  s.threshold = c.threshold;
  s.penalty1 = penalty1;
  s.penalty2 = penalty2;
  s.interval_sampling = c.interval_sampling;
  return s;
}
