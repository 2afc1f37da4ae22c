// Edge and occlusion mask of a scene's true disparity.
#include "scene_edge_mask.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include <opencv2/imgproc.hpp>

namespace camera_client {
namespace {

constexpr int kEdgeMargin = 3;     // pixels left out around object edges and occlusions
constexpr float kEdgeStep = 1.0f;  // a disparity step at least this large is an object edge

}  // namespace

cv::Mat SceneEdgeMask(const cv::Mat& truth) {
  cv::Mat mask = cv::Mat::zeros(truth.size(), CV_8UC1);
  for (int row = 0; row < truth.rows; ++row) {
    float nearest_right = std::numeric_limits<float>::max();  // least right-image column to the right
    for (int column = truth.cols - 1; column >= 0; --column) {
      const float d = truth.at<float>(row, column);
      if (column + 1 < truth.cols && std::abs(truth.at<float>(row, column + 1) - d) >= kEdgeStep)
        mask.at<uint8_t>(row, column) = mask.at<uint8_t>(row, column + 1) = 1;
      if (row + 1 < truth.rows && std::abs(truth.at<float>(row + 1, column) - d) >= kEdgeStep)
        mask.at<uint8_t>(row, column) = mask.at<uint8_t>(row + 1, column) = 1;
      if (nearest_right <= column - d) mask.at<uint8_t>(row, column) = 1;  // hidden from the right camera
      nearest_right = std::min(nearest_right, column - d);
    }
  }
  const cv::Size window(2 * kEdgeMargin + 1, 2 * kEdgeMargin + 1);
  cv::dilate(mask, mask, cv::getStructuringElement(cv::MORPH_RECT, window));
  return mask;
}

}  // namespace camera_client
