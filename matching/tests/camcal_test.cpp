// Tests of the calibration remap of image pairs: table set-up from map files, its exact standard
// output lines, the disparity shift, bad maps and the copy through the tables.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <vector>

#include <opencv2/core.hpp>

#include "libtessaro.h"
#include "test_support/temp_folder.h"

namespace {

constexpr int kFrame = 640 * 480;

struct MapFile {
  cv::Mat left_x, left_y, right_x, right_y;
};

// Maps of rows x cols whose entry (r, c) reads source pixel (x = c + dx, y = r + dy).
MapFile Shifted(int rows, int cols, int dx = 0, int dy = 0) {
  MapFile maps;
  maps.left_x.create(rows, cols, CV_32F);
  maps.left_y.create(rows, cols, CV_32F);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      maps.left_x.at<float>(r, c) = static_cast<float>(c + dx);
      maps.left_y.at<float>(r, c) = static_cast<float>(r + dy);
    }
  maps.right_x = maps.left_x.clone();
  maps.right_y = maps.left_y.clone();
  return maps;
}

class Camcal : public ::testing::Test {
 protected:
  Camcal() {
    source_.resize(kFrame);
    for (int p = 0; p < kFrame; ++p) source_[p] = static_cast<unsigned char>(p % 251);
  }
  std::string Write(const MapFile& maps, const char* name = "maps.yml") {
    const std::string path = folder_.File(name);
    cv::FileStorage file(path, cv::FileStorage::WRITE);
    file << "left_x" << maps.left_x << "left_y" << maps.left_y << "right_x" << maps.right_x << "right_y"
         << maps.right_y;
    return path;
  }

  // Runs camcal_init and returns its result, with what it printed in `printed`.
  int Init(const std::string& path, float shift, int opt, int max_value, std::string* printed = nullptr) {
    std::vector<char> text(path.begin(), path.end());
    text.push_back('\0');
    testing::internal::CaptureStdout();
    const int result = camcal_init(text.data(), shift, opt, max_value);
    const std::string out = testing::internal::GetCapturedStdout();
    if (printed != nullptr) *printed = out;
    return result;
  }

  // Copies the source through camera `camera`'s table into a fresh destination of `size` bytes.
  std::vector<unsigned char> Copy(int camera, size_t size, unsigned char fill = 0xEE) {
    std::vector<unsigned char> destination(size, fill);
    EXPECT_EQ(camcal(camera, 0, 0, source_.data(), destination.data()), 0);
    return destination;
  }

  unsigned char At(int x, int y) const { return source_[x + y * 640]; }

  test_support::TempFolder folder_{"camcal_test"};
  std::vector<unsigned char> source_;
};

TEST_F(Camcal, SetUpPrintsItsExactLines) {
  std::string printed;
  ASSERT_EQ(Init(Write(Shifted(3, 5)), 0.0f, 1, 480, &printed), 0);
  EXPECT_EQ(printed,
            "source/camcal camcal_init 308 DEBUG axis file head: 0 1 2 3\n"
            "source/camcal camcal_init 314 DEBUG axis 4 Mat size: equal? yes.\n"
            "source/camcal camcal_init 321 DEBUG axis finish: height 3, width 5, shift_offset 0.000000, "
            "shift_opt 1, max_value 480.\n");
}

TEST_F(Camcal, MissingPathOrFileGivesOneOrTwo) {
  std::string printed;
  testing::internal::CaptureStdout();
  EXPECT_EQ(camcal_init(nullptr, 0.0f, 0, 480), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "source/camcal camcal_init 218 ERROR no camera calibration file!\n");
  const std::string missing = folder_.File("none.yml");
  EXPECT_EQ(Init(missing, 0.0f, 0, 480, &printed), 2);
  EXPECT_EQ(printed, "source/camcal camcal_init 227 ERROR cannot find camera calibration file " + missing + "\n");
}

TEST_F(Camcal, MalformedFileGivesTwoInsteadOfThrowing) {
  const std::string path = folder_.File("broken.yml");
  std::ofstream(path) << "%YAML:1.0\n---\nleft_x: !!opencv-matrix\n   rows: 3\n   cols: [ 3\n";
  EXPECT_EQ(Init(path, 0.0f, 0, 480), 2);
}

