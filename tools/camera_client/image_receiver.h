// The client's image callback: counts every colour and disparity image, decodes the colour
// stream, measures latency, writes every K-th pair as PNG files and checks disparity against
// the simulated scene.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "colour_decoder.h"
#include "pelarin/stip.h"
#include "scene_worker.h"
#include "stream_statistics.h"

namespace camera_client {

struct ReceiverSettings {
  std::string out_dir;
  int png_every = 1;
  bool scene_check = false;
  int scene_frame_rate = 0;
  SceneSource scene_source = SimulatedSceneTruth;
};

class ImageReceiver {
 public:
  explicit ImageReceiver(const ReceiverSettings& settings);

  // The library's received-image callback; the context is the receiver.
  static int OnImage(const ImagePara* header, const uint8_t* data, uint32_t size, void* context, int resync);
  void Receive(const ImagePara& header, const uint8_t* data, uint32_t size, uint64_t receipt_us);
  // Marks the time the stream is asked for, from which the rates count.
  void StreamRequested(uint64_t at_us);
  // Drains the decoder and finishes the scene check; call once the stream is off.
  void Finish();
  StreamSummary Summary() const;

 private:
  void ReceiveColour(const ImagePara& header, const uint8_t* data, uint32_t size, uint64_t receipt_us);
  void ReceiveDisparity(const ImagePara& header, const uint8_t* data, uint32_t size, uint64_t receipt_us);
  void WritePng(const char* kind, uint32_t frame_index, const cv::Mat& picture);
  bool Wanted(uint32_t frame_index) const;
  ColourDecoder::PictureSink ColourSink();

  const ReceiverSettings settings_;
  mutable std::mutex mutex_;
  StreamSummary summary_;
  ColourDecoder decoder_;
  std::unique_ptr<SceneWorker> scene_;
  std::map<uint32_t, uint64_t> capture_us_;  // capture stamps of the latest colour frames by index
  bool reported_write_failure_ = false;
};

}  // namespace camera_client
