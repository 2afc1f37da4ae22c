// Bands of whole straight lines through a rectangle of pixels, for the stages that run lines independently.
#pragma once

#include <algorithm>
#include <iterator>

#include "sgm_types.h"

// Lines [first, last).
struct SgmLineRange {
  long first;
  long last;
};

// The lines y * row_weight + x * column_weight that cross `area` (not empty): from the smallest to one past the
// largest over its corners.
inline SgmLineRange sgm_area_lines(const SgmArea& area, long row_weight, long column_weight) {
  auto line = [&](long y, long x) { return y * row_weight + x * column_weight; };
  const long corners[] = {line(area.row_begin, area.column_begin), line(area.row_begin, area.column_end - 1),
                          line(area.row_end - 1, area.column_begin), line(area.row_end - 1, area.column_end - 1)};
  return {*std::min_element(std::begin(corners), std::end(corners)),
          *std::max_element(std::begin(corners), std::end(corners)) + 1};
}

// Bands of `per_band` lines that cover `lines`.
inline long sgm_band_count(const SgmLineRange& lines, long per_band) {
  return (lines.last - lines.first + per_band - 1) / per_band;
}

// Band `band` of the bands of `per_band` lines from the first of `lines`, cut off at their end (empty past it).
inline SgmLineRange sgm_line_band(const SgmLineRange& lines, long band, long per_band) {
  const long first = lines.first + band * per_band;
  return {first, std::min(first + per_band, lines.last)};
}
