// Typed values: conversions, type rules, the string capacity and formatting of new values.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "text_store.h"

namespace {
const char kValuesText[] =
    "<cd_configurations name=r><configuration name=default_configuration><module name=m>"
    "<record name=count type=integer value=12ab></record>"
    "<record name=negative type=integer value=  -7></record>"
    "<record name=letters type=integer value=abc></record>"
    "<record name=huge type=integer value=99999999999></record>"
    "<record name=ratio type=double value=2.5e-1x></record>"
    "<record name=text type=string value=abcdef></record>"
    "<record name=box type=container><record name=inner type=integer value=3></record></record>"
    "</module></configuration></cd_configurations>";

class ConfigurationValues : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(store_.LoadText(kValuesText), RESULT_OK); }

  std::int32_t Integer(const char* path) {
    std::int32_t value = 0;
    std::uint32_t length = 0;
    EXPECT_EQ(store_.GetValue("", "m", path, RECORD_TYPE_INTEGER, &value, &length), RESULT_OK);
    EXPECT_EQ(length, 4u);
    return value;
  }

  TextStore store_;
};
}  // namespace

TEST_F(ConfigurationValues, IntegersReadAsAtoiDoes) {
  EXPECT_EQ(Integer("count"), 12);
  EXPECT_EQ(Integer("negative"), -7);
  EXPECT_EQ(Integer("letters"), 0);
  EXPECT_EQ(Integer("huge"), INT_MAX);
  EXPECT_EQ(Integer("box/inner"), 3);
}

TEST_F(ConfigurationValues, DoublesReadAsAtofDoes) {
  double value = 0;
  std::uint32_t length = 0;
  ASSERT_EQ(store_.GetValue("", "m", "ratio", RECORD_TYPE_DOUBLE, &value, &length), RESULT_OK);
  EXPECT_DOUBLE_EQ(value, 0.25);
  EXPECT_EQ(length, 8u);
}

TEST_F(ConfigurationValues, WrongKindsAreRefusedDifferentlyForGetAndSet) {
  double number = 0;
  std::uint32_t length = 8;
  EXPECT_EQ(store_.GetValue("", "m", "count", RECORD_TYPE_DOUBLE, &number, &length), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(store_.SetValue("", "m", "count", RECORD_TYPE_DOUBLE, &number, 8), RESULT_NOT_SUPPORTED);
  EXPECT_EQ(store_.GetValue("", "m", "box", RECORD_TYPE_CONTAINER, &number, &length), RESULT_NOT_SUPPORTED);
  EXPECT_EQ(store_.SetValue("", "m", "box", RECORD_TYPE_CONTAINER, &number, 8), RESULT_NOT_SUPPORTED);
  EXPECT_EQ(store_.SetValue("", "m", "box", RECORD_TYPE_INTEGER, &number, 4), RESULT_NOT_SUPPORTED);
  EXPECT_EQ(store_.GetValue("", "m", "box", RECORD_TYPE_INTEGER, &number, &length), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(Integer("count"), 12);
}

TEST_F(ConfigurationValues, StringFitsOnlyWithRoomForItsTerminator) {
  char buffer[8];
  std::memset(buffer, '#', sizeof(buffer));
  std::uint32_t capacity = 6;  // "abcdef" needs 7 with the terminator
  EXPECT_EQ(store_.GetValue("", "m", "text", RECORD_TYPE_STRING, buffer, &capacity), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(std::string(buffer, sizeof(buffer)), std::string(8, '#'));  // nothing written
  std::memset(buffer, 0, sizeof(buffer));
  capacity = 7;
  ASSERT_EQ(store_.GetValue("", "m", "text", RECORD_TYPE_STRING, buffer, &capacity), RESULT_OK);
  EXPECT_EQ(capacity, 6u);
  EXPECT_STREQ(buffer, "abcdef");
}

TEST_F(ConfigurationValues, NullBufferOrLengthIsRefused) {
  std::int32_t value = 0;
  std::uint32_t length = 4;
  EXPECT_EQ(store_.GetValue("", "m", "count", RECORD_TYPE_INTEGER, nullptr, &length), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(store_.GetValue("", "m", "count", RECORD_TYPE_INTEGER, &value, nullptr), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(store_.SetValue("", "m", "text", RECORD_TYPE_STRING, nullptr, 3), RESULT_INVALID_ARGUMENT);
}

TEST_F(ConfigurationValues, NewValuesAreFormattedAsTheWriterExpects) {
  const double ratio = 0.3;
  ASSERT_EQ(store_.SetValue("", "m", "ratio", RECORD_TYPE_DOUBLE, &ratio, 8), RESULT_OK);
  const std::int32_t count = -42;
  ASSERT_EQ(store_.SetValue("", "m", "count", RECORD_TYPE_INTEGER, &count, 0), RESULT_OK);  // length ignored
  ASSERT_EQ(store_.SetValue("", "m", "text", RECORD_TYPE_STRING, "new text here", 8), RESULT_OK);
  const std::string saved = store_.SavedText();
  EXPECT_NE(saved.find("<record name=ratio type=double value=0.300000></record>\r\n"), std::string::npos);
  EXPECT_NE(saved.find("<record name=count type=integer value=-42></record>\r\n"), std::string::npos);
  EXPECT_NE(saved.find("<record name=text type=string value=new text></record>\r\n"), std::string::npos);
}

TEST_F(ConfigurationValues, HugeDoubleIsWrittenWhole) {
  const double huge = 1e300;
  ASSERT_EQ(store_.SetValue("", "m", "ratio", RECORD_TYPE_DOUBLE, &huge, 8), RESULT_OK);
  TextStore reread;
  ASSERT_EQ(reread.LoadText(store_.SavedText()), RESULT_OK);
  double value = 0;
  std::uint32_t length = 0;
  ASSERT_EQ(reread.GetValue("", "m", "ratio", RECORD_TYPE_DOUBLE, &value, &length), RESULT_OK);
  EXPECT_DOUBLE_EQ(value, huge);
}
