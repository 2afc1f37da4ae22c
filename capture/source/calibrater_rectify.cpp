// Rectification maps of one resolution from the stereo camera model, written into a calibration file.
#include <iostream>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "calibrater_dynamic.h"
#include "calibrater_image.h"
#include "calibrater_state.h"

using namespace calibrater;

namespace {

constexpr int kGreyResolutionWidth = 320;   // the depth-size grey maps; others are colour maps
constexpr int kFullDistortionTerms = 14;    // a full distortion row is cut to its first 12 terms
constexpr int kUsedDistortionTerms = 12;

void PrintMatrix(const char* label, const cv::Mat& matrix) { std::cout << label << std::endl << matrix << std::endl; }

// The maps of one resolution: x and y of both cameras.
struct tagIndexMap {
  cv::Mat left_x, left_y, right_x, right_y;
};

// Output element (r, c) = input element (rows - 1 - c, r): the map turned by 90 degrees.
cv::Mat Turn(const cv::Mat& map) {
  cv::Mat flipped, turned;
  cv::flip(map, flipped, 0);
  cv::transpose(flipped, turned);
  return turned;
}

// Limits a map to the frame and its marker value (at most `marker`, values not above 0 become 0).
cv::Mat LimitToFrame(const cv::Mat& map, double marker) {
  cv::Mat limited;
  map.convertTo(limited, CV_32F);
  cv::min(limited, marker, limited);
  cv::threshold(limited, limited, 0.0, 0.0, cv::THRESH_TOZERO);
  return limited;
}

cv::Mat ToInt16(const cv::Mat& map) {
  cv::Mat converted;
  map.convertTo(converted, CV_16S);
  return converted;
}

// Converts a distortion row to double precision, cutting a 14-term row to 12 terms.
cv::Mat DistortionRow(const cv::Mat& coefficients, const char* label) {
  cv::Mat row;
  coefficients.reshape(1, 1).convertTo(row, CV_64F);
  if (row.cols == kFullDistortionTerms) {
    row = row.colRange(0, kUsedDistortionTerms).clone();
    std::cout << "submat " << label << std::endl;
    PrintMatrix(label, row);
  }
  return row;
}

cv::Mat ToDouble(const cv::Mat& matrix) {
  cv::Mat converted;
  matrix.convertTo(converted, CV_64F);
  return converted;
}

void SetProjection(cv::Mat& projection, int column, int row, double value) { projection.at<double>(row, column) = value; }

}  // namespace

