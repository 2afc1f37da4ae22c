// Dynamic calibration: a calibration file generated from the calibration parameter file (the stereo
// camera model) at the colour and the grey resolution, then loaded as the module's calibration.
#include <string>

#include "board/board_root.h"
#include "calibrater_dynamic.h"
#include "calibrater_image.h"
#include "calibrater_maps.h"
#include "calibrater_state.h"

using namespace calibrater;

namespace {

// Header values of every generated file.
constexpr const char* kGeneratedVersion = "1.0";
constexpr double kGeneratedBaseline = 15.0;
constexpr int kGeneratedDisparityRange = 32;
constexpr int kGreyWidth = kRawWidth / 2;
constexpr int kGreyHeight = kRawHeight / 2;
const char* const kTypeLetters[] = {"a", "b", "c"};

// The stereo camera model of the parameter file.
struct CameraModel {
  std::string type_text;
  cv::Mat left_intrinsic, left_discoeffs, right_intrinsic, right_discoeffs, rotation, transformation;
};

bool HasCase(const std::string& text, char lower) {
  return text.find(lower) != std::string::npos || text.find(static_cast<char>(lower - 'a' + 'A')) != std::string::npos;
}

// Sensor type from its letter, a before b before c; -1 when none is present.
int TypeFromText(const std::string& text) {
  if (HasCase(text, 'a')) return kZuqTypeA;
  if (HasCase(text, 'b')) return kZuqTypeB;
  if (HasCase(text, 'c')) return kZuqTypeC;
  return -1;
}

bool IsNumericMatrix(const cv::Mat& m, int rows, int cols) {
  return m.dims == 2 && m.channels() == 1 && m.rows == rows && m.cols == cols && m.depth() != CV_16F &&
         cv::checkRange(m);
}

// Distortion terms OpenCV accepts, as one row or one column; a row of 14 is cut to 12 later.
bool IsDistortion(const cv::Mat& m) {
  if (m.dims != 2 || m.channels() != 1 || m.depth() == CV_16F || !cv::checkRange(m)) return false;
  if (m.rows != 1 && m.cols != 1) return false;
  const int terms = static_cast<int>(m.total());
  return terms == 4 || terms == 5 || terms == 8 || terms == 12 || terms == 14;
}

// Names the first matrix of the model that does not have the shape of its role, or null.
const char* BadMatrix(const CameraModel& model) {
  if (!IsNumericMatrix(model.left_intrinsic, 3, 3)) return "left_intrinsic";
  if (!IsNumericMatrix(model.right_intrinsic, 3, 3)) return "right_intrinsic";
  if (!IsDistortion(model.left_discoeffs)) return "left_discoeffs";
  if (!IsDistortion(model.right_discoeffs)) return "right_discoeffs";
  if (!IsNumericMatrix(model.rotation, 3, 3)) return "rotation";
  if (!IsNumericMatrix(model.transformation, 3, 1) && !IsNumericMatrix(model.transformation, 1, 3))
    return "transformation";
  return nullptr;
}

int ReadModel(const char* parameter_path, CameraModel& model) {
  cv::FileStorage storage;
  if (!OpenStorage(parameter_path, storage)) {
    CALIBRATER_PRINT("ERROR Error: can not find camera calibration parameter file :%s\n\n",
                     parameter_path ? parameter_path : "(null)");
    return CALIBRATER_FILE_NOT_FOUND;
  }
  try {
    storage["zuq_type"] >> model.type_text;
    storage["left_intrinsic"] >> model.left_intrinsic;
    storage["right_intrinsic"] >> model.right_intrinsic;
    storage["left_discoeffs"] >> model.left_discoeffs;
    storage["right_discoeffs"] >> model.right_discoeffs;
    storage["rotation"] >> model.rotation;
    storage["transformation"] >> model.transformation;
  } catch (const cv::Exception& error) {
    CALIBRATER_PRINT("ERROR calibration parameter file unreadable: %s\n\n", error.what());
    return CALIBRATER_BAD_DATA;
  }
  return CALIBRATER_OK;
}

int WriteFile(const char* output_path, int zuq_type, const CameraModel& model, int shift, int focal_length,
              double stretch, int horizontal_translation, int vertical_translation) {
  cv::FileStorage output;
  try {
    if (output_path == nullptr || !output.open(output_path, cv::FileStorage::WRITE)) {
      CALIBRATER_PRINT("ERROR cannot write dynamic calibration file :%s\n\n", output_path ? output_path : "(null)");
      return CALIBRATER_FILE_NOT_FOUND;
    }
    output << "version" << kGeneratedVersion << "zuq_type" << kTypeLetters[zuq_type];
    output << "yuv_image_width" << kRawWidth << "yuv_image_height" << kRawHeight;
    output << "baseline" << kGeneratedBaseline << "focal_length" << focal_length;
    output << "disparity_shift" << shift << "disparity_range" << kGeneratedDisparityRange;
  } catch (const cv::Exception& error) {
    CALIBRATER_PRINT("ERROR cannot write dynamic calibration file: %s\n\n", error.what());
    return CALIBRATER_FILE_NOT_FOUND;
  }
  int result = StereoRectify(&output, kRawWidth, kRawHeight, zuq_type, shift, 2 * focal_length, stretch,
                             horizontal_translation, vertical_translation, model.left_intrinsic, model.left_discoeffs,
                             model.right_intrinsic, model.right_discoeffs, model.rotation, model.transformation);
  if (result != CALIBRATER_OK) {
    CALIBRATER_PRINT("ERROR StereoRectify 640 * 480 failed, Result:%d\n\n", result);
  } else {
    result = StereoRectify(&output, kGreyWidth, kGreyHeight, zuq_type, shift, focal_length, stretch,
                           horizontal_translation, vertical_translation, model.left_intrinsic, model.left_discoeffs,
                           model.right_intrinsic, model.right_discoeffs, model.rotation, model.transformation);
    if (result != CALIBRATER_OK) CALIBRATER_PRINT("ERROR StereoRectify 320 * 240 failed, Result:%d\n\n", result);
  }
  try {
    output.release();
  } catch (const cv::Exception& error) {
    CALIBRATER_PRINT("ERROR cannot write dynamic calibration file: %s\n\n", error.what());
    if (result == CALIBRATER_OK) result = CALIBRATER_FILE_NOT_FOUND;
  }
  return result;
}

}  // namespace

