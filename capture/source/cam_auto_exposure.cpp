// Auto exposure: the exposure thread, the hand-over of grey image pairs from the capture thread,
// the controller's start-up and one step per pair, which sets gain and time on both cameras.
#include "cam_auto_exposure.h"

#include <sys/select.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "cam_hal.h"
#include "capture_log.h"
#include "exposure_controller.h"
#include "qelt_log.h"

namespace {

constexpr const char* kTag = "cam_auto_exposure";
constexpr const char* kPidTag = "pid_exposure_adjust";
constexpr const char* kSource = "source/cam_auto_exposure";
constexpr long kPollMicroseconds = 2000;
constexpr double kPercent = 100.0;
constexpr int kStepUpDivisor = 10000;
constexpr int kStepDownLevels = 2;

// Hand-over block between the capture thread and the exposure thread.
struct ExposureHandover {
  unsigned char* left = nullptr;
  unsigned char* right = nullptr;
  bool new_pair = false;
  uint64_t height = 0;
  uint64_t width = 0;
  bool quality = false;
};

std::mutex exposure_mutex;
ExposureHandover s_handover;             // guarded by exposure_mutex
std::condition_variable s_step_done;     // a handed-over pair has been measured
// How long the quality of a frame waits for that frame's step; a step takes well under this.
constexpr auto kStepWait = std::chrono::milliseconds(20);
tagCamExposureConfiguration s_config{};  // written only while no exposure thread runs
std::atomic<bool> s_running{false};
std::thread s_thread;  // owned by init and uninit, which the caller does not run concurrently

// Controller state: survives uninit, so a restarted exposure continues where it was.
struct ControllerState {
  bool initialised = false;
  int warning_count = 0;
  exposure::PidState pid;
  int gain_min = 0;
  int gain_max = 0;
  int gain_step = 0;
  int time_min = 0;
  int time_max = 0;
  int time_step = 0;
  int current_gain = 0;
  int current_time = 0;
};
ControllerState s_controller;

// Hands the cameras' exposure to this module: the sensors' own control off, limits read.
void StartController() {
  ControllerState& c = s_controller;
  cam_hal_aec_stop();
  int hal_gain_step = 0;
  cam_hal_get_gain_limit(&c.gain_min, &c.gain_max, &hal_gain_step);
  c.gain_step = exposure::LevelStep(c.gain_min, c.gain_max, s_config.exposure_level_count);
  c.gain_max = exposure::KeptGainMax(c.gain_max);
  cam_hal_get_gain(&c.current_gain);
  CAPTURE_PRINT_LOG_IN(kTag, "init", "gain_min=%d, gain_max=%d, gain_step=%d, current_gain=%d\n", c.gain_min,
                       c.gain_max, hal_gain_step, c.current_gain);
  int hal_time_step = 0;
  cam_hal_get_integration_time_limit(&c.time_min, &c.time_max, &hal_time_step);
  c.time_step = exposure::LevelStep(c.time_min, c.time_max, s_config.exposure_level_count);
  cam_hal_get_integration_time(&c.current_time);
  CAPTURE_PRINT_LOG_IN(kTag, "init", "time_min=%d, time_max=%d, time_step=%d, current_time=%d\n", c.time_min,
                       c.time_max, c.time_step, c.current_time);
  cam_hal_set_integration_time(s_config.exposure_time);
}

bool pid_exposure_adjust(const unsigned int* left_histogram, const unsigned int* right_histogram, uint64_t height,
                         uint64_t width, int lightness) {
  ControllerState& c = s_controller;
  if (!c.initialised) {
    c.initialised = true;
    StartController();
    cam_hal_set_gain(c.gain_min);
  }
  const uint32_t pixels = static_cast<uint32_t>(height * width);
  const exposure::Shares shares = exposure::ExtremeShares(left_histogram, right_histogram, pixels);
  // Good exposure is reported only for a frame within the limits; warnings that last the
  // out-of-service time are logged once as the image going out of service.
  const bool quality = exposure::WithinWarningLimits(shares, s_config);
  c.warning_count = quality ? 0 : c.warning_count + 1;
  if (c.warning_count == exposure::OutOfServiceFrames(s_config))
    CAPTURE_PRINT_LOG_IN(kPidTag, __func__, "image out of service: %d frames above the black or white warning share\n",
                         c.warning_count);

  // A failed read keeps the last value (the HAL leaves it untouched).
  cam_hal_get_gain(&c.current_gain);
  cam_hal_get_integration_time(&c.current_time);
  const exposure::PidOutcome out =
      exposure::PidStep(s_config, &c.pid, shares, c.current_gain, c.current_time, c.gain_min, c.time_min);
  cam_hal_set_gain(out.gain);
  cam_hal_set_integration_time(out.time);

  if (!quality) {
    CAPTURE_PRINT_LOG_IN(kPidTag, __func__,
                         "****************************************\n"
                         "BlackPercent=%f, WhitePercent=%f, Lightness=%d, CurrentError=%f, s_IntegralError=%f, "
                         "DerivativeError=%f, CurrentGain=%d, CurrentIntegrationTime=%d, K=%f, DeltaK=%f, SetK=%f, "
                         "SetGain=%d, SetIntegrationTime=%d\n****************************************\n",
                         shares.black * kPercent, shares.white * kPercent, lightness, out.error, c.pid.integral,
                         out.derivative, c.current_gain, c.current_time, out.exposure_value, -out.correction,
                         out.gain_value, out.gain, out.time);
  }
  return quality;
}

// One exposure step on a grey image pair: histograms, lightness, controller. The histograms count
// every pixel of the images as handed over (height x width), whatever size the matcher works at
// (half of it in interval sampling), so the shares are those of the whole image.
bool ExposureStep(uint64_t width, uint64_t height, const unsigned char* left, const unsigned char* right) {
  unsigned int left_histogram[exposure::kHistogramBins] = {};
  unsigned int right_histogram[exposure::kHistogramBins] = {};
  exposure::AddToHistogram(left, width * height, left_histogram);
  exposure::AddToHistogram(right, width * height, right_histogram);
  const int lightness = exposure::Lightness(static_cast<int>(width), static_cast<int>(height), left);
  return pid_exposure_adjust(left_histogram, right_histogram, height, width, lightness);
}

void SleepPoll() {
  timeval wait{0, kPollMicroseconds};
  select(0, nullptr, nullptr, nullptr, &wait);
}

void exposure_thread_process() {
  if (!s_running) return;
  do {
    {
      std::lock_guard<std::mutex> lock(exposure_mutex);
      if (s_handover.new_pair) {
        const bool quality = ExposureStep(s_handover.width, s_handover.height, s_handover.left, s_handover.right);
        s_handover.new_pair = false;
        s_handover.quality = quality;
        s_step_done.notify_all();
      }
    }
    SleepPoll();
  } while (s_running);
}

}  // namespace

