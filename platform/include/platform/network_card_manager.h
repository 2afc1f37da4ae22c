// The network card manager: the machine's configured IPv4 interfaces with name, MAC, address and netmask.
#pragma once

#include <cstddef>
#include <string>

#include "platform/result.h"

// One interface, as text.
struct tagNetworkCardInfo {
  std::string name;       // as the kernel reports it, e.g. eth0
  std::string unused_1;   // always empty
  std::string mac;        // 12 lower-case hexadecimal digits, empty without a hardware address
  std::string address;    // IPv4, dotted decimal
  std::string netmask;    // IPv4, dotted decimal
  std::string unused_2;   // always empty
};

// Rebuilds the process-wide list, the interface the kernel reports last first; at most 16
// interfaces. RESULT_SOCKET_CREATE or RESULT_FAILED when the list cannot be queried.
Result RefreshNetworkCards(unsigned long* count);
// A copy of an entry's text; empty for an index at or beyond the count.
std::string GetNetworkCardName(unsigned long index);
std::string GetNetworkCardMac(unsigned long index);
std::string GetNetworkCardAddress(unsigned long index);
// The six bytes of an entry's MAC into `out`. RESULT_INVALID_ARGUMENT, with nothing written, for a
// capacity below 6, an index at or beyond the count, or an entry without a 12-digit MAC text.
Result GetNetworkCardMacBytes(unsigned long index, unsigned char* out, std::size_t capacity);
// '1'-'9' give 1-9, 'A'-'F' and 'a'-'f' give 10-15, any other character 0.
int HexDigitValue(char digit);
