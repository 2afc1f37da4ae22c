// The loaders of the service's configuration: every key, its type, its destination and its log line.
#include "configuration_loaders.h"

#include <cstring>
#include <iterator>
#include <limits>
#include <string>

#include "configuration_values.h"
#include "disparity_offset_range.h"
#include "network_init_record.h"
#include "port_overlap.h"
#include "platform/configuration_checks.h"
#include "qelt_log.h"

namespace {

constexpr const char* kLogTag = "main";
constexpr const char* kCommonModule = "common_config";
constexpr const char* kControlModule = "control_center";
constexpr const char* kStreamModule = "stream_center";
constexpr std::int32_t kShortestHeartbeatInterval = 1;

// One key of a loader: where it is, its type, the line logged after it, and how it is stored
// (the store step may adjust the value that is then logged).
template <typename Record>
struct KeyEntry {
  const char* record_path;
  int type;
  const char* log_format;
  void (*store)(Record* record, ConfigurationValue* value);
};

// Says why a key could not be read, before the loader's own failure line.
void LogUnreadable(ConfigurationManager* store, const char* module, const char* record_path, int type) {
  PrintLog(kLogTag, "%s",
           UnreadableKeyLine(store, kServiceConfigurationName, module, record_path, type).c_str());
}

// RESULT_INVALID_ARGUMENT with its one line when a value lies outside its key's range.
Result CheckRange(const char* module, const char* record_path, const KeyRange* ranges, std::size_t range_count,
                  double value) {
  const KeyRange* range = FindKeyRange(ranges, range_count, record_path);
  if (range == nullptr) return RESULT_OK;
  const std::string refusal = RangeRefusal(module, record_path, *range, value);
  if (refusal.empty()) return RESULT_OK;
  PrintLog(kLogTag, "%s", refusal.c_str());
  return RESULT_INVALID_ARGUMENT;
}

double NumberOf(int type, const ConfigurationValue& value) {
  return type == RECORD_TYPE_DOUBLE ? value.real : static_cast<double>(value.integer);
}

void LogValue(const char* format, const char* record_path, int type, const ConfigurationValue& value) {
  switch (type) {
    case RECORD_TYPE_INTEGER:
      PrintLog(kLogTag, format, record_path, value.integer);
      break;
    case RECORD_TYPE_DOUBLE:
      PrintLog(kLogTag, format, record_path, value.real);
      break;
    default:
      PrintLog(kLogTag, format, record_path, value.text);
      break;
  }
}

// Reads, stores, range-checks and logs the keys in order; the first key that cannot be read, or
// whose value (as stored) lies outside its range, ends the load with a line that names it.
template <typename Record, std::size_t Count>
Result LoadKeys(ConfigurationManager* store, const char* module, const KeyEntry<Record> (&keys)[Count],
                const KeyRange* ranges, std::size_t range_count, Record* record) {
  char text[kConfigurationTextBytes];
  for (const KeyEntry<Record>& key : keys) {
    ConfigurationValue value;
    const Result read = ReadServiceValue(store, module, key.record_path, key.type, text, &value);
    if (read != RESULT_OK) {
      LogUnreadable(store, module, key.record_path, key.type);
      return read;
    }
    key.store(record, &value);
    if (key.type != RECORD_TYPE_STRING) {
      const Result in_range = CheckRange(module, key.record_path, ranges, range_count, NumberOf(key.type, value));
      if (in_range != RESULT_OK) return in_range;
    }
    LogValue(key.log_format, key.record_path, key.type, value);
  }
  return RESULT_OK;
}

// Range tables: the values each numeric key accepts. Keys the programs only carry accept any
// 32-bit value, as do the switches, where any value but 0 means on.
constexpr double kAnyLow = std::numeric_limits<std::int32_t>::min();
constexpr double kAnyHigh = std::numeric_limits<std::int32_t>::max();
constexpr double kHighestPort = 65535;
constexpr double kLongestHeartbeatInterval = 86400;  // a day, in seconds
constexpr double kSensorWidth = 640;
constexpr double kSensorHeight = 480;
constexpr double kHighestFrameRate = 60;
constexpr double kHighestDisparity = 256;  // disparities are reported in one byte
constexpr double kSmallestWindowScale = 1;
constexpr double kLargestWindowScale = 9;
constexpr double kMostPaths = 8;
constexpr double kMostMatcherThreads = 64;
constexpr double kHighest16Bit = 65535;
constexpr double kPercent = 100;
constexpr double kLongestExposureTime = 1000000;
constexpr double kLongestSeconds = 86400;
constexpr double kLongestMilliseconds = 60000;
constexpr double kLargestRatio = 1000;
constexpr double kLargestGain = 100;

const KeyRange kHeartbeatRanges[] = {
    {"local_heartbeat_socket_port", 0, kHighestPort},  // 0: any free port
    {"daemon_listen_socket_port", 1, kHighestPort},
    {"local_heartbeat_interval_in_second", 1, kLongestHeartbeatInterval},  // as stored, after 0 or less became 1
    {"passage_direction", 0, kAnyHigh},
};

void CopyText(char* destination, const ConfigurationValue& value) {
  std::memcpy(destination, value.text, kConfigurationTextBytes);
}

// The widths the video device keeps: 16-bit fields take the low bits, 64-bit ones sign-extend.
std::uint16_t Low16(std::int32_t value) { return static_cast<std::uint16_t>(value); }
std::int64_t Widened(std::int32_t value) { return value; }
bool Flag(std::int32_t value) { return value != 0; }
double SinglePrecision(double value) { return static_cast<double>(static_cast<float>(value)); }

struct Identity {
  char* serial_number;
  char* vendor_name;
};

const KeyEntry<char> kBaseKeys[] = {
    {"application_name", RECORD_TYPE_STRING, "LoadBaseConfiguration, %s=%s\n",
     [](char* name, ConfigurationValue* v) { CopyText(name, *v); }},
};

const KeyEntry<HeartbeatConfiguration> kHeartbeatKeys[] = {
    {"local_heartbeat_socket_addr", RECORD_TYPE_STRING, "LoadHeartbeatConfiguration, %s=%s\n",
     [](HeartbeatConfiguration* c, ConfigurationValue* v) { CopyText(c->local_heartbeat_socket_addr, *v); }},
    {"local_heartbeat_socket_port", RECORD_TYPE_INTEGER, "LoadHeartbeatConfiguration, %s=%u\n",
     [](HeartbeatConfiguration* c, ConfigurationValue* v) {
       c->local_heartbeat_socket_port = static_cast<std::uint32_t>(v->integer);
     }},
    {"daemon_listen_socket_addr", RECORD_TYPE_STRING, "LoadHeartbeatConfiguration, %s=%s\n",
     [](HeartbeatConfiguration* c, ConfigurationValue* v) { CopyText(c->daemon_listen_socket_addr, *v); }},
    {"daemon_listen_socket_port", RECORD_TYPE_INTEGER, "LoadHeartbeatConfiguration, %s=%u\n",
     [](HeartbeatConfiguration* c, ConfigurationValue* v) {
       c->daemon_listen_socket_port = static_cast<std::uint32_t>(v->integer);
     }},
    // An interval of 0 or less would never send a heartbeat: it becomes 1 before it is logged.
    {"local_heartbeat_interval_in_second", RECORD_TYPE_INTEGER, "LoadHeartbeatConfiguration, %s=%d\n",
     [](HeartbeatConfiguration* c, ConfigurationValue* v) {
       if (v->integer < kShortestHeartbeatInterval) v->integer = kShortestHeartbeatInterval;
       c->local_heartbeat_interval_in_second = v->integer;
     }},
    {"passage_direction", RECORD_TYPE_INTEGER, "LoadHeartbeatConfiguration, %s=%u\n",
     [](HeartbeatConfiguration* c, ConfigurationValue* v) {
       c->passage_direction = static_cast<std::uint32_t>(v->integer);
     }},
};

const KeyEntry<Identity> kZuqKeys[] = {
    {"serial_number", RECORD_TYPE_STRING, "LoadZuqConfiguration, %s=%s\n",
     [](Identity* r, ConfigurationValue* v) { CopyText(r->serial_number, *v); }},
    {"vendor_name", RECORD_TYPE_STRING, "LoadZuqConfiguration, %s=%s\n",
     [](Identity* r, ConfigurationValue* v) { CopyText(r->vendor_name, *v); }},
};

const KeyRange kNetworkRanges[] = {
    {"socket_config/server_port", 1, kHighestServerPort},  // the service uses this port and the next three
};

const KeyRange kVideoDeviceRanges[] = {
    {"image_width", 1, kSensorWidth},
    {"image_height", 1, kSensorHeight},
    {"image_frame_rate", 1, kHighestFrameRate},
    {"disparity_min", 0, kHighestDisparity - 1},
    {"disparity_max", 1, kHighestDisparity},
    {"window_scale", kSmallestWindowScale, kLargestWindowScale},
    {"sgm_penalty1", 0, kHighest16Bit},
    {"sgm_penalty2", 0, kHighest16Bit},
    {"ddr_threshold", 0, kHighest16Bit},
    {"ddr_disparity_range", 0, kHighestDisparity},
    {"path_number", 1, kMostPaths},
    {"thread_number", 1, kMostMatcherThreads},
    {"opencl_enable", kAnyLow, kAnyHigh},
    {"swap_camera", kAnyLow, kAnyHigh},
    {"image_interval_sampling", kAnyLow, kAnyHigh},
    {"disparity_filter", kAnyLow, kAnyHigh},
    {"disparity_quality_threshold", kAnyLow, kAnyHigh},
    {"disparity_uniqueness_ratio", 0, kPercent},
    {"disparity_lr_max_diff", 0, kHighestDisparity},
    {"shift_offset", -kDisparityOffsetLimitRows, kDisparityOffsetLimitRows},  // as command 204 keeps it
    {"shift_opt", -1, 1},
    {"calibrator_max_value", kAnyLow, kAnyHigh},
};

const KeyRange kExposureRanges[] = {
    {"exposure/frame_rate", 1, kHighestFrameRate},
    {"exposure/adjust_sec", 0, kLongestSeconds},
    {"exposure/exposure_time", 1, kLongestExposureTime},
    {"exposure/exposure_level_count", 1, kHighest16Bit},
    {"exposure/image_black_quality_percent", 0, kPercent},
    {"exposure/image_white_quality_percent", 0, kPercent},
    {"exposure/image_black_warning_percent", 0, kPercent},
    {"exposure/image_white_warning_percent", 0, kPercent},
    {"exposure/image_out_of_service_sec", 0, kLongestSeconds},
    {"exposure/image_adjust_msec", 0, kLongestMilliseconds},
    {"exposure/image_highest_black_percent", 0, kPercent},
    {"exposure/image_lowest_wb_ratio", 0, kLargestRatio},
    {"exposure/image_highest_wb_ratio", 0, kLargestRatio},
    {"exposure/image_black_percentage_k", 0, kLargestGain},
    {"exposure/image_set_point", -kPercent, kPercent},
    {"exposure/image_kp", 0, kLargestGain},
    {"exposure/image_ki", 0, kLargestGain},
    {"exposure/image_kd", 0, kLargestGain},
};

typedef tagVideoDeviceParameterSet VideoSet;
constexpr const char* kVideoInteger = "LoadVideoDeviceConfiguration, %s=%d\n";

const KeyEntry<VideoSet> kVideoDeviceKeys[] = {
    {"image_width", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->image_width = v->integer; }},
    {"image_height", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->image_height = v->integer; }},
    {"image_frame_rate", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->image_frame_rate = v->integer; }},
    {"calibration_file_name", RECORD_TYPE_STRING, "LoadVideoDeviceConfiguration, %s=%s\n",
     [](VideoSet* p, ConfigurationValue* v) { CopyText(p->calibration_file_name, *v); }},
    {"disparity_min", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->disparity_min = v->integer; }},
    {"disparity_max", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->disparity_max = v->integer; }},
    {"window_scale", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->window_scale = Widened(v->integer); }},
    {"sgm_penalty1", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->sgm_penalty1 = Low16(v->integer); }},
    {"sgm_penalty2", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->sgm_penalty2 = Low16(v->integer); }},
    {"ddr_threshold", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->ddr_threshold = Low16(v->integer); }},
    {"ddr_disparity_range", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->ddr_disparity_range = Widened(v->integer); }},
    {"path_number", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->path_number = Widened(v->integer); }},
    {"thread_number", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->thread_number = Widened(v->integer); }},
    {"opencl_enable", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->opencl_enable = Flag(v->integer); }},
    {"swap_camera", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->swap_camera = Flag(v->integer); }},
    {"image_interval_sampling", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->image_interval_sampling = v->integer; }},
    {"disparity_filter", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->disparity_filter = v->integer; }},
    {"disparity_quality_threshold", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->disparity_quality_threshold = v->integer; }},
    {"disparity_uniqueness_ratio", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->disparity_uniqueness_ratio = v->integer; }},
    {"disparity_lr_max_diff", RECORD_TYPE_INTEGER, kVideoInteger,
     [](VideoSet* p, ConfigurationValue* v) { p->disparity_lr_max_diff = v->integer; }},
    {"shift_offset", RECORD_TYPE_DOUBLE, "%s=%f\n",
     [](VideoSet* p, ConfigurationValue* v) { p->shift_offset = v->real; }},
    {"shift_opt", RECORD_TYPE_INTEGER, "%s=%d\n",
     [](VideoSet* p, ConfigurationValue* v) { p->shift_opt = v->integer; }},
    {"calibrator_max_value", RECORD_TYPE_INTEGER, "%s=%d\n",
     [](VideoSet* p, ConfigurationValue* v) { p->calibrator_max_value = v->integer; }},
};

