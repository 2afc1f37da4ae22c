// Content of the simulated cameras: the built-in passage scene and frames from image files.
#pragma once

#include <opencv2/core.hpp>

#include "board/sim_module_geometry.h"
#include "sim_lens.h"

#include <string>
#include <vector>

namespace simcam {

// The ideal geometry of the simulated sensor module in raw frame terms: two pinhole cameras, the
// second one baseline metres from the first along the raw rows, so a point shows focal * baseline /
// depth raw rows lower in camera 1's frame.
struct ModuleGeometry {
  double focal_px = board::sim_module::kRawFocalLength;
  double baseline_m = board::sim_module::kBaselineCm / 100.0;
  double center_x = board::sim_module::kRawPrincipalX;
  double center_y = board::sim_module::kRawPrincipalY;
  int width = board::sim_module::kRawWidth;
  int height = board::sim_module::kRawHeight;
  // Raw rows between the two views of a surface at this depth in metres.
  double ParallaxForDepth(double depth_m) const { return focal_px * baseline_m / depth_m; }
};

// A box top moving along the passage: a level, textured rectangle at a fixed depth.
struct PassageObject {
  double center_x_m;  // across the passage
  double depth_m;
  double size_x_m;
  double size_y_m;
  double speed_m_per_s;
  double phase_m;
};

// The passage seen from above: a textured floor between two textured walls (across the raw
// columns), and box tops at several depths moving along it (along the raw rows). Every surface
// carries its own texture, so the rectified pair has a known disparity everywhere.
class PassageScene {
 public:
  explicit PassageScene(const ModuleGeometry& geometry);
  // Reflectance of one camera's rectified view at a time in seconds (16-bit: 255 is white at the
  // reference exposure, glossy grains lie above it).
  void Render(int camera, double seconds, cv::Mat* reflectance) const;
  // Raw-row parallax of every pixel of camera 0's view at a time in seconds (float).
  cv::Mat LeftParallax(double seconds) const;
  const std::vector<PassageObject>& Objects() const { return objects_; }
  // Parallax of an object in raw rows (the depths are chosen for whole, even parallaxes).
  int ObjectParallax(const PassageObject& object) const;
  // Top-left pixel of an object in camera 0's view at a time.
  cv::Point ObjectCorner(const PassageObject& object, double seconds) const;

  static constexpr double kFloorDepthM = 2.5;
  static constexpr double kWallHalfWidthM = 0.9;

 private:
  ModuleGeometry geometry_;
  std::vector<PassageObject> objects_;     // far to near
  std::vector<cv::Mat> object_textures_;   // at each object's pixel size, 16-bit
  cv::Mat background_[2];                  // floor and walls per camera, 16-bit
  cv::Mat background_parallax_;            // of camera 0
};

// Image files as frames. A file is a rectified view as the matcher sees it (a stereo pair's
// disparity runs along its rows): each is loaded once, scaled to the depth image's portrait shape,
// turned as the sensor mounting turns it (the calibration turns it back), shown through the
// camera's lens and split into Y and NV21 VU.
struct FileFrame {
  cv::Mat y;   // frame height x width
  cv::Mat vu;  // frame height / 2 x width, V then U per pixel pair
};
bool LoadFileFrames(const std::vector<std::string>& paths, const LensWarp& lens, std::vector<FileFrame>* frames,
                    std::string* error);

}  // namespace simcam
