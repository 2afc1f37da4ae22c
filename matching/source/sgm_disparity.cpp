// Winner-take-all over the summed path costs, on six workers pinned to processors 0 to 5.
#include "sgm_disparity.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "sgm_neon.h"
#include "sgm_state.h"

namespace {

constexpr unsigned long kRowUnits = 24;
constexpr unsigned long kWorkers = 6;
// Row units of each worker: one each for processors 0 to 3, ten each for processors 4 and 5.
constexpr unsigned long kUnitBegin[kWorkers] = {0, 1, 2, 3, 4, 14};
constexpr unsigned long kUnitEnd[kWorkers] = {1, 2, 3, 4, 14, 24};

}  // namespace

void sgm_calculate_disparity_thread(unsigned char* out, unsigned long begin, unsigned long end, unsigned long index) {
  BindThreadToCpu(static_cast<int>(index));
  const unsigned long disparities = static_cast<unsigned long>(sgm_params.disparity_count);
  const unsigned long cell_size = sgm_cell_size();
  const unsigned long plane_size = sgm_plane_size();
  std::vector<unsigned short> sums(disparities);
  for (unsigned long y = begin; y < end; ++y) {
    for (unsigned long x = 0; x < s_sgm_n; ++x) {
      const unsigned long pixel = y * s_sgm_n + x;
      asm_sgm_zero(sums.data(), disparities * sizeof(unsigned short));
      asm_sgm_sum(sgm_path_costs, plane_size, pixel * cell_size + 1, sums.data(), disparities, sgm_params.path_number);
      // The cheapest sum wins; the lowest index wins ties.
      out[pixel] = static_cast<unsigned char>(sgm_params.disparity_min +
                                              static_cast<long>(sgm_min_index(sums.data(), disparities)));
    }
  }
}

void sgm_calculate_disparity(unsigned char* out) {
  if (s_sgm_m == 0) return;
  const unsigned long unit = (s_sgm_m - 1) / kRowUnits + 1;
  std::vector<std::thread> workers;
  for (unsigned long k = 0; k < kWorkers; ++k) {
    const unsigned long begin = std::min(kUnitBegin[k] * unit, s_sgm_m);
    const unsigned long end = std::min(kUnitEnd[k] * unit, s_sgm_m);
    workers.emplace_back(sgm_calculate_disparity_thread, out, begin, end, k);
  }
  for (std::thread& worker : workers) worker.join();
}
