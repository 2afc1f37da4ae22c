// Winner-take-all over the summed path costs, bands of rows on the matcher's pool.
#include "sgm_disparity.h"

#include <algorithm>
#include <vector>

#include "sgm_kernels.h"
#include "sgm_pool.h"
#include "sgm_state.h"

namespace {

constexpr unsigned long kBandsPerThread = 4;  // small bands let a thread that runs late take fewer

}  // namespace

void sgm_calculate_disparity_rows(unsigned char* out, unsigned long begin, unsigned long end) {
  const SgmKernels& kernels = sgm_kernels();
  const unsigned long disparities = static_cast<unsigned long>(sgm_params.disparity_count);
  const unsigned long cell_size = sgm_cell_size();
  const unsigned long plane_size = sgm_plane_size();
  std::vector<unsigned short> sums(disparities);
  for (unsigned long pixel = begin * s_sgm_n; pixel < end * s_sgm_n; ++pixel) {
    // The cheapest sum wins; the lowest index wins ties.
    const unsigned long index = kernels.winner(sgm_path_costs + pixel * cell_size + 1, plane_size,
                                               sgm_params.path_number, disparities, sums.data());
    out[pixel] = static_cast<unsigned char>(sgm_params.disparity_min + static_cast<long>(index));
  }
}

void sgm_calculate_disparity(unsigned char* out) {
  if (s_sgm_m == 0) return;
  SgmPool& pool = sgm_pool();
  const unsigned long bands = std::min(s_sgm_m, pool.threads() * kBandsPerThread);
  const unsigned long rows = (s_sgm_m + bands - 1) / bands;
  pool.Run(bands, [&](unsigned long band) {
    sgm_calculate_disparity_rows(out, std::min(band * rows, s_sgm_m), std::min((band + 1) * rows, s_sgm_m));
  });
}
