// Discovery over a real broadcast: the test re-runs itself inside a network namespace of its own
// (unshare -rn) with a veth pair, so that broadcasts never leave the test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "net_helpers.h"
#include "pelarin/proxy.h"
#include "pelarin/sddp.h"
#include "sddp_helpers.h"
#include "test_support/namespace_runner.h"

namespace {

// The namespace's layout: "eth0" (the interface the library broadcasts on) and its veth peer.
constexpr char kPeerInterface[] = "sddppeer";
constexpr char kDeviceAddress[] = "10.213.0.1";
constexpr char kPeerAddress[] = "10.213.0.2";
constexpr char kBroadcastAddress[] = "10.213.0.255";
constexpr uint16_t kBroadcastPort = 47001;
constexpr int kAnswerWaitMillis = 3000;
constexpr int kReceiveWaitMillis = 20000;  // a datagram that must come; only a failure waits this long
constexpr int kClientPassWaitMillis = 100;

const namespace_runner::Layout kLayout{kPeerInterface, kDeviceAddress, kPeerAddress, kBroadcastAddress};

bool InsideTestNamespace() { return namespace_runner::Inside(kLayout); }

int UdpSocket(uint16_t bind_port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(bind_port);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  return fd;
}

void SendTo(int fd, const char* address, uint16_t port, const std::vector<uint8_t>& bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, address, &to.sin_addr);
  ASSERT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(bytes.size()));
}

// One datagram within `millis`, with its sender; empty when none came.
std::vector<uint8_t> Receive(int fd, int millis, sockaddr_in* from = nullptr) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, millis) != 1) return {};
  std::vector<uint8_t> bytes(2048);
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  const ssize_t n = recvfrom(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&peer), &size);
  if (n < 0) return {};
  bytes.resize(static_cast<size_t>(n));
  if (from != nullptr) *from = peer;
  return bytes;
}

TEST(DiscoveryNamespace, RunsTheExchangeInsideItsOwnNetworkNamespace) {
  if (InsideTestNamespace()) GTEST_SKIP() << "already inside the test namespace";
  std::string output;
  int status = 0;
  const namespace_runner::Outcome outcome =
      namespace_runner::RunSelfInside(kLayout, "DiscoveryInNamespace.*", &output, &status);
  if (outcome != namespace_runner::Outcome::kRan) GTEST_SKIP() << namespace_runner::SkipReason(outcome);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 2 tests"), std::string::npos) << output;
}

class DiscoveryInNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace()) GTEST_SKIP() << "runs only inside the namespace that the test above makes";
    saved_ = QeltmParaCfg;
  }
  void TearDown() override {
    if (!InsideTestNamespace()) return;
    StopAllProxyProcess();
    SDDPCloseSession();
    SDDPUnInit();
    SDDPSetClock(nullptr);
    SDDPRegisterNotifyDeviceFunc(nullptr);
    QeltmParaCfg = saved_;
  }
  tagNetworkInitPara saved_;
};

TEST_F(DiscoveryInNamespace, ServingDeviceAnswersOnlyValidDiscoveries) {
  QeltmParaCfg.device_type = kDeviceZuq;
  strcpy(QeltmParaCfg.local_ip, kDeviceAddress);
  ASSERT_EQ(SDDPInit(1), kQeltOk);
  ASSERT_EQ(SDDPCreateSession(kBroadcastPort), kQeltOk);
  ASSERT_EQ(ProxyThreadStart(kProxyCtrlAndBroadcast), kQeltOk);

  // Bad datagrams from one socket, then a valid discovery from another: only the second is answered.
  const int bad = UdpSocket(0);
  const int good = UdpSocket(0);
  const std::vector<uint8_t> valid = nettest::DiscoveryDatagram(kDeviceYrd, kPeerAddress);
  std::vector<uint8_t> wrong_head = valid;
  wrong_head[3] ^= 0x5A;
  std::vector<uint8_t> bad_element_length = valid;
  bad_element_length[9] = 0xFF;  // DeviceType declares a 4 GiB value
  const std::vector<std::vector<uint8_t>> rejected = {
      wrong_head,
      {valid.begin(), valid.begin() + 5},
      {valid.begin(), valid.begin() + 12},
      bad_element_length,
      nettest::DiscoveryDatagram(kDeviceZuq, "10.213.0.77"),  // another serving device
      nettest::DiscoveryDatagram(9, kPeerAddress),            // unknown device type
  };
  for (const auto& datagram : rejected) SendTo(bad, kBroadcastAddress, kBroadcastPort, datagram);
  SendTo(good, kBroadcastAddress, kBroadcastPort, valid);

  const std::vector<uint8_t> answer = Receive(good, kReceiveWaitMillis);
  ASSERT_EQ(answer.size(), kSddpDatagramBytes);
  EXPECT_EQ(answer[8], kElementDeviceType);
  EXPECT_EQ(answer[13], kDeviceZuq);
  EXPECT_EQ(answer[14], kElementIPInfo);
  EXPECT_STREQ(reinterpret_cast<const char*>(answer.data() + 20), kDeviceAddress);
  // The rejected datagrams were handled before the valid one, so any answer to them is queued by now.
  EXPECT_TRUE(Receive(bad, 0).empty());
  close(bad);
  close(good);
}

