// The matcher's exported life cycle: set-up, one frame on a GPU pipeline or the CPU path, and release.
#include <algorithm>
#include <cstdio>
#include <utility>

#include "libtessaro.h"
#include "opencl_seam.h"
#include "sgm_buffer.h"
#include "sgm_census.h"
#include "sgm_disparity.h"
#include "sgm_neon.h"
#include "sgm_path.h"
#include "sgm_pool.h"
#include "sgm_processors.h"
#include "sgm_state.h"
#include "sgm_sweep.h"

namespace {

constexpr int kSgmOk = 0;
constexpr int kSgmInvalidParameter = 1;
constexpr unsigned long kSamplingStep = 2;  // interval sampling keeps every second row and column

// Refuses parameters the matcher cannot work with; logs why.
int check_parameters(const tagSGMParameterSet& set) {
  const long disparities = static_cast<long>(set.disparity_max) - set.disparity_min;
  if (disparities <= 0) {
    std::fprintf(stderr, "libtessaro: no disparities to search (disparity_min %d, disparity_max %d)\n",
                 set.disparity_min, set.disparity_max);
    return kSgmInvalidParameter;
  }
  if (set.window_scale < kMinWindowScale || set.window_scale > kMaxWindowScale) {
    std::fprintf(stderr, "libtessaro: window_scale %lu outside %lu to %lu\n",
                 static_cast<unsigned long>(set.window_scale), kMinWindowScale, kMaxWindowScale);
    return kSgmInvalidParameter;
  }
  return kSgmOk;
}

// Keeps every second row and column of a full-size image, giving the m x n image the matcher works on.
void sample_every_second_pixel(const unsigned char* source, unsigned char* destination) {
  const unsigned long source_width = sgm_params.source_width;
  for (unsigned long y = 0; y < s_sgm_m; ++y) {
    const unsigned char* row = source + y * kSamplingStep * source_width;
    for (unsigned long x = 0; x < s_sgm_n; ++x) destination[y * s_sgm_n + x] = row[x * kSamplingStep];
  }
}

// Sets the last min(D, n) columns of every row to 0, where no disparity is computed.
void clear_right_border(unsigned char* out) {
  const unsigned long width =
      std::min(static_cast<unsigned long>(sgm_params.disparity_count), static_cast<unsigned long>(s_sgm_n));
  for (unsigned long y = 0; y < s_sgm_m; ++y) {
    unsigned char* row_end = out + (y + 1) * s_sgm_n;
    std::fill(row_end - width, row_end, 0);
  }
}

// The census, the paths within `limits` and the winners of one frame of m x n images.
void n_path(unsigned char* out, const unsigned char* left, const unsigned char* right, const SgmSearchLimits& limits) {
  // A frame that depends only on its images skips the path planes; any other frame needs them up to date.
  const bool swept = sgm_sweep_applies(limits);
  if (!swept) sgm_sweep_restore_planes();
  asm_sgm_zero(sgm_range_flags_current, s_sgm_m * s_sgm_n);
  if (swept) {
    sgm_sweep_frame(out, left, right);
    std::printf("window_scale: %lu\n", sgm_params.window_scale);
    return;
  }
  if (!(sgm_params.opencl_enable && tessaro_opencl_census(sgm_cost_volume, left, right)))
    calculate_census(sgm_cost_volume, left, right, sgm_params.window_scale);
  sgm_path(limits);
  sgm_calculate_disparity(out);
}

// One frame on the CPU: narrowed search when asked for and possible, else the full range.
void process_on_cpu(unsigned char* out, const unsigned char* left, const unsigned char* right, bool use_previous) {
  if (sgm_params.mode == kIntervalSamplingMode) {
    sample_every_second_pixel(left, sgm_sampled_left);
    sample_every_second_pixel(right, sgm_sampled_right);
    left = sgm_sampled_left;
    right = sgm_sampled_right;
  }
  n_path(out, left, right, sgm_frame_count != 0 && use_previous ? sgm_search_limits() : sgm_full_range_limits());
  const unsigned long pixels = s_sgm_m * s_sgm_n;
  asm_sgm_setpixelResult(out, pixels, sgm_prev_disparity);
  clear_right_border(out);
  std::swap(sgm_range_flags_current, sgm_range_flags_previous);
  ++sgm_frame_count;
}

}  // namespace

