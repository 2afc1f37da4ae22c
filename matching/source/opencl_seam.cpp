// OpenCL hand-over points of the matcher: set-up at init, GPU pipeline frames and the GPU census cost.
#include "opencl_seam.h"

#include <cstdio>

#include "cl_census.h"
#include "cl_pipeline_state.h"
#include "cl_pipelines.h"
#include "cl_runtime.h"
#include "sgm_state.h"

namespace {

constexpr int64_t kIntervalSampling = 1;
constexpr int64_t kDisparities16 = 16;
constexpr int64_t kDisparities32 = 32;
constexpr unsigned long kAllSelected = ~0UL;

// The pipeline that takes every frame of this mode and disparity range, if any.
ClPipelineOwner PipelineFor(int64_t mode, int64_t d_range) {
  if (d_range == kDisparities32)
    return mode == kIntervalSampling ? ClPipelineOwner::kIntervalSampling : ClPipelineOwner::kNormalSampling32;
  if (d_range == kDisparities16 && mode != kIntervalSampling) return ClPipelineOwner::kDisparity16;
  return ClPipelineOwner::kNone;
}

// Exactly one pipeline set-up, for the mode and disparity range of the record.
void set_up_pipeline(const tagSGMParameterSet& set, unsigned short* path_costs) {
  const int64_t d_range = static_cast<int64_t>(set.disparity_max) - set.disparity_min;
  if (set.image_interval_sampling == kIntervalSampling) {
    clInervalSamplingSgmInit(set, path_costs);
  } else if (d_range == kDisparities16) {
    clSgmInitDisparity16(set, path_costs);
  } else if (d_range == kDisparities32) {
    clNormalSamplingSgmInit(set, path_costs);
  } else {
    cl_sgm_init(set);
  }
}

}  // namespace

void (*tessaro_opencl_startup)(unsigned long platform_mask, unsigned long device_mask) = clInit;

void tessaro_opencl_init(const tagSGMParameterSet& set, unsigned short* path_costs) {
  clPipelineOwner = ClPipelineOwner::kNone;
  if (set.opencl_enable) {
    // A failing step is reported and ends the process like every other OpenCL step, rather than leaving
    // half-made buffers behind.
    clCatch(tessaro_opencl_startup, kAllSelected, kAllSelected);
    clCatch(set_up_pipeline, set, path_costs);
    return;
  }
  // A camera that matches on the processors must not end for a GPU runtime it never uses.
  try {
    tessaro_opencl_startup(kAllSelected, kAllSelected);
    set_up_pipeline(set, path_costs);
  } catch (const cl::Error& error) {
    clPipelineOwner = ClPipelineOwner::kNone;
    const int status = error.err();
    std::fprintf(stderr,
                 "libtessaro: OpenCL start-up failed: %s (%d) in %s; opencl_enable is off, every frame is matched on "
                 "the CPU\n",
                 clGetErrorCode(status).c_str(), status, error.what());
  }
}

bool tessaro_opencl_process(unsigned char* out, const unsigned char* left, const unsigned char* right) {
  const tagClPipelineParameters& p = clPipelineParameters;
  const int64_t mode = sgm_params.mode;
  unsigned char* err = s_sgm_uniqueness_err;
  const ClPipelineOwner wanted = PipelineFor(mode, sgm_params.disparity_count);
  if (wanted == ClPipelineOwner::kNone) return false;
  // Only a pipeline whose set-up made the current buffers for these very images may run; buffers made
  // for other parameters (a later libtessaro_setparam without init) leave the frame to the CPU path.
  const bool fits = wanted == clPipelineOwner && p.m == sgm_params.source_height && p.n == sgm_params.source_width &&
                    static_cast<int64_t>(p.d_range) == sgm_params.disparity_count;
  if (!fits) return false;
  switch (wanted) {
    case ClPipelineOwner::kIntervalSampling:
      clCatch(clInervalSamplingSgmProcess, left, right, out, static_cast<unsigned long>(mode), err);
      return true;
    case ClPipelineOwner::kNormalSampling32:
      clCatch(clNormalSamplingSgmProcess, left, right, out, static_cast<unsigned long>(mode), err);
      return true;
    case ClPipelineOwner::kDisparity16:
      clCatch(clSgmProcessDisparity16, left, right, out, err);
      return true;
    default:
      return false;
  }
}

bool tessaro_opencl_census(unsigned short* cost, const unsigned char* left, const unsigned char* right) {
  // Only the census-cost set-up sizes the device buffers for this frame's images; any other owner
  // (e.g. the interval-sampling pipeline, whose buffers are for half images) leaves it to the CPU.
  if (clPipelineOwner != ClPipelineOwner::kCensusCost) return false;
  clCatch(cl_calculate_census, cost, left, right);
  return true;
}
