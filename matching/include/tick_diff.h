// Stopwatch with a fixed-width label, for timing lines in logs and tools.
#pragma once

#include <cstdint>
#include <string>
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

namespace std {
namespace chrono {

class tick_diff {
 public:
  // Width to which every label is cut or padded with spaces.
  static int64_t tick_diff_length;

  // Starts the stopwatch; the label is cut or padded to tick_diff_length and followed by ": ".
  explicit tick_diff(const std::string& label);

  // The prepared label followed by the seconds since construction (six significant digits).
  // The start is not reset.
  std::string diff();

 private:
  std::string label_;
  int64_t start_ns_;
  double elapsed_s_;
};

}  // namespace chrono
}  // namespace std

LIBRARY_EXPORTS_END
