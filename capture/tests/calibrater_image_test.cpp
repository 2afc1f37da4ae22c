// Tests of reading the calibration file: sensor types, parameters, bad files and the remap tables
// built from closed-form maps, with the disparity offset.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "calibration_fixture.h"
#include "calibrater_image.h"
#include "calibrater_parse.h"
#include "table_probe.h"
#include "test_support/file_text.h"

using namespace calibration_fixture;

namespace {

class CalibrationFile : public ::testing::Test {
 protected:
  void TearDown() override { CalibraterImageUnInit(); }

  // Writes the ideal file with `header` and `maps` and returns its path.
  std::string Write(const Header& header = Header(), const Maps& maps = IdealTurnedMaps(), const char* name = "c.yml") {
    const std::string path = folder_.File(name);
    WriteCalibration(path, header, maps);
    return path;
  }

  TempFolder folder_;
};

// ---- sensor type and parameters ----

using SensorType = CalibrationFile;

TEST_F(SensorType, LetterIsFoundInAnyCaseWithCBeforeBBeforeA) {
  const struct {
    const char* text;
    int type;
  } cases[] = {{"B", 1}, {"cab", 2}, {"a", 0}, {"zuq-A", 0}, {"ab", 1}};
  for (const auto& c : cases) {
    Header header;
    header.zuq_type = c.text;
    ASSERT_EQ(ReadCalibraterFileConfig(Write(header).c_str()), 0) << c.text;
    EXPECT_EQ(CalibraterImageGetZUQType(), c.type) << c.text;
  }
}

TEST_F(SensorType, UnknownLetterGivesEightAndKeepsEarlierParameters) {
  Header good;
  good.focal_length = 123;
  ASSERT_EQ(ReadCalibraterFileConfig(Write(good).c_str()), 0);
  Header bad;
  bad.zuq_type = "x";
  bad.focal_length = 999;
  EXPECT_EQ(ReadCalibraterFileConfig(Write(bad, IdealTurnedMaps(), "bad.yml").c_str()), 8);
  EXPECT_EQ(CalibraterImageGetFocalLength(), 123);
  EXPECT_EQ(CalibraterImageGetZUQType(), 1);
}

TEST_F(SensorType, ParametersAreHandedOutUnderBothNames) {
  Header header;
  header.baseline = 12;
  header.focal_length = 321;
  header.disparity_shift = 5;
  header.disparity_range = 64;
  ASSERT_EQ(CalibraterImageInit(Write(header).c_str(), 0.0f), 0);
  EXPECT_FLOAT_EQ(CalibraterImageGetBaseline(), 12.0f);
  EXPECT_FLOAT_EQ(ZUQGetBaseline(), 12.0f);
  EXPECT_EQ(ZUQGetFocalLength(), 321);
  EXPECT_EQ(ZUQGetDisparityShift(), 5);
  EXPECT_EQ(ZUQGetDisparityRange(), 64);
  int height = 0, width = 0;
  CalibraterImageGetYUVHeightAndWidth(&height, &width);
  EXPECT_EQ(height, 480);
  EXPECT_EQ(width, 640);
  ZUQGetGetDepthImageHeightAndWidth(&height, &width);
  EXPECT_EQ(height, 320);
  EXPECT_EQ(width, 240);
}

TEST_F(SensorType, LongVersionTextIsCutToNineteenCharacters) {
  Header header;
  header.version = "0123456789abcdefghijklmnop";
  EXPECT_EQ(ReadCalibraterFileConfig(Write(header).c_str()), 0);
}

// ---- frame rate ----

TEST(FrameRate, MissingOrMisplacedSeparatorsGiveTenAndZero) {
  for (const char* text : {"preview-frame-rate 20;", "preview-frame-rate=20", ";preview-frame-rate=20", ""}) {
    int rate = -1;
    EXPECT_EQ(calibrater::ParseFrameRate(text, &rate), 10) << text;
    EXPECT_EQ(rate, 0) << text;
  }
  int rate = 0;
  EXPECT_EQ(calibrater::ParseFrameRate("a=b;rate=15;", &rate), 10);
  EXPECT_EQ(calibrater::ParseFrameRate("fps=30;x", &rate), 0);
  EXPECT_EQ(rate, 30);
}

// ---- files that cannot be used ----

using BadFile = CalibrationFile;

// A file each init refuses, after which the tables of the ideal file must still be in place.
TEST_F(BadFile, RefusedFileKeepsTheTablesAndSizesLoadedBefore) {
  enum Init { kAll, kColour, kGrey };
  const struct {
    const char* name;
    Init init;
    std::function<void(Header&, Maps&)> fault;  // null: the file is missing
    int result;
  } cases[] = {
      {"missing", kAll, nullptr, 2},
      {"missing grey", kGrey, nullptr, 2},
      {"wide frame", kAll, [](Header& h, Maps&) { h.yuv_image_width = 1280; }, 8},
      {"short colour maps", kColour,
       [](Header&, Maps& m) {
         for (cv::Mat* map : {&m.left_x_640, &m.left_y_640, &m.right_x_640, &m.right_y_640})
           *map = map->rowRange(0, 639).clone();
       }, 8},
      {"turned colour map", kColour, [](Header&, Maps& m) { m.right_y_640 = m.right_y_640.t(); }, 8},
      {"short grey maps", kGrey,
       [](Header&, Maps& m) {
         for (cv::Mat* map : {&m.left_x_320, &m.left_y_320, &m.right_x_320, &m.right_y_320})
           *map = map->rowRange(0, 319).clone();
       }, 8},
      {"turned grey map", kGrey, [](Header&, Maps& m) { m.right_x_320 = m.right_x_320.t(); }, 8},
      {"grey row above the marker", kGrey, [](Header&, Maps& m) { m.left_y_320.at<float>(3, 3) = 481.0f; }, 8},
      {"grey column above the marker", kGrey, [](Header&, Maps& m) { m.right_x_320.at<short>(3, 3) = 641; }, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(CalibraterImageInit(Write().c_str(), 0.0f), 0);
    Header header;
    Maps maps = IdealTurnedMaps();
    std::string path = folder_.File("none.yml");
    if (c.fault) {
      c.fault(header, maps);
      path = Write(header, maps, "refused.yml");
    }
    const int result = c.init == kAll     ? CalibraterImageInit(path.c_str(), 0.0f)
                       : c.init == kColour ? CalibraterImageYUVInit(path.c_str())
                                           : CalibraterImageGrayInit(path.c_str(), 3.0f);
    EXPECT_EQ(result, c.result);
    int height = 0, width = 0;
    CalibraterImageGetDepthHeightAndWidth(&height, &width);
    EXPECT_EQ(height, 320);
    EXPECT_EQ(width, 240);
    std::vector<int> y_table, vu_table;
    table_probe::ColourTables(0, y_table, vu_table);
    EXPECT_EQ(y_table[1000], 1000);
    const int grey_entry = 3 * 240 + 3;
    EXPECT_EQ(table_probe::GreyTable(0)[grey_entry], IdealLeftGreyEntry(grey_entry));
    EXPECT_EQ(table_probe::GreyTable(1)[grey_entry], IdealLeftGreyEntry(grey_entry));
  }
  EXPECT_EQ(CalibraterImageInit(nullptr, 0.0f), 2);
}

TEST_F(BadFile, GarbageTruncatedAndMalformedFilesAreRefusedWithoutThrowing) {
  const std::string garbage = folder_.File("garbage.yml");
  std::ofstream(garbage) << "\x01\x02 this is: [not {yaml\n\t\t- ]]]\n";
  EXPECT_NE(CalibraterImageInit(garbage.c_str(), 0.0f), 0);

  // The ideal file cut in the middle of a matrix.
  const std::string whole = Write();
  const std::string text = test_support::ReadWholeFile(whole);
  const std::string truncated = folder_.File("truncated.yml");
  std::ofstream(truncated) << text.substr(0, text.size() / 3);
  EXPECT_NE(CalibraterImageInit(truncated.c_str(), 0.0f), 0);

  const std::string empty = folder_.File("empty.yml");
  std::ofstream(empty) << "%YAML:1.0\n---\n";
  EXPECT_EQ(CalibraterImageInit(empty.c_str(), 0.0f), 8);

  const std::string path = folder_.File("text_map.yml");
  {
    cv::FileStorage file(path, cv::FileStorage::WRITE);
    WriteHeader(file, Header());
    const Maps maps = IdealTurnedMaps();
    file << "left_x_640" << "not a matrix" << "left_y_640" << maps.left_y_640;
    file << "right_x_640" << maps.right_x_640 << "right_y_640" << maps.right_y_640;
  }
  EXPECT_EQ(CalibraterImageInit(path.c_str(), 0.0f), 8);
}

// ---- tables from the closed-form maps ----

using Tables = CalibrationFile;

TEST_F(Tables, IdealColourTablesAreTheIdentity) {
  ASSERT_EQ(CalibraterImageInit(Write().c_str(), 0.0f), 0);
  for (int camera : {0, 1}) {
    std::vector<int> y_table, vu_table;
    table_probe::ColourTables(camera, y_table, vu_table);
    for (int i = 0; i < table_probe::kYCount; ++i) ASSERT_EQ(y_table[i], i) << "camera " << camera;
    // Chroma pixel j reads the V,U pair j of the NV21 plane.
    for (int j = 0; j < table_probe::kVUCount; ++j) ASSERT_EQ(vu_table[j], 2 * j) << "camera " << camera;
  }
}

TEST_F(Tables, EveryGreyEntryFollowsTheClosedForm) {
  ASSERT_EQ(CalibraterImageInit(Write().c_str(), 0.0f), 0);
  const auto left = table_probe::GreyTable(0);
  const auto right = table_probe::GreyTable(1);
  ASSERT_EQ(left.size(), size_t(table_probe::kVUCount));
  for (int i = 0; i < table_probe::kVUCount; ++i) {
    ASSERT_EQ(left[i], IdealLeftGreyEntry(i)) << i;
    ASSERT_EQ(right[i], IdealLeftGreyEntry(i)) << i;
  }
}

TEST_F(Tables, ShiftedRightMapsPushLowRowsToMarkers) {
  ASSERT_EQ(CalibraterImageInit(Write(Header(), IdealTurnedMaps(2)).c_str(), 0.0f), 0);
  std::vector<int> y_table, vu_table;
  table_probe::ColourTables(1, y_table, vu_table);
  for (int i = 0; i < table_probe::kYCount; ++i) {
    const int row = i / 640 + 4;  // two grey rows are four raw rows
    ASSERT_EQ(y_table[i], row < 480 ? row * 640 + i % 640 : 0) << i;
  }
  const auto right = table_probe::GreyTable(1);
  for (int i = 0; i < table_probe::kVUCount; ++i) {
    const int c = i % 240, y = 478 - 2 * c + 4;
    ASSERT_EQ(right[i], y < 480 ? y * 640 + 2 * (i / 240) : 0) << i;
  }
}

TEST_F(Tables, TypeAMirrorsAndTypesBCTurnTheColourMap) {
  // Unique values per map entry: x = entry % 640, y = entry / 640 of the map's own index.
  Maps maps = IdealTurnedMaps();
  Header header;
  for (const char* type : {"a", "c"}) {
    header.zuq_type = type;
    const bool turned = type[0] != 'a';
    const int rows = turned ? 640 : 480, cols = turned ? 480 : 640;
    cv::Mat x(rows, cols, CV_32F), y(rows, cols, CV_32F);
    for (int k = 0; k < rows * cols; ++k) {
      x.at<float>(k / cols, k % cols) = static_cast<float>(k % 640);
      y.at<float>(k / cols, k % cols) = static_cast<float>(k / 640);
    }
    maps.left_x_640 = maps.right_x_640 = x;
    maps.left_y_640 = maps.right_y_640 = y;
    ASSERT_EQ(CalibraterImageInit(Write(header, maps, type).c_str(), 0.0f), 0) << type;
    std::vector<int> y_table, vu_table;
    table_probe::ColourTables(0, y_table, vu_table);
    // Output pixel (0, 0) takes map entry (0, 639) for type a and (0, 479) for types b and c.
    EXPECT_EQ(y_table[0], turned ? 479 : 639) << type;
    // Output pixel (r, c) of a type a map is its entry (r, 639 - c).
    if (!turned) EXPECT_EQ(y_table[5 * 640 + 17], 5 * 640 + 622);
    else EXPECT_EQ(y_table[5 * 640 + 17], 17 * 480 + 474);
  }
}

TEST_F(Tables, MarkersAndEntriesBeyondTheFrameHaveNoSource) {
  Maps maps = IdealTurnedMaps();
  maps.left_y_320.at<float>(3, 3) = 480.0f;  // grey marker row
  maps.left_x_640.at<short>(10, 20) = 640;  // marker
  maps.left_y_640.at<short>(11, 20) = -3;   // beyond the frame
  maps.left_y_640.at<short>(12, 20) = 900;  // beyond the frame
  maps.left_x_320.at<short>(7, 9) = 640;    // marker
  maps.right_x_320.at<short>(8, 9) = -1;    // beyond the frame
  ASSERT_EQ(CalibraterImageInit(Write(Header(), maps).c_str(), 0.0f), 0);
  std::vector<int> y_table, vu_table;
  table_probe::ColourTables(0, y_table, vu_table);
  // Map entry (row, col) is output pixel (479 - col, row).
  EXPECT_EQ(y_table[(479 - 20) * 640 + 10], 0);
  EXPECT_EQ(y_table[(479 - 20) * 640 + 11], 0);
  EXPECT_EQ(y_table[(479 - 20) * 640 + 12], 0);
  EXPECT_EQ(y_table[(479 - 20) * 640 + 13], (479 - 20) * 640 + 13);
  const auto left = table_probe::GreyTable(0);
  EXPECT_EQ(left[7 * 240 + 9], 0);
  EXPECT_EQ(left[3 * 240 + 3], 0);
  EXPECT_EQ(table_probe::GreyTable(1)[8 * 240 + 9], 0);
}

// ---- the disparity offset ----

using Offset = CalibrationFile;

TEST_F(Offset, PlusThreeMovesRowsDownAndKeepsMarkers) {
  Maps maps = IdealTurnedMaps();
  maps.left_y_320.at<float>(10, 100) = 480.0f;  // marker in the file
  const std::string path = Write(Header(), maps);
  ASSERT_EQ(CalibraterImageInit(path.c_str(), 0.0f), 0);
  ASSERT_EQ(CalibraterImageGrayInit(path.c_str(), 3.0f), 0);
  const auto left = table_probe::GreyTable(0);
  for (int i = 0; i < table_probe::kVUCount; ++i) {
    if (i == 10 * 240 + 100) {
      ASSERT_EQ(left[i], 0);
      continue;
    }
    const int y = 478 - 2 * (i % 240) + 3;
    ASSERT_EQ(left[i], y < 480 ? y * 640 + 2 * (i / 240) : 0) << i;
  }
  // The right table is not moved.
  EXPECT_EQ(table_probe::GreyTable(1)[0], IdealLeftGreyEntry(0));
}

TEST_F(Offset, MinusSixHundredClampsEveryRowToZero) {
  const std::string path = Write();
  ASSERT_EQ(CalibraterImageInit(path.c_str(), -600.0f), 0);
  const auto left = table_probe::GreyTable(0);
  for (int i = 0; i < table_probe::kVUCount; ++i) ASSERT_EQ(left[i], 2 * (i / 240)) << i;
}

TEST_F(Offset, OffsetsDoNotAddUp) {
  const std::string path = Write();
  ASSERT_EQ(CalibraterImageInit(path.c_str(), 0.0f), 0);
  ASSERT_EQ(CalibraterImageGrayInit(path.c_str(), 2.0f), 0);
  ASSERT_EQ(CalibraterImageGrayInit(path.c_str(), 2.0f), 0);
  EXPECT_EQ(table_probe::GreyTable(0)[239], (0 + 2) * 640);  // column 239: row 0, moved by 2
}

TEST_F(Offset, FileRowPlusOffsetIsRoundedToTheNearestRow) {
  const struct {
    float file_row, offset;
    int row;
  } cases[] = {{100.4f, 0.0f, 100}, {100.6f, 0.0f, 101}, {100.3f, 0.3f, 101}, {100.3f, -1.5f, 99},
               // just below the marker: an ordinary row, kept when a negative offset moves it up
               {479.7f, -1.0f, 479}, {479.6f, -0.5f, 479}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.file_row << " + " << c.offset);
    Maps maps = IdealTurnedMaps();
    maps.left_y_320.at<float>(0, 0) = c.file_row;
    ASSERT_EQ(CalibraterImageInit(Write(Header(), maps).c_str(), c.offset), 0);
    EXPECT_EQ(table_probe::GreyTable(0)[0], c.row * 640);
  }
}

}  // namespace
