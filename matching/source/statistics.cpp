// Grey-level histograms of an image pair and of a disparity image on six pinned workers.
#include <array>
#include <thread>
#include <vector>

#include "libtessaro.h"
#include "sgm_processors.h"
#include "statistics_split.h"

using tessaro_statistics::kGreyLevels;
using tessaro_statistics::kWorkers;
using tessaro_statistics::WorkerRows;

namespace {

using Partial = std::array<unsigned int, kGreyLevels>;

// Pins worker k to the process's processor k (counted round where it has fewer), processor k itself where the
// process has them all; other worker numbers stay unpinned. A failed pin only loses placement.
void PinWorker(unsigned long worker) {
  if (worker >= kWorkers) return;
  const std::vector<int> processors = sgm_process_processors();
  BindThreadToCpu(processors[worker % processors.size()]);
}

// Adds the rows [begin, end) of an n-column image into a 256-level histogram.
void CountRows(const unsigned char* image, unsigned int* histogram, unsigned long begin, unsigned long end) {
  const unsigned long n = s_sgm_n;
  const unsigned char* pixel = image + begin * n;
  const unsigned char* const stop = image + end * n;
  for (; pixel < stop; ++pixel) ++histogram[*pixel];
}

}  // namespace

extern "C" {

void CalculateImageValueThread(const unsigned char* left, const unsigned char* right, unsigned int* left_partial,
                               unsigned int* right_partial, unsigned long begin, unsigned long end,
                               unsigned long worker) {
  PinWorker(worker);
  CountRows(left, left_partial, begin, end);
  CountRows(right, right_partial, begin, end);
}

int CalculateImageValue(const unsigned char* left, const unsigned char* right, unsigned int* left_histogram,
                        unsigned int* right_histogram) {
  if (left == nullptr || right == nullptr || left_histogram == nullptr || right_histogram == nullptr) return 1;
  std::array<Partial, kWorkers> left_partials{};
  std::array<Partial, kWorkers> right_partials{};
  const unsigned long rows = s_sgm_m;
  std::array<std::thread, kWorkers> workers;
  for (unsigned long k = 0; k < kWorkers; ++k) {
    const auto range = WorkerRows(rows, k);
    workers[k] = std::thread(CalculateImageValueThread, left, right, left_partials[k].data(),
                             right_partials[k].data(), range.begin, range.end, k);
  }
  for (auto& worker : workers) worker.join();
  for (unsigned long k = 0; k < kWorkers; ++k) {
    for (unsigned long v = 0; v < kGreyLevels; ++v) {
      left_histogram[v] += left_partials[k][v];
      right_histogram[v] += right_partials[k][v];
    }
  }
  return 0;
}

// Each partial holds all 256 byte values, so no pixel can count outside it; values of `bins` and
// above are dropped when the partials are merged into the caller's array of `bins` counters.
void CalculateDisparityImageValueThread(const unsigned char* image, unsigned int* partial, unsigned long begin,
                                        unsigned long end, unsigned long worker) {
  PinWorker(worker);
  CountRows(image, partial, begin, end);
}

int CalculateDisparityImageValue(unsigned char* image, unsigned long bins, unsigned int* histogram) {
  if (image == nullptr || histogram == nullptr) return 1;
  std::array<Partial, kWorkers> partials{};
  const unsigned long rows = s_sgm_m;
  std::array<std::thread, kWorkers> workers;
  for (unsigned long k = 0; k < kWorkers; ++k) {
    const auto range = WorkerRows(rows, k);
    workers[k] = std::thread(CalculateDisparityImageValueThread, image, partials[k].data(), range.begin,
                             range.end, k);
  }
  for (auto& worker : workers) worker.join();
  const unsigned long counted = std::min<unsigned long>(bins, kGreyLevels);
  for (const auto& partial : partials) {
    for (unsigned long v = 0; v < counted; ++v) histogram[v] += partial[v];
  }
  return 0;
}

void CalculateGrayValueNumber(unsigned char value, unsigned int* histogram) {
  if (histogram != nullptr) ++histogram[value];
}

}  // extern "C"
