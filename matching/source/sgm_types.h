// The matcher's shared types and constants: its parameters, rectangles of pixels, path counts and census sizes.
#pragma once

#include <cstdint>

// Parameters as the matcher keeps them after libtessaro_setparam.
struct SgmModuleParameters {
  int64_t mode = 0;                 // image_interval_sampling, widened
  unsigned long source_height = 0;  // rows of the caller's images
  unsigned long source_width = 0;   // columns of the caller's images
  int32_t disparity_min = 0;
  int32_t disparity_max = 0;
  int64_t disparity_count = 0;     // D
  unsigned long window_scale = 0;  // census radius r
  unsigned long census_bits = 0;   // px, also the base of the initial path-cost fill
  uint16_t penalty1 = 0;           // P1
  uint16_t penalty2 = 0;           // P2
  uint16_t threshold = 0;          // temporal acceptance threshold
  unsigned long window_width = 0;  // W
  unsigned long path_number = 0;
  unsigned long thread_number = 0;
  bool opencl_enable = false;
};

// Rows [row_begin, row_end) and columns [column_begin, column_end) of one rectangle; empty when begin >= end.
struct SgmArea {
  long row_begin;
  long row_end;
  long column_begin;
  long column_end;
};

constexpr int64_t kIntervalSamplingMode = 1;
constexpr unsigned long kMinWindowScale = 1;
constexpr unsigned long kMaxWindowScale = 9;
constexpr unsigned long kFourPathLimit = 5;  // path_number below this selects the four-path mode
constexpr unsigned long kMaxFourPaths = 4;
constexpr unsigned long kMaxEightPaths = 8;
constexpr uint16_t kFullRangeThreshold = 65535;

constexpr unsigned long kCensusWordBits = 64;
// 64-bit words that hold the (2r+1)^2 bits of one census signature.
constexpr unsigned long sgm_census_words(unsigned long r) {
  return ((2 * r + 1) * (2 * r + 1) + kCensusWordBits - 1) / kCensusWordBits;
}

// How far one frame's search reaches: the W indices around a pixel's previous result, and the cost above
// which a pixel's windowed search fails.
struct SgmSearchLimits {
  uint16_t threshold;
  unsigned long window_width;
};
