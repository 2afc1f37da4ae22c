// Tests of the dynamic calibration: maps generated from an ideal camera model against the closed
// form, the tables of a real lens against OpenCV's own rectification, loading the generated file,
// and parameter files that cannot be used.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <opencv2/calib3d.hpp>

#include "board/board_root.h"
#include "board/sim_module_model.h"
#include "calibration_fixture.h"
#include "calibrater_dynamic.h"
#include "calibrater_image.h"
#include "table_probe.h"

using namespace calibration_fixture;

namespace {

// Ideal camera model: focal length 400 raw pixels (200 at the grey size), principal point at the
// frame centre, no distortion or rotation, 15 along y between the cameras.
struct Model {
  std::string zuq_type = "b";
  cv::Mat intrinsic = (cv::Mat_<double>(3, 3) << 400, 0, 320, 0, 400, 240, 0, 0, 1);
  cv::Mat distortion = cv::Mat::zeros(1, 5, CV_64F);
  cv::Mat rotation = cv::Mat::eye(3, 3, CV_64F);
  cv::Mat translation = (cv::Mat_<double>(3, 1) << 0, 15, 0);
};

void WriteModel(const std::string& path, const Model& model) {
  cv::FileStorage file(path, cv::FileStorage::WRITE);
  file << "zuq_type" << model.zuq_type;
  file << "left_intrinsic" << model.intrinsic << "right_intrinsic" << model.intrinsic;
  file << "left_discoeffs" << model.distortion << "right_discoeffs" << model.distortion;
  file << "projection_l" << cv::Mat::zeros(3, 4, CV_64F) << "projection_r" << cv::Mat::zeros(3, 4, CV_64F);
  file << "rotation" << model.rotation << "transformation" << model.translation;
}

constexpr int kFocalLength = 200;

// OpenCV's own worker threads (TBB) are not built for the thread sanitizer, which then reports
// races inside them; the rectification runs serially in these tests.
class SerialOpenCV : public ::testing::Environment {
 public:
  void SetUp() override { cv::setNumThreads(0); }
};
const auto* const kSerialOpenCV = ::testing::AddGlobalTestEnvironment(new SerialOpenCV);

class DynamicCalibration : public ::testing::Test {
 protected:
  void TearDown() override { CalibraterImageUnInit(); }

  int Generate(const Model& model, int shift = 0, const char* name = "generated.yml") {
    WriteModel(folder_.File("model.yml"), model);
    return GenerateDynamicCalibrationFile(folder_.File("model.yml").c_str(), folder_.File(name).c_str(), 640, 480,
                                          shift, kFocalLength, 1.0, 0, 0);
  }

  cv::Mat Read(const char* key, const char* name = "generated.yml") {
    cv::FileStorage file(folder_.File(name), cv::FileStorage::READ);
    cv::Mat map;
    file[key] >> map;
    return map;
  }

  // Expects the map under `key` to equal `expected` element for element, in its element type;
  // float maps to within the rounding of the rectification arithmetic.
  void ExpectMap(const char* key, const cv::Mat& expected, int element_type) {
    const cv::Mat map = Read(key);
    ASSERT_EQ(map.type(), element_type) << key;
    ASSERT_EQ(map.size(), expected.size()) << key;
    const double tolerance = element_type == CV_32F ? 1e-3 : 0.0;
    EXPECT_LE(cv::norm(map, expected, cv::NORM_INF), tolerance) << key;
  }

