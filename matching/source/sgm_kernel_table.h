// The table of one form of the inner loops, for the instruction-set file that instantiates it with its lanes: V of
// 16-bit values, B of bytes (see ByteCells).
#pragma once

#include "sgm_kernel_forms.h"
#include "sgm_raster_passes.h"
#include "sgm_sweep_passes.h"

namespace sgm_forms {

template <class V, class B>
constexpr SgmKernels kernel_table() {
  using W = WideCells<V>;
  using C = ByteCells<B>;
  return SgmKernels{
      recurrence<V>,
      minimum<V>,
      winner<V>,
      add_planes<V>,
      first_minimum<V>,
      ByteCosts<V>::kFunction,
      Census64<V>::kFunction,
      {{row_pass<V, W, uint16_t, false>, row_pass<V, W, uint8_t, false>, row_pass<V, W, uint8_t, true>},
       {row_pass<V, C, uint16_t, false>, row_pass<V, C, uint8_t, false>, row_pass<V, C, uint8_t, true>}},
      {{{band_pass<V, W, uint16_t, false, false>, band_pass<V, W, uint8_t, false, false>,
         band_pass<V, W, uint8_t, true, false>},
        {band_pass<V, C, uint16_t, false, false>, band_pass<V, C, uint8_t, false, false>,
         band_pass<V, C, uint8_t, true, false>}},
       {{band_pass<V, W, uint16_t, false, true>, band_pass<V, W, uint8_t, false, true>,
         band_pass<V, W, uint8_t, true, true>},
        {band_pass<V, C, uint16_t, false, true>, band_pass<V, C, uint8_t, false, true>,
         band_pass<V, C, uint8_t, true, true>}}},
      {{{raster_strip<V, W, uint16_t, false>, raster_strip<V, W, uint16_t, true>}, {nullptr, nullptr}},
       {{raster_strip<V, C, uint16_t, false>, raster_strip<V, C, uint16_t, true>},
        {raster_strip<V, C, uint8_t, false>, raster_strip<V, C, uint8_t, true>}}}};
}

}  // namespace sgm_forms
