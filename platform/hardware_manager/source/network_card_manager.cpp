// The network card manager: the machine's configured IPv4 interfaces with name, MAC, address and netmask.
#include "platform/network_card_manager.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "network_card_queries.h"

namespace {

// Where the list query failure is reported from, as the board's logs have always shown it.
constexpr const char* kReportedSourceFile = "./hardware_manager/source/network_card_manager.cpp";
constexpr int kReportedSourceLine = 168;
constexpr std::size_t kMacTextBytes = 16;
constexpr std::size_t kAddressTextBytes = 32;
constexpr std::size_t kMacBytes = 6;
constexpr std::size_t kMacDigits = 2 * kMacBytes;
constexpr int kHexBase = 16;
constexpr int kDecimalLetterOffset = 10;

std::vector<tagNetworkCardInfo> g_network_cards;

int KernelIoctl(int descriptor, unsigned long request, void* argument) { return ioctl(descriptor, request, argument); }

// The hardware address of one interface as 12 hexadecimal digits; empty when the query fails.
std::string QueryMac(InterfaceIoctl query, int descriptor, const ifreq& record) {
  ifreq request = record;
  if (query(descriptor, SIOCGIFHWADDR, &request) != 0) return std::string();
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
  char text[kMacTextBytes] = {};
  std::snprintf(text, sizeof(text), "%02x%02x%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                bytes[5]);
  return text;
}

// An IPv4 address of one interface (address or netmask request); empty when the query fails.
std::string QueryAddress(InterfaceIoctl query, int descriptor, const ifreq& record, unsigned long address_request) {
  ifreq request = record;
  if (query(descriptor, address_request, &request) != 0) return std::string();
  sockaddr_in address;
  std::memcpy(&address, &request.ifr_addr, sizeof(address));
  char dotted[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof(dotted)) == nullptr) return std::string();
  char text[kAddressTextBytes] = {};
  std::snprintf(text, sizeof(text), "%s", dotted);
  return text;
}

const tagNetworkCardInfo* Entry(unsigned long index) {
  return index < g_network_cards.size() ? &g_network_cards[index] : nullptr;
}

}  // namespace

Result RefreshNetworkCardsThrough(InterfaceIoctl query, unsigned long* count) {
  g_network_cards.clear();
  const int descriptor = socket(AF_INET, SOCK_DGRAM, 0);
  if (descriptor < 0) return RESULT_SOCKET_CREATE;

  ifreq records[kMaxListedInterfaces];
  std::memset(records, 0, sizeof(records));
  ifconf list;
  std::memset(&list, 0, sizeof(list));
  list.ifc_len = sizeof(records);
  list.ifc_req = records;
  if (query(descriptor, SIOCGIFCONF, &list) != 0) {
    std::printf("ioctl: %s [%s:%d]\n", std::strerror(errno), kReportedSourceFile, kReportedSourceLine);
    close(descriptor);
    return RESULT_FAILED;
  }
  const int listed = list.ifc_len / static_cast<int>(sizeof(ifreq));
  std::printf("interface num = %d\n", listed);

  for (int index = listed - 1; index >= 0; --index) {
    const ifreq& record = records[index];
    tagNetworkCardInfo card;
    card.name.assign(record.ifr_name, strnlen(record.ifr_name, sizeof(record.ifr_name)));
    card.mac = QueryMac(query, descriptor, record);
    card.address = QueryAddress(query, descriptor, record, SIOCGIFADDR);
    card.netmask = QueryAddress(query, descriptor, record, SIOCGIFNETMASK);
    g_network_cards.push_back(card);
  }
  close(descriptor);
  if (count != nullptr) *count = g_network_cards.size();
  return RESULT_OK;
}

Result RefreshNetworkCards(unsigned long* count) { return RefreshNetworkCardsThrough(KernelIoctl, count); }

std::string GetNetworkCardName(unsigned long index) {
  const tagNetworkCardInfo* card = Entry(index);
  return card == nullptr ? std::string() : card->name;
}

std::string GetNetworkCardMac(unsigned long index) {
  const tagNetworkCardInfo* card = Entry(index);
  return card == nullptr ? std::string() : card->mac;
}

std::string GetNetworkCardAddress(unsigned long index) {
  const tagNetworkCardInfo* card = Entry(index);
  return card == nullptr ? std::string() : card->address;
}

Result GetNetworkCardMacBytes(unsigned long index, unsigned char* out, std::size_t capacity) {
  const tagNetworkCardInfo* card = Entry(index);
  // An empty MAC text (an interface without a hardware address) has no bytes to give.
  if (out == nullptr || capacity < kMacBytes || card == nullptr || card->mac.size() != kMacDigits) {
    return RESULT_INVALID_ARGUMENT;
  }
  for (std::size_t byte = 0; byte < kMacBytes; ++byte) {
    out[byte] = static_cast<unsigned char>(HexDigitValue(card->mac[2 * byte]) * kHexBase +
                                           HexDigitValue(card->mac[2 * byte + 1]));
  }
  return RESULT_OK;
}

int HexDigitValue(char digit) {
  if (digit >= '1' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + kDecimalLetterOffset;
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + kDecimalLetterOffset;
  return 0;
}
