// Discovery without sockets: datagram composition and analysis, the device list, its time-out
// on a test clock, and the broadcast schedule.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "log_limit.h"
#include "net_helpers.h"
#include "sddp_helpers.h"
#include "pelarin/sddp.h"

namespace {

uint64_t g_fake_micros = 0;
uint64_t FakeClock() { return g_fake_micros; }
void AdvanceMillis(uint64_t ms) { g_fake_micros += ms * 1000; }

struct Event {
  unsigned event;
  std::string address;
  uint8_t type;
};
std::vector<Event> g_events;
void RecordEvent(unsigned event, void* node, int zero) {
  EXPECT_EQ(zero, 0);
  const DeviceListNode* n = static_cast<const DeviceListNode*>(node);
  g_events.push_back({event, n->device.ip_address, n->device.device_type});
}

using nettest::DiscoveryDatagram;

class DiscoveryList : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = QeltmParaCfg;
    QeltmParaCfg.device_type = kDeviceYrd;
    g_fake_micros = 1700000000ull * 1000000ull;
    SDDPSetClock(FakeClock);
    g_events.clear();
    SDDPRegisterNotifyDeviceFunc(RecordEvent);
    ASSERT_EQ(SDDPInit(kSddpClientMode), kQeltOk);
  }
  void TearDown() override {
    SDDPUnInit();
    SDDPRegisterNotifyDeviceFunc(nullptr);
    SDDPSetClock(nullptr);
    QeltmParaCfg = saved_;
  }
  int Receive(uint8_t type, const std::string& address) {
    const std::vector<uint8_t> d = DiscoveryDatagram(type, address);
    return SDDPAnalysisPacket(d.data(), static_cast<uint32_t>(d.size()));
  }
  tagNetworkInitPara saved_;
};

TEST_F(DiscoveryList, ComposedDatagramIs72BytesWithOwnTypeAndAddress) {
  QeltmParaCfg.device_type = kDeviceZuq;
  strcpy(QeltmParaCfg.local_ip, "10.1.2.3");
  PacketSetSequence(6);
  uint8_t buffer[kSddpDatagramBufferBytes];
  uint32_t length = 0;
  ASSERT_EQ(SDDPPackageDiscoveryAckPacket(buffer, sizeof buffer, &length), kQeltOk);
  ASSERT_EQ(length, kSddpDatagramBytes);
  EXPECT_EQ(0, memcmp(buffer, kDefaultPacketHead, kPacketHeadBytes));
  EXPECT_EQ(buffer[8], kElementDeviceType);
  EXPECT_EQ(buffer[13], kDeviceZuq);
  EXPECT_EQ(buffer[14], kElementIPInfo);
  EXPECT_EQ(buffer[19], 1);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer + 20), "10.1.2.3");
  const std::vector<uint8_t> sequence = {kElementSequence, 0, 0, 0, 4, 0, 0, 0, 7};
  EXPECT_EQ(sequence, std::vector<uint8_t>(buffer + 63, buffer + kSddpDatagramBytes));
  EXPECT_EQ(SDDPPackageDiscoveryPacket(buffer, kSddpDatagramBytes - 1, &length), kQeltBufferTooSmall);
  EXPECT_EQ(SDDPPackageDiscoveryPacket(nullptr, sizeof buffer, &length), kQeltNullArgument);
}

// A second answer gives no second node or event but refreshes the time; a clock that goes back
// loses nothing; silence of 9000 ms keeps the device, 9001 ms loses it with one lost event.
TEST_F(DiscoveryList, DeviceIsListedOnceAndLostAfterMoreThan9000msOfSilence) {
  ASSERT_EQ(Receive(kDeviceNorb, "10.0.0.9"), kQeltOk);
  AdvanceMillis(4000);
  ASSERT_EQ(Receive(kDeviceNorb, "10.0.0.9"), kQeltOk);
  EXPECT_EQ(SDDPGetDeviceNumber(), 1u);
  ASSERT_EQ(g_events.size(), 1u);
  EXPECT_EQ(g_events[0].event, kSddpDeviceFound);
  EXPECT_EQ(g_events[0].address, "10.0.0.9");
  EXPECT_EQ(g_events[0].type, kDeviceNorb);
  g_fake_micros -= 60ull * 1000000ull;  // the clock went back a minute: seen "in the future"
  SDDPDeviceTimeOutProcess();
  EXPECT_EQ(SDDPGetDeviceNumber(), 1u);
  AdvanceMillis(60000 + 9000);
  SDDPDeviceTimeOutProcess();
  EXPECT_EQ(SDDPGetDeviceNumber(), 1u);
  AdvanceMillis(1);
  SDDPDeviceTimeOutProcess();
  EXPECT_EQ(SDDPGetDeviceNumber(), 0u);
  ASSERT_EQ(g_events.size(), 2u);
  EXPECT_EQ(g_events[1].event, kSddpDeviceLost);
  EXPECT_EQ(g_events[1].address, "10.0.0.9");
  EXPECT_EQ(g_events[1].type, kDeviceNorb);
}

