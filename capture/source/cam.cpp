// Paired frame capture: the HAL's frame callbacks fill one write slot per camera; the consumer
// takes a left/right pair by swapping write and read slots when both cameras have delivered.
#include "cam.h"

#include <sys/time.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "cam_hal.h"
#include "capture_log.h"

namespace {

constexpr const char* kSource = "source/cam";
constexpr int kLeftCamera = 0;
constexpr int kRightCamera = 1;
constexpr uint64_t kRateLineEvery = 300;       // frames between two frame-rate lines
constexpr uint64_t kStampDivisor = 1000;       // the pairing rule works on stamp / 1000
constexpr int64_t kPairingLimit = 6;           // quotients this far apart do not pair
constexpr int64_t kMillisPerSecond = 1000;

FrameSlot s_slots[4] = {
    {0, {0, 0, 0, 0, s_slots[0].y_buffer, 0, 0, s_slots[0].vu_buffer, 0, 0}, {}, {}},
    {0, {0, 0, 0, 0, s_slots[1].y_buffer, 0, 0, s_slots[1].vu_buffer, 0, 0}, {}, {}},
    {0, {0, 0, 0, 0, s_slots[2].y_buffer, 0, 0, s_slots[2].vu_buffer, 0, 0}, {}, {}},
    {0, {0, 0, 0, 0, s_slots[3].y_buffer, 0, 0, s_slots[3].vu_buffer, 0, 0}, {}, {}},
};

struct CameraCounters {
  uint64_t frame_index = 0;
  timeval first_frame{0, 0};
  uint64_t lost = 0;
};
CameraCounters s_counters[2];

std::mutex frame_slot_mutex;

// A plane fits its slot when its sizes are not negative, its bytes fit the slot's buffer and a
// non-empty plane has data to copy.
bool PlaneFits(const unsigned char* plane, int32_t width, int32_t height) {
  if (width < 0 || height < 0) return false;
  const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  if (bytes > kCamPlaneBytes) return false;
  return bytes == 0 || plane != nullptr;
}

void ResetSlot(FrameSlot* slot) {
  slot->filled = 0;
  std::memset(&slot->frame, 0, sizeof(slot->frame));
  std::memset(slot->y_buffer, 0, sizeof(slot->y_buffer));
  std::memset(slot->vu_buffer, 0, sizeof(slot->vu_buffer));
  slot->frame.y_plane = slot->y_buffer;
  slot->frame.vu_plane = slot->vu_buffer;
}

// Frames per second since a camera's first frame; 0 when no time has passed yet.
double FrameRate(uint64_t index, const timeval& first, const timeval& now) {
  const int64_t elapsed_ms = (static_cast<int64_t>(now.tv_sec) - first.tv_sec) * kMillisPerSecond +
                             now.tv_usec / 1000 - first.tv_usec / 1000;
  if (elapsed_ms <= 0) return 0.0;
  return static_cast<double>(index * 1000) / static_cast<double>(elapsed_ms);
}

// Stores one camera's frame in its write slot (the HAL's thread of that camera).
void cam_frame_update(int camera, const cam_frame_t* frame) {
  timeval now{};
  gettimeofday(&now, nullptr);
  if (camera != kLeftCamera && camera != kRightCamera) {
    CAPTURE_LOG_HERE("ERROR camera id error\n");
    return;
  }
  if (frame == nullptr || !PlaneFits(frame->y_plane, frame->y_width, frame->y_height) ||
      !PlaneFits(frame->vu_plane, frame->vu_width, frame->vu_height)) {
    CAPTURE_LOG_HERE("ERROR cam%d frame rejected, planes do not fit the slot\n", camera);
    return;
  }
  std::lock_guard<std::mutex> lock(frame_slot_mutex);
  CameraCounters& counters = s_counters[camera];
  FrameSlot* slot = camera == kLeftCamera ? s_write_left : s_write_right;
  counters.frame_index += 1;
  if (counters.first_frame.tv_sec == 0) counters.first_frame = now;
  if (counters.frame_index % kRateLineEvery == 0) {
    const double rate = FrameRate(counters.frame_index, counters.first_frame, now);
    if (camera == kLeftCamera)
      CAPTURE_LOG("cam_frame_update, left frame rate, index=%zd, frame rate=%f\n",
                  static_cast<ssize_t>(counters.frame_index), rate);
    else
      CAPTURE_LOG("cam_frame_update, right frame rate, index=%zd, frame rate=%f\n",
                  static_cast<ssize_t>(counters.frame_index), rate);
  }
  if (slot->filled == 1) {
    counters.lost += 1;
    CAPTURE_LOG_HERE("ERROR avoid hitting here! cam%d frame(%zd) lost...\n", camera,
                     static_cast<ssize_t>(counters.lost));
  } else {
    slot->filled = 1;
  }
  cam_frame_t& stored = slot->frame;
  stored.hal_value0 = frame->hal_value0;
  stored.hal_value1 = frame->hal_value1;
  stored.stamp = frame->stamp;
  stored.y_width = frame->y_width;
  stored.y_height = frame->y_height;
  stored.vu_width = frame->vu_width;
  stored.vu_height = frame->vu_height;
  const size_t y_bytes = static_cast<size_t>(frame->y_width) * static_cast<size_t>(frame->y_height);
  const size_t vu_bytes = static_cast<size_t>(frame->vu_width) * static_cast<size_t>(frame->vu_height);
  if (y_bytes > 0) std::memcpy(slot->y_buffer, frame->y_plane, y_bytes);
  if (vu_bytes > 0) std::memcpy(slot->vu_buffer, frame->vu_plane, vu_bytes);
}

// The frame callbacks copy the HAL's record first: it belongs to the HAL.
int TakeFrame(int camera, const cam_frame_t* frame) {
  if (frame == nullptr) {
    cam_frame_update(camera, nullptr);
    return 0;
  }
  const cam_frame_t copy = *frame;
  cam_frame_update(camera, &copy);
  return 0;
}

}  // namespace

