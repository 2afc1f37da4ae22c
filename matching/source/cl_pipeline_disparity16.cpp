// 16-disparity GPU pipeline at full resolution: path costs in four two-plane buffers, kernels made per frame.
#include "cl_pipeline_state.h"
#include "cl_pipeline_steps.h"
#include "cl_pipelines.h"
#include "cl_runtime.h"

namespace {

constexpr uint64_t kPlanesPerPair = 2;  // paths 2j and 2j+1 share path buffer j
constexpr unsigned kPathPairs = 4;
constexpr cl_mem_flags kCensusWordFlags = CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR | CL_MEM_HOST_NO_ACCESS;

}  // namespace

void clSgmInitDisparity16(tagSGMParameterSet set, unsigned short* /*path_costs*/) {
  clPipelineOwner = ClPipelineOwner::kNone;
  clStorePipelineParameters(set, ClCensusShape::kSquare);
  const uint64_t pixels = clPipelineParameters.m * clPipelineParameters.n;
  clCreateMatchingBuffers(pixels, kCensusWordFlags);
  for (cl::Buffer& pair : clPipelineBuffers.path_pairs) clStorePathBuffer(pair, kPlanesPerPair, pixels);
  clPipelineOwner = ClPipelineOwner::kDisparity16;
}

void clSgmProcessDisparity16(const unsigned char* left, const unsigned char* right, unsigned char* out,
                             unsigned char* err) {
  const tagClPipelineParameters& p = clPipelineParameters;
  const tagClPipelineBuffers& b = clPipelineBuffers;
  const tagClMatchingGrid grid{p.m, p.n, p.window_scale};
  const cl::Buffer left_image = clCreateImageBuffer(left, p.m * p.n);
  const cl::Buffer right_image = clCreateImageBuffer(right, p.m * p.n);

  cl::Kernel reset(program, "clDataInitDisparity");
  clEnqueueCheckReset(reset, grid);
  clEnqueueSquareCensus(b.census_left, left_image);
  clEnqueueSquareCensus(b.census_right, right_image);

  cl::Kernel cost(program, "clCalculateCensusCost");
  clSetCensusCostArgs(cost);
  clEnqueueRange(cost, cl::NDRange(p.n, p.m));

  for (unsigned path = 0; path < kPathCount; ++path) {
    cl::Kernel aggregate(program, clPathKernelName(path, "Disparity16").c_str());
    aggregate.setArg(0, b.cost);
    aggregate.setArg(1, b.path_pairs[path / kPlanesPerPair]);
    aggregate.setArg(2, cl_ulong{p.m});
    aggregate.setArg(3, cl_ulong{p.n});
    aggregate.setArg(4, cl_ulong{p.d_range});
    aggregate.setArg(5, cl_ulong{p.window_scale});
    aggregate.setArg(6, cl_ushort{p.penalty1});
    aggregate.setArg(7, cl_ushort{p.penalty2});
    clEnqueueRange(aggregate, clPathRange(path, grid, p.d_range));
  }

  // The selection covers columns 0 .. n-D-1. The last D columns keep the zero of the buffer's creation:
  // with disparity 0 there and no left pixel mapping onto them, the check never flags them for the fill.
  cl::Kernel select(program, "clCalculateDisparityDisparity16");
  for (unsigned pair = 0; pair < kPathPairs; ++pair) select.setArg(pair, b.path_pairs[pair]);
  select.setArg(4, b.disparity);
  select.setArg(5, cl_ulong{p.m});
  select.setArg(6, cl_ulong{p.n});
  select.setArg(7, cl_ulong{p.d_range});
  select.setArg(8, cl_ulong{p.uniqueness_ratio});
  select.setArg(9, b.left_min_cost);
  select.setArg(10, b.uniqueness_flags);
  if (p.n > p.d_range) clEnqueueRange(select, cl::NDRange(p.n - p.d_range, p.m));

  cl::Kernel right_disparity(program, "clCalculateRightDisparity");
  cl::Kernel lr_check(program, "clLRCheckDisparity");
  cl::Kernel fill(program, "clErrMatchProcessDisparity");
  clEnqueueConsistency(right_disparity, lr_check, fill, grid);
  clReadResults(out, err, p.m * p.n);
}
