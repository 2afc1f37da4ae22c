// Start-up of the watchdog: where the configuration is found, which entries are read, exit values.
#include <unistd.h>

#include <sstream>

#include "daemon_configuration.h"
#include "watchdog_test_support.h"

namespace {

using watchdog_test::BoardRootTest;
using watchdog_test::LogCapture;
namespace fs = watchdog_test::fs;

struct EntryText {
  std::string item_enable = "1", process_name = "quarnel", command_line = "/system/bin/quarnel", argument = "a",
              check_period = "30", immediately_execute = "0", reboot_machine = "0";
  bool has_argument = true;
};

std::string Record(const std::string& name, const std::string& type, const std::string& value) {
  return "<record name=" + name + " type=" + type + " value=" + value + "></record>\n";
}

std::string Configuration(std::uint32_t count, const std::vector<EntryText>& entries,
                          const std::string& count_text = "") {
  std::ostringstream text;
  text << "<cd_configurations name=daemon>\n<configuration name=default_configuration>\n"
       << "<module name=common_config>\n"
       << Record("daemon_listen_socket_addr", "string", "127.0.0.1")
       << Record("daemon_listen_socket_port", "integer", "9001")
       << Record("local_heartbeat_interval_in_second", "integer", "0")
       << Record("monitor_process_number", "integer", count_text.empty() ? std::to_string(count) : count_text);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const EntryText& e = entries[i];
    text << "<record name=process" << i + 1 << " type=container>\n"
         << Record("item_enable", "integer", e.item_enable) << Record("process_name", "string", e.process_name)
         << Record("command_line", "string", e.command_line)
         << (e.has_argument ? Record("argument", "string", e.argument) : "")
         << Record("check_period", "integer", e.check_period)
         << Record("immediately_execute", "integer", e.immediately_execute)
         << Record("reboot_machine", "integer", e.reboot_machine) << "</record>\n";
  }
  text << "</module>\n</configuration>\n</cd_configurations>\n";
  return text.str();
}

