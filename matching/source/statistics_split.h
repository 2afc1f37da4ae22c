// Row split of the six pinned statistics workers: 24 row units, one each for workers 0-3, ten each for 4 and 5.
#pragma once

#include <algorithm>

namespace tessaro_statistics {

constexpr unsigned long kWorkers = 6;
constexpr unsigned long kRowUnits = 24;
constexpr unsigned long kGreyLevels = 256;

struct RowRange {
  unsigned long begin;
  unsigned long end;
};

// Rows [begin, end) of worker `worker` for an image of `rows` rows; empty past the last row.
inline RowRange WorkerRows(unsigned long rows, unsigned long worker) {
  // First row unit of each worker, and the end of the last one.
  static constexpr unsigned long kFirstUnit[kWorkers + 1] = {0, 1, 2, 3, 4, 14, 24};
  if (rows == 0 || worker >= kWorkers) return {0, 0};
  const unsigned long unit = (rows - 1) / kRowUnits + 1;
  return {std::min(kFirstUnit[worker] * unit, rows), std::min(kFirstUnit[worker + 1] * unit, rows)};
}

}  // namespace tessaro_statistics
