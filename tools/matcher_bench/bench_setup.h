// The parameters that every figure of the matcher benchmark uses, for the matcher and for OpenCV's StereoSGBM.
#pragma once

#include <opencv2/calib3d.hpp>

#include "libtessaro.h"

constexpr unsigned long kBenchCensusRadius = 2;
constexpr unsigned short kBenchPenalty1 = 10;
constexpr unsigned short kBenchPenalty2 = 60;
constexpr unsigned short kBenchThreshold = 200;
constexpr unsigned long kBenchWindow = 16;

// A normal-mode matcher of the given size, disparities 0 to disparities - 1, paths and threads.
tagSGMParameterSet bench_matcher_parameters(int width, int height, int disparities, int paths, unsigned long threads);

// StereoSGBM in the given mode with OpenCV's usual one-channel penalties for a 5 x 5 block.
cv::Ptr<cv::StereoSGBM> bench_sgbm(int disparities, int mode);

// The one-minute load average, or -1.
double bench_load_average();
