// The loaders that turn the service's configuration records into its parameter records.
#pragma once

#include <cstdint>

#include "parameter_records.h"
#include "platform/file_configuration_manager.h"
#include "platform/result.h"

// Every text value is read into a zero-filled buffer of this size.
constexpr std::uint32_t kConfigurationTextBytes = 4096;
// The configuration every key is read from.
constexpr const char* kServiceConfigurationName = "default_configuration";

struct HeartbeatConfiguration {
  char local_heartbeat_socket_addr[kConfigurationTextBytes];
  std::uint32_t local_heartbeat_socket_port;
  char daemon_listen_socket_addr[kConfigurationTextBytes];
  std::uint32_t daemon_listen_socket_port;
  std::int32_t local_heartbeat_interval_in_second;  // at least 1 after loading
  std::uint32_t passage_direction;
};

// Each loader reads its keys in order, logs each, and stops at the first key that cannot be read,
// returning the store's code; 0 when every key was read.
Result LoadBaseConfiguration(FileConfigurationManagerPtr store, char application_name[kConfigurationTextBytes]);
Result LoadHeartbeatConfiguration(FileConfigurationManagerPtr store, HeartbeatConfiguration* configuration);
Result LoadZuqConfiguration(FileConfigurationManagerPtr store, char serial_number[kConfigurationTextBytes],
                            char vendor_name[kConfigurationTextBytes]);
Result LoadNetworkConfiguration(FileConfigurationManagerPtr store, char server_addr[kConfigurationTextBytes],
                                std::uint32_t* server_port);
// Fills only the keyed fields; the caller zero-fills the record first.
Result LoadVideoDeviceConfiguration(FileConfigurationManagerPtr store, tagVideoDeviceParameterSet* parameters);
// Overwrites every field; PresetExposureConfiguration gives the values in force before the load.
Result LoadExposureConfiguration(FileConfigurationManagerPtr store, tagCamExposureConfiguration* configuration);
void PresetExposureConfiguration(tagCamExposureConfiguration* configuration);