extern "C" {

void cam_exposure_init(const tagCamExposureConfiguration* config, unsigned long height, unsigned long width) {
  if (config == nullptr) {
    CAPTURE_PRINT_LOG_IN(kTag, __func__, "NULL exposure configuration\n");
    return;
  }
  // A second init replaces the running exposure instead of starting a second thread beside it.
  cam_exposure_uninit();
  s_config = *config;
  const size_t bytes = static_cast<size_t>(height) * static_cast<size_t>(width);
  unsigned char* left = static_cast<unsigned char*>(std::calloc(bytes == 0 ? 1 : bytes, 1));
  if (left == nullptr) {
    CAPTURE_PRINT_LOG_IN(kTag, __func__, "malloc left image mem failed\n");
    return;
  }
  unsigned char* right = static_cast<unsigned char*>(std::calloc(bytes == 0 ? 1 : bytes, 1));
  if (right == nullptr) {
    CAPTURE_PRINT_LOG_IN(kTag, __func__, "malloc right image mem failed\n");
    std::free(left);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(exposure_mutex);
    s_handover.left = left;
    s_handover.right = right;
    s_handover.height = height;
    s_handover.width = width;
    s_handover.new_pair = false;
  }
  s_running = true;
  try {
    s_thread = std::thread(exposure_thread_process);
  } catch (const std::system_error&) {
    CAPTURE_PRINT_LOG_IN(kTag, __func__, "create exposure failed\n");
    s_running = false;
    cam_exposure_uninit();
  }
}

int transmit_gray_image_to_exposure(unsigned char* left, unsigned char* right) {
  if (left == nullptr || right == nullptr) return 1;
  std::lock_guard<std::mutex> lock(exposure_mutex);
  if (s_handover.left == nullptr || s_handover.right == nullptr) return 1;  // not running: nothing to copy into
  const size_t bytes = static_cast<size_t>(s_handover.height) * static_cast<size_t>(s_handover.width);
  s_handover.new_pair = true;
  std::memcpy(s_handover.left, left, bytes);
  std::memcpy(s_handover.right, right, bytes);
  return 0;
}

// The quality of the pair handed over last: waits, bounded, for its step so that a frame never
// carries the verdict on the frame before it.
bool get_exposure_quality() {
  std::unique_lock<std::mutex> lock(exposure_mutex);
  s_step_done.wait_for(lock, kStepWait, [] { return !s_handover.new_pair || !s_running; });
  return s_handover.quality;
}

bool cam_exposure_process(int width, int height, unsigned char* left, unsigned char* right) {
  if (left == nullptr || right == nullptr || width <= 0 || height <= 0) return false;
  return ExposureStep(static_cast<uint64_t>(width), static_cast<uint64_t>(height), left, right);
}

void cam_exposure_uninit() {
  // The thread is joined before the buffers go: a step in progress finishes with them first.
  s_running = false;
  if (s_thread.joinable()) s_thread.join();
  std::lock_guard<std::mutex> lock(exposure_mutex);
  std::free(s_handover.left);
  std::free(s_handover.right);
  s_handover = ExposureHandover();
}

void set_up_exposure(double exposure) {
  ControllerState& c = s_controller;
  const int levels = static_cast<int>(std::ceil(s_config.exposure_level_count * exposure / kStepUpDivisor)) + 1;
  int time = c.current_time;
  cam_hal_get_integration_time(&time);
  if (time + levels * c.time_step <= c.time_max) {
    cam_hal_set_integration_time(time + levels * c.time_step);
    return;
  }
  int gain = c.current_gain;
  cam_hal_get_gain(&gain);
  cam_hal_set_gain(std::min(c.gain_max, gain + levels * c.gain_step));
}

void set_down_exposure() {
  ControllerState& c = s_controller;
  int gain = c.current_gain;
  cam_hal_get_gain(&gain);
  if (gain - kStepDownLevels * c.gain_step >= c.gain_min) {
    cam_hal_set_gain(gain - kStepDownLevels * c.gain_step);
    return;
  }
  int time = c.current_time;
  cam_hal_get_integration_time(&time);
  cam_hal_set_integration_time(time - kStepDownLevels * c.time_step);
}

int calculatemean_value(int width, int height, int x, int y, unsigned char* image) {
  return exposure::BoxMean(width, height, x, y, image);
}

}  // extern "C"
