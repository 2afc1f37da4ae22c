// The configuration loaders: every key required with its type, the values stored, the interval clamp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "configuration_loaders.h"
#include "service_test_support.h"

namespace {

enum class Loader { kBase, kHeartbeat, kZuq, kNetwork, kVideoDevice, kExposure };

Result RunLoader(Loader loader, FileConfigurationManagerPtr store) {
  static char text_a[kConfigurationTextBytes];
  static char text_b[kConfigurationTextBytes];
  HeartbeatConfiguration heartbeat = {};
  std::uint32_t port = 0;
  tagVideoDeviceParameterSet video = {};
  tagCamExposureConfiguration exposure = {};
  switch (loader) {
    case Loader::kBase: return LoadBaseConfiguration(store, text_a);
    case Loader::kHeartbeat: return LoadHeartbeatConfiguration(store, &heartbeat);
    case Loader::kZuq: return LoadZuqConfiguration(store, text_a, text_b);
    case Loader::kNetwork: return LoadNetworkConfiguration(store, text_a, &port);
    case Loader::kVideoDevice: return LoadVideoDeviceConfiguration(store, &video);
    case Loader::kExposure: return LoadExposureConfiguration(store, &exposure);
  }
  return RESULT_FAILED;
}

struct Key {
  const char* name;  // the leaf record's name in the file
  const char* type;
  const char* other_type;  // a type the loader must refuse
  Loader loader;
};

const Key kKeys[] = {
    {"application_name", "string", "integer", Loader::kBase},
    {"local_heartbeat_socket_addr", "string", "integer", Loader::kHeartbeat},
    {"local_heartbeat_socket_port", "integer", "string", Loader::kHeartbeat},
    {"daemon_listen_socket_addr", "string", "integer", Loader::kHeartbeat},
    {"daemon_listen_socket_port", "integer", "double", Loader::kHeartbeat},
    {"local_heartbeat_interval_in_second", "integer", "double", Loader::kHeartbeat},
    {"passage_direction", "integer", "string", Loader::kHeartbeat},
    {"serial_number", "string", "integer", Loader::kZuq},
    {"vendor_name", "string", "integer", Loader::kZuq},
    {"server_addr", "string", "integer", Loader::kNetwork},
    {"server_port", "integer", "double", Loader::kNetwork},
    {"image_width", "integer", "double", Loader::kVideoDevice},
    {"image_height", "integer", "double", Loader::kVideoDevice},
    {"image_frame_rate", "integer", "double", Loader::kVideoDevice},
    {"calibration_file_name", "string", "integer", Loader::kVideoDevice},
    {"disparity_min", "integer", "double", Loader::kVideoDevice},
    {"disparity_max", "integer", "double", Loader::kVideoDevice},
    {"window_scale", "integer", "double", Loader::kVideoDevice},
    {"sgm_penalty1", "integer", "double", Loader::kVideoDevice},
    {"sgm_penalty2", "integer", "double", Loader::kVideoDevice},
    {"ddr_threshold", "integer", "double", Loader::kVideoDevice},
    {"ddr_disparity_range", "integer", "double", Loader::kVideoDevice},
    {"path_number", "integer", "double", Loader::kVideoDevice},
    {"thread_number", "integer", "double", Loader::kVideoDevice},
    {"opencl_enable", "integer", "double", Loader::kVideoDevice},
    {"swap_camera", "integer", "double", Loader::kVideoDevice},
    {"image_interval_sampling", "integer", "double", Loader::kVideoDevice},
    {"disparity_filter", "integer", "double", Loader::kVideoDevice},
    {"disparity_quality_threshold", "integer", "double", Loader::kVideoDevice},
    {"disparity_uniqueness_ratio", "integer", "double", Loader::kVideoDevice},
    {"disparity_lr_max_diff", "integer", "double", Loader::kVideoDevice},
    {"shift_offset", "double", "integer", Loader::kVideoDevice},
    {"shift_opt", "integer", "double", Loader::kVideoDevice},
    {"calibrator_max_value", "integer", "double", Loader::kVideoDevice},
    {"frame_rate", "integer", "double", Loader::kExposure},
    {"adjust_sec", "integer", "double", Loader::kExposure},
    {"exposure_time", "integer", "double", Loader::kExposure},
    {"exposure_level_count", "integer", "double", Loader::kExposure},
    {"image_black_quality_percent", "double", "integer", Loader::kExposure},
    {"image_white_quality_percent", "double", "integer", Loader::kExposure},
    {"image_black_warning_percent", "double", "integer", Loader::kExposure},
    {"image_white_warning_percent", "double", "integer", Loader::kExposure},
    {"image_out_of_service_sec", "integer", "double", Loader::kExposure},
    {"image_adjust_msec", "integer", "double", Loader::kExposure},
    {"image_highest_black_percent", "double", "integer", Loader::kExposure},
    {"image_lowest_wb_ratio", "double", "integer", Loader::kExposure},
    {"image_highest_wb_ratio", "double", "integer", Loader::kExposure},
    {"image_black_percentage_k", "double", "integer", Loader::kExposure},
    {"image_set_point", "double", "integer", Loader::kExposure},
    {"image_kp", "double", "integer", Loader::kExposure},
    {"image_ki", "double", "integer", Loader::kExposure},
    {"image_kd", "double", "integer", Loader::kExposure},
};

// Parameters print as the key's name.
void PrintTo(const Key& key, std::ostream* out) { *out << key.name; }

const Loader kAllLoaders[] = {Loader::kBase,        Loader::kHeartbeat, Loader::kZuq,
                              Loader::kNetwork,     Loader::kVideoDevice, Loader::kExposure};

class EveryKey : public ::testing::TestWithParam<Key> {};

TEST(ShippedConfiguration, HoldsEveryKeyWithItsTypeAndEveryLoaderSucceeds) {
  const std::string text = ShippedConfiguration();
  for (const Key& key : kKeys) {
    EXPECT_NE(text.find(std::string("<record name=") + key.name + " type=" + key.type + " value="), std::string::npos)
        << key.name;
  }
  TempFolder folder;
  FileConfigurationManagerPtr store = OpenStore(folder, text);
  ASSERT_NE(store.Get(), nullptr);
  for (Loader loader : kAllLoaders) EXPECT_EQ(RunLoader(loader, store), RESULT_OK);
}

TEST_P(EveryKey, MissingKeyFailsItsLoaderWithTheStoresCode) {
  TempFolder folder;
  const std::string text = WithoutRecord(ShippedConfiguration(), GetParam().name);
  ASSERT_NE(text, ShippedConfiguration());
  FileConfigurationManagerPtr store = OpenStore(folder, text);
  ASSERT_NE(store.Get(), nullptr);
  const Result loaded = RunLoader(GetParam().loader, store);
  EXPECT_NE(loaded, RESULT_OK);
  EXPECT_LT(loaded, 0) << "a status code of the store";
}

TEST_P(EveryKey, KeyOfAnotherTypeFailsItsLoader) {
  TempFolder folder;
  FileConfigurationManagerPtr store =
      OpenStore(folder, WithType(ShippedConfiguration(), GetParam().name, GetParam().other_type));
  ASSERT_NE(store.Get(), nullptr);
  EXPECT_NE(RunLoader(GetParam().loader, store), RESULT_OK);
}

INSTANTIATE_TEST_SUITE_P(Service, EveryKey, ::testing::ValuesIn(kKeys),
                         [](const ::testing::TestParamInfo<Key>& info) { return std::string(info.param.name); });

// A store over the shipped text with some values replaced.
FileConfigurationManagerPtr StoreWith(const TempFolder& folder,
                                      const std::vector<std::pair<std::string, std::string>>& values) {
  std::string text = ShippedConfiguration();
  for (const auto& value : values) text = WithValue(text, value.first, value.second);
  return OpenStore(folder, text);
}

TEST(HeartbeatLoader, FillsEveryFieldAndKeepsAnIntervalOfOneOrMore) {
  TempFolder folder;
  FileConfigurationManagerPtr store = StoreWith(folder, {{"local_heartbeat_socket_addr", "127.0.0.2"},
                                                         {"local_heartbeat_socket_port", "4001"},
                                                         {"daemon_listen_socket_addr", "127.0.0.3"},
                                                         {"daemon_listen_socket_port", "4002"},
                                                         {"local_heartbeat_interval_in_second", "7"},
                                                         {"passage_direction", "3"}});
  HeartbeatConfiguration heartbeat = {};
  ASSERT_EQ(LoadHeartbeatConfiguration(store, &heartbeat), RESULT_OK);
  EXPECT_STREQ(heartbeat.local_heartbeat_socket_addr, "127.0.0.2");
  EXPECT_EQ(heartbeat.local_heartbeat_socket_port, 4001u);
  EXPECT_STREQ(heartbeat.daemon_listen_socket_addr, "127.0.0.3");
  EXPECT_EQ(heartbeat.daemon_listen_socket_port, 4002u);
  EXPECT_EQ(heartbeat.local_heartbeat_interval_in_second, 7);
  EXPECT_EQ(heartbeat.passage_direction, 3u);
}

TEST(HeartbeatLoader, IntervalOfZeroOrLessBecomesOne) {
  for (const char* interval : {"0", "-5", "-2147483648"}) {
    TempFolder folder;
    FileConfigurationManagerPtr store = StoreWith(folder, {{"local_heartbeat_interval_in_second", interval}});
    HeartbeatConfiguration heartbeat = {};
    ASSERT_EQ(LoadHeartbeatConfiguration(store, &heartbeat), RESULT_OK);
    EXPECT_EQ(heartbeat.local_heartbeat_interval_in_second, 1) << interval;
  }
}

TEST(TextLoaders, CopyTheTextsWhole) {
  TempFolder folder;
  const std::string long_name(kConfigurationTextBytes - 1, 'n');
  FileConfigurationManagerPtr store =
      StoreWith(folder, {{"application_name", long_name}, {"serial_number", "S-1"}, {"vendor_name", "V 2"}});
  char name[kConfigurationTextBytes];
  std::memset(name, 'x', sizeof(name));
  ASSERT_EQ(LoadBaseConfiguration(store, name), RESULT_OK);
  EXPECT_EQ(std::string(name), long_name);
  char serial[kConfigurationTextBytes];
  char vendor[kConfigurationTextBytes];
  ASSERT_EQ(LoadZuqConfiguration(store, serial, vendor), RESULT_OK);
  EXPECT_STREQ(serial, "S-1");
  EXPECT_STREQ(vendor, "V 2");
}

TEST(NetworkLoader, ReadsAddressAndBasePort) {
  TempFolder folder;
  FileConfigurationManagerPtr store = StoreWith(folder, {{"server_addr", "127.0.0.9"}, {"server_port", "7000"}});
  char address[kConfigurationTextBytes];
  std::uint32_t port = 0;
  ASSERT_EQ(LoadNetworkConfiguration(store, address, &port), RESULT_OK);
  EXPECT_STREQ(address, "127.0.0.9");
  EXPECT_EQ(port, 7000u);
}

TEST(VideoDeviceLoader, FillsKeyedFieldsAndLeavesTheRestZero) {
  TempFolder folder;
  FileConfigurationManagerPtr store = StoreWith(folder, {{"image_width", "639"},
                                                         {"image_height", "479"},
                                                         {"image_frame_rate", "15"},
                                                         {"calibration_file_name", "/system/etc/c.yml"},
                                                         {"disparity_min", "3"},
                                                         {"disparity_max", "61"},
                                                         {"window_scale", "2"},
                                                         {"sgm_penalty1", "65535"},
                                                         {"sgm_penalty2", "300"},
                                                         {"ddr_threshold", "7"},
                                                         {"ddr_disparity_range", "12"},
                                                         {"path_number", "8"},
                                                         {"thread_number", "5"},
                                                         {"opencl_enable", "7"},
                                                         {"swap_camera", "-1"},
                                                         {"image_interval_sampling", "1"},
                                                         {"disparity_filter", "2"},
                                                         {"disparity_quality_threshold", "21"},
                                                         {"disparity_uniqueness_ratio", "11"},
                                                         {"disparity_lr_max_diff", "3"},
                                                         {"shift_offset", "-0.3"},
                                                         {"shift_opt", "0"},
                                                         {"calibrator_max_value", "99"}});
  tagVideoDeviceParameterSet video;
  std::memset(&video, 0, sizeof(video));
  ASSERT_EQ(LoadVideoDeviceConfiguration(store, &video), RESULT_OK);
  EXPECT_EQ(video.image_width, 639);
  EXPECT_EQ(video.image_height, 479);
  EXPECT_EQ(video.image_frame_rate, 15);
  EXPECT_STREQ(video.calibration_file_name, "/system/etc/c.yml");
  EXPECT_EQ(video.disparity_min, 3);
  EXPECT_EQ(video.disparity_max, 61);
  EXPECT_EQ(video.window_scale, 2);
  EXPECT_EQ(video.sgm_penalty1, 0xFFFF);
  EXPECT_EQ(video.sgm_penalty2, 300);
  EXPECT_EQ(video.ddr_threshold, 7);
  EXPECT_EQ(video.ddr_disparity_range, 12);
  EXPECT_EQ(video.path_number, 8);
  EXPECT_EQ(video.thread_number, 5);
  EXPECT_TRUE(video.opencl_enable);
  EXPECT_TRUE(video.swap_camera);
  EXPECT_EQ(video.image_interval_sampling, 1);
  EXPECT_EQ(video.disparity_filter, 2);
  EXPECT_EQ(video.disparity_quality_threshold, 21);
  EXPECT_EQ(video.disparity_uniqueness_ratio, 11);
  EXPECT_EQ(video.disparity_lr_max_diff, 3);
  EXPECT_DOUBLE_EQ(video.shift_offset, -0.3);
  EXPECT_EQ(video.shift_opt, 0);
  EXPECT_EQ(video.calibrator_max_value, 99);
  // No key fills the dynamic-calibration group or the colour-calibration switch.
  EXPECT_EQ(video.dynamic_calibration_file_name[0], '\0');
  EXPECT_EQ(video.dynamic_calibration_enable, 0);
  EXPECT_EQ(video.dynamic_disparity_shift, 0);
  EXPECT_EQ(video.dynamic_stretch_factor, 0.0);
  EXPECT_EQ(video.calibrate_color_image, 0);
}

TEST(VideoDeviceLoader, ZeroFlagsStayZero) {
  TempFolder folder;
  FileConfigurationManagerPtr store = StoreWith(folder, {{"opencl_enable", "0"}, {"swap_camera", "0"}});
  tagVideoDeviceParameterSet video;
  std::memset(&video, 0xFF, sizeof(video));
  ASSERT_EQ(LoadVideoDeviceConfiguration(store, &video), RESULT_OK);
  EXPECT_FALSE(video.opencl_enable);
  EXPECT_FALSE(video.swap_camera);
}

TEST(ExposureLoader, ReplacesEveryPresetAndRoundsTheControllerNumbersToSinglePrecision) {
  TempFolder folder;
  FileConfigurationManagerPtr store = StoreWith(folder, {{"frame_rate", "25"},
                                                         {"adjust_sec", "11"},
                                                         {"exposure_time", "40000"},
                                                         {"exposure_level_count", "64"},
                                                         {"image_black_quality_percent", "0.02"},
                                                         {"image_white_quality_percent", "5.5"},
                                                         {"image_black_warning_percent", "6.5"},
                                                         {"image_white_warning_percent", "31"},
                                                         {"image_out_of_service_sec", "12"},
                                                         {"image_adjust_msec", "150"},
                                                         {"image_highest_black_percent", "2.1"},
                                                         {"image_lowest_wb_ratio", "3.1"},
                                                         {"image_highest_wb_ratio", "15.1"},
                                                         {"image_black_percentage_k", "1.1"},
                                                         {"image_set_point", "0.7"},
                                                         {"image_kp", "2.2"},
                                                         {"image_ki", "0.02"},
                                                         {"image_kd", "0.3"}});
  tagCamExposureConfiguration exposure;
  PresetExposureConfiguration(&exposure);
  ASSERT_EQ(LoadExposureConfiguration(store, &exposure), RESULT_OK);
  auto single = [](double value) { return static_cast<double>(static_cast<float>(value)); };
  EXPECT_EQ(exposure.frame_rate, 25);
  EXPECT_EQ(exposure.adjust_sec, 11);
  EXPECT_EQ(exposure.exposure_time, 40000);
  EXPECT_EQ(exposure.exposure_level_count, 64);
  EXPECT_EQ(exposure.image_black_quality_percent, 0.02);  // a plain double field keeps every bit
  EXPECT_EQ(exposure.image_white_quality_percent, 5.5);
  EXPECT_EQ(exposure.image_black_warning_percent, 6.5);
  EXPECT_EQ(exposure.image_white_warning_percent, 31.0);
  EXPECT_EQ(exposure.image_out_of_service_sec, 12);
  EXPECT_EQ(exposure.image_adjust_msec, 150);
  EXPECT_EQ(exposure.image_highest_black_percent, single(2.1));
  EXPECT_EQ(exposure.image_lowest_wb_ratio, single(3.1));
  EXPECT_EQ(exposure.image_highest_wb_ratio, single(15.1));
  EXPECT_EQ(exposure.image_black_percentage_k, single(1.1));
  EXPECT_EQ(exposure.image_set_point, single(0.7));
  EXPECT_EQ(exposure.image_kp, single(2.2));
  EXPECT_EQ(exposure.image_ki, 0.019999999552965164);
  EXPECT_EQ(exposure.image_kd, single(0.3));
}

}  // namespace
