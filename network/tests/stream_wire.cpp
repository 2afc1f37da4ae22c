// Test helpers for the image stream: hand-built packets, a plain stream parser, an ffprobe check.
#include "stream_wire.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "net_helpers.h"

namespace streamtest {
namespace {

const uint8_t kHead[8] = {0x81, 0x42, 0x24, 0x18, 0x7E, 0xBD, 0xDB, 0xE7};
// Element types as the wire layout gives them, independent of the library's names.
constexpr uint8_t kImageParaType = 6, kCtrlImageType = 37;

void Put16(std::vector<uint8_t>* v, uint16_t x) {
  v->push_back(static_cast<uint8_t>(x >> 8));
  v->push_back(static_cast<uint8_t>(x));
}
void Append(std::vector<uint8_t>* v, const std::vector<uint8_t>& more) {
  v->insert(v->end(), more.begin(), more.end());
}
uint32_t Get32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

std::vector<uint8_t> ImagePacket(const ImagePara& h, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> value = nettest::Words({h.image_type, h.frame_index});
  Put16(&value, h.width);
  Put16(&value, h.height);
  Append(&value, nettest::Words({static_cast<uint32_t>(data.size()), h.timestamp_low, h.timestamp_high}));
  Append(&value, {h.value, 0, 0, h.exposure_ok});
  std::vector<uint8_t> v = nettest::Packet(kImageParaType, value);
  Append(&v, data);
  return v;
}

std::vector<uint8_t> CtrlPacket(uint8_t command_type, uint8_t command, uint32_t image_type, uint16_t width,
                                uint16_t height, uint8_t frame_rate) {
  std::vector<uint8_t> value = {command_type, command, 0, frame_rate};
  Append(&value, nettest::Words({image_type}));
  Put16(&value, width);
  Put16(&value, height);
  return nettest::Packet(kCtrlImageType, value);
}

size_t ParseComplete(const std::vector<uint8_t>& bytes, std::vector<Image>* images, size_t* acks) {
  size_t at = 0;
  while (bytes.size() - at >= 13) {
    if (memcmp(&bytes[at], kHead, 8) != 0) return kMalformed;
    const uint8_t type = bytes[at + 8];
    const uint32_t length = Get32(&bytes[at + 9]);
    if (type == kCtrlImageType && length == 12) {
      if (bytes.size() - at < 25) break;
      ++*acks;
      at += 25;
      continue;
    }
    if (type != kImageParaType || length != 28) return kMalformed;
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

bool ReadImages(int fd, std::vector<uint8_t>* unparsed, std::vector<Image>* images,
                const std::function<bool(const std::vector<Image>&)>& done, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  uint8_t buffer[65536];
  size_t acks = 0;
  while (!done(*images) && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    unparsed->insert(unparsed->end(), buffer, buffer + n);
    const size_t used = ParseComplete(*unparsed, images, &acks);
    if (used == kMalformed) return false;
    unparsed->erase(unparsed->begin(), unparsed->begin() + static_cast<long>(used));
  }
  return true;
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

std::vector<uint8_t> CheckOrder(const std::vector<Image>& images, size_t* colour_count) {
  std::map<uint32_t, uint32_t> last;
  std::vector<uint8_t> stream;
  *colour_count = 0;
  for (const auto& image : images) {
    EXPECT_GT(image.header.frame_index, last[image.header.image_type]) << "older or repeated image";
    last[image.header.image_type] = image.header.frame_index;
    if (image.header.image_type == kStipImageTypeColor) {
      stream.insert(stream.end(), image.data.begin(), image.data.end());
      ++*colour_count;
    }
  }
  return stream;
}

Image TestImage(uint32_t type, uint32_t index, uint32_t size) {
  Image image;
  const bool colour = type == kStipImageTypeColor;
  image.header.image_type = type;
  image.header.frame_index = index;
  image.header.width = colour ? 640 : 240;
  image.header.height = colour ? 480 : 320;
  image.data = colour ? I420Pattern(640, 480, index) : std::vector<uint8_t>(size, static_cast<uint8_t>(index));
  image.data.resize(size);
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
