// Cuts from an image the parts whose disparity lies in a band of distances, with a grown mask.
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "stereo_video_deivce.h"

namespace {
constexpr int kErodeSize = 3;
constexpr int kDilateSize = 31;
constexpr double kNoMaxValue = 0.0;
}  // namespace

void StereoVideoDeivce::cut_image(const cv::Mat& image, const cv::Mat& disparity, cv::Mat& out, int a, double x, int b,
                                  int c, int d) {
  if (b == 0 || c == 0) return;  // no band without both divisors
  const double k = a * x;
  // Disparity bounds truncated towards zero, kept as doubles so that huge bounds stay defined.
  const double upper = std::trunc(k / b - d);
  const double lower = std::trunc(k / c - d);
  cv::Mat mask;
  cv::threshold(disparity, mask, upper, kNoMaxValue, cv::THRESH_TOZERO_INV);
  cv::threshold(mask, mask, lower, kNoMaxValue, cv::THRESH_TOZERO);
  cv::erode(mask, mask, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(kErodeSize, kErodeSize)));
  cv::dilate(mask, mask, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(kDilateSize, kDilateSize)));
  image.copyTo(out, mask);
}
