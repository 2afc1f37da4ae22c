// Tests of the image histograms, the disparity quality, the error-match percentage and the stopwatch.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "libtessaro.h"
#include "statistics_split.h"
#include "tick_diff.h"

namespace {

// Sets the matcher's image size for one test and restores the module variables afterwards.
class MatcherSize : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_m_ = s_sgm_m;
    saved_n_ = s_sgm_n;
    saved_err_ = s_sgm_uniqueness_err;
  }
  void TearDown() override {
    s_sgm_m = saved_m_;
    s_sgm_n = saved_n_;
    s_sgm_uniqueness_err = saved_err_;
  }
  static void SetSize(unsigned long rows, unsigned long cols) {
    s_sgm_m = rows;
    s_sgm_n = cols;
  }

 private:
  unsigned long saved_m_ = 0, saved_n_ = 0;
  unsigned char* saved_err_ = nullptr;
};

std::vector<unsigned char> RandomImage(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> value(0, 255);
  std::vector<unsigned char> image(size);
  for (auto& pixel : image) pixel = static_cast<unsigned char>(value(random));
  return image;
}

// Reference: a plain count of the first `pixels` bytes into `bins` counters, dropping larger values.
std::vector<unsigned int> ReferenceHistogram(const std::vector<unsigned char>& image, size_t pixels, size_t bins) {
  std::vector<unsigned int> histogram(bins, 0);
  for (size_t i = 0; i < pixels; ++i)
    if (image[i] < bins) ++histogram[image[i]];
  return histogram;
}

using ImageHistograms = MatcherSize;

TEST_F(ImageHistograms, UniformPairCountsAddToTheCallersCounts) {
  SetSize(480, 640);
  const std::vector<unsigned char> image(640 * 480, 7);
  std::vector<unsigned int> left(256, 0), right(256, 0);
  for (unsigned int calls = 1; calls <= 2; ++calls) {
    ASSERT_EQ(CalculateImageValue(image.data(), image.data(), left.data(), right.data()), 0);
    EXPECT_EQ(left[7], calls * 307200u);
    EXPECT_EQ(right[7], calls * 307200u);
  }
  EXPECT_EQ(left[6] + left[8] + right[0] + right[255], 0u);
}

TEST_F(ImageHistograms, OddSizedRandomPairMatchesAPlainCount) {
  for (auto [rows, cols] : {std::pair{479ul, 631ul}, std::pair{10ul, 13ul}, std::pair{1ul, 3ul}, std::pair{25ul, 7ul}}) {
    SetSize(rows, cols);
    // One spare row after the image: it must not be counted.
    const auto left_image = RandomImage((rows + 1) * cols, 1);
    const auto right_image = RandomImage((rows + 1) * cols, 2);
    std::vector<unsigned int> left(256, 0), right(256, 0);
    ASSERT_EQ(CalculateImageValue(left_image.data(), right_image.data(), left.data(), right.data()), 0);
    EXPECT_EQ(left, ReferenceHistogram(left_image, rows * cols, 256)) << rows << " x " << cols;
    EXPECT_EQ(right, ReferenceHistogram(right_image, rows * cols, 256)) << rows << " x " << cols;
  }
}

TEST_F(ImageHistograms, NullPointerCountsNothing) {
  SetSize(4, 4);
  const std::vector<unsigned char> image(16, 9);
  std::vector<unsigned int> left(256, 5), right(256, 5);
  EXPECT_EQ(CalculateImageValue(nullptr, image.data(), left.data(), right.data()), 1);
  EXPECT_EQ(CalculateImageValue(image.data(), nullptr, left.data(), right.data()), 1);
  EXPECT_EQ(CalculateImageValue(image.data(), image.data(), nullptr, right.data()), 1);
  EXPECT_EQ(CalculateImageValue(image.data(), image.data(), left.data(), nullptr), 1);
  EXPECT_EQ(left, std::vector<unsigned int>(256, 5));
  EXPECT_EQ(right, std::vector<unsigned int>(256, 5));
}

TEST_F(ImageHistograms, EmptyImageCountsNothing) {
  SetSize(0, 640);
  std::vector<unsigned int> left(256, 0), right(256, 0);
  const unsigned char pixel = 1;
  EXPECT_EQ(CalculateImageValue(&pixel, &pixel, left.data(), right.data()), 0);
  EXPECT_EQ(left, std::vector<unsigned int>(256, 0));
}

TEST(WorkerRowSplit, TenRowsGiveOneRowToEachSmallWorkerAndTheRestToWorkerFour) {
  using tessaro_statistics::WorkerRows;
  for (unsigned long k = 0; k < 4; ++k) {
    EXPECT_EQ(WorkerRows(10, k).begin, k);
    EXPECT_EQ(WorkerRows(10, k).end, k + 1);
  }
  EXPECT_EQ(WorkerRows(10, 4).begin, 4u);
  EXPECT_EQ(WorkerRows(10, 4).end, 10u);
  EXPECT_EQ(WorkerRows(10, 5).begin, WorkerRows(10, 5).end);
}

