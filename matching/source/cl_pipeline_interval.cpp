// Interval-sampling GPU pipeline: asterisk census of every second pixel, eight paths and the uniqueness test.
#include "cl_pipeline_state.h"
#include "cl_pipeline_steps.h"
#include "cl_pipelines.h"
#include "cl_runtime.h"

namespace {

constexpr uint64_t kSamplingStep = 2;          // every second row and column
constexpr uint64_t kInputColumnsPerItem = 16;  // full-size columns per census work item
constexpr cl_mem_flags kCensusWordFlags = CL_MEM_READ_WRITE;

uint64_t HalfRows() { return clPipelineParameters.m / kSamplingStep; }
uint64_t HalfColumns() { return clPipelineParameters.n / kSamplingStep; }

tagClMatchingGrid HalfGrid() {
  // The path region's border at half resolution is ceil(r/2).
  return {HalfRows(), HalfColumns(), (clPipelineParameters.window_scale + 1) / kSamplingStep};
}

void EnqueueAsteriskCensus(const cl::Buffer& words, const cl::Buffer& image) {
  const tagClPipelineParameters& p = clPipelineParameters;
  cl::Kernel census(program, "clCalculateCensusAsterriskWindows");
  census.setArg(0, words);
  census.setArg(1, image);
  census.setArg(2, cl_ulong{p.m});
  census.setArg(3, cl_ulong{p.n});
  census.setArg(4, cl_ulong{p.window_scale});
  clEnqueueRange(census, cl::NDRange(p.n / kInputColumnsPerItem, HalfRows()));
}

}  // namespace

void clInervalSamplingSgmInit(tagSGMParameterSet set, unsigned short* /*path_costs*/) {
  clPipelineOwner = ClPipelineOwner::kNone;
  clStorePipelineParameters(set, ClCensusShape::kAsterisk);
  const uint64_t pixels = HalfRows() * HalfColumns();
  clCreateMatchingBuffers(pixels, kCensusWordFlags);
  clStorePathBuffer(clPipelineBuffers.path, kPathCount, pixels);
  clPipelineOwner = ClPipelineOwner::kIntervalSampling;
}

void clInervalSamplingSgmProcess(const unsigned char* left, const unsigned char* right, unsigned char* out,
                                 unsigned long mode, unsigned char* err) {
  const tagClPipelineParameters& p = clPipelineParameters;
  const tagClPipelineBuffers& b = clPipelineBuffers;
  const tagClMatchingGrid grid = HalfGrid();
  const cl::Buffer left_image = clCreateImageBuffer(left, p.m * p.n);
  const cl::Buffer right_image = clCreateImageBuffer(right, p.m * p.n);

  cl::Kernel reset(program, "clDataInitDisparity");
  clEnqueueCheckReset(reset, grid);
  EnqueueAsteriskCensus(b.census_left, left_image);
  EnqueueAsteriskCensus(b.census_right, right_image);

  cl::Kernel cost(program, "clCalculateAsterriskWindowsCensusCost");
  cost.setArg(0, b.cost);
  cost.setArg(1, b.census_left);
  cost.setArg(2, b.census_right);
  cost.setArg(3, cl_ulong{grid.rows});
  cost.setArg(4, cl_ulong{grid.columns});
  cost.setArg(5, cl_ulong{p.d_range});
  cost.setArg(6, cl_ulong{p.window_scale});
  clEnqueueRange(cost, cl::NDRange(grid.columns, grid.rows));

  for (unsigned path = 0; path < kPathCount; ++path) {
    cl::Kernel aggregate(program, clPathKernelName(path, "").c_str());
    aggregate.setArg(0, b.cost);
    aggregate.setArg(1, b.path);
    aggregate.setArg(2, cl_ulong{grid.rows});
    aggregate.setArg(3, cl_ulong{grid.columns});
    aggregate.setArg(4, cl_ulong{p.d_range});
    aggregate.setArg(5, cl_ulong{p.window_scale});
    aggregate.setArg(6, cl_ushort{p.penalty1});
    aggregate.setArg(7, cl_ushort{p.penalty2});
    aggregate.setArg(8, cl_ulong{mode});
    clEnqueueRange(aggregate, clPathRange(path, grid, p.d_range));
  }

  cl::Kernel select(program, "clCalculateDisparity");
  clEnqueueSelection(select, grid);
  clReadResults(out, err, grid.rows * grid.columns);
}