extern "C" {

int libtessaro_setparam(tagSGMParameterSet set) {
  const int checked = check_parameters(set);
  if (checked != kSgmOk) return checked;
  SgmModuleParameters& p = sgm_params;
  p.mode = set.image_interval_sampling;
  p.source_height = set.image_height;
  p.source_width = set.image_width;
  const bool sampled = p.mode == kIntervalSamplingMode;
  s_sgm_m = sampled ? set.image_height / kSamplingStep : set.image_height;
  s_sgm_n = sampled ? set.image_width / kSamplingStep : set.image_width;
  p.disparity_min = set.disparity_min;
  p.disparity_max = set.disparity_max;
  p.disparity_count = static_cast<int64_t>(set.disparity_max) - set.disparity_min;
  p.window_scale = set.window_scale;
  const unsigned long side = 2 * set.window_scale + 1;
  p.census_bits = sampled ? 4 * side : side * side;
  p.penalty1 = set.sgm_penalty1;
  p.penalty2 = set.sgm_penalty2;
  p.threshold = set.ddr_threshold;
  p.window_width = set.ddr_disparity_range;
  p.path_number = set.path_number;
  p.thread_number = set.thread_number == 0 ? 1 : set.thread_number;
  p.opencl_enable = set.opencl_enable != 0;
  libtessaro_close();
  sgm_allocate_buffers();
  sgm_sweep_allocate();
  // thread_number bounds the threads of a frame; more than the processors the process was given would only queue.
  const unsigned long processors = sgm_process_processors().size();
  sgm_pool().Start(std::min(p.thread_number, processors));
  return kSgmOk;
}

int libtessaro_init(tagSGMParameterSet set) {
  const tagSGMParameterSet copy = set;
  const int result = libtessaro_setparam(copy);
  if (result != kSgmOk) return result;
  sgm_frame_count = 0;
  const unsigned long pixels = s_sgm_m * s_sgm_n;
  std::fill(sgm_prev_disparity, sgm_prev_disparity + pixels,
            static_cast<unsigned char>(sgm_params.disparity_count / 2));
  std::fill(sgm_range_flags_previous, sgm_range_flags_previous + pixels, 0);
  const unsigned short initial_cost = static_cast<unsigned short>(sgm_params.census_bits + sgm_params.penalty2);
  std::fill(sgm_path_costs, sgm_path_costs + sgm_params.path_number * sgm_plane_size(), initial_cost);
  std::fill(sgm_cell_minima, sgm_cell_minima + sgm_params.path_number * pixels, initial_cost);
  tessaro_opencl_init(copy, sgm_path_costs);
  sgm_release_free_heap();
  return kSgmOk;
}

void libtessaro_close() {
  sgm_pool().Stop();
  sgm_free_buffers();
  sgm_sweep_free();
}

void libtessaro_process(unsigned char* out, const unsigned char* left, const unsigned char* right, bool use_previous) {
  if (sgm_cost_volume == nullptr) return;  // not initialised, or closed
  // With OpenCL on, a complete GPU pipeline takes the frame and the CPU state stays untouched.
  if (sgm_params.opencl_enable && tessaro_opencl_process(out, left, right)) return;
  // The workers have idled since the last frame: wake them once, now, for all the jobs of this one. Five to eight
  // paths, whose strips wait for one another, adapt to other work on the processors: such frames watch for it, and
  // while it lasts run as independent families of lines. Up to four paths run the same way under any load.
  const SgmPool::Awake awake(sgm_pool(), sgm_params.path_number >= kFourPathLimit);
  process_on_cpu(out, left, right, use_previous);
}

void sgm_n_path(unsigned char* out, const unsigned char* left, const unsigned char* right) {
  if (sgm_cost_volume == nullptr) return;
  n_path(out, left, right, sgm_search_limits());
}

}  // extern "C"