typedef tagCamExposureConfiguration Exposure;
constexpr const char* kExposureInteger = "LoadExposureConfiguration, %s=%d\n";
constexpr const char* kExposureDouble = "LoadExposureConfiguration, %s=%f\n";
constexpr const char* kExposureSingle = "LoadExposureConfiguration, %s=%lf\n";

const KeyEntry<Exposure> kExposureKeys[] = {
    {"exposure/frame_rate", RECORD_TYPE_INTEGER, kExposureInteger,
     [](Exposure* e, ConfigurationValue* v) { e->frame_rate = v->integer; }},
    {"exposure/adjust_sec", RECORD_TYPE_INTEGER, kExposureInteger,
     [](Exposure* e, ConfigurationValue* v) { e->adjust_sec = v->integer; }},
    {"exposure/exposure_time", RECORD_TYPE_INTEGER, kExposureInteger,
     [](Exposure* e, ConfigurationValue* v) { e->exposure_time = v->integer; }},
    {"exposure/exposure_level_count", RECORD_TYPE_INTEGER, kExposureInteger,
     [](Exposure* e, ConfigurationValue* v) { e->exposure_level_count = v->integer; }},
    {"exposure/image_black_quality_percent", RECORD_TYPE_DOUBLE, kExposureDouble,
     [](Exposure* e, ConfigurationValue* v) { e->image_black_quality_percent = v->real; }},
    {"exposure/image_white_quality_percent", RECORD_TYPE_DOUBLE, kExposureDouble,
     [](Exposure* e, ConfigurationValue* v) { e->image_white_quality_percent = v->real; }},
    {"exposure/image_black_warning_percent", RECORD_TYPE_DOUBLE, kExposureDouble,
     [](Exposure* e, ConfigurationValue* v) { e->image_black_warning_percent = v->real; }},
    {"exposure/image_white_warning_percent", RECORD_TYPE_DOUBLE, kExposureDouble,
     [](Exposure* e, ConfigurationValue* v) { e->image_white_warning_percent = v->real; }},
    {"exposure/image_out_of_service_sec", RECORD_TYPE_INTEGER, kExposureInteger,
     [](Exposure* e, ConfigurationValue* v) { e->image_out_of_service_sec = v->integer; }},
    {"exposure/image_adjust_msec", RECORD_TYPE_INTEGER, kExposureInteger,
     [](Exposure* e, ConfigurationValue* v) { e->image_adjust_msec = v->integer; }},
    // The controller's own numbers are single precision: stored rounded, logged as read.
    {"exposure/image_highest_black_percent", RECORD_TYPE_DOUBLE, kExposureSingle,
     [](Exposure* e, ConfigurationValue* v) { e->image_highest_black_percent = SinglePrecision(v->real); }},
    {"exposure/image_lowest_wb_ratio", RECORD_TYPE_DOUBLE, kExposureSingle,
     [](Exposure* e, ConfigurationValue* v) { e->image_lowest_wb_ratio = SinglePrecision(v->real); }},
    {"exposure/image_highest_wb_ratio", RECORD_TYPE_DOUBLE, kExposureSingle,
     [](Exposure* e, ConfigurationValue* v) { e->image_highest_wb_ratio = SinglePrecision(v->real); }},
    {"exposure/image_black_percentage_k", RECORD_TYPE_DOUBLE, kExposureSingle,
     [](Exposure* e, ConfigurationValue* v) { e->image_black_percentage_k = SinglePrecision(v->real); }},
    {"exposure/image_set_point", RECORD_TYPE_DOUBLE, kExposureSingle,
     [](Exposure* e, ConfigurationValue* v) { e->image_set_point = SinglePrecision(v->real); }},
    {"exposure/image_kp", RECORD_TYPE_DOUBLE, kExposureSingle,
     [](Exposure* e, ConfigurationValue* v) { e->image_kp = SinglePrecision(v->real); }},
    {"exposure/image_ki", RECORD_TYPE_DOUBLE, kExposureSingle,
     [](Exposure* e, ConfigurationValue* v) { e->image_ki = SinglePrecision(v->real); }},
    {"exposure/image_kd", RECORD_TYPE_DOUBLE, kExposureSingle,
     [](Exposure* e, ConfigurationValue* v) { e->image_kd = SinglePrecision(v->real); }},
};

}  // namespace

