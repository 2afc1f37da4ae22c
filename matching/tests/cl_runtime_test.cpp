// OpenCL runtime: the error table, the inventory clInit prints, re-initialisation and clCatch's report.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "cl_test_support.h"
#include "test_support/temp_folder.h"

namespace {

TEST(ClErrorTable, HoldsExactlyTheFiftyNineOpenCl12Codes) {
  clErrorCodes.clear();
  clErrorCodesInit();
  EXPECT_EQ(clErrorCodes.size(), 59u);
  for (int code = 0; code >= -19; --code) EXPECT_EQ(clErrorCodes.count(code), 1u) << code;
  for (int code = -30; code >= -68; --code) EXPECT_EQ(clErrorCodes.count(code), 1u) << code;
  EXPECT_EQ(clGetErrorCode(0), "CL_SUCCESS");
  EXPECT_EQ(clGetErrorCode(-4), "CL_MEM_OBJECT_ALLOCATION_FAILURE");
  EXPECT_EQ(clGetErrorCode(-19), "CL_KERNEL_ARG_INFO_NOT_AVAILABLE");
  EXPECT_EQ(clGetErrorCode(-30), "CL_INVALID_VALUE");
  EXPECT_EQ(clGetErrorCode(-68), "CL_INVALID_DEVICE_PARTITION_COUNT");
  for (const auto& [code, name] : clErrorCodes) EXPECT_EQ(name.rfind("CL_", 0), 0u) << code;
}

TEST(ClErrorTable, UnknownCodeGetsAnEmptyEntryAndSetReplaces) {
  clErrorCodesInit();
  EXPECT_EQ(clErrorCodes.count(-1001), 0u);
  EXPECT_EQ(clGetErrorCode(-1001), "");
  EXPECT_EQ(clErrorCodes.count(-1001), 1u);
  clSetErrorCode(-1001, "VENDOR");
  EXPECT_EQ(clGetErrorCode(-1001), "VENDOR");
  clErrorCodesInit();  // overwrites only its own entries
  EXPECT_EQ(clGetErrorCode(-1001), "VENDOR");
  clErrorCodes.erase(-1001);
}

// The labels of clInit's inventory, in the order they must appear for one platform and one device.
TEST(ClInit, PrintsTheInventoryInOrderAndKeepsOneQueueWhenRepeated) {
  for (int run = 0; run < 2; ++run) {
    testing::internal::CaptureStdout();
    clInit(~0UL, ~0UL);
    const std::string printed = testing::internal::GetCapturedStdout();
    std::istringstream lines(printed);
    std::vector<std::string> labels;
    for (std::string line; std::getline(lines, line);) labels.push_back(line.substr(0, line.find(':') + 1));
    const std::vector<std::string> expected = {
        "clPlatformsSize:", "clPlatformCount      :", "clPlatformVendor     :", "clPlatformName       :",
        "clPlatformVersion    :", "clPlatformProfile    :", "clPlatformExtensions :", "",
        "clPlatformVersionMax :", "clPlatformDevicesSize:", "", "clDevicesSize:",
        "clDeviceCount            :", "clDeviceName             :", "clDeviceMaxWorkItemSizes :",
        "clDeviceMaxWorkGroupSize :", "clDeviceAvailable        :", "", "clValidDevicesSize:",
        "clCommandQueuesSize:", ""};
    ASSERT_GE(labels.size(), expected.size()) << printed;
    EXPECT_EQ(std::vector<std::string>(labels.begin(), labels.begin() + expected.size()), expected) << printed;
    EXPECT_NE(printed.find("clPlatformsSize: 1\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(printed, std::regex("clDeviceMaxWorkItemSizes : \\[( [0-9]+){3} \\]\n")));
    EXPECT_NE(printed.find("clCommandQueuesSize: 1\n\n"), std::string::npos);
    EXPECT_EQ(commandQueues.size(), 1u);
  }
  // The queue left after the repeat belongs to the current context and runs work.
  cl::Buffer buffer(context, CL_MEM_READ_WRITE, 64);
  const cl_uchar pattern = 7;
  commandQueues.front().enqueueFillBuffer(buffer, pattern, 0, 64);
  EXPECT_EQ(cltest::Host<uint8_t>(buffer, 64), std::vector<uint8_t>(64, 7));
}

// Runs clInit, or clInitWithSource with `source`, swallowing the inventory.
void QuietInit(const std::string& source = "") {
  testing::internal::CaptureStdout();
  source.empty() ? clInit(~0UL, ~0UL) : clInitWithSource(~0UL, ~0UL, source);
  testing::internal::GetCapturedStdout();
}

TEST(ClInit, ARepeatForTheSameDevicesKeepsTheBuiltProgramAndAnotherSourceIsBuilt) {
  QuietInit();
  // Held here, so that no later object can take over their handles.
  const cl::Program built = program;
  const cl::Context first_context = context;
  const cl::CommandQueue first_queue = commandQueues.front();
  QuietInit();
  EXPECT_EQ(program(), built());
  EXPECT_EQ(context(), first_context());
  EXPECT_EQ(commandQueues.front()(), first_queue());

  QuietInit("__kernel void other(__global int* a) { a[0] = 1; }");
  EXPECT_NE(program(), built());
  EXPECT_NO_THROW(cl::Kernel(program, "other"));
  QuietInit();
  EXPECT_NE(program(), built());
  EXPECT_NO_THROW(cl::Kernel(program, "clDataInitDisparity"));
  EXPECT_EQ(commandQueues.size(), 1u);
}

void ThrowAllocationFailure() { throw cl::Error(CL_MEM_OBJECT_ALLOCATION_FAILURE, "clCreateBuffer"); }

TEST(ClCatchDeathTest, ReportsTheErrorAndExitsWithItsStatus) {
  clErrorCodesInit();
  EXPECT_EXIT(clCatch(ThrowAllocationFailure), testing::ExitedWithCode(252),
              "^clError: err : CL_MEM_OBJECT_ALLOCATION_FAILURE \\(-4\\)\nclError: what: clCreateBuffer\n$");
}

TEST(ClCatch, PassesArgumentsThroughAndOtherExceptionsOn) {
  unsigned long seen = 0;
  clCatch([&seen](unsigned long mask) { seen = mask; }, -1);
  EXPECT_EQ(seen, ~0UL);
  EXPECT_THROW(clCatch([] { throw std::runtime_error("not OpenCL"); }), std::runtime_error);
}

// The death tests below start OpenCL afresh in a re-executed child.
class ClInitDeathTest : public testing::Test {
 protected:
  void SetUp() override { testing::FLAGS_gtest_death_test_style = "threadsafe"; }
};

TEST_F(ClInitDeathTest, NoPlatformWithAnEmptyDriverList) {
  const test_support::TempFolder empty("cl_no_vendors");
  EXPECT_EXIT(
      {
        setenv("OCL_ICD_VENDORS", empty.path().c_str(), 1);
        clCatch(clInit, -1, -1);
      },
      testing::ExitedWithCode(-1001 & 0xff), "clError: err :  \\(-1001\\)\nclError: what: clGetPlatformIDs\n");
}

TEST_F(ClInitDeathTest, NoSelectedPlatformFailsTheContext) {
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        clCatch(clInit, 0, -1);
      },
      testing::ExitedWithCode(CL_INVALID_VALUE & 0xff),
      "clPlatformVersionMax : OpenCL 0.0\n\nclDevicesSize: 0\n\nclValidDevicesSize: 0\n"
      "clError: err : CL_INVALID_VALUE \\(-30\\)\nclError: what: clCreateContext\n");
}

TEST_F(ClInitDeathTest, BuildFailurePrintsTheLogFirst) {
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        clCatch(clInitWithSource, -1, -1, std::string("__kernel void broken(__global int* a) { a[0] = b; }"));
      },
      testing::ExitedWithCode(CL_BUILD_PROGRAM_FAILURE & 0xff),
      "clCommandQueuesSize: 1\n\n(.|\n)*undeclared identifier(.|\n)*\nclError: err : CL_BUILD_PROGRAM_FAILURE \\(-11\\)\n"
      "clError: what: clBuildProgram\n");
}

}  // namespace
