// Test helpers for the media library stand-in: synthetic images, the encoder set-up the system
// uses, an independent libavcodec decoder and a PSNR measure.
#pragma once

#include "board/mpp.h"

#include <cstdint>
#include <vector>

namespace mpp_test {

constexpr uint8_t kNalTypeMask = 0x1f;
constexpr uint8_t kNalIdr = 5;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;

struct ImageGeometry {
  int width = 640;
  int height = 480;
  int hor_stride = 640;
  int ver_stride = 480;
  MppFrameFormat format = MPP_FMT_I420;
};

struct EncoderSettings {
  ImageGeometry geometry;
  int fps = 20;
  int gop = 20;
  uint32_t bps = 1572864;
};

// A moving textured scene, packed I420 of width x height (no stride padding).
std::vector<uint8_t> MakeI420Scene(int width, int height, int frame_index);

// Lays a packed I420 image out in the geometry's format and strides (padding left zero).
std::vector<uint8_t> ToLayout(const std::vector<uint8_t>& i420, const ImageGeometry& geometry);

// Peak signal-to-noise ratio in dB of two packed I420 images of one size.
double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

// The NAL unit types of an Annex B byte stream, in order; every start code must be 4 bytes,
// else the list holds 0xff in its place.
std::vector<uint8_t> NalTypes(const std::vector<uint8_t>& stream);

// An encoder context configured as the system configures it (preparation, rate control, codec,
// the four time-outs), with its input buffer.
class Encoder {
 public:
  explicit Encoder(const EncoderSettings& settings);
  ~Encoder();
  bool ok() const { return ok_; }
  // Puts one image (in the geometry's layout) and takes its packet; false on any failure.
  bool Encode(const std::vector<uint8_t>& image, std::vector<uint8_t>* packet, bool eos = false);
  std::vector<uint8_t> Headers();
  MppCtx ctx() const { return ctx_; }
  MppApi* mpi() const { return mpi_; }

 private:
  EncoderSettings settings_;
  MppCtx ctx_ = nullptr;
  MppApi* mpi_ = nullptr;
  MppBuffer input_ = nullptr;
  bool ok_ = false;
};

// Encodes `count` scene frames, SPS/PPS in front of every IDR, as the image stream sends them.
std::vector<std::vector<uint8_t>> EncodeScene(const EncoderSettings& settings, int count);

// Decodes a byte stream with libavcodec alone; one packed I420 image per picture.
std::vector<std::vector<uint8_t>> DecodeWithLibavcodec(const std::vector<std::vector<uint8_t>>& units);

}  // namespace mpp_test