Result LoadBaseConfiguration(FileConfigurationManagerPtr store, char application_name[kConfigurationTextBytes]) {
  return LoadKeys(store.Get(), kCommonModule, kBaseKeys, nullptr, 0, application_name);
}

Result LoadHeartbeatConfiguration(FileConfigurationManagerPtr store, HeartbeatConfiguration* configuration) {
  const Result loaded = LoadKeys(store.Get(), kCommonModule, kHeartbeatKeys, kHeartbeatRanges,
                                 std::size(kHeartbeatRanges), configuration);
  if (loaded != RESULT_OK) return loaded;
  // The own heartbeat socket must not bind the watchdog's address and port, where it would talk to itself.
  if (std::strcmp(configuration->local_heartbeat_socket_addr, configuration->daemon_listen_socket_addr) != 0) {
    return RESULT_OK;
  }
  return RefuseSharedUdpPort(
      {kCommonModule, "local_heartbeat_socket_port", configuration->local_heartbeat_socket_port, 0},
      {kCommonModule, "daemon_listen_socket_port", configuration->daemon_listen_socket_port, 0});
}

Result LoadZuqConfiguration(FileConfigurationManagerPtr store, char serial_number[kConfigurationTextBytes],
                            char vendor_name[kConfigurationTextBytes]) {
  Identity identity = {serial_number, vendor_name};
  return LoadKeys(store.Get(), kControlModule, kZuqKeys, nullptr, 0, &identity);
}

