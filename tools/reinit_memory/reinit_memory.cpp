// Resident memory of a process that sets the matcher up again and again with alternating parameters, as a camera
// does whose configuration changes: every cycle is libtessaro_init, two frames and libtessaro_close.
//   reinit_memory [--opencl] [--cycles N] [--every K]
// --opencl sets the OpenCL flag in both parameter sets (one of them then runs a complete GPU pipeline, the other
// the GPU census cost). Without an OpenCL platform (e.g. OCL_ICD_VENDORS pointing at an empty folder) run it
// without --opencl: the matcher logs the failed start-up and matches on the processors.
// Prints, at cycle 1 and every K cycles, the resident set and the heap figures of the C library, then the growth
// of the resident set from cycle K to the last cycle.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "libtessaro.h"

namespace {

constexpr int kDefaultCycles = 600;
constexpr int kDefaultEvery = 50;
constexpr int kFramesPerCycle = 2;
constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kShift = 10;
constexpr double kBytesPerMegabyte = 1024.0 * 1024.0;

// The first set takes the CPU path (with OpenCL on, its census cost comes from the GPU); the second has a complete
// GPU pipeline of its own (32 disparities). They differ in every buffer size the matcher and the pipelines make.
tagSGMParameterSet parameter_set(int which, bool opencl) {
  tagSGMParameterSet set{};
  set.image_height = kHeight;
  set.image_width = kWidth;
  set.disparity_max = which == 0 ? 64 : 32;
  set.window_scale = 2;
  set.ddr_disparity_range = 16;
  set.path_number = which == 0 ? 4 : 8;
  set.thread_number = 4;
  set.sgm_penalty1 = 10;
  set.sgm_penalty2 = 60;
  set.ddr_threshold = 200;
  set.opencl_enable = opencl ? 1 : 0;
  set.disparity_uniqueness_ratio = 15;
  set.disparity_lr_max_diff = 1;
  return set;
}

// The resident set of this process in megabytes, from /proc/self/status.
double resident_megabytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + std::strlen("VmRSS:"), nullptr) / 1024.0;
  }
  return -1;
}

void print_figures(int cycle) {
  const struct mallinfo2 heap = mallinfo2();
  std::printf("%6d  %9.1f  %12.1f  %12.1f  %10.1f\n", cycle, resident_megabytes(), heap.uordblks / kBytesPerMegabyte,
              heap.arena / kBytesPerMegabyte, heap.hblkhd / kBytesPerMegabyte);
  std::fflush(stdout);
}

int usage() {
  std::fprintf(stderr, "usage: reinit_memory [--opencl] [--cycles N] [--every K]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool opencl = false;
  int cycles = kDefaultCycles;
  int every = kDefaultEvery;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--opencl") {
      opencl = true;
    } else if (argument == "--cycles" && i + 1 < argc) {
      cycles = std::atoi(argv[++i]);
    } else if (argument == "--every" && i + 1 < argc) {
      every = std::atoi(argv[++i]);
    } else {
      return usage();
    }
  }
  if (cycles < 1 || every < 1) return usage();

  cv::Mat right(kHeight, kWidth, CV_8U), left(kHeight, kWidth, CV_8U, cv::Scalar(0));
  cv::randu(right, 0, 256);
  right.colRange(0, kWidth - kShift).copyTo(left.colRange(kShift, kWidth));
  std::vector<unsigned char> out(static_cast<size_t>(kWidth) * kHeight);

  std::printf("%d init/close cycles, %d frames each, %dx%d, D 64 / 4 paths and D 32 / 8 paths alternating, OpenCL %s\n",
              cycles, kFramesPerCycle, kWidth, kHeight, opencl ? "on" : "off");
  std::printf(" cycle  resident MB  heap used MB  heap arena MB  heap mmap MB\n");
  double resident_at_every = 0;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    {
      // clInit reports its inventory on standard output at every init.
      bench::QuietStdout quiet;
      libtessaro_init(parameter_set(cycle % 2, opencl));
      for (int frame = 0; frame < kFramesPerCycle; ++frame)
        libtessaro_process(out.data(), left.data, right.data, frame > 0);
      libtessaro_close();
    }
    if (cycle == 1 || cycle % every == 0 || cycle == cycles) print_figures(cycle);
    if (cycle == every) resident_at_every = resident_megabytes();
  }
  if (cycles > every)
    std::printf("resident growth from cycle %d to cycle %d: %.1f MB\n", every, cycles,
                resident_megabytes() - resident_at_every);
  return 0;
}
