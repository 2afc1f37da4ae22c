// Calibration file: the scalar parameters of the sensor module, the whole-file initialisation and
// the parameter getters.
#include <cstring>
#include <fstream>
#include <string>

#include "calibrater_image.h"
#include "calibrater_maps.h"
#include "calibrater_parse.h"
#include "calibrater_state.h"

using namespace calibrater;

namespace {

// The camera's frame-rate setting, as handed to the camera HAL.
constexpr const char* kFrameRateText = "preview-frame-rate=20;";

bool Contains(const std::string& text, char lower) {
  return text.find(lower) != std::string::npos || text.find(static_cast<char>(lower - 'a' + 'A')) != std::string::npos;
}

// Sensor type from its letter, c before b before a; -1 when none is present.
int TypeFromText(const std::string& text) {
  if (Contains(text, 'c')) {
    CALIBRATER_PRINT("INFO  ReadCalibraterFileConfigZUQ type is c\n\n");
    return kZuqTypeC;
  }
  if (Contains(text, 'b')) {
    CALIBRATER_PRINT("INFO  ReadCalibraterFileConfigZUQ type is b\n\n");
    return kZuqTypeB;
  }
  if (Contains(text, 'a')) {
    CALIBRATER_PRINT("INFO  ZUQ type is a\n\n");
    return kZuqTypeA;
  }
  return -1;
}

int ReadParameters(const cv::FileStorage& storage) {
  std::string version, type_text;
  storage["version"] >> version;
  storage["zuq_type"] >> type_text;
  CalibrationParameters read;
  read.zuq_type = TypeFromText(type_text);
  if (read.zuq_type < 0) {
    CALIBRATER_PRINT("ERROR ZUQ does not support type:%s\n", type_text.c_str());
    return CALIBRATER_BAD_DATA;
  }
  read.yuv_image_width = static_cast<int>(storage["yuv_image_width"]);
  read.yuv_image_height = static_cast<int>(storage["yuv_image_height"]);
  // The colour image is always written into a buffer of one 640 x 480 frame.
  if (read.yuv_image_width != kRawWidth || read.yuv_image_height != kRawHeight) {
    CALIBRATER_PRINT("ERROR yuv image height:%d, width:%d, only %d x %d is supported\n\n", read.yuv_image_height,
                     read.yuv_image_width, kRawHeight, kRawWidth);
    return CALIBRATER_BAD_DATA;
  }
  read.baseline = static_cast<float>(static_cast<int>(storage["baseline"]));
  read.focal_length = static_cast<int>(storage["focal_length"]);
  read.disparity_shift = static_cast<int>(storage["disparity_shift"]);
  read.disparity_range = static_cast<int>(storage["disparity_range"]);
  // Longer version texts are cut to what the parameter block holds.
  std::strncpy(read.version, version.c_str(), kVersionCapacity - 1);

  std::lock_guard<std::mutex> hold(TableLock());
  CalibrationParameters& held = Parameters();
  read.depth_image_height = held.depth_image_height;
  read.depth_image_width = held.depth_image_width;
  held = read;
  CALIBRATER_PRINT(
      "INFO  ReadCalibraterFileConfig, version:%s, zuq_type: %d, baseline:%f, focal length:%d, "
      "disparity shift:%d, disparity range:%d, yuv image height:%d, yuv image width:%d.\n\n",
      held.version, held.zuq_type, static_cast<double>(held.baseline), held.focal_length, held.disparity_shift,
      held.disparity_range, held.yuv_image_height, held.yuv_image_width);
  return CALIBRATER_OK;
}

// Copies one parameter under the lock, so a concurrent grey rebuild is never half-read.
template <typename T>
T Get(T CalibrationParameters::*field) {
  std::lock_guard<std::mutex> hold(TableLock());
  return Parameters().*field;
}

void GetPair(int CalibrationParameters::*first, int CalibrationParameters::*second, int* a, int* b) {
  std::lock_guard<std::mutex> hold(TableLock());
  if (a != nullptr) *a = Parameters().*first;
  if (b != nullptr) *b = Parameters().*second;
}

}  // namespace

