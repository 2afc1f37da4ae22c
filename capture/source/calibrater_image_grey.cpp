// Grey remap tables: the depth-size grey image of each camera, with the disparity offset applied
// to the left camera's rows. Rebuilt aside and swapped in, so frames can be remapped meanwhile.
#include <utility>

#include "calibrater_image.h"
#include "calibrater_maps.h"
#include "calibrater_state.h"

using namespace calibrater;

namespace {

const char* const kGreyMapKeys[4] = {"left_x_320", "left_y_320", "right_x_320", "right_y_320"};

// How the entries of one grey table came out, for the log.
struct GreyTally {
  int outside = 0;    // entries beyond the frame in the file (negative): no source
  int pushed = 0;     // entries that the offset moved beyond the frame: no source
};

// A file value above the marker is a broken map: the whole table is refused (result 8).
bool BeyondMarker(int x, int y) { return x > kRawWidth || y > kRawHeight; }

// Source offset of one entry, 0 for no source.
int32_t Entry(int x, int y, GreyTally& tally, bool moved) {
  if (InFrame(x, y)) return y * kRawWidth + x;
  if (moved) {
    ++tally.pushed;
  } else if (!IsMarker(x, y)) {
    ++tally.outside;
  }
  return 0;
}

// Left table: the offset moves every row that has a source; markers stay markers, a row moved
// above the frame becomes row 0, one moved below it has no source.
int BuildLeft(const MapSet& maps, float offset, int32_t* table, GreyTally& tally) {
  const int32_t* xs = maps.left_x.ptr<int32_t>();
  const int32_t* ys = maps.left_y.ptr<int32_t>();
  const float* ys_float = maps.left_y_float.ptr<float>();
  for (int i = 0; i < kVUCount; ++i) {
    const int x = xs[i], file_y = ys[i];
    if (BeyondMarker(x, file_y)) {
      CALIBRATER_PRINT("DEBUG Camcal: Left axis is error, index: %d, y: %d, x: %d\n", i, file_y, x);
      return CALIBRATER_BAD_DATA;
    }
    // Only an exact marker in the file is one: a value just below it, which rounds to the
    // marker, is an ordinary row that the offset moves like any other (offset first, then rounding).
    if (x == kRawWidth || ys_float[i] == static_cast<float>(kRawHeight)) {
      table[i] = 0;
      continue;
    }
    const int y = cv::saturate_cast<uint16_t>(ys_float[i] + offset);
    table[i] = Entry(x, y, tally, InFrame(x, file_y < 0 ? 0 : file_y));
  }
  return CALIBRATER_OK;
}

int BuildRight(const MapSet& maps, int32_t* table, GreyTally& tally) {
  const int32_t* xs = maps.right_x.ptr<int32_t>();
  const int32_t* ys = maps.right_y.ptr<int32_t>();
  for (int i = 0; i < kVUCount; ++i) {
    const int x = xs[i], y = ys[i];
    if (BeyondMarker(x, y)) {
      CALIBRATER_PRINT("DEBUG Camcal: Right axis is error, index: %d, y: %d, x: %d\n", i, y, x);
      return CALIBRATER_BAD_DATA;
    }
    table[i] = Entry(x, y, tally, false);
  }
  return CALIBRATER_OK;
}

int BuildGreyTables(const cv::FileStorage& storage, float offset) {
  MapSet maps;
  if (!ReadMapSet(storage, kGreyMapKeys, maps)) return CALIBRATER_BAD_DATA;
  const int rows = maps.left_y.rows, cols = maps.left_y.cols;
  if (rows * cols != kVUCount) {
    CALIBRATER_PRINT("ERROR Depth image height: %d, width :%d does not hold %d pixels\n", rows, cols, kVUCount);
    return CALIBRATER_BAD_DATA;
  }
  CALIBRATER_PRINT("DEBUG Depth image height: %d, width :%d, \n", rows, cols);

  Table left = AllocateTable(kVUCount);
  Table right = AllocateTable(kVUCount);
  if (!left || !right) return CALIBRATER_OUT_OF_MEMORY;
  GreyTally tally;
  int result = BuildLeft(maps, offset, left.get(), tally);
  if (result == CALIBRATER_OK) result = BuildRight(maps, right.get(), tally);
  if (result != CALIBRATER_OK) return result;
  if (tally.outside > 0) CALIBRATER_PRINT("ERROR %d grey map entries lie beyond the frame: no source\n", tally.outside);
  if (tally.pushed > 0)
    CALIBRATER_PRINT("DEBUG offset %f moved %d grey entries beyond the frame: no source\n", static_cast<double>(offset),
                     tally.pushed);

  std::lock_guard<std::mutex> hold(TableLock());
  RemapTables& held = Tables();
  std::swap(held.left_gray_table, left);
  std::swap(held.right_gray_table, right);
  held.gray_count = kVUCount;
  Parameters().depth_image_height = rows;
  Parameters().depth_image_width = cols;
  return CALIBRATER_OK;
}

}  // namespace

extern "C" int CalibraterImageGrayInit(const char* path, float offset) {
  cv::FileStorage storage;
  if (!OpenStorage(path, storage)) {
    CALIBRATER_PRINT("ERROR Error: can not find camera calibration file :%s\n\n", path ? path : "(null)");
    return CALIBRATER_FILE_NOT_FOUND;
  }
  try {
    return BuildGreyTables(storage, offset);
  } catch (const cv::Exception& error) {
    CALIBRATER_PRINT("ERROR Axis maps unreadable: %s\n", error.what());
    return CALIBRATER_BAD_DATA;
  }
}
