// libtessaro: the stereo matcher's exported interface (CPU semi-global matching, OpenCL pipelines,
// image statistics and the calibration remap of image pairs).
#pragma once

#include <cstddef>
#include <cstdint>
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

// Matcher parameters, passed by value; the matcher keeps its own copy.
struct tagSGMParameterSet {
  uint64_t image_height;              // rows of each input image
  uint64_t image_width;               // columns of each input image
  int32_t disparity_min;              // added to every disparity index in the CPU result
  int32_t disparity_max;              // D = disparity_max - disparity_min disparities are searched
  uint64_t window_scale;              // census window radius r, 1 to 9
  uint64_t ddr_disparity_range;       // W, width of the temporal search window
  uint64_t path_number;               // aggregation paths
  uint64_t thread_number;             // worker threads of the four-path mode
  int32_t image_interval_sampling;    // 1 = interval-sampling mode
  uint16_t sgm_penalty1;              // P1
  uint16_t sgm_penalty2;              // P2
  uint16_t ddr_threshold;             // temporal acceptance threshold
  uint8_t opencl_enable;              // use the GPU
  uint64_t disparity_uniqueness_ratio;  // GPU pipelines only
  uint64_t disparity_lr_max_diff;       // GPU pipelines only
};
static_assert(sizeof(tagSGMParameterSet) == 88, "tagSGMParameterSet is 88 bytes");
static_assert(offsetof(tagSGMParameterSet, disparity_min) == 16, "layout");
static_assert(offsetof(tagSGMParameterSet, window_scale) == 24, "layout");
static_assert(offsetof(tagSGMParameterSet, image_interval_sampling) == 56, "layout");
static_assert(offsetof(tagSGMParameterSet, sgm_penalty1) == 60, "layout");
static_assert(offsetof(tagSGMParameterSet, ddr_threshold) == 64, "layout");
static_assert(offsetof(tagSGMParameterSet, opencl_enable) == 66, "layout");
static_assert(offsetof(tagSGMParameterSet, disparity_uniqueness_ratio) == 72, "layout");
static_assert(offsetof(tagSGMParameterSet, disparity_lr_max_diff) == 80, "layout");

extern "C" {

// Matcher rows and columns (halved in interval-sampling mode).
extern unsigned long s_sgm_m;
extern unsigned long s_sgm_n;
// Uniqueness / left-right error map of the GPU pipelines, m x n bytes.
extern unsigned char* s_sgm_uniqueness_err;

int libtessaro_init(tagSGMParameterSet set);
int libtessaro_setparam(tagSGMParameterSet set);
void libtessaro_close();
void libtessaro_process(unsigned char* out, const unsigned char* left, const unsigned char* right,
                        bool use_previous);
void sgm_n_path(unsigned char* out, const unsigned char* left, const unsigned char* right);
int BindThreadToCpu(int processor);

// Image statistics and the error-match percentage.
int CalculateImageValue(const unsigned char* left, const unsigned char* right, unsigned int* left_histogram,
                        unsigned int* right_histogram);
// Histogram workers: rows [begin, end) of m x n images into 256-entry partials; worker k < 6 pins
// itself to processor k of those the process was given (processor k where it has them all).
void CalculateImageValueThread(const unsigned char* left, const unsigned char* right, unsigned int* left_partial,
                               unsigned int* right_partial, unsigned long begin, unsigned long end,
                               unsigned long worker);
void CalculateDisparityImageValueThread(const unsigned char* image, unsigned int* partial, unsigned long begin,
                                        unsigned long end, unsigned long worker);
// The histograms add to the caller's arrays and count m x n pixels: that count, the sum of the
// entries, is what a share of the histogram is taken of. Disparity values of `bins` and above are
// not counted. 0 done, 1 for a null pointer.
int CalculateDisparityImageValue(unsigned char* image, unsigned long bins, unsigned int* histogram);
int GetDisparityImageQuality(unsigned char* image, unsigned long bins, unsigned long from, unsigned long total);
int CalculateErrMatch();
void CalculateGrayValueNumber(unsigned char value, unsigned int* histogram);

// Calibration remap of image pairs.
int camcal_init(char* path, float shift_offset, int shift_opt, int max_value);
int camcal(int camera, int, int, unsigned char* source, unsigned char* destination);

}  // extern "C"

LIBRARY_EXPORTS_END
