// The auto exposure's arithmetic: extreme-bin shares, the PID step, lightness and quality.
#include "exposure_controller.h"

#include <algorithm>
#include <cmath>

namespace exposure {
namespace {

constexpr int kBoxRadius = 1;
constexpr int kBoxPixels = 9;
constexpr int kLightnessRows = 3;
constexpr int kLightnessColumns = 4;
constexpr double kPercent = 100.0;

uint64_t SumBins(const unsigned int* histogram, int first, int count) {
  uint64_t sum = 0;
  for (int bin = first; bin < first + count; ++bin) sum += histogram[bin];
  return sum;
}

}  // namespace

void AddToHistogram(const unsigned char* image, uint64_t pixels, unsigned int* histogram) {
  std::for_each(image, image + pixels, [histogram](unsigned char value) { ++histogram[value]; });
}

Shares ExtremeShares(const unsigned int* left_histogram, const unsigned int* right_histogram, uint32_t pixels) {
  if (pixels == 0) return {0.0, 0.0};
  const int white_first = kHistogramBins - kExtremeBins;
  const uint64_t black = std::max(SumBins(left_histogram, 0, kExtremeBins), SumBins(right_histogram, 0, kExtremeBins));
  const uint64_t white =
      std::max(SumBins(left_histogram, white_first, kExtremeBins), SumBins(right_histogram, white_first, kExtremeBins));
  return {static_cast<double>(black) / pixels, static_cast<double>(white) / pixels};
}

PidOutcome PidStep(const tagCamExposureConfiguration& config, PidState* state, const Shares& shares, int gain,
                   int time, int gain_min, int time_min) {
  const double k = config.image_black_percentage_k;
  const double ki = config.image_ki;
  PidOutcome out{};
  out.error = config.image_set_point - (shares.black * k - shares.white);
  // The integral is held within [-k/ki, 1/ki]; with no integral gain there is no integral term,
  // which keeps every value finite.
  double integral_term = 0.0;
  if (ki != 0.0) {
    const double a = -k / ki;
    const double b = 1.0 / ki;
    state->integral = std::clamp(state->integral + out.error, std::min(a, b), std::max(a, b));
    integral_term = ki * state->integral;
  }
  out.derivative = out.error - state->previous_error;
  out.correction = config.image_kp * out.error + integral_term + config.image_kd * out.derivative;
  out.exposure_value = std::log2(time / kTimeDivisor) + std::log2(gain / kGainDivisor);
  double value = out.exposure_value - out.correction;
  if (std::isnan(value)) value = 0.0;
  out.set_value = std::clamp(value, 0.0, kMaxExposureValue);
  out.gain_value = std::min(out.set_value, kGainExposureValueLimit);
  out.gain = static_cast<int>(std::exp2(out.gain_value) * gain_min);
  out.time = out.set_value > kGainExposureValueLimit
                 ? static_cast<int>(std::exp2(out.set_value - kGainExposureValueLimit) * time_min)
                 : time_min;
  state->previous_error = out.error;
  return out;
}

int LevelStep(int min, int max, int levels) { return levels == 0 ? 0 : (max - min) / levels; }

int KeptGainMax(int reported_max) { return reported_max > kGainMaxOffset ? reported_max - kGainMaxOffset : reported_max; }

int BoxMean(int width, int height, int x, int y, const unsigned char* image) {
  if (image == nullptr || width < 1 + 2 * kBoxRadius || height < 1 + 2 * kBoxRadius) return 0;
  x = std::clamp(x, kBoxRadius, width - 1 - kBoxRadius);
  y = std::clamp(y, kBoxRadius, height - 1 - kBoxRadius);
  int sum = 0;
  for (int dy = -kBoxRadius; dy <= kBoxRadius; ++dy)
    for (int dx = -kBoxRadius; dx <= kBoxRadius; ++dx) sum += image[(y + dy) * width + (x + dx)];
  return sum / kBoxPixels;
}

int Lightness(int width, int height, const unsigned char* image) {
  int sum = 0;
  for (int row = 0; row < kLightnessRows; ++row)
    for (int column = 0; column < kLightnessColumns; ++column) {
      const int y = height / (2 * kLightnessRows) + row * (height / kLightnessRows);
      const int x = width / (2 * kLightnessColumns) + column * (width / kLightnessColumns);
      sum += BoxMean(width, height, x, y, image);
    }
  return sum / (kLightnessRows * kLightnessColumns);
}

bool WithinWarningLimits(const Shares& shares, const tagCamExposureConfiguration& config) {
  return shares.black * kPercent <= config.image_black_warning_percent &&
         shares.white * kPercent <= config.image_white_warning_percent;
}

int64_t OutOfServiceFrames(const tagCamExposureConfiguration& config) {
  const int64_t frames =
      static_cast<int64_t>(config.frame_rate) * static_cast<int64_t>(config.image_out_of_service_sec);
  return std::max<int64_t>(frames, 1);
}

}  // namespace exposure
