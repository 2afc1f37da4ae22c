// Configuration mistakes named: a value outside its key's range refused with one line, a key that
// cannot be read explained, and UDP ports that two sockets would share refused.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "board/qelt_log_sink.h"
#include "configuration_loaders.h"
#include "service_test_support.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

class ConfigurationMistake : public ::testing::Test {
 protected:
  void SetUp() override { board::ClearLoggedLines(); }

  FileConfigurationManagerPtr Store(const std::string& text) {
    folders_.emplace_back(new TempFolder);
    return OpenStore(*folders_.back(), text);
  }
  FileConfigurationManagerPtr StoreWith(const Values& values) {
    std::string text = ShippedConfiguration();
    for (const auto& value : values) text = WithValue(text, value.first, value.second);
    return Store(text);
  }
  // How many logged lines are exactly `line`.
  static std::size_t Logged(const std::string& line) {
    std::size_t count = 0;
    for (const board::LoggedLine& logged : board::LoggedLines()) count += logged.text == line ? 1 : 0;
    return count;
  }

  std::vector<std::unique_ptr<TempFolder>> folders_;
};

Result LoadNetwork(FileConfigurationManagerPtr store) {
  char address[kConfigurationTextBytes];
  std::uint32_t port = 0;
  return LoadNetworkConfiguration(store, address, &port);
}
Result LoadVideo(FileConfigurationManagerPtr store) {
  tagVideoDeviceParameterSet video = {};
  return LoadVideoDeviceConfiguration(store, &video);
}
Result LoadExposure(FileConfigurationManagerPtr store) {
  tagCamExposureConfiguration exposure = {};
  return LoadExposureConfiguration(store, &exposure);
}
Result LoadHeartbeat(FileConfigurationManagerPtr store) {
  HeartbeatConfiguration heartbeat = {};
  return LoadHeartbeatConfiguration(store, &heartbeat);
}

struct Refusal {
  const char* key;
  const char* value;
  Result (*load)(FileConfigurationManagerPtr);
  const char* line;
};

TEST_F(ConfigurationMistake, PortsOutsideTheirRangeAreRefusedWithOneLine) {
  const Refusal refusals[] = {
      {"server_port", "70000", LoadNetwork,
       "Configuration, control_center/socket_config/server_port=70000 is out of range, accepted 1 to 65532"},
      {"server_port", "65533", LoadNetwork,
       "Configuration, control_center/socket_config/server_port=65533 is out of range, accepted 1 to 65532"},
      {"daemon_listen_socket_port", "0", LoadHeartbeat,
       "Configuration, common_config/daemon_listen_socket_port=0 is out of range, accepted 1 to 65535"},
      {"local_heartbeat_socket_port", "-1", LoadHeartbeat,
       "Configuration, common_config/local_heartbeat_socket_port=-1 is out of range, accepted 0 to 65535"},
  };
  for (const Refusal& refusal : refusals) {
    board::ClearLoggedLines();
    EXPECT_EQ(refusal.load(StoreWith({{refusal.key, refusal.value}})), RESULT_INVALID_ARGUMENT) << refusal.line;
    EXPECT_EQ(Logged(refusal.line), 1u) << refusal.line;
  }
  // The highest base port whose four ports all exist is taken.
  EXPECT_EQ(LoadNetwork(StoreWith({{"server_port", "65532"}})), RESULT_OK);
}

