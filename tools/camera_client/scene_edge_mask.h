// The pixels of a scene's true disparity where a matcher is not held to the truth: object edges
// and what the right camera cannot see.
#pragma once

#include <opencv2/core.hpp>

namespace camera_client {

// Pixels where the truth (float levels) steps by a level or more, and those the right camera cannot
// see (hidden behind a nearer surface), widened by a margin of 3 pixels; 1 there, 0 elsewhere.
cv::Mat SceneEdgeMask(const cv::Mat& truth);

}  // namespace camera_client