Result LoadNetworkConfiguration(FileConfigurationManagerPtr store, char server_addr[kConfigurationTextBytes],
                                std::uint32_t* server_port) {
  constexpr const char* kAddressKey = "socket_config/server_addr";
  constexpr const char* kPortKey = "socket_config/server_port";
  ConfigurationValue value;

  PrintLog(kLogTag, "LoadNetworkConfiguration, load %s configuration\n", kAddressKey);
  Result read = ReadServiceValue(store.Get(), kControlModule, kAddressKey, RECORD_TYPE_STRING, server_addr, &value);
  if (read != RESULT_OK) {
    LogUnreadable(store.Get(), kControlModule, kAddressKey, RECORD_TYPE_STRING);
    PrintLog(kLogTag, "LoadNetworkConfiguration, load %s configuration failed\n", kAddressKey);
    return read;
  }
  PrintLog(kLogTag, "LoadNetworkConfiguration, %s=%s\n", kAddressKey, server_addr);

  char unused_text[kConfigurationTextBytes];
  PrintLog(kLogTag, "LoadNetworkConfiguration, load %s configuration\n", kPortKey);
  read = ReadServiceValue(store.Get(), kControlModule, kPortKey, RECORD_TYPE_INTEGER, unused_text, &value);
  if (read != RESULT_OK) LogUnreadable(store.Get(), kControlModule, kPortKey, RECORD_TYPE_INTEGER);
  if (read == RESULT_OK) {
    read = CheckRange(kControlModule, kPortKey, kNetworkRanges, std::size(kNetworkRanges), value.integer);
  }
  if (read == RESULT_OK) read = RefuseDiscoveryOnHeartbeatPorts(store.Get(), kControlModule, kPortKey, value.integer);
  if (read != RESULT_OK) {
    PrintLog(kLogTag, "LoadNetworkConfiguration, load %s configuration failed\n", kPortKey);
    return read;
  }
  *server_port = static_cast<std::uint32_t>(value.integer);
  PrintLog(kLogTag, "LoadNetworkConfiguration, %s=%d\n", kPortKey, value.integer);
  return RESULT_OK;
}

