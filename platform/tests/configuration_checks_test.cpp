// The words for configuration mistakes: range refusals and why a key could not be read.
#include <gtest/gtest.h>

#include "platform/configuration_checks.h"
#include "text_store.h"

namespace {

TEST(KeyRanges, BothEndsAreAcceptedAndOutsideIsOneLine) {
  const KeyRange ranges[] = {{"port", 1, 65535}};
  ASSERT_EQ(FindKeyRange(ranges, "label"), nullptr);
  EXPECT_EQ(RangeRefusal("m", "port", ranges[0], 65535), "");
  EXPECT_EQ(RangeRefusal("m", "c/port", ranges[0], 0.5), "Configuration, m/c/port=0.5 is out of range, accepted 1 to 65535\n");
}

TEST(UnreadableKey, SaysAbsentOtherTypeEmptyOrWhichRecordDroppedTheModule) {
  TextStore store;
  ASSERT_EQ(store.LoadText("<cd_configurations name=t><configuration name=c>\n"
                           "<module name=good>\n<record name=port type=integer value=7></record>\n"
                           "<record name=label type=string value=></record>\n</module>\n"
                           "<module name=bad>\n<record name=box type=container>\n"
                           "<record name=gain type=Double value=0.2></record>\n</record>\n</module>\n"
                           "</configuration></cd_configurations>"),
            RESULT_OK);
  auto line = [&store](const char* module, const char* path, int kind) {
    return UnreadableKeyLine(&store, "c", module, path, kind);
  };
  EXPECT_EQ(line("good", "box/port", RECORD_TYPE_INTEGER), "Configuration, good/box/port: absent\n");
  EXPECT_EQ(line("good", "port", RECORD_TYPE_DOUBLE), "Configuration, good/port: of type integer, expected double\n");
  EXPECT_EQ(line("good", "label", RECORD_TYPE_STRING), "Configuration, good/label: empty value\n");
  EXPECT_EQ(line("none", "port", RECORD_TYPE_INTEGER), "Configuration, none/port: absent: module none is absent\n");
  EXPECT_NE(line("bad", "box/gain", RECORD_TYPE_DOUBLE)
                .find("dropped module bad because of its record <record name=gain type=Double value=0.2></record>"),
            std::string::npos);
}

}  // namespace
