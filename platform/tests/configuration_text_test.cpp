// The configuration text: exact bytes written, what the reader accepts and drops, and path lookups.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "text_store.h"

namespace {
std::vector<std::string> SplitCrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "text must end with CR LF";
  return lines;
}

// Records inside module m of configuration c of root r.
std::string InModule(const std::string& records) {
  return "<cd_configurations name=r><configuration name=c><module name=m>" + records +
         "</module></configuration></cd_configurations>";
}

std::size_t Indent(const std::string& line) { return line.find_first_not_of(' '); }

std::string StringValue(ConfigurationManager& store, const char* module, const char* path) {
  char buffer[4096] = {};
  std::uint32_t length = sizeof(buffer);
  const Result result = store.GetValue("", module, path, RECORD_TYPE_STRING, buffer, &length);
  return result == RESULT_OK ? std::string(buffer, length) : "<" + std::to_string(result) + ">";
}

std::int32_t IntegerValue(ConfigurationManager& store, const char* module, const char* path) {
  std::int32_t value = -1;
  std::uint32_t length = 0;
  EXPECT_EQ(store.GetValue("", module, path, RECORD_TYPE_INTEGER, &value, &length), RESULT_OK) << path;
  return value;
}

// The golden tree written loosely.
const char kLooseGoldenText[] =
    "<?xml version=1.0?>\n<cd_configurations name=camera>\n"
    "junk<configuration name=default_configuration><module name=common_config>\n"
    "<record name=application_name type=string value=quarnel></record>"
    "<record name=local_heartbeat_socket_port type=integer unit=none value=9000></record>\n"
    "<record name=socket_config type=container>\n"
    "\t<record name=server_addr type=string value=192.168.1.10></record>"
    "<record name=server_port type=integer value=8000></record>"
    "<record name=limits type=container><record name=gain type=double value=0.300000></record></record>"
    "</record></module>\n"
    "<module name=stream_center><record name=shift_offset type=double value=-1.500000></record>\n"
    "<record name=description type=string value=x y z></record><record name=empty type=string value=></record>"
    "</module></configuration>\n"
    "<configuration name=second configuration><module name=empty module></module></configuration>\n"
    "</cd_configurations>\n";
}  // namespace

// The golden text is written back byte for byte, and the same tree written loosely (LF ends, no
// indent, text between elements, an extra attribute) is written as the golden text too.
TEST(ConfigurationWriter, GoldenAndLooselyFormattedTextAreWrittenAsTheGoldenText) {
  const std::string golden = GoldenText();
  ASSERT_FALSE(golden.empty());
  for (const std::string& text : {golden, std::string(kLooseGoldenText)}) {
    TextStore store;
    ASSERT_EQ(store.LoadText(text), RESULT_OK);
    EXPECT_EQ(store.root_name(), "camera");
    EXPECT_EQ(store.SavedText(), golden);
  }
}

TEST(ConfigurationWriter, IndentsFollowDepthAndEveryLineEndsWithCrLf) {
  TextStore store;
  ASSERT_EQ(store.LoadText(InModule("<record name=i type=integer value=1></record><record name=box type=container>"
                                    "<record name=s type=string value=v></record></record>")),
            RESULT_OK);
  const std::vector<std::string> lines = SplitCrLfLines(store.SavedText());
  const std::vector<std::size_t> expected = {0, 2, 4, 6, 6, 8, 6, 4, 2, 0};
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t index = 0; index < lines.size(); ++index) EXPECT_EQ(Indent(lines[index]), expected[index]) << index;
  EXPECT_EQ(lines[3], "      <record name=i type=integer value=1></record>");
  EXPECT_EQ(lines[4], "      <record name=box type=container>");
  EXPECT_EQ(lines[6], "      </record>");
}

TEST(ConfigurationWriter, EmptyTreeWritesOnlyTheRootLines) {
  TextStore store;
  ASSERT_EQ(store.LoadText("<cd_configurations name=empty></cd_configurations>"), RESULT_OK);
  EXPECT_EQ(store.SavedText(), "<cd_configurations name=empty>\r\n</cd_configurations>\r\n");
}

