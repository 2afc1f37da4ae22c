// Media library stand-in: the H.264 decoder of a context, backed by libavcodec.
#pragma once

#include "mpp_objects.h"

#include <deque>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace board_mpp {

// Decodes whole access units as they are put; hands out NV12 frames with strides rounded up
// to 16, announcing each new picture size first with an information-change frame and holding
// the pictures back until the change is acknowledged.
class H264Decoder {
 public:
  H264Decoder() = default;
  H264Decoder(const H264Decoder&) = delete;
  H264Decoder& operator=(const H264Decoder&) = delete;
  ~H264Decoder();

  MPP_RET Open();
  MPP_RET Control(int command, void* parameter);
  MPP_RET PutPacket(const Packet* packet);
  MPP_RET GetFrame(MppFrame* frame);
  void Reset();

 private:
  // A decoded picture waiting to be handed out, already in NV12 layout.
  struct Picture {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> nv12;  // empty: the end-of-stream mark alone
    uint32_t errinfo = 0;
    uint32_t eos = 0;
  };

  MPP_RET Drain();
  void Keep(const AVFrame& decoded);
  MPP_RET HandOut(Picture& picture, MppFrame* frame);

  AVCodecContext* codec_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* decoded_ = nullptr;
  std::vector<uint8_t> input_;  // the packet's bytes with the padding libavcodec reads past
  std::deque<Picture> pictures_;
  std::shared_ptr<BufferGroupState> group_;
  uint32_t announced_width_ = 0;
  uint32_t announced_height_ = 0;
  bool awaiting_ready_ = false;
};

}  // namespace board_mpp