TEST_F(Camcal, CopiesEachCameraThroughItsTable) {
  MapFile maps = Shifted(7, 9, 2, 1);
  maps.right_x = maps.right_x + 5.0;
  ASSERT_EQ(Init(Write(maps), 0.0f, 1, 480), 0);
  const auto left = Copy(0, 7 * 9);
  const auto right = Copy(1, 7 * 9);
  for (int r = 0; r < 7; ++r)
    for (int c = 0; c < 9; ++c) {
      ASSERT_EQ(left[r * 9 + c], At(c + 2, r + 1));
      ASSERT_EQ(right[r * 9 + c], At(c + 7, r + 1));
    }
}

TEST_F(Camcal, LastPixelIsInsideAndOnePastItFailsWithItsLine) {
  MapFile maps = Shifted(1, 2);
  maps.left_x.at<float>(0, 1) = 639.0f;
  maps.left_y.at<float>(0, 1) = 479.0f;
  ASSERT_EQ(Init(Write(maps), 0.0f, 1, 480), 0);
  EXPECT_EQ(Copy(0, 2)[1], source_[307199]);

  std::string printed;
  maps.left_y.at<float>(0, 1) = 480.0f;
  EXPECT_EQ(Init(Write(maps, "row.yml"), 0.0f, 1, 1000, &printed), 8);
  EXPECT_NE(printed.find("source/camcal camcal_init 343 DEBUG Camcal: Left axis is error, index: 1, y: 480, x: 639\n"),
            std::string::npos);
}

