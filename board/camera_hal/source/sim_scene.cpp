// The built-in passage scene and image-file frames of the simulated cameras.
#include "sim_scene.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>

namespace simcam {
namespace {

constexpr double kTextureCellM = 0.012;   // size of the finest texture grain on a surface
constexpr double kTextureOffsetM = 0.00317;
constexpr double kFineWeight = 0.4;       // the fine grain's share of a surface's tone, the coarse the rest
constexpr int kCoarseCells = 8;           // fine cells per coarse cell
constexpr int kGrainCells = 2;            // fine cells per near-black or bright grain, along each side

// A range of reflectances (0..255 at the reference exposure; above 255 is glossy, brighter than
// white paper), spread evenly in log terms, as a sensor's stops count light.
struct ReflectanceRange {
  double low;
  double high;
  double At(double fraction) const { return low * std::pow(high / low, fraction); }
};

// Every surface carries a sprinkle of near-black grains (gaps, dirt, shadowed seams) and bright
// ones (gloss, reflective strips): the scene spans well over the 56:1 between the exposure's black
// and white bins, so every exposure shows some black or some white and the controller has one
// balance, not a band where nothing is measured.
constexpr double kDarkGrainShare = 0.06;
constexpr double kBrightGrainShare = 0.08;
constexpr ReflectanceRange kDarkGrain{1.5, 12.0};
constexpr ReflectanceRange kBrightGrain{170.0, 320.0};

enum Surface : uint32_t { kFloor = 1, kLeftWall = 2, kRightWall = 3, kObjectBase = 16 };

// Tone of each surface: a mid-grey floor, a dark and a light wall, box tops near white, near black
// and mid grey (objects far to near).
ReflectanceRange SurfaceTone(uint32_t surface) {
  switch (surface) {
    case kFloor: return {20.0, 230.0};
    case kLeftWall: return {12.0, 150.0};
    case kRightWall: return {40.0, 245.0};
    case kObjectBase: return {60.0, 250.0};
    case kObjectBase + 1: return {8.0, 60.0};
    default: return {20.0, 230.0};
  }
}

// A repeatable pseudo-random value in [0, 1) for an integer cell of a surface.
double CellNoise(int64_t a, int64_t b, uint32_t surface) {
  uint64_t h = static_cast<uint64_t>(a) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(b) * 0xC2B2AE3D27D4EB4Full ^
               (static_cast<uint64_t>(surface) << 32);
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  return static_cast<double>(h & 0xFFFFFF) / static_cast<double>(0x1000000);
}

// Reflectance of a surface point: fine cells over a coarser pattern, so matching finds texture at
// every scale; a few fine cells are near black or bright whatever the surface's tone.
double SurfaceReflectance(double a_m, double b_m, uint32_t surface) {
  // Cell borders are kept off the pixel grid, so both cameras see a border on the same side.
  a_m += kTextureOffsetM;
  b_m += kTextureOffsetM;
  const int64_t fine_a = static_cast<int64_t>(std::floor(a_m / kTextureCellM));
  const int64_t fine_b = static_cast<int64_t>(std::floor(b_m / kTextureCellM));
  const double fine = CellNoise(fine_a, fine_b, surface);
  const double grain = CellNoise(fine_a / kGrainCells, fine_b / kGrainCells, surface + 11);
  if (grain < kDarkGrainShare) return kDarkGrain.At(fine);
  if (grain < kDarkGrainShare + kBrightGrainShare) return kBrightGrain.At(fine);
  const double coarse = CellNoise(static_cast<int64_t>(std::floor(a_m / (kTextureCellM * kCoarseCells))),
                                  static_cast<int64_t>(std::floor(b_m / (kTextureCellM * kCoarseCells))), surface + 7);
  return SurfaceTone(surface).At(kFineWeight * fine + (1.0 - kFineWeight) * coarse);
}

}  // namespace

PassageScene::PassageScene(const ModuleGeometry& geometry) : geometry_(geometry) {
  // Depths of 1.2, 1.5 and 2.0 m give depth-image disparities of 25, 20 and 15 (floor: 12).
  objects_ = {
      {-0.35, 1.2, 0.30, 0.40, 0.50, 0.0},
      {0.30, 1.5, 0.40, 0.35, -0.35, 0.7},
      {0.00, 2.0, 0.35, 0.50, 0.25, 1.5},
  };
  std::sort(objects_.begin(), objects_.end(),
            [](const PassageObject& a, const PassageObject& b) { return a.depth_m > b.depth_m; });

  for (size_t i = 0; i < objects_.size(); ++i) {
    const PassageObject& object = objects_[i];
    const double metres_per_px = object.depth_m / geometry_.focal_px;
    const int cols = std::max(1, static_cast<int>(std::lround(object.size_x_m / metres_per_px)));
    const int rows = std::max(1, static_cast<int>(std::lround(object.size_y_m / metres_per_px)));
    cv::Mat texture(rows, cols, CV_16UC1);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c)
        texture.at<uint16_t>(r, c) = cv::saturate_cast<uint16_t>(
            SurfaceReflectance(c * metres_per_px, r * metres_per_px, kObjectBase + static_cast<uint32_t>(i)));
    object_textures_.push_back(texture);
  }

