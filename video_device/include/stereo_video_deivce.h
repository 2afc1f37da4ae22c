// The stereo video device: the capture thread and its per-frame pipeline (rectification, exposure,
// matching, median filter, error match) delivering colour and disparity images to a callback.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <opencv2/core.hpp>
#include <string>

#include "grey_table_rebuilder.h"
#include "pipeline_stage_times.h"
#include "platform/thread.h"
#include "stereo_frame_callback.h"
#include "video_device_parameters.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

struct tagCamExposureConfiguration;

class StereoVideoDeivce {
 public:
  StereoVideoDeivce();
  ~StereoVideoDeivce();
  StereoVideoDeivce(const StereoVideoDeivce&) = delete;
  StereoVideoDeivce& operator=(const StereoVideoDeivce&) = delete;

  // Prepares calibration, buffers, matcher, cameras and exposure; writes the depth size back
  // into set. Refused while the capture thread runs.
  int Init(tagVideoDeviceParameterSet* set, const tagCamExposureConfiguration* exposure);
  // Stops the capture thread if it runs, then the exposure, cameras, matcher and calibration.
  int Deinit();
  // Stops the exposure, cameras and matcher; the calibration stays.
  int Cleanup();
  // Starts the capture thread delivering to callback; refused before Init and while running.
  int Start(StereoFrameCallback callback, void* context);
  // Asks the capture thread to stop and waits until it has left its loop.
  int Stop();

  int GetDisparityOffset(double* offset, int* selector);
  // Takes the offset at once and has the grey tables rebuilt with it (negated for a negative
  // selector) on a thread of its own, frames going on with the previous tables meanwhile; a burst
  // of offsets rebuilds for the last one. An offset outside DisparityOffsetInRange, or a device
  // without Init, gives RESULT_FAILED and keeps the previous offset. A rebuild that fails (the
  // calibration file gone) is logged and keeps the previous tables.
  int SetDisparityOffset(double offset, int selector);
  // Waits until the grey tables were rebuilt for the last offset set (or that rebuild failed);
  // false when `limit` passed first.
  bool WaitForGreyTables(std::chrono::milliseconds limit);

  // Keeps the parts of image whose disparity lies in (t2, t1], t1 = a*x/b - d, t2 = a*x/c - d.
  static void cut_image(const cv::Mat& image, const cv::Mat& disparity, cv::Mat& out, int a, double x, int b, int c,
                        int d);

  // Per-stage time of the capture thread since Start.
  const PipelineStageTimes& stage_times() const { return stage_times_; }

 private:
  static void* CaptureVideo(void* object);
  void CaptureVideoProcess();
  void ShowExposureColour(uint8_t led_counter, bool previous_exposure_ok);
  void ShowMatchColour(uint8_t& led_counter, int err_match);
  void DeliverDisparity(unsigned long index, int err_match, bool exposure_ok);
  int AllocateBuffers(int colour_width, int colour_height, int depth_width, int depth_height, bool halved);
  void FreeBuffers();
  static int RebuildGreyTables(const std::string& path, float offset);

  tagVideoDeviceParameterSet settings_;
  unsigned char* left_gray_;
  unsigned char* right_gray_;
  size_t disparity_size_;
  unsigned char* disparity_;
  size_t colour_size_;
  unsigned char* colour_;
  StereoFrameCallback callback_;
  void* context_;
  LinuxThread capture_thread_;
  std::atomic<uint8_t> stop_;
  std::atomic<uint8_t> running_;
  uint8_t colour_remap_;

  // Disparity image as the matcher writes it and the median filter's output, both reused per frame.
  int disparity_width_;
  int disparity_height_;
  cv::Mat median_output_;

  // Guards the offset settings and the initialised state between the caller and the control thread.
  // The grey tables themselves are swapped by the calibration under its own lock.
  std::mutex offset_mutex_;
  bool initialised_;
  GreyTableRebuilder grey_rebuilder_;

  PipelineStageTimes stage_times_;
};

LIBRARY_EXPORTS_END
