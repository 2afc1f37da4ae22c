// H.264 decoding of the colour stream with libavcodec, to BGR images.
#pragma once

#include <cstdint>
#include <functional>
#include <set>

#include <opencv2/core.hpp>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace camera_client {

class ColourDecoder {
 public:
  // Called with the BGR picture of every decoded frame whose index was asked for.
  using PictureSink = std::function<void(uint32_t frame_index, const cv::Mat& bgr)>;

  ColourDecoder();
  ~ColourDecoder();
  ColourDecoder(const ColourDecoder&) = delete;
  ColourDecoder& operator=(const ColourDecoder&) = delete;

  bool ready() const { return context_ != nullptr; }
  // Decodes one access unit received as frame `frame_index`; `want_picture` hands its picture to
  // the sink once decoded.
  void Decode(const uint8_t* data, uint32_t size, uint32_t frame_index, bool want_picture, const PictureSink& sink);
  // Drains the frames the decoder still holds.
  void Flush(const PictureSink& sink);

  uint64_t decoded() const { return decoded_; }
  uint64_t errors() const { return errors_; }

 private:
  void Drain(const PictureSink& sink);
  void Deliver(const AVFrame* frame, const PictureSink& sink);

  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* scaler_ = nullptr;
  std::set<uint32_t> wanted_;
  uint64_t decoded_ = 0;
  uint64_t errors_ = 0;
};

}  // namespace camera_client
