// The scene check on a thread of its own, so a slow comparison never holds up the image stream:
// it takes the newest disparity frame whenever it is free, and frames that came meanwhile go
// unchecked.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "scene_check.h"

namespace camera_client {

struct SceneTotals {
  uint64_t frames = 0;  // frames compared
  uint64_t pixels = 0;
  uint64_t agreeing = 0;
};

class SceneWorker {
 public:
  SceneWorker(int frame_rate, SceneSource source);
  ~SceneWorker();
  SceneWorker(const SceneWorker&) = delete;
  SceneWorker& operator=(const SceneWorker&) = delete;

  // Hands over a copy of a frame; one still waiting is replaced. Never waits for a comparison.
  void Submit(const cv::Mat& disparity, uint32_t frame_index);
  // Checks the frame still waiting, if any, and stops the thread.
  void Finish();
  SceneTotals totals() const;

 private:
  void Run();

  SceneCheck check_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  cv::Mat pending_;
  uint32_t pending_index_ = 0;
  bool has_pending_ = false;
  bool stopping_ = false;
  SceneTotals totals_;
  std::thread thread_;
};

}  // namespace camera_client
