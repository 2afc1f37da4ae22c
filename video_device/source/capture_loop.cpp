// The capture thread: for every frame pair, colour remap and callback, grey remap, exposure,
// matching, median filter, error match, disparity callback and the status LEDs.
#include <sys/select.h>
#include <sys/time.h>

#include <opencv2/imgproc.hpp>

#include "calibrater_image.h"
#include "cam.h"
#include "cam_auto_exposure.h"
#include "device_log.h"
#include "led_cadence.h"
#include "libtessaro.h"
#include "status_led.h"
#include "stereo_video_deivce.h"

namespace {

constexpr const char* kLogTag = "StereoVideoDeivce";
constexpr const char* kSourceName = "stereo_video_deivce";

constexpr int kCaptureCpu = 4;
constexpr long kNoPairWaitMicroseconds = 1000;
constexpr int kLeftCamera = 0;
constexpr int kRightCamera = 1;
constexpr int kMedianAperture = 3;
constexpr unsigned long kFrameLogInterval = 300;

constexpr int kGoodErrMatch = 69;

void WaitForPair() {
  timeval wait{0, kNoPairWaitMicroseconds};
  select(0, nullptr, nullptr, nullptr, &wait);
}

// Times the pipeline stages one after the other into the device's stage times.
class StageTimer {
 public:
  explicit StageTimer(PipelineStageTimes& times) : times_(times), start_(PipelineStageTimes::Clock::now()) {}
  // Starts timing afresh, leaving out what ran since the last lap.
  void Restart() { start_ = PipelineStageTimes::Clock::now(); }
  // Adds the time since the last lap to one stage.
  void Lap(PipelineStage stage) {
    const auto now = PipelineStageTimes::Clock::now();
    times_.Add(stage, now - start_);
    start_ = now;
  }

 private:
  PipelineStageTimes& times_;
  PipelineStageTimes::Clock::time_point start_;
};

}  // namespace

void* StereoVideoDeivce::CaptureVideo(void* object) {
  static_cast<StereoVideoDeivce*>(object)->CaptureVideoProcess();
  return nullptr;
}

void StereoVideoDeivce::ShowExposureColour(uint8_t led_counter, bool previous_exposure_ok) {
  // In frames: the exposure colour at the show step, the match colour at the end step.
  if (led_counter != led_cadence::kShowStep) return;
  led_cadence::ShowPictureColour(previous_exposure_ok);
}

void StereoVideoDeivce::ShowMatchColour(uint8_t& led_counter, int err_match) {
  if (led_counter != led_cadence::kEndStep) return;
  led_cadence::ShowEndColour(err_match <= kGoodErrMatch);
  led_counter = 0;
}

void StereoVideoDeivce::DeliverDisparity(unsigned long index, int err_match, bool exposure_ok) {
  timeval finished;
  gettimeofday(&finished, nullptr);
  if (callback_ != nullptr)
    callback_(kStereoImageDisparity, disparity_width_, disparity_height_, disparity_size_, disparity_, index, &finished,
              err_match, exposure_ok, context_);
}

void StereoVideoDeivce::CaptureVideoProcess() {
  running_.store(1);
  cam_frame_t left{}, right{};
  const bool swap = settings_.swap_camera;
  const cam_frame_t& main_frame = swap ? right : left;
  const cam_frame_t& second_frame = swap ? left : right;
  BindThreadToCpu(kCaptureCpu);  // a failed pin only loses the placement
  SetAllLEDOff();

  unsigned long index = 0;
  uint8_t led_counter = 0;
  bool previous_exposure_ok = true;
  cv::Mat disparity(disparity_height_, disparity_width_, CV_8UC1, disparity_);
  stage_times_.Reset();

  while (stop_.load() == 0) {
    if (!cam_dqbuf(&left, &right)) {
      WaitForPair();
      continue;
    }
    ++index;
    timeval dequeued;
    gettimeofday(&dequeued, nullptr);
    StageTimer timer(stage_times_);

    CalibraterYUVImageProcess(main_frame.y_plane, main_frame.vu_plane, colour_, kLeftCamera, colour_remap_ != 0);
    timer.Lap(PipelineStage::kRemap);
    if (callback_ != nullptr)
      callback_(kStereoImageColour, main_frame.y_width, main_frame.y_height, colour_size_, colour_, index, &dequeued, 0,
                previous_exposure_ok, context_);

    timer.Restart();
    CalibraterImageProcess(main_frame.y_plane, left_gray_, kLeftCamera);
    CalibraterImageProcess(second_frame.y_plane, right_gray_, kRightCamera);
    timer.Lap(PipelineStage::kRemap);
    ShowExposureColour(led_counter, previous_exposure_ok);
    timer.Restart();

    transmit_gray_image_to_exposure(left_gray_, right_gray_);
    timer.Lap(PipelineStage::kExposure);
    libtessaro_process(disparity_, left_gray_, right_gray_, false);
    timer.Lap(PipelineStage::kMatcher);
    const bool exposure_ok = get_exposure_quality();
    timer.Lap(PipelineStage::kExposure);

    cv::medianBlur(disparity, median_output_, kMedianAperture);
    median_output_.copyTo(disparity);
    timer.Lap(PipelineStage::kMedianFilter);

    const int err_match = CalculateErrMatch();
    timer.Lap(PipelineStage::kErrorMatch);
    ShowMatchColour(led_counter, err_match);
    stage_times_.CountFrame();

    DeliverDisparity(index, err_match, exposure_ok);

    ++led_counter;
    cam_qbuf(&left, &right);
    previous_exposure_ok = exposure_ok;
    if (index % kFrameLogInterval == 0)
      DEVICE_LOG("CaptureVideoProcess, we processed a frame, index=%zd, size=%zd\n", index, colour_size_);
  }
  // The LEDs are switched off before Stop can return and the owner close them.
  SetAllLEDOff();
  running_.store(0);
}
