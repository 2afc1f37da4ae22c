// Configuration mistakes named: a value outside its key's range refused with one line, per group of
// keys; a key that cannot be read explained; two UDP sockets on one port refused.
#include <gtest/gtest.h>

#include <string>

#include "board/qelt_log_sink.h"
#include "configuration_loaders.h"
#include "service_test_support.h"

namespace {

// Loads the shipped text with one value replaced through the loader of `key`; the refusal line.
Result LoadWith(const std::string& key, const std::string& value, const std::string& text = ShippedConfiguration()) {
  board::ClearLoggedLines();
  TempFolder folder;
  FileConfigurationManagerPtr store = OpenStore(folder, WithValue(text, key, value));
  char address[kConfigurationTextBytes];
  std::uint32_t port = 0;
  HeartbeatConfiguration heartbeat = {};
  tagVideoDeviceParameterSet video = {};
  tagCamExposureConfiguration exposure = {};
  if (key == "server_port" || key == "server_addr") return LoadNetworkConfiguration(store, address, &port);
  if (key.find("socket_port") != std::string::npos) return LoadHeartbeatConfiguration(store, &heartbeat);
  if (key.rfind("image_k", 0) == 0) return LoadExposureConfiguration(store, &exposure);
  return LoadVideoDeviceConfiguration(store, &video);
}

bool Logged(const std::string& line) {
  for (const board::LoggedLine& logged : board::LoggedLines()) {
    if (logged.text == "Configuration, " + line) return true;
  }
  return false;
}

struct Refusal {
  const char* key;
  const char* value;
  const char* line;
};

// One row per group of keys: ports, image sizes, matcher parameters, exposure gains.
const Refusal kRefusals[] = {
    {"server_port", "70000", "control_center/socket_config/server_port=70000 is out of range, accepted 1 to 65532"},
    {"daemon_listen_socket_port", "0", "common_config/daemon_listen_socket_port=0 is out of range, accepted 1 to 65535"},
    {"image_width", "-5", "stream_center/image_width=-5 is out of range, accepted 1 to 640"},
    {"window_scale", "20", "stream_center/window_scale=20 is out of range, accepted 1 to 9"},
    {"path_number", "0", "stream_center/path_number=0 is out of range, accepted 1 to 8"},
    {"image_kp", "-0.5", "stream_center/exposure/image_kp=-0.5 is out of range, accepted 0 to 100"},
};

TEST(ConfigurationRanges, ValueOutsideItsRangeIsRefusedWithOneLineInEveryGroup) {
  for (const Refusal& refusal : kRefusals) {
    EXPECT_EQ(LoadWith(refusal.key, refusal.value), RESULT_INVALID_ARGUMENT) << refusal.line;
    EXPECT_TRUE(Logged(refusal.line)) << refusal.line;
  }
  EXPECT_EQ(LoadWith("server_port", "65532"), RESULT_OK);  // its four ports all exist
  EXPECT_EQ(LoadWith("opencl_enable", "7"), RESULT_OK);    // a switch takes any value
}

TEST(ConfigurationRanges, DiscoveryOrHeartbeatOnTheWatchdogsUdpPortIsRefused) {
  EXPECT_EQ(LoadWith("server_port", "8998"), RESULT_INVALID_ARGUMENT);
  EXPECT_TRUE(Logged("control_center/socket_config/server_port=8998 uses UDP port 9001, the same as "
                     "common_config/daemon_listen_socket_port=9001"));
  EXPECT_EQ(LoadWith("local_heartbeat_socket_port", "9001"), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(LoadWith("server_port", "9000"), RESULT_OK);  // TCP ports may share the number
}

TEST(ConfigurationRanges, KeyThatCannotBeReadIsNamed) {
  EXPECT_NE(LoadWith("server_addr", ""), RESULT_OK);
  EXPECT_TRUE(Logged("control_center/socket_config/server_addr: empty value"));
  EXPECT_NE(LoadWith("image_height", "1", WithType(ShippedConfiguration(), "window_scale", "Integer")), RESULT_OK);
  EXPECT_TRUE(Logged("stream_center/image_width: absent: the reader dropped module stream_center because of its "
                     "record <record name=window_scale type=Integer value=3></record> (the reader takes name, then "
                     "type integer, double, string or container in lower case, then value)"));
}

}  // namespace