class ConfigurationTest : public BoardRootTest {
 protected:
  void SetUp() override {
    BoardRootTest::SetUp();
    work_ = base_ / "work";
    fs::create_directories(work_);
    ASSERT_EQ(chdir(work_.c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(chdir("/"), 0);
    BoardRootTest::TearDown();
  }

  // Opens and loads a default file written to `folder`, searched with `program` as this program.
  std::vector<ProcessItem> Load(const std::string& text, ListenerSettings* settings) {
    watchdog_test::WriteWholeFile(work_ / kDefaultConfigurationName, text);
    FileConfigurationManager store;
    EXPECT_EQ(OpenDaemonConfiguration(&store, ""), RESULT_OK);
    EXPECT_EQ(store.Load(), RESULT_OK);
    EXPECT_EQ(ReadListenerSettings(&store, settings), RESULT_OK);
    std::vector<ProcessItem> entries;
    EXPECT_EQ(ReadProcessEntries(&store, settings->process_count, &entries), RESULT_OK);
    store.Close();
    return entries;
  }

  // The status of reading the listener keys and then the entries of `text`.
  Result Read(const std::string& text, std::vector<ProcessItem>* entries) {
    watchdog_test::WriteWholeFile(work_ / kDefaultConfigurationName, text);
    fs::remove(work_ / kUserConfigurationName);
    FileConfigurationManager store;
    EXPECT_EQ(OpenDaemonConfiguration(&store, ""), RESULT_OK);
    EXPECT_EQ(store.Load(), RESULT_OK);
    ListenerSettings settings;
    Result result = ReadListenerSettings(&store, &settings);
    if (result == RESULT_OK) result = ReadProcessEntries(&store, settings.process_count, entries);
    store.Close();
    return result;
  }

  LogCapture log_;
  fs::path work_;
};

TEST_F(ConfigurationTest, ListenerValueOrEnabledEntryOutsideItsRangeIsRefusedWithOneLine) {
  std::vector<ProcessItem> entries;
  EXPECT_EQ(Read(Configuration(0, {}, "-1"), &entries), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(log_.Count("Configuration, common_config/monitor_process_number=-1 is out of range, accepted 0 to 64\n"),
            1u);
  EntryText entry;
  entry.check_period = "4294968";  // its milliseconds would wrap 32 bits
  EXPECT_EQ(Read(Configuration(1, {entry}), &entries), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(log_.Count("Configuration, common_config/process1/check_period=4294968 is out of range, accepted 1 to "
                       "4294967\n"),
            1u);
  entry.check_period = "4294967";
  ASSERT_EQ(Read(Configuration(1, {entry}), &entries), RESULT_OK);
  EXPECT_EQ(entries.at(0).check_period_ms, 4294967000u);
  DaemonServer server;
  EXPECT_EQ(server.Init("127.0.0.1", 65536 + 9001, 1), RESULT_INVALID_ARGUMENT);  // never wrapped onto 9001
}

TEST_F(ConfigurationTest, DroppedEntryNamesItsKeyAndWhatWasWrong) {
  EntryText entry;
  entry.has_argument = false;
  std::vector<ProcessItem> entries;
  EXPECT_EQ(Read(Configuration(1, {entry}), &entries), RESULT_OK);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(log_.Count("Configuration, common_config/process1/argument: absent\n"), 1u);
  EXPECT_EQ(log_.Count("ReadProcessEntries, process1 skipped\n"), 1u);
}

TEST_F(ConfigurationTest, ListenerKeysArePrintedAndTakenUnchanged) {
  ListenerSettings settings;
  EXPECT_TRUE(Load(Configuration(0, {}), &settings).empty());
  EXPECT_EQ(settings.address, "127.0.0.1");
  EXPECT_EQ(settings.port, 9001u);
  EXPECT_EQ(settings.interval_s, 0u);
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{"daemon_listen_socket_addr=127.0.0.1\n",
                                                    "daemon_listen_socket_port=9001\n",
                                                    "local_heartbeat_interval_in_second=0\n",
                                                    "monitor_process_number=0\n"}));
}

TEST_F(ConfigurationTest, EntryWithAMissingKeyIsDroppedAndTheRestKeepTheirOrder) {
  EntryText first, second, third;
  first.process_name = "one";
  second.process_name = "two";
  second.has_argument = false;
  third.process_name = "three";
  ListenerSettings settings;
  const std::vector<ProcessItem> entries = Load(Configuration(3, {first, second, third}), &settings);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].process_name, "one");
  EXPECT_EQ(entries[1].process_name, "three");
  EXPECT_EQ(log_.Count("process2/command_line=/system/bin/quarnel\n"), 1u);
  EXPECT_EQ(log_.Count("process2/check_period="), 0u);  // reading stopped at the missing key
}

TEST_F(ConfigurationTest, EmptyArgumentDropsTheEntry) {
  EntryText entry;
  entry.argument = "";
  ListenerSettings settings;
  EXPECT_TRUE(Load(Configuration(1, {entry}), &settings).empty());
}

TEST_F(ConfigurationTest, EntryFieldsAndPeriodInMilliseconds) {
  EntryText entry;
  entry.immediately_execute = "7";
  entry.reboot_machine = "1";
  entry.item_enable = "0";
  ListenerSettings settings;
  const std::vector<ProcessItem> entries = Load(Configuration(1, {entry}), &settings);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].check_period_ms, 30000u);
  EXPECT_EQ(entries[0].immediately_execute, 1);
  EXPECT_EQ(entries[0].reboot_machine, 1);
  EXPECT_EQ(entries[0].enabled, 0);
  EXPECT_EQ(log_.Count("process1/check_period=30\n"), 1u);
}

TEST_F(ConfigurationTest, DisabledZeroPeriodIsReadButOnlyAnEnabledOneIsRefused) {
  EntryText entry;
  entry.item_enable = "0";
  entry.check_period = "0";
  ListenerSettings settings;
  const std::vector<ProcessItem> entries = Load(Configuration(1, {entry}), &settings);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].check_period_ms, 0u);
  DaemonServer server;
  EXPECT_EQ(server.AddProcess("quarnel", "/bin/true", "a", entries[0].check_period_ms, false, false),
            RESULT_INVALID_ARGUMENT);
}

