// Discovery datagrams built by hand from the wire layout, for the discovery tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "net_helpers.h"
#include "pelarin/packet.h"

namespace nettest {

// Head, DeviceType, IPInfo (flag 1, the address) and Sequence, as a peer of `type` sends it.
inline std::vector<uint8_t> DiscoveryDatagram(uint8_t type, const std::string& address) {
  constexpr size_t kIpInfoValueBytes = 44;
  std::vector<uint8_t> d = Packet(kElementDeviceType, {type});
  std::vector<uint8_t> ip(kIpInfoValueBytes, 0);
  ip[0] = 1;
  memcpy(ip.data() + 1, address.data(), address.size());
  const std::vector<uint8_t> ip_element = Packet(kElementIPInfo, ip);
  d.insert(d.end(), ip_element.begin() + kPacketHeadBytes, ip_element.end());
  const std::vector<uint8_t> sequence = Packet(kElementSequence, {0, 0, 0, 7});
  d.insert(d.end(), sequence.begin() + kPacketHeadBytes, sequence.end());
  return d;
}

}  // namespace nettest
