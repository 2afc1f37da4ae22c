// Reading the rectification maps of a calibration file and turning map values into source offsets.
#include "calibrater_maps.h"

namespace calibrater {

bool OpenStorage(const char* path, cv::FileStorage& storage) {
  if (path == nullptr) return false;
  try {
    return storage.open(path, cv::FileStorage::READ) && storage.isOpened();
  } catch (const cv::Exception&) {
    return false;
  }
}

bool ReadMap(const cv::FileStorage& storage, const char* key, cv::Mat& map) {
  const cv::FileNode node = storage[key];
  if (node.empty() || !node.isMap()) return false;
  node >> map;
  return !map.empty() && map.dims == 2 && map.channels() == 1;
}

bool ReadMapSet(const cv::FileStorage& storage, const char* const keys[4], MapSet& maps) {
  cv::Mat raw[4];
  for (int k = 0; k < 4; ++k) {
    if (!ReadMap(storage, keys[k], raw[k])) {
      CALIBRATER_PRINT("ERROR Axis map %s is missing or not a single-channel matrix\n\n", keys[k]);
      return false;
    }
  }
  for (int k = 1; k < 4; ++k) {
    if (raw[k].size() != raw[0].size()) {
      CALIBRATER_PRINT("ERROR Axis map %s has %d x %d entries, %s has %d x %d\n\n", keys[k], raw[k].rows, raw[k].cols,
                       keys[0], raw[0].rows, raw[0].cols);
      return false;
    }
  }
  raw[0].convertTo(maps.left_x, CV_32S);
  raw[1].convertTo(maps.left_y_float, CV_32F);
  raw[1].convertTo(maps.left_y, CV_32S);
  raw[2].convertTo(maps.right_x, CV_32S);
  raw[3].convertTo(maps.right_y, CV_32S);
  return true;
}

int FillColourTables(int zuq_type, const int32_t* x, const int32_t* y, int32_t* y_table, int32_t* vu_table) {
  int outside = 0;
  for (int i = 0; i < kYCount; ++i) {
    const int index = ColourMapIndex(zuq_type, i / kRawWidth, i % kRawWidth);
    const int sx = x[index], sy = y[index];
    if (InFrame(sx, sy)) {
      y_table[i] = sy * kRawWidth + sx;
    } else {
      y_table[i] = 0;
      if (!IsMarker(sx, sy)) ++outside;
    }
  }
  // Each chroma pixel samples the full-size pixel at the odd row and even column of its 2 x 2 block.
  for (int j = 0; j < kVUCount; ++j) {
    const int index = ColourMapIndex(zuq_type, 2 * (j / kChromaWidth) + 1, 2 * (j % kChromaWidth));
    const int sx = x[index], sy = y[index];
    if (InFrame(sx, sy)) {
      vu_table[j] = (sy / 2) * kRawWidth + (sx / 2) * 2;
    } else {
      vu_table[j] = 0;
      if (!IsMarker(sx, sy)) ++outside;
    }
  }
  return outside;
}

}  // namespace calibrater