TEST(WorkerRowSplit, RangesTileEveryImageHeight) {
  using tessaro_statistics::WorkerRows;
  for (unsigned long rows = 0; rows < 200; ++rows) {
    unsigned long next = 0;
    for (unsigned long k = 0; k < tessaro_statistics::kWorkers; ++k) {
      const auto range = WorkerRows(rows, k);
      ASSERT_EQ(range.begin, next) << rows;
      ASSERT_LE(range.begin, range.end);
      next = range.end;
    }
    EXPECT_EQ(next, rows);
  }
  EXPECT_EQ(WorkerRows(240, 4).end - WorkerRows(240, 4).begin, 100u);
}

using DisparityHistogram = MatcherSize;

TEST_F(DisparityHistogram, ValuesAtOrAboveTheBinCountAreNotCounted) {
  SetSize(37, 41);
  const auto image = RandomImage(37 * 41, 3);
  // Exactly `bins` counters: a value past them would be caught by the address sanitizer.
  for (unsigned long bins : {1ul, 32ul, 255ul, 256ul}) {
    std::vector<unsigned int> histogram(bins, 0);
    auto copy = image;
    ASSERT_EQ(CalculateDisparityImageValue(copy.data(), bins, histogram.data()), 0);
    EXPECT_EQ(histogram, ReferenceHistogram(image, image.size(), bins)) << bins;
  }
}

TEST_F(DisparityHistogram, MoreBinsThanByteValuesLeavesTheUpperBinsAlone) {
  SetSize(3, 5);
  std::vector<unsigned char> image(15, 255);
  std::vector<unsigned int> histogram(300, 0);
  CalculateDisparityImageValue(image.data(), 300, histogram.data());
  EXPECT_EQ(histogram[255], 15u);
  EXPECT_EQ(histogram[256] + histogram[299], 0u);
}

using DisparityQuality = MatcherSize;

// Quality is the share of pixels below the threshold, counted through a histogram of `bins` bins.
TEST_F(DisparityQuality, ShareBelowTheThresholdAmongTheBins) {
  SetSize(8, 12);
  std::vector<unsigned char> quarter_high(96, 5);
  for (int i = 0; i < 24; ++i) quarter_high[i * 4] = static_cast<unsigned char>(32 + i);
  const struct {
    const char* name;
    std::vector<unsigned char> image;
    unsigned long bins, threshold;
    int quality;
  } cases[] = {
      {"a quarter at or above", quarter_high, 256, 32, 75},
      {"all at or above", std::vector<unsigned char>(96, 40), 256, 32, 0},
      {"threshold past the bins", std::vector<unsigned char>(96, 200), 64, 300, 100},
      {"values past the bins are not counted", std::vector<unsigned char>(96, 200), 64, 32, 100},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(GetDisparityImageQuality(c.image.data(), c.bins, c.threshold, 96), c.quality);
  }
}

using ErrorMatch = MatcherSize;

TEST_F(ErrorMatch, PercentageOfUnflaggedPixelsIsTruncated) {
  SetSize(480, 640);
  std::vector<unsigned char> errors(640 * 480, 0);
  s_sgm_uniqueness_err = errors.data();
  EXPECT_EQ(CalculateErrMatch(), 100);
  errors[12345] = 1;
  EXPECT_EQ(CalculateErrMatch(), 100);
  for (size_t i = 0; i < errors.size() / 3; ++i) errors[i] = 255;
  EXPECT_EQ(CalculateErrMatch(), 67);
}

TEST_F(ErrorMatch, NoErrorMapOrNoImageGivesHundred) {
  SetSize(480, 640);
  s_sgm_uniqueness_err = nullptr;
  EXPECT_EQ(CalculateErrMatch(), 100);
  unsigned char flagged = 1;
  s_sgm_uniqueness_err = &flagged;
  SetSize(0, 0);
  EXPECT_EQ(CalculateErrMatch(), 100);
}

TEST(Stopwatch, LabelIsPaddedOrCutToTheWidth) {
  ASSERT_EQ(std::chrono::tick_diff::tick_diff_length, 10);
  std::chrono::tick_diff short_label("remap1");
  EXPECT_EQ(short_label.diff().substr(0, 12), "remap1    : ");
  std::chrono::tick_diff long_label("histogram123");
  const std::string text = long_label.diff();
  EXPECT_EQ(text.substr(0, 12), "histogram1: ");
  EXPECT_GE(std::stod(text.substr(12)), 0.0);
}

}  // namespace