TEST(ConfigurationWriter, LongValueIsWrittenAsOneWholeLine) {
  const std::string value(5000, 'L');
  TextStore store;
  ASSERT_EQ(store.LoadText(InModule("<record name=long type=string value=" + value + "></record>"
                                    "<record name=after type=integer value=7></record>")),
            RESULT_OK);
  TextStore reread;
  ASSERT_EQ(reread.LoadText(store.SavedText()), RESULT_OK);
  char buffer[8192] = {};
  std::uint32_t length = sizeof(buffer);
  ASSERT_EQ(reread.GetValue("", "m", "long", RECORD_TYPE_STRING, buffer, &length), RESULT_OK);
  EXPECT_EQ(std::string(buffer, length), value);
  EXPECT_EQ(IntegerValue(reread, "m", "after"), 7);
}

TEST(ConfigurationWriter, StringValueIsWrittenUpToItsFirstNul) {
  TextStore store;
  ASSERT_EQ(store.LoadText("<cd_configurations name=r><configuration name=c><module name=m>"
                           "<record name=s type=string value=old></record></module></configuration>"
                           "</cd_configurations>"),
            RESULT_OK);
  const char value[] = {'a', 'b', '\0', 'c'};
  ASSERT_EQ(store.SetValue("", "m", "s", RECORD_TYPE_STRING, value, sizeof(value)), RESULT_OK);
  EXPECT_NE(store.SavedText().find("value=ab></record>"), std::string::npos);
}

TEST(ConfigurationReader, StringValueKeepsInnerSpacesAndAnEmptyValueReadsButCannotBeFetched) {
  TextStore store;
  ASSERT_EQ(store.LoadText(GoldenText()), RESULT_OK);
  EXPECT_EQ(StringValue(store, "stream_center", "description"), "x y z");
  RecordNode* record = nullptr;
  ASSERT_EQ(store.FindRecord("", "stream_center", "empty", &record), RESULT_OK);
  EXPECT_EQ(record->value().size(), 0u);
  EXPECT_EQ(StringValue(store, "stream_center", "empty"), "<" + std::to_string(RESULT_NOT_READY) + ">");
}

TEST(ConfigurationReader, BadRecordDropsOnlyItsModule) {
  const char* bad_records[] = {
      "<record type=integer name=n value=1></record>",  // type before name
      "<record name=n type=Integer value=1></record>",  // capitals
      "<record name=n type=int value=1></record>",      // abbreviated
      "<record name=n type=container></record>",        // container without a child
      "<record name=n></record>",                       // no space after the name, no type
  };
  for (const char* bad : bad_records) {
    TextStore store;
    ASSERT_EQ(store.LoadText(std::string("<cd_configurations name=r><configuration name=c>"
                                         "<module name=good1><record name=a type=integer value=1></record></module>"
                                         "<module name=bad>") +
                             bad +
                             "</module><module name=good2><record name=b type=integer value=2></record></module>"
                             "</configuration></cd_configurations>"),
              RESULT_OK)
        << bad;
    ConfigurationNode* configuration = nullptr;
    ASSERT_EQ(store.GetConfiguration(nullptr, &configuration), RESULT_OK);
    ASSERT_EQ(configuration->GetModuleCount(), 2u) << bad;
    ModuleNode* module = nullptr;
    EXPECT_EQ(configuration->FindModule("bad", &module), RESULT_INVALID_ARGUMENT) << bad;
    EXPECT_EQ(IntegerValue(store, "good2", "b"), 2);
  }
}

TEST(ConfigurationReader, UnclosedConfigurationEndsReadingWithSuccess) {
  TextStore store;
  ASSERT_EQ(store.LoadText("<cd_configurations name=r>"
                           "<configuration name=first><module name=m></module></configuration>"
                           "<configuration name=second><module name=m></module>"
                           "</cd_configurations>"),
            RESULT_OK);
  EXPECT_EQ(store.GetConfigurationCount(), 1u);
  ConfigurationNode* configuration = nullptr;
  EXPECT_EQ(store.FindConfiguration("first", &configuration), RESULT_OK);
}

