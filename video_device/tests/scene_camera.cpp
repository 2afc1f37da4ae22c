// Paired capture and exposure stand-ins rendering the scene camera's frames from the simulated
// module's geometry: left grey pixel (r, c) samples raw (2r, 2(W-1-c)), the right camera sees the
// same scene point d grey columns further left.
#include "scene_camera.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "board/sim_module_geometry.h"
#include "cam.h"
#include "cam_auto_exposure.h"

namespace sm = board::sim_module;

namespace scene_camera {
namespace {

// Texture of the scene at left grey pixel (row, column): fixed noise, so census finds the match.
unsigned char Texture(int row, int column) {
  uint32_t h = static_cast<uint32_t>(row) * 73856093u ^ static_cast<uint32_t>(column + 1000) * 19349663u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return static_cast<unsigned char>(h);
}

// The left column whose scene point the right camera shows at column c: the box occludes.
int LeftColumnSeenFromRight(int row, int right_column) {
  const int through_box = right_column + kBoxDisparity;
  if (TrueDisparity(row, through_box) == kBoxDisparity) return through_box;
  return right_column + kBackgroundDisparity;
}

struct CameraPair {
  std::vector<unsigned char> left_y, left_vu, right_y, right_vu;
  CameraPair() {
    const size_t pixels = static_cast<size_t>(sm::kRawWidth) * sm::kRawHeight;
    left_y.resize(pixels);
    right_y.resize(pixels);
    left_vu.assign(pixels / 2, 128);
    right_vu.assign(pixels / 2, 128);
    for (int y = 0; y < sm::kRawHeight; ++y)
      for (int x = 0; x < sm::kRawWidth; ++x) {
        left_y[y * sm::kRawWidth + x] = RawLuminance(false, x, y);
        right_y[y * sm::kRawWidth + x] = RawLuminance(true, x, y);
      }
  }
};

CameraPair& Frames() {
  static CameraPair frames;
  return frames;
}

constexpr size_t kCaptureTimeRing = 256;
std::atomic<long> g_frame_period_us{0};
std::chrono::steady_clock::time_point g_next_capture;
timeval g_capture_times[kCaptureTimeRing];
unsigned long g_pairs = 0;

// True when the frame clock has a pair ready (always, when unthrottled).
bool PairDue() {
  const long period = g_frame_period_us.load();
  if (period == 0) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now < g_next_capture) return false;
  const auto step = std::chrono::microseconds(period);
  g_next_capture = now - g_next_capture > step ? now + step : g_next_capture + step;
  return true;
}

cam_frame_t Frame(std::vector<unsigned char>& y, std::vector<unsigned char>& vu) {
  cam_frame_t frame{};
  frame.y_plane = y.data();
  frame.vu_plane = vu.data();
  frame.y_width = sm::kRawWidth;
  frame.y_height = sm::kRawHeight;
  frame.vu_width = sm::kRawWidth;
  frame.vu_height = sm::kRawHeight / 2;
  return frame;
}

}  // namespace

unsigned char RawLuminance(bool right_camera, int x, int y) {
  const int row = x / sm::kDepthScale;
  const int column = sm::kDepthWidth - 1 - y / sm::kDepthScale;
  return Texture(row, right_camera ? LeftColumnSeenFromRight(row, column) : column);
}

void SetFramePeriodMicroseconds(long period) { g_frame_period_us.store(period); }

timeval CaptureTime(unsigned long pair) { return g_capture_times[pair % kCaptureTimeRing]; }

}  // namespace scene_camera

extern "C" {

int cam_init() {
  scene_camera::Frames();
  scene_camera::g_pairs = 0;
  scene_camera::g_next_capture = std::chrono::steady_clock::now();
  return 0;
}
int cam_start() { return 0; }
void cam_stop() {}
// Hands out fresh copies every time: the remap zeroes the first bytes of the planes it reads.
bool cam_dqbuf(cam_frame_t* left, cam_frame_t* right) {
  if (!scene_camera::PairDue()) return false;
  gettimeofday(&scene_camera::g_capture_times[++scene_camera::g_pairs % scene_camera::kCaptureTimeRing], nullptr);
  static scene_camera::CameraPair delivered;
  const scene_camera::CameraPair& scene = scene_camera::Frames();
  delivered.left_y = scene.left_y;
  delivered.right_y = scene.right_y;
  *left = scene_camera::Frame(delivered.left_y, delivered.left_vu);
  *right = scene_camera::Frame(delivered.right_y, delivered.right_vu);
  return true;
}
int cam_qbuf(cam_frame_t*, cam_frame_t*) { return 0; }

void cam_exposure_init(const tagCamExposureConfiguration*, unsigned long, unsigned long) {}
void cam_exposure_uninit() {}
int transmit_gray_image_to_exposure(unsigned char*, unsigned char*) { return 0; }
bool get_exposure_quality() { return true; }

}  // extern "C"
