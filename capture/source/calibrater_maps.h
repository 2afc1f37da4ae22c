// Reading the rectification maps of a calibration file and turning map values into source offsets.
#pragma once

#include <opencv2/core.hpp>

#include "calibrater_state.h"

namespace calibrater {

// Opens a calibration file as OpenCV YAML; false when it cannot be opened or parsed.
bool OpenStorage(const char* path, cv::FileStorage& storage);

// Reads one map into `map`: false when the key is missing or not a single-channel 2-D matrix.
// Throws what OpenCV throws for a malformed node; callers catch.
bool ReadMap(const cv::FileStorage& storage, const char* key, cv::Mat& map);

// The four maps of one resolution, converted: x and y maps as signed 32-bit (rounded), with the
// left y map also kept as single-precision floats for the disparity offset.
struct MapSet {
  cv::Mat left_x, left_y, right_x, right_y;
  cv::Mat left_y_float;
};

// Reads the maps under the four keys, checks that they are all present and have one size, and
// converts them. False (with one printed line) for a missing map or mixed sizes.
bool ReadMapSet(const cv::FileStorage& storage, const char* const keys[4], MapSet& maps);

// A map value of x = 640 or y = 480 marks a pixel without source.
inline bool IsMarker(int x, int y) { return x == kRawWidth || y == kRawHeight; }
inline bool InFrame(int x, int y) { return x >= 0 && x < kRawWidth && y >= 0 && y < kRawHeight; }

// Index into a colour map of full-size output pixel (row, column) of the 640-wide colour image:
// type a maps are mirrored left to right, types b and c turned by 90 degrees.
inline int ColourMapIndex(int zuq_type, int row, int column) {
  if (zuq_type == kZuqTypeA) return row * kRawWidth + (kRawWidth - 1 - column);
  return column * kRawHeight + (kRawHeight - 1 - row);
}

// Fills one camera's Y table (kYCount entries) and VU table (kVUCount entries) from integer colour
// maps of 640 x 480 entries. Returns how many entries pointed outside the frame (they become markers).
int FillColourTables(int zuq_type, const int32_t* x, const int32_t* y, int32_t* y_table, int32_t* vu_table);

}  // namespace calibrater