TEST_F(DiscoveryList, GetterCopiesFirstDevicesInOrderAndNeverWritesPastMaximum) {
  for (const char* a : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) ASSERT_EQ(Receive(kDeviceZuq, a), kQeltOk);
  DiscoveredDevice out[4];
  memset(out, 0xAB, sizeof out);
  ASSERT_EQ(SDDPGetDeviceInfo(out, 2), kQeltOk);
  EXPECT_STREQ(out[0].ip_address, "10.0.0.1");
  EXPECT_STREQ(out[1].ip_address, "10.0.0.2");
  const uint8_t* untouched = reinterpret_cast<const uint8_t*>(&out[2]);
  for (size_t i = 0; i < 2 * sizeof(DiscoveredDevice); ++i) ASSERT_EQ(untouched[i], 0xAB) << "byte " << i;
  // Asking for more than are listed zeroes and fills only the listed ones.
  memset(out, 0xAB, sizeof out);
  ASSERT_EQ(SDDPGetDeviceInfo(out, 4), kQeltOk);
  EXPECT_STREQ(out[2].ip_address, "10.0.0.3");
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&out[3])[0], 0xAB);
}

TEST_F(DiscoveryList, GetterLeavesArrayAloneWithoutDevicesAndFailsWithoutList) {
  DiscoveredDevice out{};
  out.device_type = 77;
  ASSERT_EQ(SDDPGetDeviceInfo(&out, 1), kQeltOk);
  EXPECT_EQ(out.device_type, 77);
  SDDPUnInit();
  EXPECT_EQ(SDDPGetDeviceInfo(&out, 1), kQeltNullArgument);
  EXPECT_EQ(SDDPGetDeviceNumber(), 0u);
  EXPECT_EQ(SDDPDeviceTimeOutProcess(), kQeltNullArgument);
}

TEST_F(DiscoveryList, UninitFreesDevicesWithoutLostEvents) {
  ASSERT_EQ(Receive(kDeviceZuq, "10.0.0.5"), kQeltOk);
  SDDPUnInit();
  EXPECT_EQ(g_events.size(), 1u);
}

TEST_F(DiscoveryList, UnterminatedAddressIsCutAtItsField) {
  std::vector<uint8_t> d = DiscoveryDatagram(kDeviceZuq, "");
  memset(d.data() + 20, 'A', 43);  // address field and the bytes after it, no NUL anywhere
  ASSERT_EQ(SDDPAnalysisPacket(d.data(), static_cast<uint32_t>(d.size())), kQeltOk);
  DiscoveredDevice out{};
  ASSERT_EQ(SDDPGetDeviceInfo(&out, 1), kQeltOk);
  EXPECT_EQ(strlen(out.ip_address), kAddressTextBytes - 1);
}

// A serving device ignores other serving devices; a discovery from a client is answered (the
// reply flag), not listed.
TEST_F(DiscoveryList, ServingRoleAnswersClientsAndIgnoresOtherServers) {
  QeltmParaCfg.device_type = kDeviceZuq;
  ASSERT_EQ(Receive(kDeviceNorb, "10.0.0.7"), kQeltOk);
  EXPECT_EQ(SDDPCheckReplyAck(), 0);
  ASSERT_EQ(Receive(kDeviceYrd, "10.0.0.8"), kQeltOk);
  EXPECT_EQ(SDDPCheckReplyAck(), 1);
  EXPECT_EQ(SDDPGetDeviceNumber(), 0u);
  SDDPClearReplyAck();
  EXPECT_EQ(SDDPCheckReplyAck(), 0);
}

