// Colourised disparity with a scale bar underneath.
#include "disparity_picture.h"

#include <algorithm>
#include <string>

#include <opencv2/imgproc.hpp>

namespace camera_client {
namespace {

constexpr int kColourMap = cv::COLORMAP_JET;
constexpr int kBarHeight = 12;
constexpr int kLabelHeight = 14;
constexpr int kMargin = 4;
constexpr int kMinimumWidth = 160;  // room for the labels under a narrow image
constexpr int kLabelCount = 5;      // 0, a quarter, ..., the top
constexpr double kLabelScale = 0.35;
constexpr int kLevelsOfEightBits = 255;
const cv::Scalar kBackground(0, 0, 0);
const cv::Scalar kLabelColour(255, 255, 255);

// The levels 0..top spread over the colour map's 0..255.
cv::Mat Colourise(const cv::Mat& levels) {
  cv::Mat stretched, coloured;
  levels.convertTo(stretched, CV_8U, static_cast<double>(kLevelsOfEightBits) / kDisparityRange);
  cv::applyColorMap(stretched, coloured, kColourMap);
  return coloured;
}

}  // namespace

cv::Mat DisparityPicture(const cv::Mat& disparity) {
  const int width = std::max(disparity.cols, kMinimumWidth);
  cv::Mat picture(disparity.rows + kMargin + kBarHeight + kLabelHeight + kMargin, width, CV_8UC3, kBackground);
  cv::Mat clipped;
  cv::min(disparity, kDisparityRange, clipped);
  Colourise(clipped).copyTo(picture(cv::Rect(0, 0, disparity.cols, disparity.rows)));

  // The bar: level rises left to right across the picture's width less the margins.
  const int bar_width = width - 2 * kMargin;
  cv::Mat ramp(1, bar_width, CV_8U);
  for (int x = 0; x < bar_width; ++x) ramp.at<uint8_t>(0, x) = static_cast<uint8_t>(x * kDisparityRange / (bar_width - 1));
  cv::Mat bar;
  cv::resize(Colourise(ramp), bar, cv::Size(bar_width, kBarHeight), 0, 0, cv::INTER_NEAREST);
  const int bar_top = disparity.rows + kMargin;
  bar.copyTo(picture(cv::Rect(kMargin, bar_top, bar_width, kBarHeight)));

  for (int i = 0; i < kLabelCount; ++i) {
    const int level = i * kDisparityRange / (kLabelCount - 1);
    const std::string text = std::to_string(level);
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, kLabelScale, 1, &baseline);
    const int centre = kMargin + level * (bar_width - 1) / kDisparityRange;
    const int x = std::clamp(centre - size.width / 2, 0, width - size.width);
    cv::putText(picture, text, cv::Point(x, bar_top + kBarHeight + size.height + 2), cv::FONT_HERSHEY_SIMPLEX,
                kLabelScale, kLabelColour, 1, cv::LINE_AA);
  }
  return picture;
}

}  // namespace camera_client
