// The network service's init record as the service fills it from its address and base port.
#pragma once

#include <cstdint>

#include "parameter_records.h"
#include "platform/result.h"

// The image, control and discovery ports follow the configured base port in this order.
constexpr std::uint32_t kYrdPortOffset = 1;
constexpr std::uint32_t kControlPortOffset = 2;
constexpr std::uint32_t kBroadcastPortOffset = 3;
// The highest base port whose three followers are still port numbers.
constexpr std::uint32_t kHighestServerPort = 65535 - kBroadcastPortOffset;

// Device type 1 (sensor module), bind address "0.0.0.0", `server_addr` as own address and the
// ports P to P+3; everything else zero, so the network service applies its defaults. An address
// that does not fit the record's field is refused (RESULT_INVALID_ARGUMENT, one log line), never cut;
// so is a base port of 0 or above kHighestServerPort.
Result FillNetworkInitRecord(const char* server_addr, std::uint32_t server_port, tagNetworkInitPara* record);
