// Calibration remap of single grey images: per-camera source-index tables read from a map file,
// and the copy of an image through them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <opencv2/core.hpp>

#include "libtessaro.h"

namespace {

// Head of every line: the module's source name, the function and a fixed line number.
constexpr const char* kSource = "source/camcal";
constexpr int kLineNoPath = 218;
constexpr int kLineNoFile = 227;
constexpr int kLineUnreadable = 240;
constexpr int kLineNotFloat = 262;
constexpr int kLineHead = 308;
constexpr int kLineSizesEqual = 314;
constexpr int kLineFinish = 321;
constexpr int kLineLeftError = 343;
constexpr int kLineRightError = 367;
constexpr int kLineNullImage = 393;

// Prints one line behind the module's head: source, function and line number.
#define CAMCAL_LOG(function, line, format, ...) std::printf("%s %s %d " format, kSource, function, line, ##__VA_ARGS__)

constexpr int kSourceWidth = 640;
constexpr int kSourceHeight = 480;
constexpr int kHeadValues = 4;

enum CamcalResult { kOk = 0, kNoPath = 1, kNoFile = 2, kNullImage = 4, kOutOfMemory = 7, kBadMap = 8 };

// Module state, all guarded by g_lock.
std::mutex g_lock;
cv::Mat g_left_x, g_left_y, g_left_y_converted, g_right_x, g_right_y;
int g_height = 0, g_width = 0, g_len = 0;
int32_t* g_left_table = nullptr;
int32_t* g_right_table = nullptr;
int g_table_entries = 0;  // entries each held table has room for

void FreeTables() {
  std::free(g_left_table);
  std::free(g_right_table);
  g_left_table = g_right_table = nullptr;
  g_table_entries = 0;
}

// Makes both tables hold exactly `entries` zeroed entries, reusing the held blocks when they fit.
bool PrepareTables(int entries) {
  if (g_left_table == nullptr || g_right_table == nullptr || g_table_entries != entries) {
    FreeTables();
    g_left_table = static_cast<int32_t*>(std::calloc(entries, sizeof(int32_t)));
    g_right_table = static_cast<int32_t*>(std::calloc(entries, sizeof(int32_t)));
    if (g_left_table == nullptr || g_right_table == nullptr) {
      FreeTables();
      return false;
    }
    g_table_entries = entries;
    return true;
  }
  std::fill(g_left_table, g_left_table + entries, 0);
  std::fill(g_right_table, g_right_table + entries, 0);
  return true;
}

// Fills one table from its maps; false (with the side's error line) at an entry outside the image.
bool FillTable(int32_t* table, const int32_t* ys, const int32_t* xs, int line, const char* side) {
  for (int i = 0; i < g_len; ++i) {
    const int y = ys[i], x = xs[i];
    if (y >= kSourceHeight || x >= kSourceWidth || y < 0 || x < 0) {
      CAMCAL_LOG("camcal_init", line, "DEBUG Camcal: %s axis is error, index: %d, y: %d, x: %d\n", side, i, y, x);
      return false;
    }
    table[i] = x + y * kSourceWidth;
  }
  return true;
}

// Moves the left rows by the disparity offset: up to (not reaching) max_value when shift_opt is
// set, else down by s where the row stays above s.
void ShiftLeftRows(float shift_offset, int shift_opt, int max_value) {
  const float limit = static_cast<float>(max_value);
  for (auto it = g_left_y.begin<float>(); it != g_left_y.end<float>(); ++it) {
    if (shift_opt != 0) {
      if (*it + shift_offset < limit) *it += shift_offset;
    } else if (*it > shift_offset) {
      *it -= shift_offset;
    }
  }
}

void PrintHead() {
  std::string values;
  const int count = std::min<int>(kHeadValues, static_cast<int>(g_left_x.total()));
  for (int k = 0; k < count; ++k) values += (k ? " " : "") + std::to_string(g_left_x.ptr<int32_t>()[k]);
  CAMCAL_LOG("camcal_init", kLineHead, "DEBUG axis file head: %s\n", values.c_str());
}

bool SingleChannel(const cv::Mat& map) { return map.empty() || (map.dims == 2 && map.channels() == 1); }

// Steps after the file is known to exist; runs under g_lock.
int BuildTables(const char* path, float shift_offset, int shift_opt, int max_value) {
  for (cv::Mat* map : {&g_left_x, &g_left_y, &g_left_y_converted, &g_right_x, &g_right_y}) map->release();
  try {
    cv::FileStorage file(path, cv::FileStorage::READ);
    file["left_x"] >> g_left_x;
    file["left_y"] >> g_left_y;
    file["right_x"] >> g_right_x;
    file["right_y"] >> g_right_y;
  } catch (const cv::Exception&) {
    CAMCAL_LOG("camcal_init", kLineUnreadable, "ERROR cannot read camera calibration file %s\n", path);
    return kNoFile;
  }
  if ((!g_left_y.empty() && g_left_y.type() != CV_32FC1) ||
      !(SingleChannel(g_left_x) && SingleChannel(g_right_x) && SingleChannel(g_right_y))) {
    CAMCAL_LOG("camcal_init", kLineNotFloat,
               "ERROR left_y must hold single-precision floats and every map one channel\n");
    FreeTables();
    return kBadMap;
  }
  ShiftLeftRows(shift_offset, shift_opt, max_value);
  g_left_y.convertTo(g_left_y_converted, CV_16U);
  g_left_y_converted.convertTo(g_left_y_converted, CV_32S);
  g_left_x.convertTo(g_left_x, CV_32S);
  g_right_x.convertTo(g_right_x, CV_32S);
  g_right_y.convertTo(g_right_y, CV_32S);
  PrintHead();

  const cv::Mat* maps[] = {&g_left_x, &g_left_y_converted, &g_right_x, &g_right_y};
  bool equal = true;
  g_height = maps[0]->rows;
  g_width = maps[0]->cols;
  for (const cv::Mat* map : maps) {
    equal = equal && map->rows == maps[0]->rows && map->cols == maps[0]->cols;
    g_height &= map->rows;
    g_width &= map->cols;
  }
  CAMCAL_LOG("camcal_init", kLineSizesEqual, "DEBUG axis 4 Mat size: equal? %s.\n", equal ? "yes" : "no");
  g_len = g_height * g_width;
  CAMCAL_LOG("camcal_init", kLineFinish,
             "DEBUG axis finish: height %d, width %d, shift_offset %f, shift_opt %d, max_value %d.\n", g_height,
             g_width, static_cast<double>(shift_offset), shift_opt, max_value);
  if (g_len <= 0) return kOk;

  if (!PrepareTables(g_len)) return kOutOfMemory;
  if (!FillTable(g_left_table, g_left_y_converted.ptr<int32_t>(), g_left_x.ptr<int32_t>(), kLineLeftError, "Left") ||
      !FillTable(g_right_table, g_right_y.ptr<int32_t>(), g_right_x.ptr<int32_t>(), kLineRightError, "Right")) {
    FreeTables();
    return kBadMap;
  }
  return kOk;
}

}  // namespace

