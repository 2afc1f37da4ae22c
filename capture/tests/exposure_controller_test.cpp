// Tests of the exposure arithmetic: shares, the PID step's limits and the lightness measure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "capture_test_support.h"
#include "exposure_controller.h"

namespace {

using exposure::PidState;
using exposure::PidStep;
using exposure::Shares;

constexpr int kGainMin = 1000000;
constexpr int kTimeMin = 100;

TEST(ExtremeSharesTest, TakesTheLargerShareOfTheTwoImages) {
  std::vector<unsigned int> left(256, 0), right(256, 0);
  left[0] = 30;
  left[4] = 10;
  left[5] = 1000;  // not black
  right[3] = 25;
  left[251] = 5;
  right[255] = 60;
  right[250] = 1000;  // not white
  const Shares shares = exposure::ExtremeShares(left.data(), right.data(), 200);
  EXPECT_DOUBLE_EQ(shares.black, 40.0 / 200);
  EXPECT_DOUBLE_EQ(shares.white, 60.0 / 200);
  const Shares none = exposure::ExtremeShares(left.data(), right.data(), 0);
  EXPECT_EQ(none.black, 0.0);
  EXPECT_EQ(none.white, 0.0);
}

TEST(PidStepTest, UniformlyBlackPairRaisesTheExposure) {
  const tagCamExposureConfiguration config = capture_test::TestExposureConfig();
  PidState state;
  const int gain = 2 * kGainMin;
  const int time = 4 * kTimeMin;
  const auto out = PidStep(config, &state, Shares{1.0, 0.0}, gain, time, kGainMin, kTimeMin);
  EXPECT_DOUBLE_EQ(out.error, config.image_set_point - config.image_black_percentage_k);
  EXPECT_DOUBLE_EQ(out.exposure_value, 3.0);
  EXPECT_GT(out.set_value, out.exposure_value);
  EXPECT_GE(out.gain, gain);
  EXPECT_DOUBLE_EQ(state.previous_error, out.error);
}

TEST(PidStepTest, GainRisesFirstThenTheTime) {
  tagCamExposureConfiguration config = capture_test::TestExposureConfig();
  config.image_ki = 0.0;
  config.image_kp = 1.0;
  PidState state;
  // Set point 2 with no black or white: u = -2, so V = EV + 2.
  config.image_set_point = -2.0;
  auto out = PidStep(config, &state, Shares{0.0, 0.0}, kGainMin, kTimeMin, kGainMin, kTimeMin);
  EXPECT_DOUBLE_EQ(out.set_value, 2.0);
  EXPECT_EQ(out.gain, 4 * kGainMin);
  EXPECT_EQ(out.time, kTimeMin);
  out = PidStep(config, &state, Shares{0.0, 0.0}, 4 * kGainMin, 8 * kTimeMin, kGainMin, kTimeMin);
  EXPECT_DOUBLE_EQ(out.set_value, 7.0);
  EXPECT_EQ(out.gain, static_cast<int>(std::exp2(3.9) * kGainMin));
  EXPECT_EQ(out.time, static_cast<int>(std::exp2(7.0 - 3.9) * kTimeMin));
  EXPECT_DOUBLE_EQ(out.gain_value, 3.9);
}

TEST(PidStepTest, ExposureValueIsHeldBetweenZeroAndTheMaximum) {
  tagCamExposureConfiguration config = capture_test::TestExposureConfig();
  config.image_ki = 0.0;
  config.image_kp = 50.0;
  PidState state;
  auto low = PidStep(config, &state, Shares{0.0, 1.0}, kGainMin, kTimeMin, kGainMin, kTimeMin);
  EXPECT_EQ(low.set_value, 0.0);
  EXPECT_EQ(low.gain, kGainMin);
  EXPECT_EQ(low.time, kTimeMin);
  auto high = PidStep(config, &state, Shares{1.0, 0.0}, kGainMin, kTimeMin, kGainMin, kTimeMin);
  EXPECT_DOUBLE_EQ(high.set_value, exposure::kMaxExposureValue);
  EXPECT_EQ(high.time, static_cast<int>(std::exp2(exposure::kMaxExposureValue - 3.9) * kTimeMin));
}

TEST(PidStepTest, IntegralStaysWithinItsBounds) {
  tagCamExposureConfiguration config = capture_test::TestExposureConfig();
  config.image_ki = 0.05;
  config.image_black_percentage_k = 2.0;
  const double lower = -config.image_black_percentage_k / config.image_ki;
  const double upper = 1.0 / config.image_ki;
  PidState state;
  std::mt19937 random(3);
  std::uniform_real_distribution<double> share(0.0, 1.0);
  for (int i = 0; i < 500; ++i) {
    const bool dark_phase = (i / 100) % 2 == 0;
    const Shares shares = dark_phase ? Shares{share(random), 0.0} : Shares{0.0, share(random)};
    PidStep(config, &state, shares, 3 * kGainMin, 50 * kTimeMin, kGainMin, kTimeMin);
    ASSERT_GE(state.integral, lower);
    ASSERT_LE(state.integral, upper);
  }
}

TEST(PidStepTest, ZeroIntegralGainKeepsEveryValueFinite) {
  tagCamExposureConfiguration config = capture_test::TestExposureConfig();
  config.image_ki = 0.0;
  PidState state;
  for (int i = 0; i < 3; ++i) {
    const auto out = PidStep(config, &state, Shares{0.7, 0.1}, 2 * kGainMin, 10 * kTimeMin, kGainMin, kTimeMin);
    EXPECT_TRUE(std::isfinite(state.integral));
    EXPECT_TRUE(std::isfinite(out.correction));
    EXPECT_TRUE(std::isfinite(out.set_value));
    EXPECT_GE(out.gain, kGainMin);
  }
}

TEST(ControllerLimitsTest, GainMaximumAboveTheOffsetLosesItAfterTheLevelStep) {
  EXPECT_EQ(exposure::LevelStep(1000000, 1000005, 5), 1);
  EXPECT_EQ(exposure::KeptGainMax(1000005), 5);
  EXPECT_EQ(exposure::KeptGainMax(1000000), 1000000);
  EXPECT_EQ(exposure::LevelStep(100, 1100, 0), 0);
  EXPECT_EQ(exposure::LevelStep(100, 1100, 3), 333);
}

// Twelve 3 x 3 means at three rows and four columns, written out directly.
int ReferenceLightness(int w, int h, const std::vector<unsigned char>& image) {
  int total = 0;
  for (int y : {h / 6, h / 6 + h / 3, h / 6 + 2 * (h / 3)})
    for (int x : {w / 8, w / 8 + w / 4, w / 8 + 2 * (w / 4), w / 8 + 3 * (w / 4)}) {
      int sum = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) sum += image[(y + dy) * w + x + dx];
      total += sum / 9;
    }
  return total / 12;
}

