// Helpers of the OpenCL tests: one program build per process, device copies of host vectors, launches.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "cl_runtime.h"

namespace cltest {

// Builds the kernel program once per test process (the inventory output is swallowed).
inline void EnsureProgram() {
  static bool built = false;
  if (built) return;
  testing::internal::CaptureStdout();
  clInit(~0UL, ~0UL);
  testing::internal::GetCapturedStdout();
  built = true;
}

template <typename T>
cl::Buffer Device(const std::vector<T>& host) {
  return cl::Buffer(context, CL_MEM_READ_WRITE | CL_MEM_COPY_HOST_PTR, host.size() * sizeof(T),
                    const_cast<T*>(host.data()));
}

template <typename T>
std::vector<T> Host(const cl::Buffer& buffer, std::size_t count) {
  std::vector<T> host(count);
  commandQueues.front().enqueueReadBuffer(buffer, CL_TRUE, 0, count * sizeof(T), host.data());
  return host;
}

// Runs kernel `name` with the given arguments over a global range and waits for it.
template <typename... Args>
void Launch(const char* name, const cl::NDRange& global, const cl::NDRange& offset, const Args&... args) {
  cl::Kernel kernel(program, name);
  cl_uint index = 0;
  (kernel.setArg(index++, args), ...);
  commandQueues.front().enqueueNDRangeKernel(kernel, offset, global, cl::NullRange);
  commandQueues.front().finish();
}

template <typename T = uint8_t>
std::vector<T> Random(std::size_t count, unsigned seed, int low, int high) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> value(low, high);
  std::vector<T> values(count);
  for (T& v : values) v = static_cast<T>(value(generator));
  return values;
}

// Square census words of every pixel, one plane per byte; neighbours outside the image count as 1.
inline std::vector<uint8_t> SquareCensus(const std::vector<uint8_t>& image, long m, long n, long r) {
  const long side = 2 * r + 1, planes = (side * side - 1) / 8 + 1;
  std::vector<uint8_t> words(planes * m * n, 0);
  for (long y = 0; y < m; ++y)
    for (long x = 0; x < n; ++x)
      for (long p = 0; p < side * side; ++p) {
        const long yy = y + p / side - r, xx = x + p % side - r;
        const bool outside = yy < 0 || yy >= m || xx < 0 || xx >= n;
        uint8_t& word = words[(p / 8) * m * n + y * n + x];
        word = static_cast<uint8_t>(word << 1 | (outside || image[yy * n + xx] > image[y * n + x]));
      }
  return words;
}

}  // namespace cltest