TEST_F(ConfigurationMistake, ImageSizesMatcherParametersAndExposureGainsOutsideTheirRanges) {
  const Refusal refusals[] = {
      {"image_width", "-5", LoadVideo, "Configuration, stream_center/image_width=-5 is out of range, accepted 1 to 640"},
      {"image_height", "481", LoadVideo,
       "Configuration, stream_center/image_height=481 is out of range, accepted 1 to 480"},
      {"window_scale", "20", LoadVideo,
       "Configuration, stream_center/window_scale=20 is out of range, accepted 1 to 9"},
      {"path_number", "0", LoadVideo, "Configuration, stream_center/path_number=0 is out of range, accepted 1 to 8"},
      {"sgm_penalty2", "70000", LoadVideo,
       "Configuration, stream_center/sgm_penalty2=70000 is out of range, accepted 0 to 65535"},
      {"image_kp", "-0.5", LoadExposure,
       "Configuration, stream_center/exposure/image_kp=-0.5 is out of range, accepted 0 to 100"},
      {"image_ki", "1000", LoadExposure,
       "Configuration, stream_center/exposure/image_ki=1000 is out of range, accepted 0 to 100"},
      {"image_white_warning_percent", "100.5", LoadExposure,
       "Configuration, stream_center/exposure/image_white_warning_percent=100.5 is out of range, accepted 0 to 100"},
  };
  for (const Refusal& refusal : refusals) {
    board::ClearLoggedLines();
    EXPECT_EQ(refusal.load(StoreWith({{refusal.key, refusal.value}})), RESULT_INVALID_ARGUMENT) << refusal.line;
    EXPECT_EQ(Logged(refusal.line), 1u) << refusal.line;
  }
}

TEST_F(ConfigurationMistake, SwitchesTakeAnyValueAndIntervalsBelowOneStillBecomeOne) {
  EXPECT_EQ(LoadVideo(StoreWith({{"opencl_enable", "7"}, {"swap_camera", "-1"}})), RESULT_OK);
  EXPECT_EQ(LoadHeartbeat(StoreWith({{"local_heartbeat_interval_in_second", "-5"}})), RESULT_OK);
  EXPECT_EQ(LoadHeartbeat(StoreWith({{"local_heartbeat_interval_in_second", "86401"}})), RESULT_INVALID_ARGUMENT);
}

TEST_F(ConfigurationMistake, DiscoveryOnTheWatchdogsPortIsRefused) {
  EXPECT_EQ(LoadNetwork(StoreWith({{"server_port", "8998"}})), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(Logged("Configuration, control_center/socket_config/server_port=8998 uses UDP port 9001, the same as "
                   "common_config/daemon_listen_socket_port=9001"),
            1u);
  EXPECT_EQ(Logged("LoadNetworkConfiguration, load socket_config/server_port configuration failed"), 1u);

  EXPECT_EQ(LoadHeartbeat(StoreWith({{"local_heartbeat_socket_port", "9001"}})), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(Logged("Configuration, common_config/local_heartbeat_socket_port=9001 uses UDP port 9001, the same as "
                   "common_config/daemon_listen_socket_port=9001"),
            1u);
  // The TCP ports below discovery may take the watchdog's UDP number.
  EXPECT_EQ(LoadNetwork(StoreWith({{"server_port", "9000"}})), RESULT_OK);
}

TEST_F(ConfigurationMistake, KeyThatCannotBeReadIsNamedWithWhatWasWrong) {
  EXPECT_NE(LoadVideo(Store(WithoutRecord(ShippedConfiguration(), "window_scale"))), RESULT_OK);
  EXPECT_EQ(Logged("Configuration, stream_center/window_scale: absent"), 1u);

  EXPECT_NE(LoadVideo(Store(WithType(ShippedConfiguration(), "path_number", "string"))), RESULT_OK);
  EXPECT_EQ(Logged("Configuration, stream_center/path_number: of type string, expected integer"), 1u);

  EXPECT_NE(LoadNetwork(Store(WithValue(ShippedConfiguration(), "server_addr", ""))), RESULT_OK);
  EXPECT_EQ(Logged("Configuration, control_center/socket_config/server_addr: empty value"), 1u);
}

TEST_F(ConfigurationMistake, ModuleDroppedForACapitalTypeWordIsExplained) {
  EXPECT_NE(LoadExposure(Store(WithType(ShippedConfiguration(), "calibrator_max_value", "Integer"))), RESULT_OK);
  const std::string expected =
      "Configuration, stream_center/exposure/frame_rate: absent: the reader dropped module stream_center because of "
      "its record <record name=calibrator_max_value type=Integer value=64></record> (the reader takes name, then "
      "type integer, double, string or container in lower case, then value)";
  EXPECT_EQ(Logged(expected), 1u);
}

}  // namespace