TEST(QualityTest, GoodOnlyWithinBothWarningLimits) {
  tagCamExposureConfiguration config{};
  config.image_black_warning_percent = 5.0;
  config.image_white_warning_percent = 30.0;
  EXPECT_TRUE(exposure::WithinWarningLimits({0.05, 0.30}, config));
  EXPECT_FALSE(exposure::WithinWarningLimits({0.0501, 0.0}, config));
  EXPECT_FALSE(exposure::WithinWarningLimits({0.0, 0.3001}, config));
  config.frame_rate = 20;
  config.image_out_of_service_sec = 10;
  EXPECT_EQ(exposure::OutOfServiceFrames(config), 200);
  config.image_out_of_service_sec = 0;
  EXPECT_EQ(exposure::OutOfServiceFrames(config), 1);
}

TEST(LightnessTest, AgreesWithTheTwelvePointMeanOnOddSizes) {
  std::mt19937 random(11);
  std::uniform_int_distribution<int> value(0, 255);
  for (const auto& [w, h] : std::vector<std::pair<int, int>>{{320, 240}, {631, 479}, {33, 17}}) {
    std::vector<unsigned char> image(static_cast<size_t>(w) * h);
    for (auto& pixel : image) pixel = static_cast<unsigned char>(value(random));
    EXPECT_EQ(exposure::Lightness(w, h, image.data()), ReferenceLightness(w, h, image)) << w << "x" << h;
  }
}

TEST(LightnessTest, BoxMeanStaysInsideTheImage) {
  std::vector<unsigned char> image(5 * 4, 0);
  image[0] = 90;  // corner pixel: the box at (0, 0) is moved inside and still sees it
  EXPECT_EQ(calculatemean_value(5, 4, 0, 0, image.data()), 10);
  EXPECT_EQ(calculatemean_value(5, 4, 99, -7, image.data()), 0);
  EXPECT_EQ(calculatemean_value(2, 2, 0, 0, image.data()), 0);
  EXPECT_EQ(calculatemean_value(5, 4, 1, 1, nullptr), 0);
}

}  // namespace
