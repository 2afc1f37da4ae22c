// Disparity frames against the simulated scene's truth.
//
// The received frame index is the video device's count of processed frame pairs (from 1), while
// the scene moves with the camera's own frame counter (from about 0 at the start of preview). The
// two start together but drift apart: every pair the device drops or cannot pair advances the
// camera's counter only. So each frame is held against the scene frames around the index plus the
// offset found last, and the best of them counts; the first frame searches further ahead.
#include "scene_check.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "board/sim_camera.h"
#include "board/sim_module_geometry.h"
#include "disparity_picture.h"

namespace camera_client {
namespace {

namespace sm = board::sim_module;
// The camera searches 64 disparities along a row: the first 64 columns have no match in the other
// image, and its left-right check clears as many on the right. Those columns stay out.
constexpr int kBorderColumns = kDisparityRange;
constexpr int kBorderRows = 4;
constexpr float kAgreementLevels = 1.0f;
constexpr int64_t kLookBehind = 2;   // scene frames before the expected one
constexpr int64_t kLookAhead = 6;    // and after it, once the offset is known
constexpr int64_t kFirstLookAhead = 40;  // the first frame's search

}  // namespace

SceneAgreement CompareWithTruth(const cv::Mat& found, const cv::Mat& truth, const cv::Mat& edges) {
  SceneAgreement agreement;
  for (int row = kBorderRows; row < truth.rows - kBorderRows; ++row)
    for (int column = kBorderColumns; column < truth.cols - kBorderColumns; ++column) {
      if (edges.at<uint8_t>(row, column) != 0) continue;
      ++agreement.counted;
      agreement.agreeing += std::abs(found.at<uint8_t>(row, column) - truth.at<float>(row, column)) <= kAgreementLevels;
    }
  return agreement;
}

cv::Mat SimulatedSceneTruth(uint64_t scene_frame, int frame_rate) {
  const std::vector<float> truth = simcam::SceneDisparity(scene_frame, frame_rate);
  return cv::Mat(sm::kDepthHeight, sm::kDepthWidth, CV_32FC1, const_cast<float*>(truth.data())).clone();
}

SceneCheck::SceneCheck(int frame_rate, SceneSource source) : frame_rate_(frame_rate), source_(source) {}

const SceneCheck::SceneFrame& SceneCheck::Frame(uint64_t scene_frame) {
  auto found = cache_.find(scene_frame);
  if (found != cache_.end()) return found->second;
  SceneFrame frame;
  frame.truth = source_(scene_frame, frame_rate_);
  frame.edges = SceneEdgeMask(frame.truth);
  return cache_.emplace(scene_frame, std::move(frame)).first->second;
}

bool SceneCheck::Compare(const cv::Mat& disparity, uint32_t frame_index, SceneAgreement* best) {
  const int64_t expected = static_cast<int64_t>(frame_index) + offset_;
  const int64_t first = std::max<int64_t>(0, expected - kLookBehind);
  const int64_t last = expected + (located_ ? kLookAhead : kFirstLookAhead);
  // Scene frames behind the window are not asked for again.
  cache_.erase(cache_.begin(), cache_.lower_bound(static_cast<uint64_t>(first)));
  *best = SceneAgreement{};
  int64_t best_frame = expected;
  bool compared = false;
  for (int64_t scene_frame = first; scene_frame <= last; ++scene_frame) {
    const SceneFrame& frame = Frame(static_cast<uint64_t>(scene_frame));
    if (frame.truth.size() != disparity.size()) return false;
    const SceneAgreement agreement = CompareWithTruth(disparity, frame.truth, frame.edges);
    // Frames of a still scene agree equally: the one nearest the expected frame keeps the offset.
    const bool nearer = std::llabs(scene_frame - expected) < std::llabs(best_frame - expected);
    if (!compared || agreement.Share() > best->Share() || (agreement.Share() == best->Share() && nearer)) {
      *best = agreement;
      best_frame = scene_frame;
      compared = true;
    }
  }
  offset_ = best_frame - static_cast<int64_t>(frame_index);
  return compared;
}

}  // namespace camera_client
