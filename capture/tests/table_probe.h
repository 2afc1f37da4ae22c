// Test helper: reads the remap tables back through the per-frame remap, by remapping frames whose
// bytes hold the bytes of each pixel's own offset.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "calibrater_image.h"

namespace table_probe {

constexpr int kYCount = 640 * 480;
constexpr int kVUCount = kYCount / 4;
constexpr int kVUBytes = kYCount / 2;
constexpr int kColourBytes = kYCount * 3 / 2;
constexpr int kOffsetBytes = 3;  // offsets below 2^24
constexpr int kBitsPerByte = 8;

inline std::vector<unsigned char> OffsetByteFrame(int size, int byte) {
  std::vector<unsigned char> frame(size);
  for (int p = 0; p < size; ++p) frame[p] = static_cast<unsigned char>(p >> (kBitsPerByte * byte));
  return frame;
}

// Grey table of one camera.
inline std::vector<int> GreyTable(int camera) {
  std::vector<int> table(kVUCount, 0);
  std::vector<unsigned char> out(kVUCount);
  for (int byte = 0; byte < kOffsetBytes; ++byte) {
    auto frame = OffsetByteFrame(kYCount, byte);
    if (CalibraterImageProcess(frame.data(), out.data(), camera) != 0) return {};
    for (int i = 0; i < kVUCount; ++i) table[i] |= out[i] << (kBitsPerByte * byte);
  }
  return table;
}

// Y table and VU table of one camera.
inline void ColourTables(int camera, std::vector<int>& y_table, std::vector<int>& vu_table) {
  y_table.assign(kYCount, 0);
  vu_table.assign(kVUCount, 0);
  std::vector<unsigned char> out(kColourBytes);
  for (int byte = 0; byte < kOffsetBytes; ++byte) {
    auto y = OffsetByteFrame(kYCount, byte);
    auto vu = OffsetByteFrame(kVUBytes, byte);
    ASSERT_EQ(CalibraterYUVImageProcess(y.data(), vu.data(), out.data(), camera, true), 0);
    for (int i = 0; i < kYCount; ++i) y_table[i] |= out[i] << (kBitsPerByte * byte);
    // The V byte is the pair's first byte: its offset is the table entry.
    for (int j = 0; j < kVUCount; ++j) vu_table[j] |= out[kYCount + kVUCount + j] << (kBitsPerByte * byte);
  }
}

}  // namespace table_probe
