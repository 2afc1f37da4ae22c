// OpenCL hand-over points of the matcher: set-up at init and the GPU census cost of the CPU path.
#include "opencl_seam.h"

#include "cl_census.h"
#include "cl_pipeline_state.h"
#include "cl_runtime.h"

namespace {

constexpr int32_t kIntervalSamplingMode = 1;
constexpr int64_t kDisparities16 = 16;
constexpr int64_t kDisparities32 = 32;
constexpr unsigned long kAllSelected = ~0UL;

}  // namespace

void tessaro_opencl_init(const tagSGMParameterSet& set, unsigned short* path_costs) {
  (void)path_costs;  // handed to the complete GPU pipelines' set-ups
  clCatch(clInit, kAllSelected, kAllSelected);

  // Exactly one pipeline set-up, run through clCatch like every other OpenCL step.
  clPipelineOwner = ClPipelineOwner::kNone;
  const int64_t d_range = static_cast<int64_t>(set.disparity_max) - set.disparity_min;
  if (set.image_interval_sampling == kIntervalSamplingMode) {
    // Interval-sampling pipeline set-up: arrives with that pipeline.
  } else if (d_range == kDisparities16) {
    // 16-disparity pipeline set-up: arrives with that pipeline.
  } else if (d_range == kDisparities32) {
    // 32-disparity pipeline set-up: arrives with that pipeline.
  } else {
    clCatch(cl_sgm_init, set);
  }
}

bool tessaro_opencl_census(unsigned short* cost, const unsigned char* left, const unsigned char* right) {
  // Only the census-cost set-up sizes the device buffers for this frame's images; any other owner
  // (e.g. the interval-sampling pipeline, whose buffers are for half images) leaves it to the CPU.
  if (clPipelineOwner != ClPipelineOwner::kCensusCost) return false;
  clCatch(cl_calculate_census, cost, left, right);
  return true;
}
