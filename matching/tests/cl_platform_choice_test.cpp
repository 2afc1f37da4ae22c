// The ranking of OpenCL platforms, fed with made-up platform descriptions: a GPU wins over a processor
// runtime with a greater version string, and among equals the greatest version string wins.
#include "cl_platform_choice.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

namespace {

using Indices = std::vector<std::size_t>;

TEST(ClPlatformChoice, AGpuPlatformWinsOverAProcessorRuntimeWithAGreaterVersion) {
  const ClPlatformChoice choice = cl_choose_platforms({{"OpenCL 3.0 PoCL 3.1+debian  Linux", false},
                                                       {"OpenCL 3.0 CUDA 12.4.131", true}});
  EXPECT_TRUE(choice.gpu);
  EXPECT_EQ(choice.newest, "OpenCL 3.0 CUDA 12.4.131");
  EXPECT_EQ(choice.platforms, Indices{1});
}

TEST(ClPlatformChoice, AmongGpuPlatformsTheGreatestVersionStringWinsAndEqualStringsAllContribute) {
  const ClPlatformChoice choice = cl_choose_platforms({{"OpenCL 1.2 vendor A", true},
                                                       {"OpenCL 3.0 PoCL", false},
                                                       {"OpenCL 2.0 vendor B", true},
                                                       {"OpenCL 2.0 vendor B", true},
                                                       {"OpenCL 1.10 vendor C", true}});
  EXPECT_TRUE(choice.gpu);
  EXPECT_EQ(choice.newest, "OpenCL 2.0 vendor B");
  EXPECT_EQ(choice.platforms, (Indices{2, 3}));
  // Byte-wise: 1.10 is below 1.2.
  EXPECT_EQ(cl_choose_platforms({{"OpenCL 1.10", true}, {"OpenCL 1.2", true}}).platforms, Indices{1});
}

TEST(ClPlatformChoice, WithoutAGpuTheNewestPlatformsGiveTheirDefaultDevices) {
  const ClPlatformChoice choice =
      cl_choose_platforms({{"OpenCL 1.2 old runtime", false}, {"OpenCL 3.0 PoCL 3.1", false}});
  EXPECT_FALSE(choice.gpu);
  EXPECT_EQ(choice.newest, "OpenCL 3.0 PoCL 3.1");
  EXPECT_EQ(choice.platforms, Indices{1});
  const ClPlatformChoice none = cl_choose_platforms({});
  EXPECT_EQ(none.newest, "OpenCL 0.0");
  EXPECT_TRUE(none.platforms.empty());
}

}  // namespace
