// Prints the per-call time of the colour remap, the grey remap (640 x 480 frames) and the
// image-pair histogram, with the simulated sensor module's calibration.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "board/sim_module_geometry.h"
#include "calibrater_image.h"
#include "libtessaro.h"
#include "sim_module_calibration.h"

namespace {

namespace geometry = board::sim_module;

constexpr int kRawPixels = geometry::kRawWidth * geometry::kRawHeight;
constexpr int kColourBytes = kRawPixels * 3 / 2;
constexpr int kGreyPixels = geometry::kDepthWidth * geometry::kDepthHeight;
constexpr int kGreyLevels = 256;
constexpr int kRounds = 7;  // the median of these is reported

// Median over kRounds of the mean time per call of `calls` calls, in microseconds.
template <typename Call>
double MicrosecondsPerCall(int calls, Call call) {
  std::vector<double> rounds;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < calls; ++k) call();
    const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    rounds.push_back(spent.count() / calls);
  }
  std::sort(rounds.begin(), rounds.end());
  return rounds[kRounds / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string calibration =
      argc > 1 ? argv[1] : std::string(SIM_MODULE_DATA_DIR) + "/" + sim_module_calibration::kCalibrationFileName;
  if (CalibraterImageInit(calibration.c_str(), 0.0f) != 0) {
    std::fprintf(stderr, "cannot load calibration %s\n", calibration.c_str());
    return 1;
  }
  std::mt19937 random(1);
  std::vector<unsigned char> y(kRawPixels), vu(kRawPixels / 2), colour(kColourBytes), grey(kGreyPixels),
      grey_right(kGreyPixels);
  for (auto& b : y) b = static_cast<unsigned char>(random());
  for (auto& b : vu) b = static_cast<unsigned char>(random());

  const double colour_us =
      MicrosecondsPerCall(200, [&] { CalibraterYUVImageProcess(y.data(), vu.data(), colour.data(), 0, true); });
  const double rearrange_us =
      MicrosecondsPerCall(200, [&] { CalibraterYUVImageProcess(y.data(), vu.data(), colour.data(), 0, false); });
  const double grey_us = MicrosecondsPerCall(1000, [&] { CalibraterImageProcess(y.data(), grey.data(), 0); });

  CalibraterImageProcess(y.data(), grey_right.data(), 1);
  s_sgm_m = geometry::kDepthHeight;
  s_sgm_n = geometry::kDepthWidth;
  std::vector<unsigned int> left_histogram(kGreyLevels), right_histogram(kGreyLevels);
  const double histogram_us = MicrosecondsPerCall(200, [&] {
    CalculateImageValue(grey.data(), grey_right.data(), left_histogram.data(), right_histogram.data());
  });
  CalibraterImageUnInit();

  std::printf("per call, median of %d rounds (frames 640 x 480, grey image %d x %d):\n", kRounds,
              geometry::kDepthWidth, geometry::kDepthHeight);
  std::printf("  colour remap (NV21 -> rectified I420): %8.1f us   (goal < 3000 us)\n", colour_us);
  std::printf("  colour re-arrangement (no remap):      %8.1f us\n", rearrange_us);
  std::printf("  grey remap (Y -> depth-size grey):     %8.1f us   (goal well under 1000 us)\n", grey_us);
  std::printf("  CalculateImageValue (grey pair):       %8.1f us\n", histogram_us);
  return 0;
}
