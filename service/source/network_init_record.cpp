// The network service's init record as the service fills it from its address and base port.
#include "network_init_record.h"

#include <cstring>

#include "qelt_log.h"

namespace {
constexpr const char* kBindAnyAddress = "0.0.0.0";
}  // namespace

Result FillNetworkInitRecord(const char* server_addr, std::uint32_t server_port, tagNetworkInitPara* record) {
  if (server_addr == nullptr || record == nullptr) return RESULT_INVALID_ARGUMENT;
  if (std::strlen(server_addr) >= sizeof(record->local_ip)) {
    PrintLog("main", "StartZuqService, server_addr %s is longer than %zu characters\n", server_addr,
             sizeof(record->local_ip) - 1);
    return RESULT_INVALID_ARGUMENT;
  }
  // The four ports must all be port numbers; a larger base would wrap them onto low ports.
  if (server_port == 0 || server_port > kHighestServerPort) {
    PrintLog("main", "StartZuqService, server_port %u leaves its four ports outside 1 to %u\n", server_port,
             kHighestServerPort + kBroadcastPortOffset);
    return RESULT_INVALID_ARGUMENT;
  }
  std::memset(record, 0, sizeof(*record));
  record->device_type = kDeviceZuq;
  std::strcpy(record->server_ip, kBindAnyAddress);
  std::strcpy(record->local_ip, server_addr);
  record->norb_image_port = server_port;
  record->yrd_image_port = server_port + kYrdPortOffset;
  record->ctrl_port = server_port + kControlPortOffset;
  record->broadcast_port = server_port + kBroadcastPortOffset;
  return RESULT_OK;
}