TEST(ConfigurationReader, MissingRootClosingTagFailsWithEmptyTreeAndNoTextIsNotReady) {
  TextStore store;
  ASSERT_EQ(store.LoadText(GoldenText()), RESULT_OK);
  ASSERT_EQ(store.GetConfigurationCount(), 2u);
  const std::string golden = GoldenText();
  EXPECT_EQ(store.LoadText(golden.substr(0, golden.find("</cd_configurations>"))), RESULT_BAD_FORMAT);
  EXPECT_EQ(store.GetConfigurationCount(), 0u);
  ConfigurationNode* configuration = nullptr;
  EXPECT_EQ(store.GetConfiguration(nullptr, &configuration), RESULT_NOT_READY);
  TextStore empty;
  EXPECT_EQ(empty.Load(), RESULT_NOT_READY);
  EXPECT_EQ(empty.LoadText(""), RESULT_NOT_READY);
}

TEST(ConfigurationReader, ValueContainingTheClosingSequenceIsCutThere) {
  TextStore store;
  ASSERT_EQ(store.LoadText(InModule("<record name=s type=string value=a></record>b></record>")),
            RESULT_OK);
  EXPECT_EQ(StringValue(store, "m", "s"), "a");
}

TEST(ConfigurationReader, NestingUpToTheCapIsReadAndDeeperIsRefused) {
  auto nested = [](int depth) {
    std::string records;
    for (int level = 1; level < depth; ++level) records += "<record name=box type=container>";
    records += "<record name=leaf type=integer value=5></record>";
    for (int level = 1; level < depth; ++level) records += "</record>";
    return InModule(records);
  };
  TextStore store;
  ASSERT_EQ(store.LoadText(nested(kMaxRecordDepth)), RESULT_OK);
  std::string path;
  for (int level = 1; level < kMaxRecordDepth; ++level) path += "box/";
  EXPECT_EQ(IntegerValue(store, "m", (path + "leaf").c_str()), 5);

  ASSERT_EQ(store.LoadText(nested(kMaxRecordDepth + 1)), RESULT_OK);
  ConfigurationNode* configuration = nullptr;
  ASSERT_EQ(store.GetConfiguration(nullptr, &configuration), RESULT_OK);
  EXPECT_EQ(configuration->GetModuleCount(), 0u);

  // Far deeper than any stack could recurse: refused, not crashed.
  ASSERT_EQ(store.LoadText(nested(20000)), RESULT_OK);
  ASSERT_EQ(store.GetConfiguration(nullptr, &configuration), RESULT_OK);
  EXPECT_EQ(configuration->GetModuleCount(), 0u);
}

TEST(ConfigurationLookup, FirstOfTwoNamesakesIsFound) {
  TextStore store;
  ASSERT_EQ(store.LoadText("<cd_configurations name=r><configuration name=c><module name=m>"
                           "<record name=twin type=integer value=1></record>"
                           "<record name=twin type=integer value=2></record>"
                           "</module><module name=m><record name=only type=integer value=3></record></module>"
                           "</configuration></cd_configurations>"),
            RESULT_OK);
  EXPECT_EQ(IntegerValue(store, "m", "twin"), 1);
  RecordNode* record = nullptr;
  EXPECT_EQ(store.FindRecord("", "m", "only", &record), RESULT_INVALID_ARGUMENT);  // no retry in the second m
}