std::vector<std::pair<unsigned, std::string>> g_events;
void RecordEvent(unsigned event, void* node, int) {
  g_events.emplace_back(event, static_cast<DeviceListNode*>(node)->device.ip_address);
}
uint64_t g_fake_micros = 0;
uint64_t FakeClock() { return g_fake_micros; }

TEST_F(DiscoveryInNamespace, ClientListsAnsweringDeviceAndLosesItAfterTimeout) {
  QeltmParaCfg.device_type = kDeviceYrd;
  strcpy(QeltmParaCfg.local_ip, kPeerAddress);
  g_fake_micros = 1700000000ull * 1000000ull;
  SDDPSetClock(FakeClock);
  g_events.clear();
  SDDPRegisterNotifyDeviceFunc(RecordEvent);
  ASSERT_EQ(SDDPInit(kSddpClientMode), kQeltOk);
  ASSERT_EQ(SDDPConnectSession(kBroadcastPort), kQeltOk);
  const int device = UdpSocket(kBroadcastPort);  // a camera listening on the broadcast port
  std::vector<uint8_t> buffer(1000);

  SDDPClientStartDiscoveryDevice();
  SDDPClientDiscoveryPass(buffer.data(), 1000, kClientPassWaitMillis);  // remembers the start
  g_fake_micros += kSddpBroadcastPeriodMillis * 1000;
  SDDPClientDiscoveryPass(buffer.data(), 1000, kClientPassWaitMillis);  // broadcasts

  sockaddr_in client{};
  const std::vector<uint8_t> discovery = Receive(device, kReceiveWaitMillis, &client);
  ASSERT_EQ(discovery.size(), kSddpDatagramBytes);
  EXPECT_EQ(discovery[13], kDeviceYrd);
  const std::vector<uint8_t> answer = nettest::DiscoveryDatagram(kDeviceZuq, kDeviceAddress);
  char client_address[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &client.sin_addr, client_address, sizeof client_address);
  SendTo(device, client_address, ntohs(client.sin_port), answer);
  SDDPClientDiscoveryPass(buffer.data(), 1000, kAnswerWaitMillis);

  ASSERT_EQ(SDDPGetDeviceNumber(), 1u);
  DiscoveredDevice listed{};
  ASSERT_EQ(SDDPGetDeviceInfo(&listed, 1), kQeltOk);
  EXPECT_EQ(listed.device_type, kDeviceZuq);
  EXPECT_STREQ(listed.ip_address, kDeviceAddress);
  ASSERT_EQ(g_events.size(), 1u);
  EXPECT_EQ(g_events[0].first, kSddpDeviceFound);

  g_fake_micros += 9000 * 1000;
  SDDPClientDiscoveryPass(buffer.data(), 1000, 0);
  EXPECT_EQ(SDDPGetDeviceNumber(), 1u);
  g_fake_micros += 1000;
  SDDPClientDiscoveryPass(buffer.data(), 1000, 0);
  EXPECT_EQ(SDDPGetDeviceNumber(), 0u);
  ASSERT_EQ(g_events.size(), 2u);
  EXPECT_EQ(g_events[1].first, kSddpDeviceLost);
  EXPECT_EQ(g_events[1].second, kDeviceAddress);
  close(device);
}

}  // namespace
