// Tests that grey-table rebuilds for a new disparity offset never disturb frames being remapped.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "calibration_fixture.h"
#include "calibrater_image.h"
#include "table_probe.h"

using namespace calibration_fixture;
using table_probe::kVUCount;
using table_probe::kYCount;

namespace {

constexpr int kRemaps = 10000;
constexpr int kRebuilds = 50;
constexpr int kRightEvery = 100;

TEST(OffsetRebuild, RemapsSeeOnlyWholeTablesWhileOffsetsAreRebuilt) {
  TempFolder folder;
  const std::string path = folder.File("c.yml");
  WriteCalibration(path, Header(), IdealTurnedMaps());
  ASSERT_EQ(CalibraterImageInit(path.c_str(), 0.0f), 0);

  // The two images a remap may produce: with offset 0 and with offset 3.
  std::vector<unsigned char> frame(kYCount);
  for (int p = 0; p < kYCount; ++p) frame[p] = static_cast<unsigned char>(p * 7 + p / 640);
  std::vector<unsigned char> with_zero(kVUCount), with_three(kVUCount);
  auto source = frame;
  ASSERT_EQ(CalibraterImageProcess(source.data(), with_zero.data(), 0), 0);
  ASSERT_EQ(CalibraterImageGrayInit(path.c_str(), 3.0f), 0);
  ASSERT_EQ(CalibraterImageProcess(source.data(), with_three.data(), 0), 0);
  ASSERT_NE(with_zero, with_three);

  std::atomic<int> failed_rebuilds{0};
  std::thread rebuilder([&] {
    for (int k = 0; k < kRebuilds; ++k)
      if (CalibraterImageGrayInit(path.c_str(), k % 2 == 0 ? 0.0f : 3.0f) != 0) ++failed_rebuilds;
  });
  int torn = 0;
  std::vector<unsigned char> out(kVUCount);
  for (int k = 0; k < kRemaps; ++k) {
    // Mostly the left camera, whose table the offset changes; now and then the right one.
    const int camera = k % kRightEvery == 0 ? 1 : 0;
    ASSERT_EQ(CalibraterImageProcess(source.data(), out.data(), camera), 0);
    if (camera == 0 && out != with_zero && out != with_three) ++torn;
  }
  rebuilder.join();
  EXPECT_EQ(failed_rebuilds.load(), 0);
  EXPECT_EQ(torn, 0);
  CalibraterImageUnInit();
}

}  // namespace
