// The disparity offsets, in sensor rows, that the device applies and the service keeps and loads.
#pragma once

#include <cmath>
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

// Largest offset either way: no disparity the camera reports (one byte) is larger, and the
// grey tables still keep rows of the frame at this shift.
constexpr double kDisparityOffsetLimitRows = 256.0;

// True for a finite offset within the limit either way.
inline bool DisparityOffsetInRange(double offset) {
  return std::isfinite(offset) && std::fabs(offset) <= kDisparityOffsetLimitRows;
}

LIBRARY_EXPORTS_END