namespace calibrater {

int ParseFrameRate(const char* text, int* rate) {
  if (rate == nullptr) return CALIBRATER_NO_FRAME_RATE;
  *rate = 0;
  if (text == nullptr) return CALIBRATER_NO_FRAME_RATE;
  const std::string setting(text);
  const size_t equals = setting.rfind('=');
  const size_t semicolon = setting.find(';');
  if (equals == std::string::npos || semicolon == std::string::npos || semicolon < equals)
    return CALIBRATER_NO_FRAME_RATE;
  *rate = std::atoi(setting.substr(equals + 1, semicolon - equals - 1).c_str());
  return CALIBRATER_OK;
}

}  // namespace calibrater

extern "C" {

int ReadCalibraterFileConfig(const char* path) {
  cv::FileStorage storage;
  if (!OpenStorage(path, storage)) {
    CALIBRATER_PRINT("ERROR Error: can not find camera calibration file :%s\n\n", path ? path : "(null)");
    return CALIBRATER_FILE_NOT_FOUND;
  }
  try {
    return ReadParameters(storage);
  } catch (const cv::Exception& error) {
    CALIBRATER_PRINT("ERROR calibration parameters unreadable: %s\n\n", error.what());
    return CALIBRATER_BAD_DATA;
  }
}

int CalibraterImageInit(const char* path, float offset) {
  if (path == nullptr || !std::ifstream(path).good()) {
    CALIBRATER_PRINT("ERROR Error: can not find camera calibration file :%s\n\n", path ? path : "(null)");
    return CALIBRATER_FILE_NOT_FOUND;
  }
  int result = ReadCalibraterFileConfig(path);
  if (result == CALIBRATER_OK) result = CalibraterImageYUVInit(path);
  if (result == CALIBRATER_OK) result = CalibraterImageGrayInit(path, offset);
  return result;
}

void CalibraterImageUnInit() {
  RemapTables released;
  std::lock_guard<std::mutex> hold(TableLock());
  std::swap(released, Tables());
}

void CalibraterImageGetYUVHeightAndWidth(int* height, int* width) {
  GetPair(&CalibrationParameters::yuv_image_height, &CalibrationParameters::yuv_image_width, height, width);
}

void CalibraterImageGetDepthHeightAndWidth(int* height, int* width) {
  GetPair(&CalibrationParameters::depth_image_height, &CalibrationParameters::depth_image_width, height, width);
}

int CalibraterImageGetZUQType() { return Get(&CalibrationParameters::zuq_type); }
float CalibraterImageGetBaseline() { return Get(&CalibrationParameters::baseline); }
int CalibraterImageGetFocalLength() { return Get(&CalibrationParameters::focal_length); }
int CalibraterImageGetDisparityShift() { return Get(&CalibrationParameters::disparity_shift); }
int CalibraterImageGetDisparityRange() { return Get(&CalibrationParameters::disparity_range); }
int CalibraterImageGetFrameRate(int* rate) { return ParseFrameRate(kFrameRateText, rate); }

int ZUQGetZUQType() { return CalibraterImageGetZUQType(); }
void ZUQGetGetDepthImageHeightAndWidth(int* height, int* width) { CalibraterImageGetDepthHeightAndWidth(height, width); }
void ZUQGetGetYuvImageHeightAndWidth(int* height, int* width) { CalibraterImageGetYUVHeightAndWidth(height, width); }
float ZUQGetBaseline() { return CalibraterImageGetBaseline(); }
int ZUQGetFocalLength() { return CalibraterImageGetFocalLength(); }
int ZUQGetDisparityShift() { return CalibraterImageGetDisparityShift(); }
int ZUQGetDisparityRange() { return CalibraterImageGetDisparityRange(); }
int ZUQGetFrameRate(int* rate) { return CalibraterImageGetFrameRate(rate); }

}  // extern "C"
