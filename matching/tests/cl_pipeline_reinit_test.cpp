// Repeated set-ups in one process equal fresh processes; frames the GPU buffers do not fit run on the CPU.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "cl_pipeline_state.h"
#include "cl_pipeline_test_support.h"
#include "cl_test_support.h"
#include "sgm_state.h"
#include "test_support/file_text.h"
#include "test_support/temp_folder.h"

extern char** environ;

namespace {

using pipetest::Frame;
using pipetest::Parameters;

constexpr int kHeight = 48;
constexpr int kWidth = 96;
constexpr int kRadius = 2;
constexpr uint64_t kRatio = 15;
constexpr uint64_t kLrMaxDiff = 1;
constexpr const char* kOutputVariable = "CL_PIPELINE_FRESH_OUTPUT";
constexpr const char* kRangeVariable = "CL_PIPELINE_FRESH_RANGE";

TestPair ReinitPair() { return MakeShiftedPair(kHeight, kWidth, 6, 12, 101); }

// Run only as a child process: one init and one frame, the disparity and error maps written to a file.
TEST(ClPipelineFreshProcess, DISABLED_WriteOneFrame) {
  const char* path = std::getenv(kOutputVariable);
  const char* range = std::getenv(kRangeVariable);
  if (path == nullptr || range == nullptr) GTEST_SKIP() << "run by ClPipelineReinit only";
  const Frame frame = pipetest::Run(Parameters(kHeight, kWidth, std::atoi(range), kRadius, true, kRatio, kLrMaxDiff),
                                    {ReinitPair()})[0];
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(frame.out.data()), static_cast<std::streamsize>(frame.out.size()));
  file.write(reinterpret_cast<const char*>(frame.err.data()), static_cast<std::streamsize>(frame.err.size()));
}

// The disparity map followed by the error map of one frame matched in a new process of this test program.
std::vector<uint8_t> FreshProcessFrame(int d_range) {
  const test_support::TempFolder directory("cl_pipeline_reinit");
  const std::string path = directory.File("frame.bin");
  std::vector<std::string> variables{std::string(kOutputVariable) + "=" + path,
                                     std::string(kRangeVariable) + "=" + std::to_string(d_range)};
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
  for (std::string& variable : variables) environment.push_back(variable.data());
  environment.push_back(nullptr);
  std::string program = "/proc/self/exe";
  std::string filter = "--gtest_filter=ClPipelineFreshProcess.DISABLED_WriteOneFrame";
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* arguments[] = {program.data(), filter.data(), disabled.data(), nullptr};
  pid_t child = 0;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  EXPECT_EQ(posix_spawn(&child, program.c_str(), &actions, nullptr, arguments, environment.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string bytes = test_support::ReadWholeFile(path);
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::vector<uint8_t> Concatenated(const Frame& frame) {
  std::vector<uint8_t> bytes = frame.out;
  bytes.insert(bytes.end(), frame.err.begin(), frame.err.end());
  return bytes;
}

TEST(ClPipelineReinit, EachSetUpMatchesAFreshProcess) {
  const std::vector<uint8_t> fresh32 = FreshProcessFrame(32);
  const std::vector<uint8_t> fresh16 = FreshProcessFrame(16);
  ASSERT_EQ(fresh32.size(), 2u * kHeight * kWidth);
  ASSERT_EQ(fresh16.size(), 2u * kHeight * kWidth);
  ASSERT_NE(fresh32, fresh16);
  const TestPair pair = ReinitPair();
  for (const int d_range : {32, 16, 32}) {
    SCOPED_TRACE(testing::Message() << "D=" << d_range);
    pipetest::Init(Parameters(kHeight, kWidth, d_range, kRadius, true, kRatio, kLrMaxDiff));
    const Frame frame = pipetest::Process(pair);
    EXPECT_EQ(Concatenated(frame), d_range == 32 ? fresh32 : fresh16);
  }
  libtessaro_close();
}

TEST(ClPipelineReinit, TheSameParametersAgainKeepTheDeviceBuffersAndStartThemAfresh) {
  const tagSGMParameterSet set = Parameters(kHeight, kWidth, 32, kRadius, true, kRatio, kLrMaxDiff);
  const TestPair pair = ReinitPair();
  pipetest::Init(set);
  const Frame first = pipetest::Process(pair);
  // Held here, so that no later buffer can take over their handles.
  const cl::Buffer path = clPipelineBuffers.path;
  const cl::Buffer cost = clPipelineBuffers.cost;
  pipetest::Init(set);
  EXPECT_EQ(clPipelineBuffers.path(), path());
  EXPECT_EQ(clPipelineBuffers.cost(), cost());
  // The first frame's path costs are gone: every value is the initial fill again.
  const uint16_t initial = static_cast<uint16_t>((2 * kRadius + 1) * (2 * kRadius + 1) + kMatcherPenalty2);
  const std::vector<uint16_t> planes = cltest::Host<uint16_t>(path, path.getInfo<CL_MEM_SIZE>() / sizeof(uint16_t));
  EXPECT_EQ(std::count(planes.begin(), planes.end(), initial), static_cast<long>(planes.size()));
  EXPECT_EQ(Concatenated(pipetest::Process(pair)), Concatenated(first));
  libtessaro_close();
}

TEST(ClPipelineReinit, NewParametersWithoutSetUpRunOnTheCpu) {
  // The GPU buffers were made for 32 disparities of larger images; after libtessaro_setparam alone
  // they no longer fit (their read-back would overrun the smaller output), and the frame must not
  // reach them. Only CPU frames advance the frame counter.
  constexpr int kSmallerHeight = kHeight / 2;
  const TestPair pair = MakeShiftedPair(kSmallerHeight, kWidth, 6, 6, 103);
  pipetest::Init(Parameters(kHeight, kWidth, 32, kRadius, true));
  libtessaro_setparam(Parameters(kSmallerHeight, kWidth, 32, kRadius, true));
  const Frame frame = pipetest::Process(pair);
  EXPECT_EQ(frame.out.size(), static_cast<size_t>(kSmallerHeight) * kWidth);
  EXPECT_EQ(sgm_frame_count, 1u);
  libtessaro_close();
}

}  // namespace
