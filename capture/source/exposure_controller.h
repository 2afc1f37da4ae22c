// The auto exposure's arithmetic, apart from threads and the camera: black and white shares, the
// PID step from those shares to a new gain and integration time, the lightness measure.
#pragma once

#include <cstdint>

#include "cam_auto_exposure.h"

namespace exposure {

constexpr int kHistogramBins = 256;
constexpr int kExtremeBins = 5;              // bins 0..4 count as black, 251..255 as white
constexpr double kTimeDivisor = 100.0;       // exposure value = log2(T / 100) + log2(G / 1,000,000)
constexpr double kGainDivisor = 1000000.0;
constexpr double kMaxExposureValue = 17.1;
constexpr double kGainExposureValueLimit = 3.9;  // gain carries the exposure value up to here
constexpr int kGainMaxOffset = 1000000;      // subtracted from a reported gain maximum above it

struct Shares {
  double black;  // fraction of nearly black pixels, the larger of the two images
  double white;  // fraction of nearly white pixels, the larger of the two images
};
// Adds every one of `pixels` bytes of a grey image into a 256-bin histogram.
void AddToHistogram(const unsigned char* image, uint64_t pixels, unsigned int* histogram);

// Shares of nearly black and nearly white pixels of an image pair from its histograms.
Shares ExtremeShares(const unsigned int* left_histogram, const unsigned int* right_histogram, uint32_t pixels);

// What survives from one step to the next.
struct PidState {
  double integral = 0.0;
  double previous_error = 0.0;
};

struct PidOutcome {
  double error;
  double derivative;
  double correction;      // u
  double exposure_value;  // EV of the current gain and time
  double set_value;       // V = EV - u, held within 0 .. 17.1
  double gain_value;      // the part of V that the gain carries, min(V, 3.9)
  int gain;
  int time;
};

// One PID step: from the shares and the current gain and time to the next gain and time.
PidOutcome PidStep(const tagCamExposureConfiguration& config, PidState* state, const Shares& shares, int gain,
                   int time, int gain_min, int time_min);

// Per-level step between a minimum and a maximum; 0 when there are no levels.
int LevelStep(int min, int max, int levels);
// The gain maximum as the controller keeps it (a reported maximum above 1,000,000 loses it).
int KeptGainMax(int reported_max);

// Mean of the 3 x 3 pixels around (x, y), integer; the box is held inside the image.
int BoxMean(int width, int height, int x, int y, const unsigned char* image);
// Mean of twelve box means spread over the image (three rows, four columns).
int Lightness(int width, int height, const unsigned char* image);

// Whether a frame is within the warning limits: its black and white shares (fractions) at or
// below the warning percents. Good exposure is reported for such frames only.
bool WithinWarningLimits(const Shares& shares, const tagCamExposureConfiguration& config);
// Consecutive warning frames after which the image is out of service: frame rate x out-of-service
// seconds, at least 1.
int64_t OutOfServiceFrames(const tagCamExposureConfiguration& config);

}  // namespace exposure