TEST(ConfigurationLookup, PathsDescendThroughContainersOnly) {
  TextStore store;
  ASSERT_EQ(store.LoadText(GoldenText()), RESULT_OK);
  RecordNode* record = nullptr;
  EXPECT_EQ(store.FindRecord("default_configuration", "common_config", "socket_config/limits/gain", &record),
            RESULT_OK);
  EXPECT_EQ(record->depth(), 3);
  EXPECT_EQ(store.FindRecord("", "common_config", "local_heartbeat_socket_port/x", &record), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(store.FindRecord("", "common_config", "socket_config/missing", &record), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(store.FindRecord("", "common_config", nullptr, &record), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(store.FindRecord("", "no_module", "socket_config", &record), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(store.FindRecord("no_configuration", "common_config", "socket_config", &record), RESULT_INVALID_ARGUMENT);
  const std::string long_segment(5000, 's');
  EXPECT_EQ(store.FindRecord("", "common_config", (long_segment + "/x").c_str(), &record), RESULT_INVALID_ARGUMENT);
}

TEST(ConfigurationLookup, CurrentConfigurationRuleAndSelection) {
  TextStore store;
  ASSERT_EQ(store.LoadText(GoldenText()), RESULT_OK);
  ConfigurationNode* configuration = nullptr;
  ASSERT_EQ(store.GetConfiguration("", &configuration), RESULT_OK);
  EXPECT_EQ(configuration->name(), "default_configuration");
  ASSERT_EQ(store.SelectConfiguration("second configuration"), RESULT_OK);
  ASSERT_EQ(store.GetConfiguration(nullptr, &configuration), RESULT_OK);
  EXPECT_EQ(configuration->name(), "second configuration");
  EXPECT_EQ(store.SelectConfiguration(std::size_t{2}), RESULT_INVALID_ARGUMENT);
  ASSERT_EQ(store.SelectConfiguration(std::size_t{0}), RESULT_OK);
  ASSERT_EQ(store.GetConfiguration(nullptr, &configuration), RESULT_OK);
  EXPECT_EQ(configuration->name(), "default_configuration");
  EXPECT_EQ(store.FindConfiguration("", &configuration), RESULT_INVALID_ARGUMENT);
  // Reloading clears the selection.
  ASSERT_EQ(store.SelectConfiguration(std::size_t{1}), RESULT_OK);
  ASSERT_EQ(store.LoadText(GoldenText()), RESULT_OK);
  ASSERT_EQ(store.GetConfiguration(nullptr, &configuration), RESULT_OK);
  EXPECT_EQ(configuration->name(), "default_configuration");
}

TEST(ConfigurationLookup, IndexAccessorsCheckTheirBounds) {
  TextStore store;
  ASSERT_EQ(store.LoadText(GoldenText()), RESULT_OK);
  ConfigurationNode* configuration = nullptr;
  ASSERT_EQ(store.GetConfigurationAt(0, &configuration), RESULT_OK);
  EXPECT_EQ(store.GetConfigurationAt(2, &configuration), RESULT_INVALID_ARGUMENT);
  ModuleNode* module = nullptr;
  ASSERT_EQ(configuration->GetModuleAt(1, &module), RESULT_OK);
  EXPECT_EQ(module->name(), "stream_center");
  EXPECT_EQ(configuration->GetModuleAt(2, &module), RESULT_INVALID_ARGUMENT);
  ASSERT_EQ(configuration->GetModuleAt(0, &module), RESULT_OK);
  RecordNode* container = nullptr;
  ASSERT_EQ(module->FindRecord("socket_config", &container), RESULT_OK);
  EXPECT_EQ(container->GetChildCount(), 3u);
  RecordNode* child = nullptr;
  ASSERT_EQ(container->GetChildAt(1, &child), RESULT_OK);
  EXPECT_EQ(child->name(), "server_port");
  EXPECT_EQ(container->GetChildAt(3, &child), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(container->FindChild("limits", &child), RESULT_OK);
  EXPECT_EQ(child->type(), RECORD_TYPE_CONTAINER);
  EXPECT_EQ(module->GetRecordAt(3, &child), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(module->FindRecord("server_port", &child), RESULT_INVALID_ARGUMENT);  // top level only
}

TEST(ConfigurationSerialize, NullLengthIsRefused) {
  TextStore store;
  EXPECT_EQ(store.Serialize(nullptr, nullptr), RESULT_INVALID_ARGUMENT);
  RecordNode record;
  EXPECT_EQ(record.Serialize(nullptr, nullptr), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(record.Parse(nullptr, 4, 1), RESULT_INVALID_ARGUMENT);
}
