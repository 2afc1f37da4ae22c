// The client's image callback and what it does with each image.
//
// Stamps: the camera stamps a colour image with the wall-clock time its frame pair was taken from
// the sensors, and a disparity image with the time its matching finished. Latency is measured from
// the pair's capture, so a disparity image is timed against the stamp of the colour image of the
// same frame index; one whose colour image never arrived is not timed.
#include "image_receiver.h"

#include <cstdio>

#include <opencv2/imgcodecs.hpp>

#include "disparity_picture.h"

namespace camera_client {
namespace {

constexpr size_t kCaptureStampsKept = 64;
constexpr double kMicrosPerMilli = 1000.0;
constexpr int kHighWordShift = 32;
constexpr size_t kFileNameBytes = 64;

uint64_t CaptureStamp(const ImagePara& header) {
  return (static_cast<uint64_t>(header.timestamp_high) << kHighWordShift) | header.timestamp_low;
}

}  // namespace

ImageReceiver::ImageReceiver(const ReceiverSettings& settings) : settings_(settings) {
  if (settings_.scene_check) scene_ = std::make_unique<SceneWorker>(settings_.scene_frame_rate, settings_.scene_source);
}

int ImageReceiver::OnImage(const ImagePara* header, const uint8_t* data, uint32_t size, void* context, int) {
  if (header == nullptr || context == nullptr || (data == nullptr && size > 0)) return 0;
  static_cast<ImageReceiver*>(context)->Receive(*header, data, size, WallClockMicros());
  return 0;
}

void ImageReceiver::Receive(const ImagePara& header, const uint8_t* data, uint32_t size, uint64_t receipt_us) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (header.image_type == kStipImageTypeColor) {
    ReceiveColour(header, data, size, receipt_us);
  } else if (header.image_type == kStipImageTypeDisparity) {
    ReceiveDisparity(header, data, size, receipt_us);
  }
}

// By frame index, so the colour and disparity pictures of one frame pair are written together.
bool ImageReceiver::Wanted(uint32_t frame_index) const {
  return frame_index % static_cast<uint32_t>(settings_.png_every) == 0;
}

ColourDecoder::PictureSink ImageReceiver::ColourSink() {
  return [this](uint32_t frame_index, const cv::Mat& bgr) { WritePng("colour", frame_index, bgr); };
}

void ImageReceiver::ReceiveColour(const ImagePara& header, const uint8_t* data, uint32_t size, uint64_t receipt_us) {
  summary_.colour.Add(header.frame_index, receipt_us);
  const uint64_t capture = CaptureStamp(header);
  summary_.latency.Add((static_cast<double>(receipt_us) - static_cast<double>(capture)) / kMicrosPerMilli);
  capture_us_[header.frame_index] = capture;
  while (capture_us_.size() > kCaptureStampsKept) capture_us_.erase(capture_us_.begin());
  decoder_.Decode(data, size, header.frame_index, Wanted(header.frame_index), ColourSink());
  summary_.decoded = decoder_.decoded();
  summary_.decode_errors = decoder_.errors();
}

void ImageReceiver::ReceiveDisparity(const ImagePara& header, const uint8_t* data, uint32_t size,
                                     uint64_t receipt_us) {
  summary_.disparity.Add(header.frame_index, receipt_us);
  const auto capture = capture_us_.find(header.frame_index);
  if (capture != capture_us_.end())
    summary_.latency.Add((static_cast<double>(receipt_us) - static_cast<double>(capture->second)) / kMicrosPerMilli);
  // One byte per pixel: anything else is not a disparity image this client can read.
  if (header.width == 0 || header.height == 0 || size != static_cast<uint32_t>(header.width) * header.height) return;
  const cv::Mat disparity(header.height, header.width, CV_8UC1, const_cast<uint8_t*>(data));
  if (Wanted(header.frame_index)) WritePng("disparity", header.frame_index, DisparityPicture(disparity));
  if (scene_ != nullptr) scene_->Submit(disparity, header.frame_index);
}

void ImageReceiver::WritePng(const char* kind, uint32_t frame_index, const cv::Mat& picture) {
  char name[kFileNameBytes];
  snprintf(name, sizeof name, "/%s_%06u.png", kind, frame_index);
  const std::string path = settings_.out_dir + name;
  bool written = false;
  try {
    written = cv::imwrite(path, picture);
  } catch (const cv::Exception&) {
    written = false;
  }
  if (!written && !reported_write_failure_) {
    fprintf(stderr, "camera_client: cannot write %s\n", path.c_str());
    reported_write_failure_ = true;
  }
}

void ImageReceiver::StreamRequested(uint64_t at_us) {
  std::lock_guard<std::mutex> lock(mutex_);
  summary_.start_us = at_us;
}

void ImageReceiver::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  decoder_.Flush(ColourSink());
  summary_.decoded = decoder_.decoded();
  summary_.decode_errors = decoder_.errors();
  if (scene_ == nullptr) return;
  scene_->Finish();
  const SceneTotals totals = scene_->totals();
  summary_.scene_frames = totals.frames;
  summary_.scene_pixels = totals.pixels;
  summary_.scene_agreeing = totals.agreeing;
}

StreamSummary ImageReceiver::Summary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return summary_;
}

}  // namespace camera_client
