// 32-disparity GPU pipeline at full resolution: kernels made once at set-up, fifteen launches a frame.
#include "cl_pipeline_state.h"
#include "cl_pipeline_steps.h"
#include "cl_pipelines.h"
#include "cl_runtime.h"

namespace {

constexpr uint64_t kColumnsPerCensusItem = 16;
constexpr cl_mem_flags kCensusWordFlags = CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR | CL_MEM_HOST_NO_ACCESS;

tagClMatchingGrid FullGrid() {
  const tagClPipelineParameters& p = clPipelineParameters;
  return {p.m, p.n, p.window_scale};
}

// Kernels carry nothing from one frame to the next (every argument is set before each launch), so those an earlier
// set-up made from the current program serve as they are. The last one made tells: they are made in order.
void CreateKernels() {
  tagClPipelineKernels& k = clPipelineKernels;
  const cl::Kernel& last = k.clErrMatchProcessDisparity;
  if (last() != nullptr && last.getInfo<CL_KERNEL_PROGRAM>()() == program()) return;
  k.clDataInitDisparity = cl::Kernel(program, "clDataInitDisparity");
  k.clCalculateCensusWindowsAll = cl::Kernel(program, "clCalculateCensusWindowsAll");
  k.clCalculateCensusCost32 = cl::Kernel(program, "clCalculateCensusCost32");
  for (unsigned path = 0; path < kPathCount; ++path)
    k.clCensusCostPenaltyPathDisparity32[path] = cl::Kernel(program, clPathKernelName(path, "Disparity32").c_str());
  k.clCalculateDisparity = cl::Kernel(program, "clCalculateDisparity");
  k.clCalculateRightDisparity = cl::Kernel(program, "clCalculateRightDisparity");
  k.clLRCheckDisparity = cl::Kernel(program, "clLRCheckDisparity");
  k.clErrMatchProcessDisparity = cl::Kernel(program, "clErrMatchProcessDisparity");
}

// The 32-disparity cost kernel starts one column right of the path region's first column r+D-1;
// that column gets its true cost from the general cost kernel, so the first pixel of every
// left-to-right scan starts from a real cost instead of a cleared entry.
void EnqueueFirstRegionColumnCost() {
  const tagClPipelineParameters& p = clPipelineParameters;
  const uint64_t first_column = p.window_scale + p.d_range - 1;
  if (first_column >= p.n) return;
  cl::Kernel cost(program, "clCalculateCensusCost");
  clSetCensusCostArgs(cost);
  clEnqueueRange(cost, cl::NDRange(1, p.m), cl::NDRange(first_column, 0));
}

}  // namespace

void clNormalSamplingSgmInit(tagSGMParameterSet set, unsigned short* /*path_costs*/) {
  clPipelineOwner = ClPipelineOwner::kNone;
  clStorePipelineParameters(set, ClCensusShape::kSquare);
  const uint64_t pixels = clPipelineParameters.m * clPipelineParameters.n;
  clCreateMatchingBuffers(pixels, kCensusWordFlags);
  clStorePathBuffer(clPipelineBuffers.path, kPathCount, pixels);
  CreateKernels();
  clPipelineOwner = ClPipelineOwner::kNormalSampling32;
}

void clNormalSamplingSgmProcess(const unsigned char* left, const unsigned char* right, unsigned char* out,
                                unsigned long /*mode*/, unsigned char* err) {
  const tagClPipelineParameters& p = clPipelineParameters;
  const tagClPipelineBuffers& b = clPipelineBuffers;
  tagClPipelineKernels& k = clPipelineKernels;
  const tagClMatchingGrid grid = FullGrid();
  const cl::Buffer left_image = clCreateImageBuffer(left, p.m * p.n);
  const cl::Buffer right_image = clCreateImageBuffer(right, p.m * p.n);

  clEnqueueCheckReset(k.clDataInitDisparity, grid);

  // Rows r .. m-1 through a global offset; rows below r never reach the path region.
  cl::Kernel& census = k.clCalculateCensusWindowsAll;
  census.setArg(0, b.census_right);
  census.setArg(1, right_image);
  census.setArg(2, b.census_left);
  census.setArg(3, left_image);
  census.setArg(4, cl_ulong{p.m});
  census.setArg(5, cl_ulong{p.n});
  census.setArg(6, cl_ulong{p.window_scale});
  if (p.m > p.window_scale)
    clEnqueueRange(census, cl::NDRange(p.n / kColumnsPerCensusItem, p.m - p.window_scale),
                   cl::NDRange(0, p.window_scale));

  cl::Kernel& cost = k.clCalculateCensusCost32;
  clSetCensusCostArgs(cost);
  cost.setArg(7, cl_ulong{p.window_scale});
  clEnqueueRange(cost, cl::NDRange(p.n, p.m));
  EnqueueFirstRegionColumnCost();

  for (unsigned path = 0; path < kPathCount; ++path) {
    cl::Kernel& aggregate = k.clCensusCostPenaltyPathDisparity32[path];
    aggregate.setArg(0, b.cost);
    aggregate.setArg(1, b.path);
    aggregate.setArg(2, cl_ulong{p.m});
    aggregate.setArg(3, cl_ulong{p.n});
    aggregate.setArg(4, cl_ulong{p.window_scale});
    aggregate.setArg(5, cl_ushort{p.penalty1});
    aggregate.setArg(6, cl_ushort{p.penalty2});
    clEnqueueRange(aggregate, clPathRange(path, grid, p.d_range));
  }

  clEnqueueSelection(k.clCalculateDisparity, grid);
  clEnqueueConsistency(k.clCalculateRightDisparity, k.clLRCheckDisparity, k.clErrMatchProcessDisparity, grid);
  clReadResults(out, err, p.m * p.n);
}
