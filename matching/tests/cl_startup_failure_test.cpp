// An OpenCL runtime that fails at start-up ends only a matcher that was asked to use it: with the OpenCL flag
// clear the failure is logged and every frame comes from the CPU path, as it would with a working runtime.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cl_runtime.h"
#include "libtessaro.h"
#include "matcher_test_support.h"
#include "opencl_seam.h"
#include "test_images.h"

namespace {

constexpr int kHeight = 48, kWidth = 96;
constexpr int kFrames = 3;  // a full-range frame, then two with the temporal window

// The kernel program fails to build on the real device, as a broken or mismatched runtime does.
void BrokenStartup(unsigned long platforms, unsigned long devices) {
  clInitWithSource(platforms, devices, "__kernel void broken(__global int* a) { a[0] = b; }");
}

std::vector<std::vector<uint8_t>> Frames(const tagSGMParameterSet& set, const TestPair& pair) {
  std::vector<std::vector<uint8_t>> frames;
  libtessaro_init(set);
  for (int frame = 0; frame < kFrames; ++frame) {
    frames.emplace_back(s_sgm_m * s_sgm_n);
    libtessaro_process(frames.back().data(), pair.left.data(), pair.right.data(), true);
  }
  libtessaro_close();
  return frames;
}

TEST(ClStartupFailure, WithOpenclOffTheFailureIsLoggedAndTheCpuMatchesEveryFrame) {
  const TestPair pair = MakeShiftedPair(kHeight, kWidth, 6, 11, 4);
  // D = 32 and 16 have GPU pipelines of their own, D = 24 the GPU census: none may be left half set up.
  for (const int disparities : {32, 16, 24}) {
    SCOPED_TRACE(testing::Message() << "D " << disparities);
    const tagSGMParameterSet set = MatcherParameters(kHeight, kWidth, 0, disparities);
    testing::internal::CaptureStdout();
    const auto working = Frames(set, pair);
    tessaro_opencl_startup = BrokenStartup;
    testing::internal::CaptureStderr();
    const auto broken = Frames(set, pair);
    const std::string log = testing::internal::GetCapturedStderr();
    tessaro_opencl_startup = clInit;
    testing::internal::GetCapturedStdout();
    EXPECT_THAT(log, testing::HasSubstr("OpenCL start-up failed: CL_BUILD_PROGRAM_FAILURE (-11) in clBuildProgram"));
    EXPECT_TRUE(broken == working);
  }
}

TEST(ClStartupFailureDeathTest, WithOpenclOnTheProcessEndsWithTheStatus) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  tagSGMParameterSet set = MatcherParameters(kHeight, kWidth, 0, 24);
  set.opencl_enable = 1;
  EXPECT_EXIT(
      {
        tessaro_opencl_startup = BrokenStartup;
        libtessaro_init(set);
      },
      testing::ExitedWithCode(CL_BUILD_PROGRAM_FAILURE & 0xff),
      "clError: err : CL_BUILD_PROGRAM_FAILURE \\(-11\\)\nclError: what: clBuildProgram\n");
}

}  // namespace