extern "C" {

int GenerateDynamicCalibrationFile(const char* parameter_path, const char* output_path, int, int, int shift,
                                   int focal_length, double stretch, int horizontal_translation,
                                   int vertical_translation) {
  CALIBRATER_PRINT("INFO  dynamic calibration start\n\n");
  CameraModel model;
  int result = ReadModel(parameter_path, model);
  if (result != CALIBRATER_OK) return result;
  const int zuq_type = TypeFromText(model.type_text);
  if (zuq_type < 0) {
    CALIBRATER_PRINT("ERROR ZUQ does not support type:%s\n\n", model.type_text.c_str());
    return CALIBRATER_BAD_DATA;
  }
  // A model that OpenCV could not use is refused before the output is touched.
  if (const char* bad = BadMatrix(model)) {
    CALIBRATER_PRINT("ERROR calibration parameter %s has the wrong shape or values\n\n", bad);
    return CALIBRATER_BAD_DATA;
  }
  result = WriteFile(output_path, zuq_type, model, shift, focal_length, stretch, horizontal_translation,
                     vertical_translation);
  if (result == CALIBRATER_OK) CALIBRATER_PRINT("INFO  dynamic calibration finished\n\n");
  return result;
}

int CalibraterImageDynamicInit(const char* parameter_path, float offset, int width, int height, int shift,
                               int focal_length, double stretch, int horizontal_translation,
                               int vertical_translation) {
  const std::string output_path = board::MapPath(kDynamicCalibrationPath);
  const int result = GenerateDynamicCalibrationFile(parameter_path, output_path.c_str(), width, height, shift,
                                                    focal_length, stretch, horizontal_translation,
                                                    vertical_translation);
  if (result != CALIBRATER_OK) {
    CALIBRATER_PRINT("ERROR Error: generate dynamic calibration file failed, ret :%d\n\n", result);
    return result;
  }
  return CalibraterImageInit(output_path.c_str(), offset);
}

}  // extern "C"