  TempFolder folder_;
};

TEST_F(DynamicCalibration, IdealModelGivesTheClosedFormMaps) {
  ASSERT_EQ(Generate(Model()), 0);
  const Maps ideal = IdealTurnedMaps();
  const struct {
    const char* key;
    const cv::Mat& map;
  } maps[] = {{"left_x_640", ideal.left_x_640},   {"left_y_640", ideal.left_y_640}, {"right_x_640", ideal.right_x_640},
              {"right_y_640", ideal.right_y_640}, {"left_x_320", ideal.left_x_320}, {"left_y_320", ideal.left_y_320},
              {"right_x_320", ideal.right_x_320}, {"right_y_320", ideal.right_y_320}};
  for (const auto& m : maps) ExpectMap(m.key, m.map, m.map.type());  // the grey left y map alone is float

  cv::FileStorage file(folder_.File("generated.yml"), cv::FileStorage::READ);
  EXPECT_EQ(static_cast<std::string>(file["version"]), "1.0");
  EXPECT_EQ(static_cast<std::string>(file["zuq_type"]), "b");
  EXPECT_EQ(static_cast<int>(file["yuv_image_width"]), 640);
  EXPECT_EQ(static_cast<int>(file["yuv_image_height"]), 480);
  EXPECT_EQ(static_cast<double>(file["baseline"]), 15.0);
  EXPECT_EQ(static_cast<int>(file["focal_length"]), kFocalLength);
  EXPECT_EQ(static_cast<int>(file["disparity_range"]), 32);
}

TEST_F(DynamicCalibration, ShiftCutsTheRightMapsFurtherDown) {
  ASSERT_EQ(Generate(Model(), 4), 0);
  const Maps ideal = IdealTurnedMaps(4);
  ExpectMap("right_y_640", ideal.right_y_640, CV_16S);
  ExpectMap("right_y_320", ideal.right_y_320, CV_16S);
  ExpectMap("left_y_640", ideal.left_y_640, CV_16S);
}

TEST_F(DynamicCalibration, FullDistortionRowIsCutToTwelveTerms) {
  Model model;
  model.distortion = cv::Mat::zeros(1, 14, CV_64F);
  ASSERT_EQ(Generate(model), 0);
  ExpectMap("left_x_320", IdealTurnedMaps().left_x_320, CV_16S);
}

TEST_F(DynamicCalibration, TypeCMirrorsTheRightMapsAtTheMarkers) {
  Model model;
  model.zuq_type = "c";
  ASSERT_EQ(Generate(model), 0);
  const cv::Mat right_x = Read("right_x_640");
  const cv::Mat right_y = Read("right_y_640");
  // Ideal right x is the map row r, so 640 - r; a raw x of 0 becomes the marker 640.
  EXPECT_EQ(right_x.at<short>(0, 0), 640);
  EXPECT_EQ(right_x.at<short>(10, 5), 630);
  EXPECT_EQ(right_y.at<short>(0, 0), 480 - 479);
  EXPECT_EQ(right_y.at<short>(0, 479), 480);
}

TEST_F(DynamicCalibration, TypeAWritesTheHeaderAndGivesSix) {
  Model model;
  model.zuq_type = "ab";  // a comes first for the dynamic calibration
  EXPECT_EQ(Generate(model), 6);
  cv::FileStorage file(folder_.File("generated.yml"), cv::FileStorage::READ);
  EXPECT_EQ(static_cast<std::string>(file["zuq_type"]), "a");
  EXPECT_TRUE(file["left_x_640"].empty());
}

// OpenCV's rectification of one camera at one size, as the tables should sample it: maps of
// rectified pixel -> raw pixel with the rectified focal length and the image centre, the right
// camera's rows `shift` further down, then turned into the depth image's orientation.
void ReferenceMaps(const board::sim_module::StereoModel& model, int camera, cv::Size size, int focal, int shift,
                   cv::Mat* x, cv::Mat* y) {
  cv::Mat r[2], p[2], q;
  cv::stereoRectify(model.intrinsic[0], model.distortion[0], model.intrinsic[1], model.distortion[1],
                    cv::Size(640, 480), model.rotation, model.translation, r[0], r[1], p[0], p[1], q,
                    cv::CALIB_ZERO_DISPARITY, 0);
  const cv::Mat rectified = (cv::Mat_<double>(3, 3) << focal, 0, size.width / 2, 0, focal, size.height / 2, 0, 0, 1);
  cv::Mat map_x, map_y;
  cv::initUndistortRectifyMap(model.intrinsic[camera], model.distortion[camera], r[camera], rectified,
                              cv::Size(size.width, size.height + shift), CV_32FC1, map_x, map_y);
  const cv::Rect cut(0, camera == 1 ? shift : 0, size.width, size.height);
  cv::rotate(map_x(cut), *x, cv::ROTATE_90_CLOCKWISE);
  cv::rotate(map_y(cut), *y, cv::ROTATE_90_CLOCKWISE);
}

// Largest distance, along either axis, between the raw pixel a table entry reads and OpenCV's
// point, over the entries whose point lies inside the frame; entries of `table` are raw offsets.
double LargestDifference(const std::vector<int>& table, const cv::Mat& x, const cv::Mat& y, size_t* compared) {
  double largest = 0.0;
  *compared = 0;
  for (int i = 0; i < static_cast<int>(table.size()); ++i) {
    const float rx = x.at<float>(i / x.cols, i % x.cols), ry = y.at<float>(i / x.cols, i % x.cols);
    if (rx < 0.0f || ry < 0.0f || rx > 639.0f || ry > 479.0f) continue;
    ++*compared;
    largest = std::max({largest, static_cast<double>(std::abs(table[i] % 640 - rx)),
                        static_cast<double>(std::abs(table[i] / 640 - ry))});
  }
  return largest;
}

TEST_F(DynamicCalibration, TablesOfARealLensFollowOpenCVsRectification) {
  const board::sim_module::StereoModel lens = board::sim_module::Model();
  cv::FileStorage file(folder_.File("lens.yml"), cv::FileStorage::WRITE);
  file << "zuq_type" << "b" << "left_intrinsic" << lens.intrinsic[0] << "right_intrinsic" << lens.intrinsic[1];
  file << "left_discoeffs" << lens.distortion[0] << "right_discoeffs" << lens.distortion[1];
  file << "rotation" << lens.rotation << "transformation" << lens.translation;
  file.release();
  const std::string saved = board::Root();
  setenv("BOARD_ROOT", folder_.path().c_str(), 1);
  std::filesystem::create_directories(folder_.File("system/etc"));
  constexpr int kShift = 2;
  const int result =
      CalibraterImageDynamicInit(folder_.File("lens.yml").c_str(), 0.0f, 640, 480, kShift, kFocalLength, 1.0, 0, 0);
  setenv("BOARD_ROOT", saved.c_str(), 1);
  ASSERT_EQ(result, 0);

  for (int camera = 0; camera < 2; ++camera) {
    cv::Mat x, y;
    size_t compared = 0;
    ReferenceMaps(lens, camera, cv::Size(320, 240), kFocalLength, kShift, &x, &y);
    const double grey = LargestDifference(table_probe::GreyTable(camera), x, y, &compared);
    EXPECT_GT(compared, size_t(table_probe::kVUCount) * 9 / 10);
    // A real warp: the lens moves some pixels well away from where an ideal one would take them.
    double moved = 0.0;
    for (int i = 0; i < table_probe::kVUCount; ++i)
      moved = std::max(moved, static_cast<double>(std::abs(x.at<float>(i / 240, i % 240) - 2 * (i / 240))));
    EXPECT_GT(moved, 5.0);

    std::vector<int> y_table, vu_table;
    table_probe::ColourTables(camera, y_table, vu_table);
    ReferenceMaps(lens, camera, cv::Size(640, 480), 2 * kFocalLength, 2 * kShift, &x, &y);
    // The colour image keeps the raw orientation: turn the reference back.
    cv::rotate(x, x, cv::ROTATE_90_COUNTERCLOCKWISE);
    cv::rotate(y, y, cv::ROTATE_90_COUNTERCLOCKWISE);
    const double colour = LargestDifference(y_table, x, y, &compared);
    std::printf("camera %d: largest table difference from OpenCV's maps %.3f px (grey), %.3f px (colour)\n", camera,
                grey, colour);
    // Rounding to whole raw pixels, and a float map stored as 16-bit integers, leave half a pixel.
    EXPECT_LE(grey, 0.5 + 1e-3);
    EXPECT_LE(colour, 0.5 + 1e-3);
  }
}

TEST_F(DynamicCalibration, UnusableParameterFilesGiveTheirResultAndWriteNothing) {
  EXPECT_EQ(GenerateDynamicCalibrationFile(folder_.File("none.yml").c_str(), folder_.File("out.yml").c_str(), 0, 0,
                                           0, kFocalLength, 1.0, 0, 0),
            2);
  const std::function<void(Model&)> faults[] = {
      [](Model& m) { m.zuq_type = "x"; },
      [](Model& m) { m.intrinsic = cv::Mat::eye(2, 3, CV_64F); },
      [](Model& m) { m.rotation = cv::Mat::eye(3, 3, CV_64FC2); },
      [](Model& m) { m.translation.at<double>(1) = std::numeric_limits<double>::quiet_NaN(); }};
  for (size_t k = 0; k < std::size(faults); ++k) {
    Model model;
    faults[k](model);
    EXPECT_EQ(Generate(model, 0, "out.yml"), 8) << "fault " << k;
  }
  EXPECT_FALSE(std::filesystem::exists(folder_.File("out.yml")));

  const std::string garbage = folder_.File("garbage.yml");
  std::ofstream(garbage) << "left_intrinsic: !!opencv-matrix\n   rows: 3\n   cols: [ 3\n";
  EXPECT_NE(GenerateDynamicCalibrationFile(garbage.c_str(), folder_.File("out.yml").c_str(), 0, 0, 0, kFocalLength,
                                           1.0, 0, 0),
            0);
  const std::string bad_matrix = folder_.File("bad_matrix.yml");
  std::ofstream(bad_matrix) << "%YAML:1.0\n---\nzuq_type: b\nrotation: !!opencv-matrix\n   rows: 3\n   cols: 3\n"
                               "   dt: d\n   data: [ 1, 0, 0 ]\n";
  EXPECT_EQ(GenerateDynamicCalibrationFile(bad_matrix.c_str(), folder_.File("out.yml").c_str(), 0, 0, 0,
                                           kFocalLength, 1.0, 0, 0),
            8);
}

TEST_F(DynamicCalibration, InitWritesTheFileUnderTheBoardRootAndLoadsIt) {
  const std::string saved = board::Root();
  setenv("BOARD_ROOT", folder_.path().c_str(), 1);
  std::filesystem::create_directories(folder_.File("system/etc"));
  WriteModel(folder_.File("model.yml"), Model());
  const int result =
      CalibraterImageDynamicInit(folder_.File("model.yml").c_str(), 0.0f, 640, 480, 0, kFocalLength, 1.0, 0, 0);
  setenv("BOARD_ROOT", saved.c_str(), 1);
  ASSERT_EQ(result, 0);
  EXPECT_TRUE(std::filesystem::exists(folder_.File("system/etc/axis_dynamic.yml")));
  const auto left = table_probe::GreyTable(0);
  ASSERT_EQ(left.size(), size_t(table_probe::kVUCount));
  for (int i = 0; i < table_probe::kVUCount; ++i) ASSERT_EQ(left[i], IdealLeftGreyEntry(i)) << i;
  EXPECT_EQ(CalibraterImageDynamicInit(folder_.File("none.yml").c_str(), 0.0f, 0, 0, 0, kFocalLength, 1.0, 0, 0), 2);
}

}  // namespace
