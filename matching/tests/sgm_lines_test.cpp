// Bands of straight lines through an area: every line that crosses it falls in exactly one band.
#include "sgm_lines.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>

namespace {

// Every pixel of `area` counted by the band whose lines hold its line y * row_weight + x * column_weight.
void ExpectEachPixelInOneBand(const SgmArea& area, long row_weight, long column_weight, long per_band) {
  const SgmLineRange lines = sgm_area_lines(area, row_weight, column_weight);
  const long bands = sgm_band_count(lines, per_band);
  std::map<long, int> bands_of_line;
  for (long band = 0; band < bands; ++band) {
    const SgmLineRange own = sgm_line_band(lines, band, per_band);
    EXPECT_LT(own.first, own.last) << "band " << band << " of " << bands << " is empty";
    for (long line = own.first; line < own.last; ++line) ++bands_of_line[line];
  }
  EXPECT_GE(sgm_line_band(lines, bands, per_band).first, lines.last) << "a band past the last holds lines";
  for (long y = area.row_begin; y < area.row_end; ++y)
    for (long x = area.column_begin; x < area.column_end; ++x)
      EXPECT_EQ(bands_of_line[y * row_weight + x * column_weight], 1)
          << "pixel (" << y << ", " << x << ") weights " << row_weight << ", " << column_weight;
  for (const std::pair<const long, int>& entry : bands_of_line) EXPECT_EQ(entry.second, 1) << "line " << entry.first;
}

TEST(LineBands, EveryDirectionsLinesFallInExactlyOneBand) {
  const SgmArea area{3, 17, 5, 29};
  const long weights[][2] = {{0, 1}, {1, 1}, {-1, 1}, {1, 0}, {-1, 0}, {1, -1}, {0, -1}, {-1, -1}};
  for (const auto& w : weights)
    for (long per_band : {1L, 3L, 8L, 64L}) ExpectEachPixelInOneBand(area, w[0], w[1], per_band);
}

TEST(LineBands, ASinglePixelAreaHasOneLineInOneBand) {
  const SgmArea area{4, 5, 9, 10};
  const SgmLineRange lines = sgm_area_lines(area, -1, 1);
  EXPECT_EQ(lines.last - lines.first, 1);
  EXPECT_EQ(sgm_band_count(lines, 16), 1);
  ExpectEachPixelInOneBand(area, -1, 1, 16);
}

}  // namespace