extern "C" int camcal_init(char* path, float shift_offset, int shift_opt, int max_value) {
  if (path == nullptr) {
    CAMCAL_LOG("camcal_init", kLineNoPath, "ERROR no camera calibration file!\n");
    return kNoPath;
  }
  if (FILE* probe = std::fopen(path, "r")) {
    std::fclose(probe);
  } else {
    CAMCAL_LOG("camcal_init", kLineNoFile, "ERROR cannot find camera calibration file %s\n", path);
    return kNoFile;
  }
  std::lock_guard<std::mutex> hold(g_lock);
  const int result = BuildTables(path, shift_offset, shift_opt, max_value);
  std::fflush(stdout);
  return result;
}

extern "C" int camcal(int camera, int, int, unsigned char* source, unsigned char* destination) {
  if (source == nullptr || destination == nullptr) {
    CAMCAL_LOG("camcal", kLineNullImage, "ERROR null img address\n");
    std::fflush(stdout);
    return kNullImage;
  }
  std::lock_guard<std::mutex> hold(g_lock);
  const int32_t* table = camera == 0 ? g_left_table : camera == 1 ? g_right_table : nullptr;
  if (table == nullptr) return kOk;
  // A held table always has g_table_entries == g_len entries: both are set by one successful build.
  const int count = std::min(g_len, g_table_entries);
  for (int i = 0; i < count; ++i) destination[i] = source[table[i]];
  return kOk;
}
