// Test helpers of the codec wrapper: synthetic planar images, NAL unit types of an H.264 stream
// and an encoder set up for small images.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "device_status.h"
#include "mpp_codec.h"

namespace codec_test {

using Bytes = std::vector<unsigned char>;

constexpr int kNalSlice = 1;
constexpr int kNalIdrSlice = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr unsigned long kPacketCapacity = 1 << 20;
constexpr unsigned kFrameRate = 20;

// A packed I420 image of a gradient that moves with `frame`, with smoothly varying chroma.
inline Bytes MovingI420(int width, int height, int frame) {
  const size_t luma = static_cast<size_t>(width) * height;
  Bytes image(luma * 3 / 2);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) image[static_cast<size_t>(y) * width + x] = static_cast<unsigned char>(x + y + 2 * frame);
  const int chroma_width = width / 2, chroma_height = height / 2;
  for (int y = 0; y < chroma_height; ++y) {
    for (int x = 0; x < chroma_width; ++x) {
      image[luma + static_cast<size_t>(y) * chroma_width + x] = static_cast<unsigned char>(96 + x);
      image[luma + luma / 4 + static_cast<size_t>(y) * chroma_width + x] = static_cast<unsigned char>(160 - y);
    }
  }
  return image;
}

// Types of the NAL units of an Annex B stream with 4-byte start codes.
inline std::vector<int> NalTypes(const unsigned char* data, size_t length) {
  constexpr size_t kStartCode = 4;
  constexpr unsigned char kTypeMask = 0x1F;
  std::vector<int> types;
  for (size_t i = 0; i + kStartCode < length; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1) {
      types.push_back(data[i + kStartCode] & kTypeMask);
      i += kStartCode - 1;
    }
  }
  return types;
}

inline bool Contains(const std::vector<int>& types, int type) {
  for (int t : types)
    if (t == type) return true;
  return false;
}

// Encodes one image; the packet, or empty on failure.
inline Bytes EncodeOne(MppCodec* codec, const Bytes& image, bool end_of_stream = false) {
  Bytes packet(kPacketCapacity);
  unsigned long length = packet.size();
  if (codec->Encode(image.data(), image.size(), packet.data(), &length, end_of_stream) != kResultOk) return {};
  packet.resize(length);
  return packet;
}

// The encoder's SPS/PPS.
inline Bytes Headers(MppCodec* codec) {
  Bytes headers(kPacketCapacity);
  unsigned long length = headers.size();
  if (codec->GetPpsSps(headers.data(), &length) != kResultOk) return {};
  headers.resize(length);
  return headers;
}

}  // namespace codec_test
