// The words for configuration mistakes: range refusals and why a key could not be read.
#include <gtest/gtest.h>

#include "platform/configuration_checks.h"
#include "text_store.h"

namespace {

const KeyRange kRanges[] = {{"port", 1, 65535}, {"gain", 0, 0.5}};

TEST(KeyRanges, BothEndsAreAcceptedAndOutsideIsOneLine) {
  ASSERT_EQ(FindKeyRange(kRanges, "label"), nullptr);
  const KeyRange& port = *FindKeyRange(kRanges, "port");
  EXPECT_EQ(RangeRefusal("m", "port", port, 1), "");
  EXPECT_EQ(RangeRefusal("m", "port", port, 65535), "");
  EXPECT_EQ(RangeRefusal("m", "c/port", port, 65536), "Configuration, m/c/port=65536 is out of range, accepted 1 to 65535\n");
  EXPECT_EQ(RangeRefusal("m", "gain", *FindKeyRange(kRanges, "gain"), 0.75),
            "Configuration, m/gain=0.75 is out of range, accepted 0 to 0.5\n");
}

const char kText[] =
    "<cd_configurations name=t>\n"
    "<configuration name=default_configuration>\n"
    "<module name=good>\n"
    "<record name=port type=integer value=7></record>\n"
    "<record name=label type=string value=></record>\n"
    "<record name=box type=container>\n"
    "<record name=inner type=integer value=1></record>\n"
    "</record>\n"
    "</module>\n"
    "<module name=bad>\n"
    "<record name=first type=integer value=1></record>\n"
    "<record name=box type=container>\n"
    "<record name=gain type=Double value=0.2></record>\n"
    "</record>\n"
    "</module>\n"
    "</configuration>\n"
    "</cd_configurations>\n";

class UnreadableKey : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(store_.LoadText(kText), RESULT_OK); }
  std::string Line(const char* module, const char* path, int kind) {
    return UnreadableKeyLine(&store_, "default_configuration", module, path, kind);
  }
  TextStore store_;
};

TEST_F(UnreadableKey, SaysAbsentOtherTypeOrEmpty) {
  EXPECT_EQ(Line("good", "missing", RECORD_TYPE_INTEGER), "Configuration, good/missing: absent\n");
  EXPECT_EQ(Line("good", "box/missing", RECORD_TYPE_INTEGER), "Configuration, good/box/missing: absent\n");
  EXPECT_EQ(Line("good", "port", RECORD_TYPE_DOUBLE), "Configuration, good/port: of type integer, expected double\n");
  EXPECT_EQ(Line("good", "box", RECORD_TYPE_STRING), "Configuration, good/box: of type container, expected string\n");
  EXPECT_EQ(Line("good", "label", RECORD_TYPE_STRING), "Configuration, good/label: empty value\n");
  EXPECT_EQ(Line("other", "port", RECORD_TYPE_INTEGER),
            "Configuration, other/port: absent: module other is absent\n");
  EXPECT_EQ(UnreadableKeyLine(&store_, "another", "good", "port", RECORD_TYPE_INTEGER),
            "Configuration, good/port: absent: configuration another is absent or was dropped by the reader\n");
}

TEST_F(UnreadableKey, ModuleDroppedByTheReaderNamesTheRecordInsideItsContainer) {
  EXPECT_EQ(Line("bad", "first", RECORD_TYPE_INTEGER),
            "Configuration, bad/first: absent: the reader dropped module bad because of its record "
            "<record name=gain type=Double value=0.2></record> (the reader takes name, then type integer, double, "
            "string or container in lower case, then value)\n");
}

TEST_F(UnreadableKey, EmptyContainerIsNamedByItsOwnLine) {
  TextStore store;
  ASSERT_EQ(store.LoadText("<cd_configurations name=t><configuration name=c><module name=m>\n"
                           "<record name=box type=container>\n</record>\n</module></configuration></cd_configurations>"),
            RESULT_OK);
  EXPECT_NE(UnreadableKeyLine(&store, "c", "m", "box", RECORD_TYPE_INTEGER)
                .find("dropped module m because of its record <record name=box type=container>"),
            std::string::npos);
}

}  // namespace
