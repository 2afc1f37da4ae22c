// The matcher's module state and the allocation of its buffers.
#include "sgm_state.h"

#include <algorithm>

#include "sgm_buffer.h"

SgmModuleParameters sgm_params;
uint64_t sgm_frame_count = 0;
unsigned char* sgm_range_flags_current = nullptr;
unsigned char* sgm_range_flags_previous = nullptr;
unsigned char* sgm_prev_disparity = nullptr;
unsigned short* sgm_cost_volume = nullptr;
unsigned short* sgm_path_costs = nullptr;
unsigned short* sgm_cell_minima = nullptr;
uint64_t* sgm_census_left = nullptr;
uint64_t* sgm_census_right = nullptr;
unsigned char* sgm_sampled_left = nullptr;
unsigned char* sgm_sampled_right = nullptr;

long sgm_first_matched_column() {
  const long r = static_cast<long>(sgm_params.window_scale);
  // For disparity_min >= 0 this is disparity_max + r - 1; a negative minimum must not reach left of column r.
  return std::max<long>(sgm_params.disparity_max, sgm_params.disparity_count) + r - 1;
}

SgmArea sgm_census_area() {
  const long r = static_cast<long>(sgm_params.window_scale);
  return {r, static_cast<long>(s_sgm_m) - r, sgm_first_matched_column(), static_cast<long>(s_sgm_n) - r};
}

SgmArea sgm_processed_area() {
  SgmArea area = sgm_census_area();
  area.column_end -= std::max<long>(sgm_params.disparity_min, 0);
  return area;
}

void sgm_free_buffers() {
  sgm_unmap_array(sgm_range_flags_current);
  sgm_unmap_array(sgm_prev_disparity);
  sgm_unmap_array(sgm_range_flags_previous);
  sgm_unmap_array(sgm_cost_volume);
  sgm_unmap_array(sgm_path_costs);
  sgm_unmap_array(sgm_cell_minima);
  sgm_unmap_array(s_sgm_uniqueness_err);
  sgm_unmap_array(sgm_census_left);
  sgm_unmap_array(sgm_census_right);
  sgm_unmap_array(sgm_sampled_left);
  sgm_unmap_array(sgm_sampled_right);
}

void sgm_allocate_buffers() {
  const unsigned long pixels = s_sgm_m * s_sgm_n;
  const unsigned long disparities = static_cast<unsigned long>(sgm_params.disparity_count);
  // Zeroed: the cost volume and the error map are read before anything writes them.
  sgm_range_flags_current = sgm_map_array<unsigned char>(pixels);
  sgm_prev_disparity = sgm_map_array<unsigned char>(pixels);
  sgm_range_flags_previous = sgm_map_array<unsigned char>(pixels);
  sgm_cost_volume = sgm_map_array<unsigned short>(pixels * disparities);
  sgm_path_costs = sgm_map_array<unsigned short>(sgm_params.path_number * sgm_plane_size());
  // Kept beside the path costs so that each pixel finds its previous cell's minimum without a search.
  sgm_cell_minima = sgm_map_array<unsigned short>(sgm_params.path_number * pixels);
  s_sgm_uniqueness_err = sgm_map_array<unsigned char>(pixels);
  // The census scratch lives as long as the other buffers: a fresh allocation per frame costs more than
  // the transform itself. Each frame writes the same pixels, so the others stay zero.
  const unsigned long words = pixels * sgm_census_words(sgm_params.window_scale);
  sgm_census_left = sgm_map_array<uint64_t>(words);
  sgm_census_right = sgm_map_array<uint64_t>(words);
  if (sgm_params.mode == kIntervalSamplingMode) {
    sgm_sampled_left = sgm_map_array<unsigned char>(pixels);
    sgm_sampled_right = sgm_map_array<unsigned char>(pixels);
  }
}
