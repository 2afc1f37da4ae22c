// Ranking of the selected OpenCL platforms.
#include "cl_platform_choice.h"

#include <algorithm>

namespace {

constexpr const char* kLowestVersion = "OpenCL 0.0";

}  // namespace

ClPlatformChoice cl_choose_platforms(const std::vector<ClPlatformDescription>& platforms) {
  ClPlatformChoice choice{kLowestVersion, {}, false};
  // A processor runtime often reports a later version than a GPU vendor's; the GPU still goes first.
  choice.gpu = std::any_of(platforms.begin(), platforms.end(),
                           [](const ClPlatformDescription& platform) { return platform.has_gpu; });
  auto candidate = [&](const ClPlatformDescription& platform) { return !choice.gpu || platform.has_gpu; };
  for (const ClPlatformDescription& platform : platforms)
    if (candidate(platform) && platform.version > choice.newest) choice.newest = platform.version;
  for (std::size_t i = 0; i < platforms.size(); ++i)
    if (candidate(platforms[i]) && platforms[i].version == choice.newest) choice.platforms.push_back(i);
  return choice;
}