  // Floor and walls by casting each pixel's ray from its camera's centre; camera 1 sits the
  // baseline away towards the top of the raw frame.
  background_parallax_.create(geometry_.height, geometry_.width, CV_32FC1);
  for (int camera = 0; camera < 2; ++camera) {
    const double center = -geometry_.baseline_m * camera;
    background_[camera].create(geometry_.height, geometry_.width, CV_16UC1);
    for (int v = 0; v < geometry_.height; ++v) {
      for (int u = 0; u < geometry_.width; ++u) {
        const double xn = (u - geometry_.center_x) / geometry_.focal_px;
        const double yn = (v - geometry_.center_y) / geometry_.focal_px;
        double depth = kFloorDepthM;
        const double x = xn * depth;
        double reflectance = 0;
        if (x > kWallHalfWidthM || x < -kWallHalfWidthM) {
          const double wall_x = x > 0 ? kWallHalfWidthM : -kWallHalfWidthM;
          depth = wall_x / xn;
          reflectance = SurfaceReflectance(center + yn * depth, depth, x > 0 ? kRightWall : kLeftWall);
        } else {
          reflectance = SurfaceReflectance(x, center + yn * depth, kFloor);
        }
        background_[camera].at<uint16_t>(v, u) = cv::saturate_cast<uint16_t>(reflectance);
        if (camera == 0) background_parallax_.at<float>(v, u) = static_cast<float>(geometry_.ParallaxForDepth(depth));
      }
    }
  }
}

int PassageScene::ObjectParallax(const PassageObject& object) const {
  return static_cast<int>(std::lround(geometry_.ParallaxForDepth(object.depth_m)));
}

cv::Point PassageScene::ObjectCorner(const PassageObject& object, double seconds) const {
  // Objects travel along the passage and come back in at the other end of the view.
  const double half_view_m = geometry_.center_y * object.depth_m / geometry_.focal_px + object.size_y_m +
                             geometry_.baseline_m;
  const double travel = 2 * half_view_m;
  double y = std::fmod(object.phase_m + object.speed_m_per_s * seconds + half_view_m, travel);
  if (y < 0) y += travel;
  y -= half_view_m;
  const int left = static_cast<int>(
      std::lround(geometry_.focal_px * (object.center_x_m - object.size_x_m / 2) / object.depth_m + geometry_.center_x));
  const int top = static_cast<int>(
      std::lround(geometry_.focal_px * (y - object.size_y_m / 2) / object.depth_m + geometry_.center_y));
  return {left, top};
}

void PassageScene::Render(int camera, double seconds, cv::Mat* reflectance) const {
  background_[camera].copyTo(*reflectance);
  const cv::Rect frame(0, 0, geometry_.width, geometry_.height);
  for (size_t i = 0; i < objects_.size(); ++i) {
    cv::Point corner = ObjectCorner(objects_[i], seconds);
    corner.y += camera * ObjectParallax(objects_[i]);
    const cv::Mat& texture = object_textures_[i];
    const cv::Rect placed(corner, texture.size());
    const cv::Rect visible = placed & frame;
    if (visible.empty()) continue;
    texture(cv::Rect(visible.tl() - placed.tl(), visible.size())).copyTo((*reflectance)(visible));
  }
}

cv::Mat PassageScene::LeftParallax(double seconds) const {
  cv::Mat parallax = background_parallax_.clone();
  const cv::Rect frame(0, 0, geometry_.width, geometry_.height);
  for (size_t i = 0; i < objects_.size(); ++i) {
    const cv::Rect visible = cv::Rect(ObjectCorner(objects_[i], seconds), object_textures_[i].size()) & frame;
    if (!visible.empty()) parallax(visible).setTo(static_cast<float>(ObjectParallax(objects_[i])));
  }
  return parallax;
}

bool LoadFileFrames(const std::vector<std::string>& paths, const LensWarp& lens, std::vector<FileFrame>* frames,
                    std::string* error) {
  const int width = lens.rectified_x.cols;
  const int height = lens.rectified_x.rows;
  frames->clear();
  for (const std::string& path : paths) {
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(path, ignored)) {
      *error = "no image file " + path;
      return false;
    }
    cv::Mat bgr = cv::imread(path, cv::IMREAD_COLOR);
    if (bgr.empty()) {
      *error = "cannot read image " + path;
      return false;
    }
    // The sensors lie turned by 90 degrees: the file's rows run along the raw frame's columns, and
    // the rectification's clockwise turn brings its disparity back along the depth image's rows.
    const cv::Size portrait(height, width);
    if (bgr.size() != portrait) cv::resize(bgr, bgr, portrait, 0, 0, cv::INTER_AREA);
    cv::rotate(bgr, bgr, cv::ROTATE_90_COUNTERCLOCKWISE);
    cv::Mat seen;
    ThroughLens(lens, bgr, &seen);
    bgr = seen;
    // Full-range luma and chroma; chroma averaged over each 2 x 2 block and interleaved V, U.
    cv::Mat yuv;
    cv::cvtColor(bgr, yuv, cv::COLOR_BGR2YUV);
    cv::Mat channels[3];
    cv::split(yuv, channels);
    FileFrame frame;
    frame.y = channels[0];
    cv::Mat u_half, v_half;
    cv::resize(channels[1], u_half, cv::Size(width / 2, height / 2), 0, 0, cv::INTER_AREA);
    cv::resize(channels[2], v_half, cv::Size(width / 2, height / 2), 0, 0, cv::INTER_AREA);
    cv::Mat vu_pairs;
    cv::merge(std::vector<cv::Mat>{v_half, u_half}, vu_pairs);
    frame.vu = vu_pairs.reshape(1, height / 2);
    frames->push_back(frame);
  }
  return true;
}

}  // namespace simcam
