// Refusing configured ports that would put two of this program's UDP sockets on one port.
#include "port_overlap.h"

#include "configuration_loaders.h"
#include "configuration_values.h"
#include "network_init_record.h"
#include "qelt_log.h"

namespace {
constexpr const char* kLogTag = "main";
constexpr const char* kHeartbeatModule = "common_config";
constexpr const char* kHeartbeatPortKeys[] = {"local_heartbeat_socket_port", "daemon_listen_socket_port"};
}  // namespace

Result RefuseSharedUdpPort(const UdpPortKey& first, const UdpPortKey& second) {
  const std::int64_t first_port = first.value + first.offset;
  const std::int64_t second_port = second.value + second.offset;
  if (first.value == 0 || second.value == 0 || first_port != second_port) return RESULT_OK;
  PrintLog(kLogTag, "Configuration, %s/%s=%lld uses UDP port %lld, the same as %s/%s=%lld\n", first.module,
           first.record_path, static_cast<long long>(first.value), static_cast<long long>(first_port), second.module,
           second.record_path, static_cast<long long>(second.value));
  return RESULT_INVALID_ARGUMENT;
}

Result RefuseDiscoveryOnHeartbeatPorts(ConfigurationManager* store, const char* module, const char* record_path,
                                       std::int64_t server_port) {
  const UdpPortKey discovery = {module, record_path, server_port, kBroadcastPortOffset};
  for (const char* key : kHeartbeatPortKeys) {
    ConfigurationValue value;
    if (ReadServiceValue(store, kHeartbeatModule, key, RECORD_TYPE_INTEGER, nullptr, &value) != RESULT_OK) continue;
    const Result shared = RefuseSharedUdpPort(discovery, {kHeartbeatModule, key, value.integer, 0});
    if (shared != RESULT_OK) return shared;
  }
  return RESULT_OK;
}