TEST_F(DiscoveryList, MalformedDatagramsAreRejectedAtEveryLength) {
  const std::vector<uint8_t> good = DiscoveryDatagram(kDeviceZuq, "10.0.0.5");
  // Every truncation of a valid answer is refused without listing anything or reading past it.
  for (size_t n = 0; n < good.size(); ++n) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + n);
    EXPECT_NE(SDDPAnalysisPacket(cut.data(), static_cast<uint32_t>(n)), kQeltOk) << "length " << n;
  }
  EXPECT_EQ(SDDPGetDeviceNumber(), 0u);
  std::vector<uint8_t> wrong_head = good;
  wrong_head[0] ^= 0xFF;
  EXPECT_EQ(SDDPAnalysisPacket(wrong_head.data(), static_cast<uint32_t>(wrong_head.size())), kQeltHeadWrong);
  std::vector<uint8_t> wrong_element = good;
  wrong_element[8] = kElementSequence;
  EXPECT_NE(SDDPAnalysisPacket(wrong_element.data(), static_cast<uint32_t>(wrong_element.size())), kQeltOk);
  std::vector<uint8_t> huge_length = good;
  huge_length[15] = huge_length[16] = huge_length[17] = 0xFF;  // IPInfo length 0xFFFFFF2C
  EXPECT_NE(SDDPAnalysisPacket(huge_length.data(), static_cast<uint32_t>(huge_length.size())), kQeltOk);
  EXPECT_EQ(SDDPGetDeviceNumber(), 0u);
  EXPECT_EQ(Receive(9, "10.0.0.5"), kQeltOk);  // unknown sender type: ignored
  EXPECT_EQ(SDDPGetDeviceNumber(), 0u);
  EXPECT_EQ(SDDPCheckReplyAck(), 0);
}

// A flood of datagrams, answers or ones without a device type, writes a few lines a second of
// each kind.
TEST_F(DiscoveryList, FloodOfDatagramsWritesAFewLinesASecond) {
  nettest::LogCapture log;
  std::vector<uint8_t> no_type = DiscoveryDatagram(kDeviceZuq, "10.0.0.5");
  no_type[8] = kElementSequence;
  const auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(Receive(kDeviceZuq, "10.0.0.5"), kQeltOk);
    ASSERT_NE(SDDPAnalysisPacket(no_type.data(), static_cast<uint32_t>(no_type.size())), kQeltOk);
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin);
  for (const char* kind : {"[SDDP]Receive discovery device", "[SDDP]Can not get device type"}) {
    EXPECT_LE(log.Count(kind), pelarin::kLimitedLinesPerWindow * (static_cast<size_t>(seconds.count()) + 2)) << kind;
  }
}

// The schedule of broadcasts, seen through the send attempts' log lines: without a broadcast
// interface every due send logs a failure, which is what is counted here.
class DiscoverySchedule : public DiscoveryList {
 protected:
  size_t Attempts() const { return log_.Count("[SDDP]Send device discovery packet failed"); }
  nettest::LogCapture log_;
};

TEST_F(DiscoverySchedule, FirstBroadcastComesAfterAWholePeriodThenEveryPeriod) {
  SDDPClientStartDiscoveryDevice();
  SDDPClientDiscoveryDeviceProcess();  // remembers the start
  AdvanceMillis(3000);
  SDDPClientDiscoveryDeviceProcess();
  EXPECT_EQ(Attempts(), 0u);
  AdvanceMillis(1);
  SDDPClientDiscoveryDeviceProcess();
  EXPECT_EQ(Attempts(), 1u);
  AdvanceMillis(3001);
  SDDPClientDiscoveryDeviceProcess();
  EXPECT_EQ(Attempts(), 2u);
}

TEST_F(DiscoverySchedule, SwitchingOffAndOnWaitsAnotherPeriod) {
  SDDPClientStartDiscoveryDevice();
  SDDPClientDiscoveryDeviceProcess();
  AdvanceMillis(2000);
  SDDPClientStopDiscoveryDevice();
  SDDPClientStartDiscoveryDevice();
  SDDPClientDiscoveryDeviceProcess();
  AdvanceMillis(1500);
  SDDPClientDiscoveryDeviceProcess();
  EXPECT_EQ(Attempts(), 0u);
  AdvanceMillis(1501);
  SDDPClientDiscoveryDeviceProcess();
  EXPECT_EQ(Attempts(), 1u);
}

TEST_F(DiscoverySchedule, ClockGoingBackRestartsThePeriod) {
  SDDPClientStartDiscoveryDevice();
  SDDPClientDiscoveryDeviceProcess();
  g_fake_micros -= 10ull * 1000000ull;
  SDDPClientDiscoveryDeviceProcess();
  AdvanceMillis(3000);
  SDDPClientDiscoveryDeviceProcess();
  EXPECT_EQ(Attempts(), 0u);
}

}  // namespace
