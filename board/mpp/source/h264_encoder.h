// Media library stand-in: the H.264 encoder of a context, backed by libx264.
#pragma once

#include "mpp_objects.h"

#include <deque>

extern "C" {
#include <x264.h>
}

namespace board_mpp {

// Encodes each frame at once into one access unit: NAL units with 4-byte start codes, the
// SPS/PPS kept apart (extra information) and never repeated inside the stream.
class H264Encoder {
 public:
  H264Encoder() = default;
  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;
  ~H264Encoder();

  MPP_RET Control(int command, void* parameter);
  MPP_RET PutFrame(const Frame* frame);
  MPP_RET GetPacket(MppPacket* packet);
  // Drops waiting packets and starts a fresh stream (an IDR first) at the next frame.
  void Reset();

 private:
  MPP_RET SetPrep(const MppEncPrepConfig* config);
  MPP_RET SetRateControl(const MppEncRcConfig* config);
  MPP_RET SetCodec(const MppEncCodecConfig* config);
  MPP_RET GetExtraInfo(MppPacket* packet);
  MPP_RET EnsureOpen();
  void Close();
  MPP_RET Emit(const x264_nal_t* nals, int count, uint32_t eos);
  MPP_RET Flush(uint32_t eos);

  MppEncPrepConfig prep_{};
  MppEncRcConfig rate_{};
  MppEncCodecConfig codec_{};
  bool has_prep_ = false;
  bool has_rate_ = false;
  x264_t* encoder_ = nullptr;
  Packet* headers_ = nullptr;  // the SPS/PPS, owned here
  std::deque<Packet*> waiting_;
  bool idr_requested_ = false;
  int64_t next_pts_ = 0;
};

}  // namespace board_mpp
