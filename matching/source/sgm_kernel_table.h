// The table of one form of the inner loops, for the instruction-set file that instantiates it with its lanes.
#pragma once

#include "sgm_kernel_forms.h"
#include "sgm_sweep_passes.h"

namespace sgm_forms {

template <class V>
constexpr SgmKernels kernel_table() {
  return SgmKernels{recurrence<V>,
                    minimum<V>,
                    winner<V>,
                    ByteCosts<V>::kFunction,
                    Census64<V>::kFunction,
                    {row_pass<V, uint16_t, false>, row_pass<V, uint8_t, false>, row_pass<V, uint8_t, true>},
                    {band_pass<V, uint16_t, false>, band_pass<V, uint8_t, false>, band_pass<V, uint8_t, true>}};
}

}  // namespace sgm_forms
