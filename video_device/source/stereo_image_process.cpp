// Image hand-off module: six fixed slots filled by a producer and delivered by a thread of the
// module, which also runs the exposure step on the grey pair and switches the status LEDs.
#include "stereo_image_process.h"

#include <sys/select.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "cam.h"
#include "cam_auto_exposure.h"
#include "device_log.h"
#include "device_status.h"
#include "led_cadence.h"
#include "libtessaro.h"

namespace {

constexpr const char* kLogTag = "stereo_image_process";
constexpr const char* kSourceName = "stereo_image_process";

constexpr int kSlotCount = 6;
constexpr int kLeftGraySlot = 1;
constexpr int kRightGraySlot = 2;
constexpr int kLeftColourSlot = 3;
constexpr int kRightColourSlot = 4;
constexpr int kDepthSlot = 5;

constexpr int kHandOffCpu = 5;
constexpr long kPollMicroseconds = 1000;

constexpr unsigned char kGoodMatchValue = 70;

struct ImageSlot {
  uint32_t type;
  uint32_t sequence;
  uint16_t width;
  uint16_t height;
  uint32_t size;
  unsigned char* buffer;
  uint8_t value;
  uint8_t ready;
};

struct SlotRole {
  int slot;
  StereoImageType type;
  bool colour;  // colour size, else grey size
  const char* alloc_failure;
};

// Slot 0 stays unused; slot 4 has a buffer but is never filled.
constexpr SlotRole kSlotRoles[] = {
    {kLeftGraySlot, kStereoImageLeftGray, false, "malloc left gray image memory failed\n"},
    {kRightGraySlot, kStereoImageRightGray, false, "malloc right gray image memory failed\n"},
    {kLeftColourSlot, kStereoImageColour, true, "malloc left yuv image memory failed\n"},
    {kRightColourSlot, kStereoImageColour, true, "malloc right yuv image memory failed\n"},
    {kDepthSlot, kStereoImageDisparity, false, "malloc depth image memory failed\n"},
};

std::mutex g_slots_mutex;
ImageSlot g_slots[kSlotCount];
std::atomic<uint8_t> g_run{0};
StereoFrameCallback g_callback = nullptr;
// Owned by the caller of StereoImageThreadStart / StereoImageProcessUnInit.
std::thread g_hand_off_thread;
std::mutex g_thread_control_mutex;

void FreeSlotsLocked() {
  for (ImageSlot& slot : g_slots) free(slot.buffer);
  memset(g_slots, 0, sizeof(g_slots));
}

void SleepPoll() {
  timeval wait{0, kPollMicroseconds};
  select(0, nullptr, nullptr, nullptr, &wait);
}

bool Deliverable(const ImageSlot& slot) { return slot.ready != 0 && slot.buffer != nullptr; }

// One exposure step on the grey pair, then the LED cadence; returns the new exposure flag.
bool RunExposureStep(bool exposure_ok, int8_t& led_counter) {
  const ImageSlot& left = g_slots[kLeftGraySlot];
  const ImageSlot& right = g_slots[kRightGraySlot];
  exposure_ok = cam_exposure_process(left.width, left.height, left.buffer, right.buffer);
  // In exposure steps: the exposure colour at the show step, dark again at the end step.
  if (led_counter == led_cadence::kEndStep) {
    led_cadence::ShowEndColour(false);
    led_counter = 0;
  } else if (led_counter == led_cadence::kShowStep) {
    led_cadence::ShowPictureColour(g_slots[kDepthSlot].value > kGoodMatchValue && exposure_ok);
    led_counter = led_cadence::kShowStep + 1;
  } else {
    ++led_counter;
  }
  return exposure_ok;
}

void HandOffLoop() {
  BindThreadToCpu(kHandOffCpu);  // a failed pin only loses the placement
  bool exposure_ok = false;
  int8_t led_counter = 0;
  while (g_run.load() == 1) {
    {
      std::lock_guard<std::mutex> lock(g_slots_mutex);
      if (Deliverable(g_slots[kLeftGraySlot]) && Deliverable(g_slots[kRightGraySlot]))
        exposure_ok = RunExposureStep(exposure_ok, led_counter);
      for (ImageSlot& slot : g_slots) {
        if (!Deliverable(slot)) continue;
        timeval now;
        gettimeofday(&now, nullptr);
        if (g_callback != nullptr)
          g_callback(slot.type, slot.width, slot.height, slot.size, slot.buffer, slot.sequence, &now, slot.value,
                     exposure_ok, nullptr);
        slot.ready = 0;
        memset(slot.buffer, 0, slot.size);
      }
    }
    SleepPoll();
  }
}

// Copies one image into its slot and marks it ready for delivery.
void FillSlot(ImageSlot& slot, const unsigned char* image, unsigned int sequence) {
  slot.ready = 1;
  slot.sequence = sequence;
  memcpy(slot.buffer, image, slot.size);
}

}  // namespace

