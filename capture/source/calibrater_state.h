// Module state of the calibration: the parameter block, the remap tables and the lock they share
// with the per-frame remap.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "capture_log.h"

namespace calibrater {

// Source name printed at the head of every line of this module.
constexpr const char* kSourceName = "source/calibrater_image";

// Prints one line "<source> <function> <line> ..." to standard output.
#define CALIBRATER_PRINT(format, ...) CAPTURE_LOG_IN(::calibrater::kSourceName, __func__, format, ##__VA_ARGS__)

// Raw camera frame and the fixed output sizes of the per-frame remap.
constexpr int kRawWidth = 640;
constexpr int kRawHeight = 480;
constexpr int kYCount = kRawWidth * kRawHeight;    // 307,200 luma pixels
constexpr int kVUCount = kYCount / 4;              // 76,800 chroma pixels, also the grey image size
constexpr int kChromaWidth = kRawWidth / 2;        // 320 V,U pairs per row
constexpr int kVersionCapacity = 20;               // 19 characters and a terminating zero

enum ZuqType { kZuqTypeA = 0, kZuqTypeB = 1, kZuqTypeC = 2 };

struct CalibrationParameters {
  int zuq_type = 0;
  float baseline = 0.0f;
  int focal_length = 0;
  int disparity_shift = 0;
  int disparity_range = 0;
  int yuv_image_height = 0;
  int yuv_image_width = 0;
  int depth_image_height = 0;
  int depth_image_width = 0;
  char version[kVersionCapacity] = {};
};

struct FreeDeleter {
  void operator()(int32_t* table) const { std::free(table); }
};
// One index table: malloc'ed, zero-filled, owned by the module.
using Table = std::unique_ptr<int32_t[], FreeDeleter>;

// Allocates a zero-filled table; null when out of memory.
Table AllocateTable(size_t entries);

struct RemapTables {
  int map_height = 0;
  int map_width = 0;
  int y_count = 0;
  int vu_count = 0;
  int gray_count = 0;  // entries of each grey table
  Table left_y_table, right_y_table;
  Table left_vu_table, right_vu_table;
  Table left_gray_table, right_gray_table;
};

// The module's blocks. Both are guarded by TableLock(): a rebuild prepares new tables aside and
// only swaps pointers under it, the per-frame remap holds it while it gathers.
CalibrationParameters& Parameters();
RemapTables& Tables();
std::mutex& TableLock();

}  // namespace calibrater
