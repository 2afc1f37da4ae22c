// The simulated module's lenses: each raw pixel is undistorted and turned into the rectified view.
#include "sim_lens.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <vector>

#include "board/sim_module_model.h"

namespace simcam {
namespace {

namespace sm = board::sim_module;

// Undistortion of a strongly curved lens needs more than OpenCV's default five iterations to come
// within a hundredth of a pixel at the frame corners.
const cv::TermCriteria kUndistortCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 50, 1e-10);
// cv::remap splits work over its thread pool in stripes of 65536 pixels; 96 rows of 640 stay below.
constexpr int kSerialBandRows = 96;

}  // namespace

LensWarp BuildLensWarp(int camera) {
  const sm::StereoModel model = sm::Model();
  const cv::Size frame(sm::kRawWidth, sm::kRawHeight);
  cv::Mat r1, r2, p1, p2, q;
  cv::stereoRectify(model.intrinsic[0], model.distortion[0], model.intrinsic[1], model.distortion[1], frame,
                    model.rotation, model.translation, r1, r2, p1, p2, q, cv::CALIB_ZERO_DISPARITY, 0, frame);
  const cv::Mat rectified_camera = (cv::Mat_<double>(3, 3) << sm::kRawFocalLength, 0, sm::kRawPrincipalX, 0,
                                    sm::kRawFocalLength, sm::kRawPrincipalY, 0, 0, 1);
  std::vector<cv::Point2f> raw;
  raw.reserve(static_cast<size_t>(frame.area()));
  for (int y = 0; y < frame.height; ++y)
    for (int x = 0; x < frame.width; ++x) raw.emplace_back(static_cast<float>(x), static_cast<float>(y));
  std::vector<cv::Point2f> rectified;
  cv::undistortPoints(raw, rectified, model.intrinsic[camera], model.distortion[camera], camera == 0 ? r1 : r2,
                      rectified_camera, kUndistortCriteria);
  cv::Mat exact_x(frame, CV_32FC1), exact_y(frame, CV_32FC1);
  for (int y = 0; y < frame.height; ++y)
    for (int x = 0; x < frame.width; ++x) {
      const cv::Point2f& point = rectified[static_cast<size_t>(y) * frame.width + x];
      exact_x.at<float>(y, x) = point.x;
      exact_y.at<float>(y, x) = point.y;
    }
  // Fixed-point maps (1/32 pixel) remap several times faster: every frame goes through them.
  LensWarp warp;
  cv::convertMaps(exact_x, exact_y, warp.rectified_x, warp.rectified_y, CV_16SC2);
  return warp;
}

void ThroughLens(const LensWarp& warp, const cv::Mat& rectified, cv::Mat* raw) {
  raw->create(warp.rectified_x.size(), rectified.type());
  // Bands below OpenCV's parallel grain run on the camera's own thread: a producer thread that
  // waited for a busy shared worker pool would miss its frame clock's ticks.
  for (int top = 0; top < raw->rows; top += kSerialBandRows) {
    const cv::Range band(top, std::min(raw->rows, top + kSerialBandRows));
    cv::Mat out = raw->rowRange(band);
    // Raw pixels beyond the rectified view (the corners of a barrel lens) repeat its border: the
    // rectification never samples them.
    cv::remap(rectified, out, warp.rectified_x.rowRange(band), warp.rectified_y.rowRange(band), cv::INTER_LINEAR,
              cv::BORDER_REPLICATE);
  }
}

}  // namespace simcam
