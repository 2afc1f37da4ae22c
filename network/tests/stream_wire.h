// Test helpers for the image stream: image packets and control packets built by hand from the
// wire layout, and a plain parser of a received byte stream.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "pelarin/stip.h"

namespace streamtest {

struct Image {
  ImagePara header{};
  std::vector<uint8_t> data;
};

// Head, ImagePara element (type 6, length 28, big-endian numbers), then the data.
std::vector<uint8_t> ImagePacket(const ImagePara& header, const std::vector<uint8_t>& data);
// Head and a CtrlImage element with the given value fields.
std::vector<uint8_t> CtrlPacket(uint8_t command_type, uint8_t command, uint32_t image_type = 3,
                                uint16_t width = 640, uint16_t height = 480, uint8_t frame_rate = 20);
constexpr size_t kMalformed = static_cast<size_t>(-1);
// Takes the complete packets at the start of a stream; the bytes they used, or kMalformed.
size_t ParseComplete(const std::vector<uint8_t>& bytes, std::vector<Image>* images, size_t* acks);
// Splits a well-formed stream into image and control packets; false on anything malformed.
bool ParseStream(const std::vector<uint8_t>& bytes, std::vector<Image>* images, size_t* acks);
// Reads a raw client's stream, adding the images that arrive to `images`, until `done` holds for
// them, the stream ends or the deadline passes; bytes of a packet not yet whole wait in `unparsed`
// for the next call. False when the stream is malformed.
bool ReadImages(int fd, std::vector<uint8_t>* unparsed, std::vector<Image>* images,
                const std::function<bool(const std::vector<Image>&)>& done, std::chrono::milliseconds deadline);
// A moving test pattern in planar YUV 4:2:0 of width x height.
std::vector<uint8_t> I420Pattern(uint32_t width, uint32_t height, uint32_t frame);
// Checks each image type arrives in strictly increasing order; returns the joined colour stream.
std::vector<uint8_t> CheckOrder(const std::vector<Image>& images, size_t* colour_count);
// Image `index` of `type` with `size` bytes: colour images (640 x 480) carry the moving pattern,
// others (240 x 320) bytes that all equal the index's low byte.
Image TestImage(uint32_t type, uint32_t index, uint32_t size);
// Frames ffprobe finds in an H.264 byte stream file, or -1 when it reports an error.
int ProbeFrames(const std::vector<uint8_t>& stream, const char* name);

}  // namespace streamtest
