// Fakes of the capture library and the matcher for the video device's tests.
#include "pipeline_fakes.h"

#include <cmath>
#include <cstring>

#include "calibrater_dynamic.h"
#include "calibrater_image.h"
#include "cam.h"
#include "cam_auto_exposure.h"
#include "libtessaro.h"

namespace {

constexpr int kFrameWidth = 640;
constexpr int kFrameHeight = 480;
constexpr size_t kFramePixels = static_cast<size_t>(kFrameWidth) * kFrameHeight;

std::vector<unsigned char> g_left_y(kFramePixels), g_left_vu(kFramePixels / 2);
std::vector<unsigned char> g_right_y(kFramePixels), g_right_vu(kFramePixels / 2);
// The grey table stands for the calibration's: built aside by a rebuild and swapped in under the
// table lock, read by every grey remap under the same lock.
std::mutex g_table_lock;
std::vector<int> g_grey_table;
tagSGMParameterSet g_matcher{};

void BuildGreyTable(float offset) {
  PipelineFakes& f = PipelineFakes::Get();
  std::vector<int> table(static_cast<size_t>(f.depth_width) * f.depth_height);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<int>(i) + static_cast<int>(offset);
  std::lock_guard<std::mutex> hold(g_table_lock);
  g_grey_table.swap(table);
}

cam_frame_t Frame(std::vector<unsigned char>& y, std::vector<unsigned char>& vu) {
  cam_frame_t frame{};
  frame.y_plane = y.data();
  frame.vu_plane = vu.data();
  frame.y_width = kFrameWidth;
  frame.y_height = kFrameHeight;
  frame.vu_width = kFrameWidth;
  frame.vu_height = kFrameHeight / 2;
  return frame;
}

}  // namespace

PipelineFakes& PipelineFakes::Get() {
  static PipelineFakes fakes;
  return fakes;
}

void PipelineFakes::Reset() {
  std::lock_guard<std::mutex> lock(mutex);
  depth_width = 320;
  depth_height = 240;
  calibration_result = 0;
  cam_init_result = 0;
  err_match = 50;
  exposure_ok = true;
  disparity_level = 9;
  events.clear();
  grey_offsets.clear();
  matcher_interval_sampling = -1;
  unsafe_uses = 0;
  cameras_open = false;
}

void PipelineFakes::Event(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex);
  events.push_back(name);
}

std::vector<std::string> PipelineFakes::Events() {
  std::lock_guard<std::mutex> lock(mutex);
  return events;
}

extern "C" {

int CalibraterImageInit(const char*, float offset) {
  PipelineFakes& f = PipelineFakes::Get();
  if (f.calibration_result != 0) return f.calibration_result;
  return CalibraterImageGrayInit("", offset);
}
int CalibraterImageDynamicInit(const char*, float offset, int, int, int, int, double, int, int) {
  return CalibraterImageInit("", offset);
}
int CalibraterImageGrayInit(const char*, float offset) {
  PipelineFakes& f = PipelineFakes::Get();
  {
    std::lock_guard<std::mutex> lock(f.mutex);
    f.grey_offsets.push_back(offset);
  }
  if (std::fabs(offset) > f.max_grey_offset) return 8;  // the tables held before stay
  BuildGreyTable(offset);
  return 0;
}
void CalibraterImageUnInit() {
  std::lock_guard<std::mutex> hold(g_table_lock);
  g_grey_table.clear();
}
void CalibraterImageGetYUVHeightAndWidth(int* height, int* width) {
  *height = kFrameHeight;
  *width = kFrameWidth;
}
void CalibraterImageGetDepthHeightAndWidth(int* height, int* width) {
  *height = PipelineFakes::Get().depth_height;
  *width = PipelineFakes::Get().depth_width;
}
int CalibraterYUVImageProcess(unsigned char* y, unsigned char* vu, unsigned char* dst, int, bool) {
  memcpy(dst, y, kFramePixels);
  memcpy(dst + kFramePixels, vu, kFramePixels / 2);
  return 0;
}
int CalibraterImageProcess(unsigned char* y, unsigned char* dst, int) {
  std::lock_guard<std::mutex> hold(g_table_lock);
  if (g_grey_table.empty()) {
    ++PipelineFakes::Get().unsafe_uses;
    return 3;
  }
  for (size_t i = 0; i < g_grey_table.size(); ++i) dst[i] = y[static_cast<size_t>(g_grey_table[i]) % kFramePixels];
  return 0;
}

int cam_init() {
  PipelineFakes::Get().Event("cam_init");
  return PipelineFakes::Get().cam_init_result;
}
int cam_start() {
  PipelineFakes::Get().cameras_open = true;
  return 0;
}
void cam_stop() {
  PipelineFakes::Get().cameras_open = false;
  PipelineFakes::Get().Event("cam_stop");
}
bool cam_dqbuf(cam_frame_t* left, cam_frame_t* right) {
  PipelineFakes& f = PipelineFakes::Get();
  if (!f.cameras_open) {
    ++f.unsafe_uses;
    return false;
  }
  memset(g_left_y.data(), f.left_level, g_left_y.size());
  memset(g_right_y.data(), f.right_level, g_right_y.size());
  *left = Frame(g_left_y, g_left_vu);
  *right = Frame(g_right_y, g_right_vu);
  return true;
}
int cam_qbuf(cam_frame_t*, cam_frame_t*) { return 0; }

void cam_exposure_init(const tagCamExposureConfiguration*, unsigned long, unsigned long) {
  PipelineFakes::Get().Event("exposure_init");
}
void cam_exposure_uninit() { PipelineFakes::Get().Event("exposure_uninit"); }
int transmit_gray_image_to_exposure(unsigned char*, unsigned char*) { return 0; }
bool get_exposure_quality() { return PipelineFakes::Get().exposure_ok; }

int libtessaro_init(tagSGMParameterSet set) {
  g_matcher = set;
  PipelineFakes::Get().matcher_interval_sampling = set.image_interval_sampling;
  PipelineFakes::Get().Event("matcher_init");
  return 0;
}
void libtessaro_close() { PipelineFakes::Get().Event("matcher_close"); }
// Writes the matcher's output size: halved only in interval-sampling mode 1.
void libtessaro_process(unsigned char* out, const unsigned char*, const unsigned char*, bool) {
  PipelineFakes& f = PipelineFakes::Get();
  const bool halved = g_matcher.image_interval_sampling == 1;
  const size_t rows = halved ? g_matcher.image_height / 2 : g_matcher.image_height;
  const size_t cols = halved ? g_matcher.image_width / 2 : g_matcher.image_width;
  memset(out, f.disparity_level, rows * cols);
}
int CalculateErrMatch() { return PipelineFakes::Get().err_match; }

}  // extern "C"
