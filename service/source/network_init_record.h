// The network service's init record as the service fills it from its address and base port.
#pragma once

#include <cstdint>

#include "parameter_records.h"
#include "platform/result.h"

// Device type 1 (sensor module), bind address "0.0.0.0", `server_addr` as own address and the
// ports P to P+3; everything else zero, so the network service applies its defaults. An address
// that does not fit the record's field is refused (RESULT_INVALID_ARGUMENT, one log line), never cut.
Result FillNetworkInitRecord(const char* server_addr, std::uint32_t server_port, tagNetworkInitPara* record);
