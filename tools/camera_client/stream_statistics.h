// Counts of the received image stream: frames, losses by frame index, rate and latency, and the
// summary lines the program prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace camera_client {

// Frames of one image type, in order of receipt.
class FrameCounter {
 public:
  // Counts a frame; an index more than one past the last one counts the frames between as lost.
  void Add(uint32_t frame_index, uint64_t receipt_us);
  uint64_t frames() const { return frames_; }
  uint64_t lost() const { return lost_; }
  // Frames per second from `since_us` (when the stream was asked for) to the last receipt. Not
  // from the first receipt: the first images come late and then in a burst (the camera hands a
  // new client the images its ring still holds), which makes the span short for its frames.
  double Rate(uint64_t since_us) const;

 private:
  uint64_t frames_ = 0;
  uint64_t lost_ = 0;
  uint32_t last_index_ = 0;
  uint64_t last_us_ = 0;
};

// Latency samples in milliseconds.
class LatencyRecord {
 public:
  void Add(double milliseconds) { samples_.push_back(milliseconds); }
  size_t count() const { return samples_.size(); }
  double Median() const;  // 0 without samples
  double Worst() const;   // 0 without samples

 private:
  std::vector<double> samples_;
};

struct StreamSummary {
  uint64_t start_us = 0;  // when the stream was asked for
  FrameCounter colour;
  uint64_t decoded = 0;
  uint64_t decode_errors = 0;
  FrameCounter disparity;
  LatencyRecord latency;
  uint64_t scene_frames = 0;
  uint64_t scene_pixels = 0;
  uint64_t scene_agreeing = 0;
};

// The summary lines, each ending in a line break; the scene line only when asked for.
std::string SummaryLines(const StreamSummary& summary, bool with_scene);

// Microseconds of the wall clock, the clock the camera stamps its images with.
uint64_t WallClockMicros();

}  // namespace camera_client
