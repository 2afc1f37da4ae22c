// The network card manager over a stand-in for the kernel's interface queries, and over the real loopback.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <cstring>
#include <string>
#include <vector>

#include "network_card_queries.h"
#include "platform/network_card_manager.h"

namespace {

// An interface as the stand-in kernel reports it; an empty hardware address fails its query.
struct FakeInterface {
  std::string name;
  std::vector<unsigned char> hardware;
  std::string address;
  std::string netmask;
};

std::vector<FakeInterface> g_interfaces;
bool g_list_fails = false;

const FakeInterface* Find(const char* name) {
  for (const FakeInterface& interface : g_interfaces) {
    if (interface.name == name) return &interface;
  }
  return nullptr;
}

void PutAddress(const std::string& text, sockaddr* out) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, text.c_str(), &address.sin_addr);
  std::memcpy(out, &address, sizeof(address));
}

// Answers the four requests the manager makes the way the kernel does.
int FakeIoctl(int, unsigned long request, void* argument) {
  if (request == SIOCGIFCONF) {
    if (g_list_fails) {
      errno = EINVAL;
      return -1;
    }
    ifconf* list = static_cast<ifconf*>(argument);
    const std::size_t room = static_cast<std::size_t>(list->ifc_len) / sizeof(ifreq);
    std::size_t written = 0;
    for (; written < g_interfaces.size() && written < room; ++written) {
      std::memset(&list->ifc_req[written], 0, sizeof(ifreq));
      std::strncpy(list->ifc_req[written].ifr_name, g_interfaces[written].name.c_str(), IFNAMSIZ - 1);
      PutAddress(g_interfaces[written].address, &list->ifc_req[written].ifr_addr);
    }
    list->ifc_len = static_cast<int>(written * sizeof(ifreq));
    return 0;
  }
  ifreq* record = static_cast<ifreq*>(argument);
  const FakeInterface* interface = Find(record->ifr_name);
  if (interface == nullptr) return -1;
  switch (request) {
    case SIOCGIFHWADDR:
      if (interface->hardware.empty()) return -1;
      std::memcpy(record->ifr_hwaddr.sa_data, interface->hardware.data(), interface->hardware.size());
      return 0;
    case SIOCGIFADDR:
      PutAddress(interface->address, &record->ifr_addr);
      return 0;
    case SIOCGIFNETMASK:
      PutAddress(interface->netmask, &record->ifr_netmask);
      return 0;
    default:
      return -1;
  }
}

class NetworkCards : public ::testing::Test {
 protected:
  void SetUp() override {
    g_interfaces.clear();
    g_list_fails = false;
  }
  unsigned long Refresh() {
    unsigned long count = 12345;
    EXPECT_EQ(RefreshNetworkCardsThrough(FakeIoctl, &count), RESULT_OK);
    return count;
  }
};

// The last interface reported is entry zero; an interface without a hardware address has an empty
// MAC even when listed after one with it; bytes print as two lower-case hex digits.
TEST_F(NetworkCards, LastReportedInterfaceIsEntryZero) {
  g_interfaces = {{"tun0", {}, "10.8.0.1", "255.255.255.0"},
                  {"lo", {0, 0, 0, 0, 0, 0}, "127.0.0.1", "255.0.0.0"},
                  {"eth0", {0x0a, 0xff, 0x00, 0x01, 0x10, 0xfe}, "192.168.1.10", "255.255.255.0"}};
  ASSERT_EQ(Refresh(), 3u);
  EXPECT_EQ(GetNetworkCardName(0), "eth0");
  EXPECT_EQ(GetNetworkCardMac(0), "0aff000110fe");
  EXPECT_EQ(GetNetworkCardAddress(0), "192.168.1.10");
  EXPECT_EQ(GetNetworkCardName(1), "lo");
  EXPECT_EQ(GetNetworkCardMac(1), "000000000000");
  EXPECT_EQ(GetNetworkCardAddress(1), "127.0.0.1");
  EXPECT_EQ(GetNetworkCardMac(2), "");
  EXPECT_EQ(GetNetworkCardAddress(2), "10.8.0.1");
  EXPECT_EQ(GetNetworkCardMac(3), "");
  EXPECT_EQ(GetNetworkCardName(3), "");
}

