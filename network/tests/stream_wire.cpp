// Test helpers for the image stream: hand-built packets, a plain stream parser, an ffprobe check.
#include "stream_wire.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace streamtest {
namespace {

const uint8_t kHead[8] = {0x81, 0x42, 0x24, 0x18, 0x7E, 0xBD, 0xDB, 0xE7};

void Put32(std::vector<uint8_t>* v, uint32_t x) {
  for (int shift = 24; shift >= 0; shift -= 8) v->push_back(static_cast<uint8_t>(x >> shift));
}
void Put16(std::vector<uint8_t>* v, uint16_t x) {
  v->push_back(static_cast<uint8_t>(x >> 8));
  v->push_back(static_cast<uint8_t>(x));
}
uint32_t Get32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

std::vector<uint8_t> ImagePacket(const ImagePara& h, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> v(kHead, kHead + 8);
  v.push_back(6);
  Put32(&v, 28);
  Put32(&v, h.image_type);
  Put32(&v, h.frame_index);
  Put16(&v, h.width);
  Put16(&v, h.height);
  Put32(&v, static_cast<uint32_t>(data.size()));
  Put32(&v, h.timestamp_low);
  Put32(&v, h.timestamp_high);
  v.push_back(h.value);
  v.push_back(0);
  v.push_back(0);
  v.push_back(h.exposure_ok);
  v.insert(v.end(), data.begin(), data.end());
  return v;
}

std::vector<uint8_t> CtrlPacket(uint8_t command_type, uint8_t command, uint32_t image_type, uint16_t width,
                                uint16_t height, uint8_t frame_rate) {
  std::vector<uint8_t> v(kHead, kHead + 8);
  v.push_back(37);
  Put32(&v, 12);
  v.push_back(command_type);
  v.push_back(command);
  v.push_back(0);
  v.push_back(frame_rate);
  Put32(&v, image_type);
  Put16(&v, width);
  Put16(&v, height);
  return v;
}

size_t ParseComplete(const std::vector<uint8_t>& bytes, std::vector<Image>* images, size_t* acks) {
  size_t at = 0;
  while (bytes.size() - at >= 13) {
    if (memcmp(&bytes[at], kHead, 8) != 0) return kMalformed;
    const uint8_t type = bytes[at + 8];
    const uint32_t length = Get32(&bytes[at + 9]);
    if (type == 37 && length == 12) {
      if (bytes.size() - at < 25) break;
      ++*acks;
      at += 25;
      continue;
    }
    if (type != 6 || length != 28) return kMalformed;
    if (bytes.size() - at < 41) break;
    Image image;
    const uint8_t* v = &bytes[at + 13];
    image.header.image_type = Get32(v);
    image.header.frame_index = Get32(v + 4);
    image.header.width = Get16(v + 8);
    image.header.height = Get16(v + 10);
    image.header.data_size = Get32(v + 12);
    if (bytes.size() - at - 41 < image.header.data_size) break;
    image.data.assign(bytes.begin() + at + 41, bytes.begin() + at + 41 + image.header.data_size);
    at += 41 + image.header.data_size;
    images->push_back(std::move(image));
  }
  return at;
}

bool ParseStream(const std::vector<uint8_t>& bytes, std::vector<Image>* images, size_t* acks) {
  return ParseComplete(bytes, images, acks) == bytes.size();
}

std::vector<uint8_t> I420Pattern(uint32_t width, uint32_t height, uint32_t frame) {
  std::vector<uint8_t> image(width * height * 3 / 2);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) image[y * width + x] = static_cast<uint8_t>((x + 3 * frame) ^ (y + frame));
  }
  for (size_t i = width * height; i < image.size(); ++i) image[i] = static_cast<uint8_t>(128 + (i + frame) % 16);
  return image;
}

int ProbeFrames(const std::vector<uint8_t>& stream, const char* name) {
  const std::string path = ::testing::TempDir() + name + "-" + std::to_string(getpid()) + ".h264";
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return -1;
  fwrite(stream.data(), 1, stream.size(), f);
  fclose(f);
  const std::string command = "ffprobe -v error -f h264 -show_frames -show_entries frame=pict_type -of csv=p=0 '" +
                              path + "' 2>&1";
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return -1;
  int frames = 0;
  bool error = false;
  char line[512];
  while (fgets(line, sizeof line, p) != nullptr) {
    const std::string text(line);
    if (text == "I\n" || text == "P\n" || text == "B\n") {
      ++frames;
    } else {
      error = true;
      fprintf(stderr, "ffprobe: %s", line);
    }
  }
  pclose(p);
  unlink(path.c_str());
  return error ? -1 : frames;
}

}  // namespace streamtest
