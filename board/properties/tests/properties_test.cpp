// Property service stand-in: values come from the board root's file, defaults otherwise, and
// never more than the caller's buffer holds.
#include "board/properties.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "test_support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kFirmwareKey = "ro.quenlivark.product.all";

class PropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    fs::create_directories(root_ / "system");
    setenv("BOARD_ROOT", root_.c_str(), 1);
  }
  void TearDown() override { unsetenv("BOARD_ROOT"); }
  void WriteProperties(const std::string& text) { std::ofstream(root_ / "system" / "build.prop") << text; }

  test_support::TempFolder folder_{"board-props"};
  fs::path root_ = folder_.path();
  char value_[4096] = {};
};

}  // namespace

TEST_F(PropertiesTest, ReadsTheFirmwareVersionFromTheBoardRootFile) {
  WriteProperties("# board identity\n\nro.other=1\n  ro.quenlivark.product.all = QV-2.4.1 build 77 \r\n");
  EXPECT_EQ(property_get(kFirmwareKey, value_, ""), 17);
  EXPECT_STREQ(value_, "QV-2.4.1 build 77");
}

TEST_F(PropertiesTest, FirstLineForAKeyWinsAndValuesMayHoldEquals) {
  WriteProperties("a.b=x=y\na.b=second\n");
  EXPECT_EQ(property_get("a.b", value_, "d"), 3);
  EXPECT_STREQ(value_, "x=y");
}

TEST_F(PropertiesTest, MissingFileKeyOrPrefixGivesTheDefault) {
  EXPECT_EQ(property_get(kFirmwareKey, value_, ""), 0) << "no file at all";
  EXPECT_STREQ(value_, "");
  WriteProperties("ro.quenlivark.product.allx=1\nro.quenlivark.product=2\n# ro.quenlivark.product.all=3\n");
  EXPECT_EQ(property_get(kFirmwareKey, value_, "none"), 4);
  EXPECT_STREQ(value_, "none");
  EXPECT_EQ(property_get(kFirmwareKey, value_, nullptr), 0);
  EXPECT_STREQ(value_, "");
  EXPECT_EQ(property_get("", value_, "e"), 1);
}

TEST_F(PropertiesTest, ValuesNeverOverrunTheDocumentedSize) {
  std::string longest(PROPERTY_VALUE_MAX - 1, 'v');
  std::string too_long(PROPERTY_VALUE_MAX, 'w');
  WriteProperties("fits=" + longest + "\ntoo.long=" + too_long + "\n");
  std::memset(value_, 'Z', sizeof value_);
  EXPECT_EQ(property_get("fits", value_, ""), PROPERTY_VALUE_MAX - 1);
  EXPECT_EQ(std::string(value_), longest);
  EXPECT_EQ(value_[PROPERTY_VALUE_MAX], 'Z') << "nothing written past the value and its NUL";
  EXPECT_EQ(property_get("too.long", value_, "dflt"), 4) << "a value the service cannot hold is not set";
  EXPECT_STREQ(value_, "dflt");
  std::string long_default(200, 'd');
  EXPECT_EQ(property_get("absent", value_, long_default.c_str()), PROPERTY_VALUE_MAX - 1);
}