extern "C" {

int StereoImageProcessInit(int colour_width, int colour_height, int grey_width, int grey_height) {
  std::lock_guard<std::mutex> lock(g_slots_mutex);
  FreeSlotsLocked();
  const uint32_t colour_size = static_cast<uint32_t>(colour_width) * colour_height * 3 / 2;
  const uint32_t grey_size = static_cast<uint32_t>(grey_width) * grey_height;
  for (const SlotRole& role : kSlotRoles) {
    ImageSlot& slot = g_slots[role.slot];
    slot.type = role.type;
    slot.size = role.colour ? colour_size : grey_size;
    slot.width = static_cast<uint16_t>(role.colour ? colour_width : grey_width);
    slot.height = static_cast<uint16_t>(role.colour ? colour_height : grey_height);
    slot.buffer = static_cast<unsigned char*>(calloc(slot.size, 1));
    if (slot.buffer == nullptr) {
      DEVICE_LOG("%s", role.alloc_failure);
      FreeSlotsLocked();
      return kResultOutOfMemory;
    }
  }
  return kResultOk;
}

int StereoImageThreadStart(StereoFrameCallback callback) {
  std::lock_guard<std::mutex> control(g_thread_control_mutex);
  if (g_hand_off_thread.joinable()) return kResultFailed;  // one hand-off thread at a time
  {
    std::lock_guard<std::mutex> lock(g_slots_mutex);
    g_callback = callback;
  }
  g_run.store(1);
  try {
    g_hand_off_thread = std::thread(HandOffLoop);
  } catch (const std::system_error&) {
    DEVICE_LOG("create exposure failed\n");
    g_run.store(0);
    std::lock_guard<std::mutex> lock(g_slots_mutex);
    FreeSlotsLocked();
    return kResultFailed;
  }
  return kResultOk;
}

int SendImageProcess(unsigned char* colour, unsigned char* grey_left, unsigned char* grey_right, unsigned char* depth,
                     unsigned char value, unsigned int sequence) {
  std::lock_guard<std::mutex> lock(g_slots_mutex);
  ImageSlot& left = g_slots[kLeftGraySlot];
  ImageSlot& right = g_slots[kRightGraySlot];
  ImageSlot& depth_slot = g_slots[kDepthSlot];
  ImageSlot& colour_slot = g_slots[kLeftColourSlot];
  if (grey_left != nullptr && left.buffer != nullptr) FillSlot(left, grey_left, sequence);
  if (grey_right != nullptr && right.buffer != nullptr) FillSlot(right, grey_right, sequence);
  if (depth != nullptr && depth_slot.buffer != nullptr) {
    if (depth_slot.ready != 0) DEVICE_LOG("Image is available\n");
    FillSlot(depth_slot, depth, sequence);
    depth_slot.value = value;
  }
  if (colour != nullptr && colour_slot.buffer != nullptr) FillSlot(colour_slot, colour, sequence);
  return kResultOk;
}

void StereoImageProcessUnInit() {
  {
    std::lock_guard<std::mutex> control(g_thread_control_mutex);
    g_run.store(0);
    if (g_hand_off_thread.joinable()) g_hand_off_thread.join();
  }
  std::lock_guard<std::mutex> lock(g_slots_mutex);
  FreeSlotsLocked();
}

}  // extern "C"