TEST_F(ConfigurationTest, FoundOnlyInTheBoardEtcAfterTwoEarlierTries) {
  watchdog_test::WriteWholeFile(root_ / "etc" / kDefaultConfigurationName, Configuration(0, {}));
  const fs::path program_folder = base_ / "bin";
  FileConfigurationManager store;
  ASSERT_EQ(OpenDaemonConfiguration(&store, (program_folder / "vastrel").string()), RESULT_OK);
  store.Close();
  const std::string etc = (root_ / "etc").string() + "/";
  EXPECT_EQ(log_.Lines(),
            (std::vector<std::string>{"CurrentPath=" + program_folder.string() + "/\n",
                                      "DefaultConfiguration2=" + program_folder.string() + "/" + kDefaultConfigurationName + "\n",
                                      "UserConfiguration2=" + program_folder.string() + "/" + kUserConfigurationName + "\n",
                                      "DefaultConfiguration2=" + etc + kDefaultConfigurationName + "\n",
                                      "UserConfiguration2=" + etc + kUserConfigurationName + "\n"}));
  // The first start seeds the user file beside the default.
  EXPECT_TRUE(fs::exists(root_ / "etc" / kUserConfigurationName));
}

TEST_F(ConfigurationTest, ProgramFolderIsTriedBeforeTheBoard) {
  const fs::path program_folder = base_ / "bin";
  fs::create_directories(program_folder);
  watchdog_test::WriteWholeFile(program_folder / kDefaultConfigurationName, Configuration(0, {}));
  FileConfigurationManager store;
  ASSERT_EQ(OpenDaemonConfiguration(&store, (program_folder / "vastrel").string()), RESULT_OK);
  store.Close();
  EXPECT_EQ(log_.Count("DefaultConfiguration2="), 1u);
  EXPECT_TRUE(fs::exists(program_folder / kUserConfigurationName));
}

TEST_F(ConfigurationTest, NothingFoundFails) {
  FileConfigurationManager store;
  EXPECT_NE(OpenDaemonConfiguration(&store, ""), RESULT_OK);
}

TEST_F(ConfigurationTest, ShippedDefaultWatchesQuarnel) {
  ListenerSettings settings;
  const std::vector<ProcessItem> entries = Load(watchdog_test::ReadWholeFile(SHIPPED_DEFAULT_CONFIGURATION), &settings);
  EXPECT_EQ(settings.address, "127.0.0.1");
  EXPECT_GE(settings.interval_s, 1u);
  ASSERT_EQ(entries.size(), 1u);  // every key present
  EXPECT_EQ(entries[0].process_name, "quarnel");
  EXPECT_EQ(entries[0].enabled, 1);
  EXPECT_EQ(entries[0].reboot_machine, 0);
  EXPECT_GE(entries[0].check_period_ms, kMinimumCheckPeriodMs);
}

TEST(ExitValue, EveryFailureExitsNonZero) {
  EXPECT_EQ(ExitValueFor(RESULT_OK), 0);
  for (Result failure : {RESULT_FAILED, RESULT_INVALID_ARGUMENT, RESULT_OUT_OF_MEMORY, RESULT_FILE_OPEN,
                         RESULT_SOCKET_ADDRESS_IN_USE, RESULT_THREAD_CREATE}) {
    EXPECT_NE(ExitValueFor(failure), 0) << std::hex << failure;
  }
  EXPECT_EQ(ExitValueFor(RESULT_INVALID_ARGUMENT), 3);  // low byte kept where it says something
}

TEST(ExitValue, ProgramFolderKeepsItsSlash) {
  EXPECT_EQ(ExitValueFor(RESULT_FILE_CREATE), kExitFailureWithoutCode);
  EXPECT_EQ(ExecutableFolder("/usr/bin/vastrel"), "/usr/bin/");
  EXPECT_EQ(ExecutableFolder("vastrel"), "");
}

}  // namespace
