// Per-frame remap: NV21 frames into rectified I420 colour images and Y planes into depth-size grey
// images, one table lookup per output byte.
#include <algorithm>

#include "calibrater_image.h"
#include "calibrater_state.h"

using namespace calibrater;

namespace {

// Fixed layout of the I420 colour output: Y, then U, then V.
constexpr int kUOffset = kYCount;             // 307,200
constexpr int kVOffset = kYCount + kVUCount;  // 384,000

void Gather(const unsigned char* source, const int32_t* table, int count, unsigned char* out) {
  for (int i = 0; i < count; ++i) out[i] = source[table[i]];
}

// Index 0 of every table marks a pixel without source: the first source bytes are made black.
void ZeroMarkers(unsigned char* y, unsigned char* vu) {
  y[0] = 0;
  if (vu != nullptr) vu[0] = vu[1] = 0;
}

bool ValidCamera(int camera) { return camera == 0 || camera == 1; }

}  // namespace

extern "C" {

int CalibraterYUVImageProcess(unsigned char* y, unsigned char* vu, unsigned char* dst, int camera, bool remap) {
  if (y == nullptr || vu == nullptr || dst == nullptr) {
    CALIBRATER_PRINT("ERROR null img address\n");
    return CALIBRATER_BAD_DATA;
  }
  std::lock_guard<std::mutex> hold(TableLock());
  const RemapTables& tables = Tables();
  const int32_t* y_table = nullptr;
  const int32_t* vu_table = nullptr;
  if (ValidCamera(camera)) {
    y_table = (camera == 0 ? tables.left_y_table : tables.right_y_table).get();
    vu_table = (camera == 0 ? tables.left_vu_table : tables.right_vu_table).get();
    if (remap && (y_table == nullptr || vu_table == nullptr || tables.y_count != kYCount ||
                  tables.vu_count != kVUCount)) {
      CALIBRATER_PRINT("ERROR no colour remap table for camera %d\n\n", camera);
      return CALIBRATER_BAD_CAMERA;
    }
  }
  ZeroMarkers(y, vu);
  if (!ValidCamera(camera)) {
    CALIBRATER_PRINT("ERROR Cam id is error\n\n");
    return CALIBRATER_BAD_CAMERA;
  }
  if (remap) {
    Gather(y, y_table, kYCount, dst);
    for (int j = 0; j < kVUCount; ++j) {
      const unsigned char* pair = vu + vu_table[j];
      dst[kUOffset + j] = pair[1];
      dst[kVOffset + j] = pair[0];
    }
  } else {
    std::copy(y, y + kYCount, dst);
    for (int j = 0; j < kVUCount; ++j) {
      dst[kUOffset + j] = vu[2 * j + 1];
      dst[kVOffset + j] = vu[2 * j];
    }
  }
  return CALIBRATER_OK;
}

int CalibraterImageProcess(unsigned char* y, unsigned char* dst, int camera) {
  if (y == nullptr || dst == nullptr) {
    CALIBRATER_PRINT("ERROR null img address\n");
    return CALIBRATER_BAD_DATA;
  }
  std::lock_guard<std::mutex> hold(TableLock());
  const RemapTables& tables = Tables();
  const int32_t* table = nullptr;
  if (ValidCamera(camera)) {
    table = (camera == 0 ? tables.left_gray_table : tables.right_gray_table).get();
    if (table == nullptr) {
      CALIBRATER_PRINT("ERROR no grey remap table for camera %d\n\n", camera);
      return CALIBRATER_BAD_CAMERA;
    }
  }
  ZeroMarkers(y, nullptr);
  if (!ValidCamera(camera)) {
    CALIBRATER_PRINT("ERROR Cam id is error\n\n");
    return CALIBRATER_BAD_CAMERA;
  }
  Gather(y, table, tables.gray_count, dst);
  return CALIBRATER_OK;
}

}  // extern "C"