Result LoadVideoDeviceConfiguration(FileConfigurationManagerPtr store, tagVideoDeviceParameterSet* parameters) {
  return LoadKeys(store.Get(), kStreamModule, kVideoDeviceKeys, kVideoDeviceRanges,
                  std::size(kVideoDeviceRanges), parameters);
}

Result LoadExposureConfiguration(FileConfigurationManagerPtr store, tagCamExposureConfiguration* configuration) {
  return LoadKeys(store.Get(), kStreamModule, kExposureKeys, kExposureRanges,
                  std::size(kExposureRanges), configuration);
}

void PresetExposureConfiguration(tagCamExposureConfiguration* c) {
  c->frame_rate = 20;
  c->adjust_sec = 10;
  c->exposure_time = 50000;
  c->exposure_level_count = 128;
  c->image_black_quality_percent = 2.0;
  c->image_white_quality_percent = 5.0;
  c->image_black_warning_percent = 5.0;
  c->image_white_warning_percent = 30.0;
  c->image_out_of_service_sec = 10;
  c->image_adjust_msec = 100;
  c->image_highest_black_percent = 2.0;
  c->image_lowest_wb_ratio = 3.0;
  c->image_highest_wb_ratio = 15.0;
  c->image_black_percentage_k = 1.5;
  c->image_set_point = 0.0;
  c->image_kp = 2.0;
  c->image_ki = 0.02;
  c->image_kd = 0.2;
}