// Each refused file, read after a good one, leaves neither camera a table to copy through.
TEST_F(Camcal, RefusedMapsLeaveNoTableOfEitherCamera) {
  const struct {
    const char* name;
    void (*fault)(MapFile&);
  } cases[] = {
      {"left column one past the frame", [](MapFile& m) { m.left_x.at<float>(0, 1) = 640.0f; }},
      {"negative left column", [](MapFile& m) { m.left_x.at<float>(1, 0) = -1.0f; }},
      {"negative right column", [](MapFile& m) { m.right_x.at<float>(0, 1) = -4.0f; }},
      {"left rows not floats", [](MapFile& m) { m.left_y.convertTo(m.left_y, CV_16S); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Init(Write(Shifted(2, 2)), 0.0f, 1, 480), 0);
    MapFile maps = Shifted(2, 2);
    c.fault(maps);
    EXPECT_EQ(Init(Write(maps, "refused.yml"), 0.0f, 1, 480), 8);
    EXPECT_EQ(Copy(0, 4), std::vector<unsigned char>(4, 0xEE));
    EXPECT_EQ(Copy(1, 4), std::vector<unsigned char>(4, 0xEE));
  }
}

TEST_F(Camcal, FailureLeavesNoTableOfEitherCamera) {
  ASSERT_EQ(Init(Write(Shifted(2, 2)), 0.0f, 1, 480), 0);
  MapFile maps = Shifted(2, 2);
  maps.right_x.at<float>(1, 1) = 700.0f;
  std::string printed;
  EXPECT_EQ(Init(Write(maps, "bad_right.yml"), 0.0f, 1, 480, &printed), 8);
  EXPECT_NE(printed.find("source/camcal camcal_init 367 DEBUG Camcal: Right axis is error, index: 3, y: 1, x: 700\n"),
            std::string::npos);
  // Neither the freshly built left table nor a stale right one is used.
  EXPECT_EQ(Copy(0, 4), std::vector<unsigned char>(4, 0xEE));
  EXPECT_EQ(Copy(1, 4), std::vector<unsigned char>(4, 0xEE));
}

TEST_F(Camcal, ShiftUpStopsBelowTheMaximum) {
  MapFile maps = Shifted(1, 2);
  maps.left_y.at<float>(0, 0) = 478.2f;  // 480.2 is not below 480: stays, rounds to 478
  maps.left_y.at<float>(0, 1) = 477.3f;  // 479.3, rounds to 479
  ASSERT_EQ(Init(Write(maps), 2.0f, 1, 480), 0);
  const auto left = Copy(0, 2);
  EXPECT_EQ(left[0], At(0, 478));
  EXPECT_EQ(left[1], At(1, 479));
}

TEST_F(Camcal, ShiftDownOnlyMovesRowsAboveTheShift) {
  MapFile maps = Shifted(1, 2);
  maps.left_y.at<float>(0, 0) = 2.0f;   // not above 3: stays
  maps.left_y.at<float>(0, 1) = 10.0f;  // becomes 7
  maps.right_y.at<float>(0, 1) = 10.0f;
  ASSERT_EQ(Init(Write(maps), 3.0f, 0, 480), 0);
  const auto left = Copy(0, 2);
  EXPECT_EQ(left[0], At(0, 2));
  EXPECT_EQ(left[1], At(1, 7));
  // The right table is never shifted.
  EXPECT_EQ(Copy(1, 2)[1], At(1, 10));
}

TEST_F(Camcal, MapsOfDifferentSizesUseTheAndOfTheirSizes) {
  MapFile maps = Shifted(3, 5);
  const MapFile other = Shifted(2, 6);
  maps.right_x = other.right_x;
  maps.right_y = other.right_y;
  std::string printed;
  ASSERT_EQ(Init(Write(maps), 0.0f, 1, 480, &printed), 0);
  EXPECT_NE(printed.find("axis 4 Mat size: equal? no."), std::string::npos);
  EXPECT_NE(printed.find("height 2, width 4,"), std::string::npos);
  const auto left = Copy(0, 9);
  // Entries are taken linearly from each map: entry 7 is (row 1, column 2) of the 5-wide left maps.
  EXPECT_EQ(left[7], At(2, 1));
  EXPECT_EQ(left[8], 0xEE);  // past len = 8
}

TEST_F(Camcal, LargerMapsAfterSmallerOnesGetLargerTables) {
  ASSERT_EQ(Init(Write(Shifted(2, 2)), 0.0f, 1, 480), 0);
  ASSERT_EQ(Init(Write(Shifted(40, 60), "large.yml"), 0.0f, 1, 480), 0);
  const auto left = Copy(0, 40 * 60);
  EXPECT_EQ(left[39 * 60 + 59], At(59, 39));
}

TEST_F(Camcal, OtherMapTypesAreConverted) {
  MapFile maps = Shifted(2, 3, 1, 1);
  maps.left_x.convertTo(maps.left_x, CV_16S);
  maps.right_y.convertTo(maps.right_y, CV_64F);
  ASSERT_EQ(Init(Write(maps), 0.0f, 1, 480), 0);
  EXPECT_EQ(Copy(0, 6)[5], At(3, 2));
  EXPECT_EQ(Copy(1, 6)[5], At(3, 2));
}

TEST_F(Camcal, FileWithoutMapsPrintsAnEmptyHeadAndCopiesNothing) {
  const std::string path = folder_.File("empty.yml");
  std::ofstream(path) << "%YAML:1.0\n---\nother: 1\n";
  std::string printed;
  ASSERT_EQ(Init(path, 0.0f, 1, 480, &printed), 0);
  EXPECT_NE(printed.find("source/camcal camcal_init 308 DEBUG axis file head: \n"), std::string::npos);
  EXPECT_NE(printed.find("height 0, width 0,"), std::string::npos);
}

TEST_F(Camcal, OtherCameraCopiesNothingAndNullImageGivesFour) {
  ASSERT_EQ(Init(Write(Shifted(2, 2)), 0.0f, 1, 480), 0);
  EXPECT_EQ(Copy(2, 4), std::vector<unsigned char>(4, 0xEE));
  std::vector<unsigned char> destination(4);
  testing::internal::CaptureStdout();
  EXPECT_EQ(camcal(0, 0, 0, nullptr, destination.data()), 4);
  EXPECT_EQ(camcal(0, 0, 0, source_.data(), nullptr), 4);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "source/camcal camcal 393 ERROR null img address\nsource/camcal camcal 393 ERROR null img address\n");
}

}  // namespace
