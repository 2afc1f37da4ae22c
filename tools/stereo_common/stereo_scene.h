// A stereo scene with ground truth, read from a folder, and the score of a disparity image against it.
#pragma once

#include <opencv2/core.hpp>
#include <string>

struct StereoScene {
  std::string name;
  cv::Mat left;          // grey, 8 bits
  cv::Mat right;         // grey, 8 bits
  cv::Mat ground_truth;  // disparity in pixels, float; 0 = unknown
  cv::Mat nonoccluded;   // 8 bits, non-zero where the pixel is visible in both images with ground truth
  int disparities = 0;   // search range that covers the scene, a multiple of 16
};

// Reads left.png, right.png, gt.png and nonocc.png of a scene folder; false with a reason when it cannot.
bool LoadStereoScene(const std::string& folder, StereoScene& scene, std::string& error);

struct DisparityScore {
  double bad_percent;      // share of non-occluded pixels with |d - gt| > 1 or no disparity
  double density_percent;  // share of all pixels that have a disparity
};

// Scores a float disparity image in which values <= 0 mean "no disparity".
DisparityScore ScoreDisparity(const cv::Mat& disparity, const StereoScene& scene);