extern "C" int StereoRectify(cv::FileStorage* output, int image_width, int image_height, int zuq_type, int shift,
                             int focal_length, double stretch, int horizontal_translation, int vertical_translation,
                             cv::Mat left_intrinsic, cv::Mat left_discoeffs, cv::Mat right_intrinsic,
                             cv::Mat right_discoeffs, cv::Mat rotation, cv::Mat transformation) {
  CALIBRATER_PRINT("INFO  StereoRectify, ImageWidth:%d, ImageHeight:%d, ZuqType:%d\n\n", image_width, image_height,
                   zuq_type);
  CALIBRATER_PRINT("INFO  StereoRectify, DynamicDisparityShift:%d, DynamicFocalLength:%d\n\n", shift, focal_length);
  CALIBRATER_PRINT(
      "INFO  StereoRectify, DynamicStrtchFactor:%lf, DynamicHorizontalTranslation:%d, "
      "DynamicVerticalTranslation:%d\n\n",
      stretch, horizontal_translation, vertical_translation);
  const int w = image_width, h = image_height;
  const int s = w == kGreyResolutionWidth ? shift : 2 * shift;
  if (output == nullptr || !output->isOpened() || w <= 0 || h <= 0 || s < 0) {
    CALIBRATER_PRINT("ERROR StereoRectify, no output or bad size %d x %d with shift %d\n\n", w, h, s);
    return CALIBRATER_BAD_DATA;
  }
  try {
    const cv::Mat k_left = ToDouble(left_intrinsic), k_right = ToDouble(right_intrinsic);
    cv::Mat d_left = DistortionRow(left_discoeffs, "LeftDiscoeffs:");
    cv::Mat d_right = DistortionRow(right_discoeffs, "RightDiscoeffs:");
    const cv::Mat r = ToDouble(rotation), t = ToDouble(transformation);
    PrintMatrix("LeftIntrinsic:", k_left);
    PrintMatrix("LeftDiscoeffs:", d_left);
    PrintMatrix("RightIntrinsic:", k_right);
    PrintMatrix("RightDiscoeffs:", d_right);
    PrintMatrix("Rotation:", r);
    PrintMatrix("Transformation:", t);

    // Types b and c have the baseline along the raw rows: the shift enlarges the rows.
    const bool turned = zuq_type != kZuqTypeA;
    const cv::Size new_size = turned ? cv::Size(w, h + s) : cv::Size(w + s, h);
    cv::Mat r1, r2, p1, p2, q;
    cv::stereoRectify(k_left, d_left, k_right, d_right, cv::Size(kRawWidth, kRawHeight), r, t, r1, r2, p1, p2, q,
                      cv::CALIB_ZERO_DISPARITY, 0, new_size);
    PrintMatrix("Q:", q);
    PrintMatrix("Rl:", r1);
    PrintMatrix("Rr:", r2);
    PrintMatrix("Pl:", p1);
    PrintMatrix("Pr:", p2);
    for (cv::Mat* p : {&p1, &p2}) {
      SetProjection(*p, 0, 0, focal_length);
      SetProjection(*p, 1, 1, focal_length * stretch);
    }
    if (!turned) {
      CALIBRATER_PRINT("ERROR type A zuq not support dynamic calibrate\n\n");
      return CALIBRATER_TYPE_A_DYNAMIC;
    }
    for (cv::Mat* p : {&p1, &p2}) {
      SetProjection(*p, 2, 0, w / 2 + vertical_translation);
      SetProjection(*p, 2, 1, h / 2 - horizontal_translation);
    }
    PrintMatrix("Pl:", p1);
    PrintMatrix("Pr:", p2);

    cv::Mat left_x, left_y, right_x, right_y;
    cv::initUndistortRectifyMap(k_left, d_left, r1, p1, new_size, CV_32FC1, left_x, left_y);
    cv::initUndistortRectifyMap(k_right, d_right, r2, p2, new_size, CV_32FC1, right_x, right_y);
    // The right image is cut s rows further down than the left one.
    const cv::Range columns(0, w), left_rows(0, h), right_rows(s, s + h);
    tagIndexMap maps{Turn(left_x(left_rows, columns)), Turn(left_y(left_rows, columns)),
                     Turn(right_x(right_rows, columns)), Turn(right_y(right_rows, columns))};
    if (zuq_type == kZuqTypeC) {
      maps.right_x = kRawWidth - maps.right_x;
      maps.right_y = kRawHeight - maps.right_y;
    }
    maps.left_x = LimitToFrame(maps.left_x, kRawWidth);
    maps.left_y = LimitToFrame(maps.left_y, kRawHeight);
    maps.right_x = LimitToFrame(maps.right_x, kRawWidth);
    maps.right_y = LimitToFrame(maps.right_y, kRawHeight);
    const bool grey = w == kGreyResolutionWidth;
    // The grey left y map stays in floats: the disparity offset is added to it when it is loaded.
    *output << (grey ? "left_x_320" : "left_x_640") << ToInt16(maps.left_x);
    *output << (grey ? "left_y_320" : "left_y_640") << (grey ? maps.left_y : ToInt16(maps.left_y));
    *output << (grey ? "right_x_320" : "right_x_640") << ToInt16(maps.right_x);
    *output << (grey ? "right_y_320" : "right_y_640") << ToInt16(maps.right_y);
  } catch (const cv::Exception& error) {
    CALIBRATER_PRINT("ERROR StereoRectify, the camera model is unusable: %s\n\n", error.what());
    return CALIBRATER_BAD_DATA;
  }
  return CALIBRATER_OK;
}

extern "C" void opencv_rotate_clockwise_90(const cv::Mat& src, cv::Mat& dst) {
  cv::Mat transposed;
  cv::transpose(src, transposed);
  cv::flip(transposed, dst, 0);
}

extern "C" void opencv_rotate_counterclockwise_90(const cv::Mat& src, cv::Mat& dst) {
  cv::Mat transposed;
  cv::transpose(src, transposed);
  cv::flip(transposed, dst, 1);
}