TEST_F(NetworkCards, OnlySixteenInterfacesFitTheList) {
  for (int i = 0; i < 20; ++i) {
    g_interfaces.push_back({"if" + std::to_string(i), {0, 0, 0, 0, 0, static_cast<unsigned char>(i)},
                            "10.0.0." + std::to_string(i + 1), "255.255.255.0"});
  }
  ASSERT_EQ(Refresh(), 16u);
  EXPECT_EQ(GetNetworkCardName(0), "if15");
  EXPECT_EQ(GetNetworkCardName(15), "if0");
  EXPECT_EQ(GetNetworkCardName(16), "");
}

TEST_F(NetworkCards, FailedListQueryEmptiesTheListAndFails) {
  g_interfaces = {{"eth0", {1, 2, 3, 4, 5, 6}, "10.0.0.2", "255.0.0.0"}};
  ASSERT_EQ(Refresh(), 1u);
  g_list_fails = true;
  unsigned long count = 7;
  testing::internal::CaptureStdout();
  EXPECT_EQ(RefreshNetworkCardsThrough(FakeIoctl, &count), RESULT_FAILED);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ioctl: Invalid argument [./hardware_manager/source/network_card_manager.cpp:168]\n");
  EXPECT_EQ(GetNetworkCardName(0), "");
}

// MAC bytes come from the text; a small capacity, a bad index or an empty MAC is refused without
// writing anything.
TEST_F(NetworkCards, MacBytesFromTheTextOrRefusedWithoutWriting) {
  g_interfaces = {{"tun0", {}, "10.8.0.1", "255.255.255.0"},
                  {"eth0", {0x00, 0x11, 0x22, 0xaa, 0xbb, 0xcc}, "10.0.0.2", "255.0.0.0"}};
  ASSERT_EQ(Refresh(), 2u);
  unsigned char bytes[7] = {9, 9, 9, 9, 9, 9, 9};
  const unsigned char untouched[7] = {9, 9, 9, 9, 9, 9, 9};
  EXPECT_EQ(GetNetworkCardMacBytes(0, bytes, 5), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(GetNetworkCardMacBytes(2, bytes, 6), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(GetNetworkCardMacBytes(1, bytes, 6), RESULT_INVALID_ARGUMENT) << "entry 1 has no MAC";
  EXPECT_EQ(0, std::memcmp(bytes, untouched, sizeof(bytes)));
  ASSERT_EQ(GetNetworkCardMacBytes(0, bytes, 6), RESULT_OK);
  const unsigned char expected[7] = {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC, 9};
  EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof(expected)));
}

TEST(HexDigits, ValuesOfEveryCharacter) {
  for (int c = 0; c < 256; ++c) {
    const char digit = static_cast<char>(c);
    int expected = 0;
    if (c >= '1' && c <= '9') expected = c - '0';
    if (c >= 'a' && c <= 'f') expected = 10 + c - 'a';
    if (c >= 'A' && c <= 'F') expected = 10 + c - 'A';
    EXPECT_EQ(HexDigitValue(digit), expected) << c;
  }
}

TEST(NetworkCardsOnThisMachine, LoopbackIsListedWithItsAddressMaskAndZeroMac) {
  unsigned long count = 0;
  ASSERT_EQ(RefreshNetworkCards(&count), RESULT_OK);
  bool found = false;
  for (unsigned long index = 0; index < count; ++index) {
    if (GetNetworkCardName(index) != "lo") continue;
    found = true;
    EXPECT_EQ(GetNetworkCardAddress(index), "127.0.0.1");
    EXPECT_EQ(GetNetworkCardMac(index), "000000000000");
    unsigned char bytes[6] = {1, 1, 1, 1, 1, 1};
    ASSERT_EQ(GetNetworkCardMacBytes(index, bytes, sizeof(bytes)), RESULT_OK);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 6), std::vector<unsigned char>(6, 0));
  }
  EXPECT_TRUE(found) << "loopback with 127.0.0.1 is listed";
}

}  // namespace
