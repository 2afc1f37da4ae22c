// The scene check's own thread with its one-frame mailbox.
#include "scene_worker.h"

namespace camera_client {

SceneWorker::SceneWorker(int frame_rate, SceneSource source)
    : check_(frame_rate, source), thread_([this] { Run(); }) {}

SceneWorker::~SceneWorker() { Finish(); }

void SceneWorker::Submit(const cv::Mat& disparity, uint32_t frame_index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  disparity.copyTo(pending_);
  pending_index_ = frame_index;
  has_pending_ = true;
  wake_.notify_one();
}

void SceneWorker::Finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
}

SceneTotals SceneWorker::totals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return totals_;
}

void SceneWorker::Run() {
  cv::Mat frame;
  for (;;) {
    uint32_t index = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return has_pending_ || stopping_; });
      if (!has_pending_) return;  // stopping with nothing left to check
      cv::swap(frame, pending_);
      index = pending_index_;
      has_pending_ = false;
    }
    SceneAgreement agreement;
    if (!check_.Compare(frame, index, &agreement)) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    ++totals_.frames;
    totals_.pixels += agreement.counted;
    totals_.agreeing += agreement.agreeing;
  }
}

}  // namespace camera_client
