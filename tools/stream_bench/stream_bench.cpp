// Image stream benchmark: colour and disparity images at the capture rate to two loopback clients;
// prints the encoder's time per frame, bytes per second per client, images lost, the time the
// capture side's image write took and the longest it waited for a ring lock.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <thread>
#include <vector>

#include "pelarin/proxy.h"
#include "pelarin/stip.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kColorWidth = 640, kColorHeight = 480;
constexpr uint32_t kDisparityWidth = 240, kDisparityHeight = 320;
constexpr uint32_t kDisparityBytes = kDisparityWidth * kDisparityHeight * 2;
constexpr uint32_t kFps = 20;
constexpr int kDefaultSeconds = 30;
constexpr int kEncoderSamples = 100;
constexpr char kLoopback[] = "127.0.0.1";

struct ClientCounters {
  std::atomic<uint64_t> bytes{0};
  std::atomic<uint32_t> colour{0};
  std::atomic<uint32_t> disparity{0};
};
ClientCounters g_clients[kStipChannelCount];

int Quiet(const char*, const char*, ...) { return 0; }

// Passes on only the library's tear-down summary of the capture side's ring lock waits.
int PrintLockWaitSummary(const char*, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (strstr(text, "ring lock wait") != nullptr) printf("library: %s", text);
  return 0;
}

int OnImage(const ImagePara* header, const uint8_t*, uint32_t size, void* context, int) {
  ClientCounters& c = *static_cast<ClientCounters*>(context);
  c.bytes += size + kStipImagePacketHead;
  (header->image_type == kStipImageTypeColor ? c.colour : c.disparity) += 1;
  return 0;
}

std::vector<uint8_t> Pattern(uint32_t width, uint32_t height, uint32_t frame) {
  std::vector<uint8_t> image(width * height * 3 / 2);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) image[y * width + x] = static_cast<uint8_t>((x + 2 * frame) ^ (y + frame));
  }
  std::fill(image.begin() + width * height, image.end(), 128);
  return image;
}

double MillisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Encoder time per colour frame, measured alone on the scene the stream carries.
double EncoderMillisPerFrame() {
  StipEncoder* encoder = nullptr;
  if (STIPInitEncode(kStipEncoderCoding, kColorWidth, kColorHeight, kFps, kStipColorGop, 0, &encoder) != kQeltOk) {
    return -1;
  }
  std::vector<uint8_t> out(kStipCodecBufferBytes);
  double total = 0;
  for (int i = 0; i < kEncoderSamples; ++i) {
    const auto image = Pattern(kColorWidth, kColorHeight, static_cast<uint32_t>(i));
    unsigned long length = out.size();
    const auto start = Clock::now();
    STIPMPPEncode(encoder, image.data(), image.size(), out.data(), &length, 0);
    total += MillisSince(start);
  }
  STIPDeinitEncode(&encoder);
  return total / kEncoderSamples;
}

uint16_t PortOf(int fd) {
  sockaddr_in addr{};
  socklen_t size = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  return ntohs(addr.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultSeconds;
  SocketRegisterLogImageFunc(Quiet);
  printf("encoder: %.2f ms per 640x480 colour frame (alone, %d frames)\n", EncoderMillisPerFrame(), kEncoderSamples);

  if (STIPInit(kStipServerMode, 0.0) != kQeltOk || STIPInit(kStipClientMode, 0.0) != kQeltOk) {
    fprintf(stderr, "image stream set-up failed\n");
    return 1;
  }
  const unsigned types[2] = {kServerNorbImage, kServerYrdImage};
  const int channels[2] = {1, 2};
  for (int k = 0; k < 2; ++k) {
    if (STIPServerCreateSession(kLoopback, 0, types[k]) != kQeltOk) return 1;
    const uint16_t port = PortOf(STIPServerGetSocketFD(types[k]));
    STIPRegisterRecvImageFunc(OnImage, channels[k], &g_clients[channels[k]]);
    if (STIPClientConnectSession(kLoopback, port, channels[k]) != kQeltOk) return 1;
  }
  ProxyThreadStart(kProxyNorbImage);
  ProxyThreadStart(kProxyYrdImage);
  for (int channel : channels) {
    STIPProxyStreamChannelStart(channel);
    const CtrlImageRequest start{kStipRequest, kStipStart, 0, kStipImageTypeColor, 640, 480, kFps};
    STIPClientSendCtrlImageMsg(kLoopback, &start, channel);
  }
  usleep(200 * 1000);  // let both servers take the start requests

  std::vector<std::vector<uint8_t>> colour;
  for (uint32_t i = 0; i < kFps; ++i) colour.push_back(Pattern(kColorWidth, kColorHeight, i));
  const std::vector<uint8_t> disparity(kDisparityBytes, 42);
  double worst_write = 0;
  uint32_t written = 0, refused = 0, over_timeout = 0;
  std::vector<double> waits;
  const auto period = std::chrono::microseconds(1000000 / kFps);
  const auto start = Clock::now();
  auto next = start;
  while (Clock::now() - start < std::chrono::seconds(seconds)) {
    ++written;
    ImagePara c{kStipImageTypeColor, written, kColorWidth, kColorHeight, 0, 0, 0, 0, {0, 0}, 1};
    ImagePara d{kStipImageTypeDisparity, written, kDisparityWidth, kDisparityHeight, 0, 0, 0, 0, {0, 0}, 1};
    for (int k = 0; k < 2; ++k) {
      const auto t = Clock::now();
      refused += k == 0 ? STIPServerWriteImage(&c, colour[written % kFps].data(), static_cast<unsigned>(colour[0].size())) != 0
                        : STIPServerWriteImage(&d, disparity.data(), kDisparityBytes) != 0;
      const double wait = MillisSince(t);
      waits.push_back(wait);
      worst_write = std::max(worst_write, wait);
      over_timeout += wait > kRingLockMillis;
    }
    next += period;
    std::this_thread::sleep_until(next);
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  usleep(500 * 1000);  // the last images in flight
  StopNORBImageProxyProcess();
  StopYRDImageProxyProcess();

  printf("streamed %u colour and %u disparity images in %.1f s (%u writes refused by a busy lock)\n", written, written,
         elapsed, refused);
  for (int k = 0; k < 2; ++k) {
    const ClientCounters& c = g_clients[channels[k]];
    printf("client %d (%s port): %.0f bytes/s, colour %u received %u lost, disparity %u received %u lost\n", k + 1,
           types[k] == kServerNorbImage ? "NORB" : "YRD", static_cast<double>(c.bytes.load()) / elapsed,
           c.colour.load(), written - c.colour.load(), c.disparity.load(), written - c.disparity.load());
  }
  std::sort(waits.begin(), waits.end());
  printf("image write call (both rings, copies included): median %.3f ms, 99th percentile %.3f ms, worst %.3f ms; "
         "%u of %zu calls took over %d ms\n",
         waits[waits.size() / 2], waits[waits.size() * 99 / 100], worst_write, over_timeout, waits.size(),
         kRingLockMillis);
  SocketRegisterLogImageFunc(PrintLockWaitSummary);
  STIPUnInit();
  return 0;
}
