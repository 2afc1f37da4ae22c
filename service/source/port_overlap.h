// Refusing configured ports that would put two of this program's UDP sockets on one port.
#pragma once

#include <cstdint>

#include "platform/configuration_manager.h"
#include "platform/result.h"

// A UDP port as configured: the key it comes from, the key's value and the offset from that value
// to the port used (the discovery port lies 3 above the base port).
struct UdpPortKey {
  const char* module;
  const char* record_path;
  std::int64_t value;
  std::int64_t offset;
};

// RESULT_INVALID_ARGUMENT with one line naming both keys when both use one UDP port. A port of 0
// (any free port) collides with nothing.
Result RefuseSharedUdpPort(const UdpPortKey& first, const UdpPortKey& second);

// The discovery port of base port `server_port` against the two heartbeat ports of the same
// configuration (the program's own heartbeat socket and the watchdog's listener, which the
// watchdog binds on this machine). Heartbeat keys that cannot be read are left to their loader.
Result RefuseDiscoveryOnHeartbeatPorts(ConfigurationManager* store, const char* module, const char* record_path,
                                       std::int64_t server_port);