extern "C" {

FrameSlot* s_read_left = &s_slots[0];
FrameSlot* s_read_right = &s_slots[1];
FrameSlot* s_write_left = &s_slots[2];
FrameSlot* s_write_right = &s_slots[3];

int cam_init() {
  CAPTURE_LOG_HERE("DEBUG init camera...\n");
  {
    std::lock_guard<std::mutex> lock(frame_slot_mutex);
    for (FrameSlot& slot : s_slots) ResetSlot(&slot);
    s_read_left = &s_slots[0];
    s_read_right = &s_slots[1];
    s_write_left = &s_slots[2];
    s_write_right = &s_slots[3];
  }
  const int result = cam_hal_init(reinterpret_cast<void*>(cam_left_frame_callback),
                                  reinterpret_cast<void*>(cam_right_frame_callback));
  if (result < 0) CAPTURE_LOG_HERE("ERROR fail to int camera hal!\n");
  return result;
}

int cam_start() { return cam_hal_start_preview(); }

void cam_stop() {
  cam_hal_stop_preview();
  cam_hal_close();
}

bool cam_dqbuf(cam_frame_t* left, cam_frame_t* right) {
  std::lock_guard<std::mutex> lock(frame_slot_mutex);
  if (s_write_left->filled != 1 || s_write_right->filled != 1) return false;
  std::swap(s_read_left, s_write_left);
  std::swap(s_read_right, s_write_right);
  s_write_left->filled = 0;
  s_write_right->filled = 0;
  *left = s_read_left->frame;
  *right = s_read_right->frame;
  // 64-bit difference: stamps far apart must not wrap into a small one.
  const int64_t left_quotient = static_cast<int64_t>(left->stamp / kStampDivisor);
  const int64_t right_quotient = static_cast<int64_t>(right->stamp / kStampDivisor);
  const int64_t difference = std::llabs(left_quotient - right_quotient);
  if (difference < kPairingLimit) return true;
  CAPTURE_LOG("cam_dqbuf left/right time not match, left frame.stamp=%ld, right frame.stamp=%ld, difference:%lld\n",
              static_cast<long>(left_quotient), static_cast<long>(right_quotient),
              static_cast<long long>(difference));
  return false;
}

int cam_qbuf(cam_frame_t*, cam_frame_t*) { return 0; }

int cam_left_frame_callback(cam_frame_t* frame) { return TakeFrame(kLeftCamera, frame); }

int cam_right_frame_callback(cam_frame_t* frame) { return TakeFrame(kRightCamera, frame); }

}  // extern "C"
