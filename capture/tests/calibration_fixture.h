// Test fixture: ideal calibration files with closed-form maps, written into a unique temp folder.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <opencv2/core.hpp>

#include "test_support/temp_folder.h"

namespace calibration_fixture {

// The rectification maps of a calibration file, as they are written.
struct Maps {
  cv::Mat left_x_640, left_y_640, right_x_640, right_y_640;
  cv::Mat left_x_320, left_y_320, right_x_320, right_y_320;
};

// A rows x cols map of element `type` whose entry (r, c) is value(r, c).
template <typename Value>
cv::Mat MapOf(int rows, int cols, int type, Value value) {
  cv::Mat map(rows, cols, CV_32S);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) map.at<int>(r, c) = value(r, c);
  map.convertTo(map, type);
  return map;
}

// Closed-form maps of an ideal type b (or c) module: the colour image is the raw frame, the grey
// image the raw frame sampled at even pixels and turned; the right maps are `shift` grey rows
// further down in the raw frame (twice that in raw rows), limited to the marker 480.
//   colour map (r, c), 640 x 480:  x = r,      y = 479 - c
//   grey map   (r, c), 320 x 240:  x = 2 r,    y = 478 - 2 c
inline Maps IdealTurnedMaps(int shift = 0) {
  Maps maps;
  // The right x maps are copies: tests change single entries of one map.
  maps.left_x_640 = MapOf(640, 480, CV_16S, [](int r, int) { return r; });
  maps.right_x_640 = maps.left_x_640.clone();
  maps.left_y_640 = MapOf(640, 480, CV_16S, [](int, int c) { return 479 - c; });
  maps.right_y_640 = MapOf(640, 480, CV_16S, [shift](int, int c) { return std::min(479 - c + 2 * shift, 480); });
  maps.left_x_320 = MapOf(320, 240, CV_16S, [](int r, int) { return 2 * r; });
  maps.right_x_320 = maps.left_x_320.clone();
  maps.left_y_320 = MapOf(320, 240, CV_32F, [](int, int c) { return 478 - 2 * c; });
  maps.right_y_320 = MapOf(320, 240, CV_16S, [shift](int, int c) { return std::min(478 - 2 * c + 2 * shift, 480); });
  return maps;
}

// Expected grey table entry i of the ideal maps (left camera, no offset).
inline int IdealLeftGreyEntry(int i) {
  const int r = i / 240, c = i % 240;
  return (478 - 2 * c) * 640 + 2 * r;
}

// Header values of a calibration file.
struct Header {
  std::string version = "1.0";
  std::string zuq_type = "b";
  int yuv_image_width = 640;
  int yuv_image_height = 480;
  int baseline = 15;
  int focal_length = 200;
  int disparity_shift = 0;
  int disparity_range = 32;
};

inline void WriteHeader(cv::FileStorage& file, const Header& header) {
  file << "version" << header.version << "zuq_type" << header.zuq_type;
  file << "yuv_image_width" << header.yuv_image_width << "yuv_image_height" << header.yuv_image_height;
  file << "baseline" << header.baseline << "focal_length" << header.focal_length;
  file << "disparity_shift" << header.disparity_shift << "disparity_range" << header.disparity_range;
}

inline void WriteGreyMaps(cv::FileStorage& file, const Maps& maps) {
  file << "left_x_320" << maps.left_x_320 << "left_y_320" << maps.left_y_320;
  file << "right_x_320" << maps.right_x_320 << "right_y_320" << maps.right_y_320;
}

inline void WriteCalibration(const std::string& path, const Header& header, const Maps& maps) {
  cv::FileStorage file(path, cv::FileStorage::WRITE);
  WriteHeader(file, header);
  file << "left_x_640" << maps.left_x_640 << "left_y_640" << maps.left_y_640;
  file << "right_x_640" << maps.right_x_640 << "right_y_640" << maps.right_y_640;
  WriteGreyMaps(file, maps);
}

using test_support::TempFolder;

}  // namespace calibration_fixture
