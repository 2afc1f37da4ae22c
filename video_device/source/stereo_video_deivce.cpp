// The stereo video device's life cycle: initialisation, start and stop of the capture thread,
// teardown, and the disparity offset of the grey tables.
#include "stereo_video_deivce.h"

#include <unistd.h>

#include <cstring>
#include <new>

#include "board/board_root.h"
#include "calibrater_dynamic.h"
#include "calibrater_image.h"
#include "cam.h"
#include "cam_auto_exposure.h"
#include "device_log.h"
#include "device_status.h"
#include "disparity_offset_range.h"
#include "libtessaro.h"
#include "platform/memory_manager.h"

namespace {

constexpr const char* kLogTag = "StereoVideoDeivce";
constexpr const char* kSourceName = "stereo_video_deivce";
constexpr useconds_t kStopPollMicroseconds = 1000;
constexpr float kInitialGreyOffset = 0.0f;

unsigned char* AllocateBytes(size_t size) {
  BaseMemoryManager::Instance();
  return new (std::nothrow) unsigned char[size];
}

void FreeBytes(unsigned char*& buffer) {
  BaseMemoryManager::Instance();
  delete[] buffer;
  buffer = nullptr;
}

// Replaces a buffer of one role by a fresh one; false when the allocation fails.
bool ReplaceBuffer(unsigned char*& buffer, size_t size) {
  FreeBytes(buffer);
  buffer = AllocateBytes(size);
  return buffer != nullptr;
}

// The offset as the grey tables take it: only a negative selector negates.
float SignedGreyOffset(double offset, int selector) { return static_cast<float>(selector < 0 ? 0.0 - offset : offset); }

// The matcher's parameter record; any non-zero interval sampling is interval sampling.
tagSGMParameterSet MatcherParameters(const tagVideoDeviceParameterSet& set, int interval_sampling) {
  tagSGMParameterSet sgm{};
  sgm.image_height = static_cast<uint64_t>(set.image_height);
  sgm.image_width = static_cast<uint64_t>(set.image_width);
  sgm.disparity_min = set.disparity_min;
  sgm.disparity_max = set.disparity_max;
  sgm.window_scale = static_cast<uint64_t>(set.window_scale);
  sgm.ddr_disparity_range = static_cast<uint64_t>(set.ddr_disparity_range);
  sgm.path_number = static_cast<uint64_t>(set.path_number);
  sgm.thread_number = static_cast<uint64_t>(set.thread_number);
  sgm.image_interval_sampling = interval_sampling;
  sgm.sgm_penalty1 = set.sgm_penalty1;
  sgm.sgm_penalty2 = set.sgm_penalty2;
  sgm.ddr_threshold = set.ddr_threshold;
  sgm.opencl_enable = set.opencl_enable ? 1 : 0;
  sgm.disparity_uniqueness_ratio = static_cast<uint64_t>(static_cast<int64_t>(set.disparity_uniqueness_ratio));
  sgm.disparity_lr_max_diff = static_cast<uint64_t>(static_cast<int64_t>(set.disparity_lr_max_diff));
  return sgm;
}

}  // namespace

StereoVideoDeivce::StereoVideoDeivce()
    : left_gray_(nullptr),
      right_gray_(nullptr),
      disparity_size_(0),
      disparity_(nullptr),
      colour_size_(0),
      colour_(nullptr),
      callback_(nullptr),
      context_(nullptr),
      stop_(0),
      running_(0),
      colour_remap_(0),
      disparity_width_(0),
      disparity_height_(0),
      initialised_(false),
      grey_rebuilder_(&StereoVideoDeivce::RebuildGreyTables) {
  memset(&settings_, 0, sizeof(settings_));
}

StereoVideoDeivce::~StereoVideoDeivce() {
  Stop();
  grey_rebuilder_.Stop();
  FreeBuffers();
}

int StereoVideoDeivce::RebuildGreyTables(const std::string& path, float offset) {
  // The calibration builds the new tables aside and swaps them in; on failure the old ones stay.
  const int result = CalibraterImageGrayInit(path.c_str(), offset);
  if (result != 0) DEVICE_LOG("SetDisparityOffset, CalibraterImageGrayInit failed, error code:%d \n", result);
  return result;
}

void StereoVideoDeivce::FreeBuffers() {
  FreeBytes(left_gray_);
  FreeBytes(right_gray_);
  FreeBytes(disparity_);
  FreeBytes(colour_);
}

int StereoVideoDeivce::AllocateBuffers(int colour_width, int colour_height, int depth_width, int depth_height,
                                       bool halved) {
  const size_t grey_size = static_cast<size_t>(depth_width) * depth_height;
  disparity_size_ = halved ? static_cast<size_t>(depth_height) * (depth_width / 2) / 2 : grey_size;
  colour_size_ = static_cast<size_t>(colour_width) * colour_height * 3 / 2;
  if (!ReplaceBuffer(left_gray_, grey_size)) return kResultOutOfMemory;
  if (!ReplaceBuffer(right_gray_, grey_size)) return kResultOutOfMemory;
  if (!ReplaceBuffer(disparity_, disparity_size_)) return kResultOutOfMemory;
  if (!ReplaceBuffer(colour_, colour_size_)) return kResultOutOfMemory;
  return kResultOk;
}

