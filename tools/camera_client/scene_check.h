// Disparity frames held against the simulated camera's known scene: the share of pixels within
// one level of the truth, away from borders and object edges.
#pragma once

#include <cstdint>
#include <map>

#include <opencv2/core.hpp>

#include "scene_edge_mask.h"

namespace camera_client {

struct SceneAgreement {
  uint64_t counted = 0;   // pixels compared
  uint64_t agreeing = 0;  // of those, within one level of the truth
  double Share() const { return counted == 0 ? 0.0 : static_cast<double>(agreeing) / static_cast<double>(counted); }
};

// Counts the pixels of `found` (8-bit levels) within one level of `truth` (float levels), leaving
// out the image borders and the pixels set in `edges`.
SceneAgreement CompareWithTruth(const cv::Mat& found, const cv::Mat& truth, const cv::Mat& edges);

// Truth of a scene frame (rows x columns of float levels); the simulated camera's by default.
using SceneSource = cv::Mat (*)(uint64_t scene_frame, int frame_rate);
cv::Mat SimulatedSceneTruth(uint64_t scene_frame, int frame_rate);

class SceneCheck {
 public:
  explicit SceneCheck(int frame_rate, SceneSource source = SimulatedSceneTruth);
  // Compares a disparity image received as frame `frame_index` with the scene frames near it and
  // gives the best agreement; false (nothing compared) when its size is not the scene's.
  bool Compare(const cv::Mat& disparity, uint32_t frame_index, SceneAgreement* best);

 private:
  struct SceneFrame {
    cv::Mat truth;
    cv::Mat edges;
  };
  const SceneFrame& Frame(uint64_t scene_frame);

  int frame_rate_;
  SceneSource source_;
  std::map<uint64_t, SceneFrame> cache_;
  bool located_ = false;
  int64_t offset_ = 0;  // scene frame less the received frame index, as last found
};

}  // namespace camera_client
