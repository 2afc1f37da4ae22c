// Two-camera geometry of the simulated stereo sensor module (type b), shared by the calibration
// generator and the camera simulator so that the rectified pair has a known disparity.
#pragma once

namespace board {
namespace sim_module {

// ---------------------------------------------------------------------------------------------
// The module
//
// Two cameras with plausible, slightly different lenses (kLeftLens, kRightLens: focal lengths,
// principal points off the frame centre, radial and tangential distortion) and a small rotation
// between them (kRotationVector). Each sensor delivers raw NV21 frames of kRawWidth x kRawHeight.
// The rectified pair is that of an ideal module: the calibration's rectification undoes the lenses
// and the rotation, and the camera simulator renders the scene in rectified terms, then through
// each lens. The module is type "b": the sensors are mounted turned by 90 degrees, so the baseline
// runs along the raw image's y axis (its rows), and the calibration turns the images back so that
// the matcher sees horizontal disparity.
//
// Camera frame of each sensor: x to the right along raw columns, y down along raw rows, z forward.
// The right camera sits kBaselineCm away from the left one along the left camera's -y axis, so a
// scene point appears kRawFocalLength * baseline / depth rectified raw rows LOWER (larger y) in the
// right view than in the left view. In calibration terms (X_right = R * X_left + T): R is the
// rotation of kRotationVector, T has length kBaselineCm along kBaselineDirection (mostly +y).
// ---------------------------------------------------------------------------------------------

constexpr int kRawWidth = 640;   // raw frame columns (x)
constexpr int kRawHeight = 480;  // raw frame rows (y)

// Focal length in depth-image pixels: the calibration file's "focal_length". The raw frames have
// twice the resolution along both axes, so their focal length is twice this.
constexpr int kFocalLength = 200;
constexpr int kDepthScale = 2;  // raw pixels per depth-image pixel, along both axes
constexpr double kRawFocalLength = double(kFocalLength) * kDepthScale;

// Principal point of the rectified views: the frame centre.
constexpr double kRawPrincipalX = kRawWidth / 2.0;
constexpr double kRawPrincipalY = kRawHeight / 2.0;

// Baseline in centimetres: the calibration file's "baseline" (15.0).
constexpr double kBaselineCm = 15.0;

// One camera's lens in raw pixels: camera matrix terms and OpenCV's five distortion terms.
struct Lens {
  double fx, fy, cx, cy;
  double k1, k2, p1, p2, k3;
};
// Barrel distortion of a wide lens, a few pixels of principal point and focal length off nominal.
constexpr Lens kLeftLens{402.0, 401.2, 323.5, 236.8, -0.060, 0.011, 0.0006, -0.0004, 0.0};
constexpr Lens kRightLens{398.6, 399.1, 317.2, 243.4, -0.055, 0.009, -0.0005, 0.0007, 0.0};
// Rotation from the left to the right camera (Rodrigues vector, radians: about 0.3 degrees).
constexpr double kRotationVector[3] = {0.0035, -0.0025, 0.0042};
// Direction of the translation from the left to the right camera (scaled to kBaselineCm).
constexpr double kBaselineDirection[3] = {0.012, 1.0, -0.008};

// Sensor module type letter written into the calibration files.
constexpr const char* kZuqType = "b";

// Adjustable values of the dynamic calibration used for the module: no disparity shift, no
// vertical stretch, no translation of the principal point.
constexpr int kDisparityShift = 0;
constexpr double kStretch = 1.0;
constexpr int kHorizontalTranslation = 0;
constexpr int kVerticalTranslation = 0;

// ---------------------------------------------------------------------------------------------
// Rectified images
//
// Below, "raw" means the rectified view in raw frame terms: what an ideal module's raw frame would
// show. The calibration tables sample the real raw frames where the lenses put those points.
//
// Colour image: kColourWidth x kColourHeight, the same orientation as the raw frame. Colour pixel
// (row, column) is rectified raw pixel (y = row, x = column) of the same camera (right camera:
// y = row + kDepthScale * kDisparityShift; rows pushed past the frame are black).
//
// Depth-size grey image: kDepthWidth columns x kDepthHeight rows (portrait), the rectified raw view
// sampled at every second pixel and turned by 90 degrees clockwise:
//   left  grey pixel (row r, column c) = left  raw pixel x = 2 r, y = 2 (kDepthWidth - 1 - c)
//   right grey pixel (row r, column c) = right raw pixel x = 2 r, y = 2 (kDepthWidth - 1 - c + shift)
// (LeftRawX/LeftRawY/RightRawY below). The raw top edge becomes the grey image's right edge, and
// the raw y axis (the baseline) becomes the grey image's rows, so disparity is horizontal.
// A raw coordinate of kRawWidth or kRawHeight (or beyond) has no source and reads black.
//
// Disparity: a scene point at depth Z seen at left grey column c_l is seen at right grey column
// c_r = c_l - d with d = RectifiedDisparity(Z) (matcher convention: left minus right). A renderer
// that wants disparity d (an integer for exact sampling) at left grey pixel (r, c) renders the
// scene point of that pixel at left raw (2 r, 2 (kDepthWidth-1-c)) and at right raw
// (2 r, 2 (kDepthWidth-1-c) + kDepthScale * (d + kDisparityShift)).
// ---------------------------------------------------------------------------------------------

constexpr int kColourWidth = kRawWidth;
constexpr int kColourHeight = kRawHeight;
constexpr int kDepthWidth = kRawHeight / kDepthScale;  // 240 columns
constexpr int kDepthHeight = kRawWidth / kDepthScale;  // 320 rows

// Raw x sampled by grey pixel row r (both cameras).
constexpr int GreyRawX(int row) { return kDepthScale * row; }
// Raw y sampled by left grey pixel column c.
constexpr int LeftGreyRawY(int column) { return kDepthScale * (kDepthWidth - 1 - column); }
// Raw y sampled by right grey pixel column c.
constexpr int RightGreyRawY(int column) { return kDepthScale * (kDepthWidth - 1 - column + kDisparityShift); }

// Disparity, in depth-image pixels, of a scene point at depth_cm centimetres (depth_cm > 0):
// focal length times baseline over depth, less the module's disparity shift.
constexpr double RectifiedDisparity(double depth_cm) {
  return double(kFocalLength) * kBaselineCm / depth_cm - kDisparityShift;
}

// Depth in centimetres of a rectified disparity (disparity + shift > 0); inverse of the above.
constexpr double DepthForDisparity(double disparity) {
  return double(kFocalLength) * kBaselineCm / (disparity + kDisparityShift);
}

// Raw-row offset of the right frame against the left for a scene point at depth_cm: the right
// frame shows the point this many raw rows further down.
constexpr double RawRowParallax(double depth_cm) { return kRawFocalLength * kBaselineCm / depth_cm; }

}  // namespace sim_module
}  // namespace board