int StereoVideoDeivce::Init(tagVideoDeviceParameterSet* set, const tagCamExposureConfiguration* exposure) {
  if (set == nullptr || exposure == nullptr || running_.load() != 0) return kResultFailed;

  std::lock_guard<std::mutex> offsets(offset_mutex_);
  grey_rebuilder_.Stop();  // no rebuild of the old calibration's tables runs beside the new one
  initialised_ = false;
  int result;
  if (set->dynamic_calibration_enable != 0) {
    result = CalibraterImageDynamicInit(board::MapPath(set->dynamic_calibration_file_name).c_str(), kInitialGreyOffset,
                                        set->image_width, set->image_height, set->dynamic_disparity_shift,
                                        set->dynamic_focal_length, set->dynamic_stretch_factor,
                                        set->dynamic_horizontal_translation, set->dynamic_vertical_translation);
  } else {
    result = CalibraterImageInit(board::MapPath(set->calibration_file_name).c_str(), kInitialGreyOffset);
  }
  if (result != 0) {
    DEVICE_LOG("Init, CalibraterImageGrayInit failed \n");
    return kResultFailed;
  }

  int colour_height = 0, colour_width = 0;
  CalibraterImageGetYUVHeightAndWidth(&colour_height, &colour_width);
  CalibraterImageGetDepthHeightAndWidth(&set->image_height, &set->image_width);

  // Interval sampling is on or off; other values would size the matcher's output unlike the buffer.
  const int interval_sampling = set->image_interval_sampling != 0 ? 1 : 0;
  result = AllocateBuffers(colour_width, colour_height, set->image_width, set->image_height, interval_sampling != 0);
  if (result != kResultOk) return result;
  disparity_width_ = interval_sampling ? set->image_width / 2 : set->image_width;
  disparity_height_ = interval_sampling ? set->image_height / 2 : set->image_height;

  result = libtessaro_init(MatcherParameters(*set, interval_sampling));
  if (result != 0) {
    DEVICE_LOG("Init, sgm_init failed, error code:%d \n", result);
    return kResultFailed;
  }

  if (cam_init() != 0) {
    DEVICE_LOG("Init, cam_init failed \n");
    libtessaro_close();
    return kResultFailed;
  }
  if (cam_start() != 0) {
    DEVICE_LOG("Init, cam_start failed \n");
    libtessaro_close();
    return kResultFailed;
  }
  cam_exposure_init(exposure, static_cast<unsigned long>(set->image_height),
                    static_cast<unsigned long>(set->image_width));

  memcpy(&settings_, set, sizeof(settings_));
  settings_.image_interval_sampling = interval_sampling;
  colour_remap_ = set->calibrate_color_image != 0 ? 1 : 0;
  initialised_ = true;
  return kResultOk;
}

int StereoVideoDeivce::Deinit() {
  Stop();
  // The exposure thread sends commands to the cameras: stop it before they close.
  cam_exposure_uninit();
  cam_stop();
  libtessaro_close();
  std::lock_guard<std::mutex> offsets(offset_mutex_);
  grey_rebuilder_.Stop();
  CalibraterImageUnInit();
  initialised_ = false;
  return kResultOk;
}

int StereoVideoDeivce::Cleanup() {
  Stop();
  cam_exposure_uninit();
  cam_stop();
  libtessaro_close();
  std::lock_guard<std::mutex> offsets(offset_mutex_);
  initialised_ = false;
  return kResultOk;
}

int StereoVideoDeivce::Start(StereoFrameCallback callback, void* context) {
  if (!initialised_ || running_.load() != 0) return kResultFailed;
  const Result created = capture_thread_.Create(nullptr, 0, &StereoVideoDeivce::CaptureVideo, this);
  if (created < 0) return static_cast<int>(created);
  callback_ = callback;
  context_ = context;
  stop_.store(0);
  // Running from here on, so that a Stop right after Start waits for the thread.
  running_.store(1);
  const Result started = capture_thread_.Start();
  if (started < 0) {
    running_.store(0);
    capture_thread_.Destroy();
    return static_cast<int>(started);
  }
  return kResultOk;
}

int StereoVideoDeivce::Stop() {
  stop_.store(1);
  while (running_.load() != 0) usleep(kStopPollMicroseconds);
  capture_thread_.Destroy();
  return kResultOk;
}

int StereoVideoDeivce::GetDisparityOffset(double* offset, int* selector) {
  if (offset == nullptr || selector == nullptr) return kResultFailed;
  std::lock_guard<std::mutex> offsets(offset_mutex_);
  *offset = settings_.shift_offset;
  *selector = settings_.shift_opt;
  return kResultOk;
}

int StereoVideoDeivce::SetDisparityOffset(double offset, int selector) {
  if (!DisparityOffsetInRange(offset)) return kResultFailed;
  std::lock_guard<std::mutex> offsets(offset_mutex_);
  if (!initialised_) return kResultFailed;
  settings_.shift_offset = offset;
  settings_.shift_opt = selector;
  grey_rebuilder_.Request(board::MapPath(settings_.calibration_file_name), SignedGreyOffset(offset, selector));
  return kResultOk;
}

bool StereoVideoDeivce::WaitForGreyTables(std::chrono::milliseconds limit) {
  return grey_rebuilder_.WaitUntilIdle(limit);
}
