// The object stream over loopback: a live server thread with raw and library clients, start and
// stop, blocks in order, clients that vanish mid-packet, and requests the server must refuse.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "pelarin/proxy.h"
#include "stop_helpers.h"

namespace {

using nettest::ObjectPacket;
using nettest::PatternBytes;

using nettest::WaitUntil;

class ObjectStream : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(STOPInit(kStopServerMode), kQeltOk);
    ASSERT_EQ(STOPInit(kStopClientMode), kQeltOk);
    ASSERT_EQ(STOPServerCreateSession("127.0.0.1", 0, kServerObject), kQeltOk);
    int fd = 0;
    ASSERT_EQ(STOPServerGetSocketFD(kServerObject, &fd), kQeltOk);
    port_ = nettest::PortOf(fd);
    ASSERT_EQ(ProxyThreadStart(kProxyStopServer), kQeltOk);
  }
  void TearDown() override {
    ExitSTOPClientProxyProcess();
    ExitSTOPServerProxyProcess();
    EXPECT_EQ(STOPUnInit(), kQeltOk);
    EXPECT_EQ(STOPUnInit(), kQeltOk);
  }
  int StartedRawClient() {
    const int fd = nettest::ConnectLoopback(port_);
    const uint32_t readers = STOPServerReaderCount();
    EXPECT_TRUE(nettest::SendAll(fd, nettest::CtrlObjectPacket(kStopRequest, kStopStart)));
    std::vector<uint8_t> ack;
    EXPECT_TRUE(nettest::ReadExactly(fd, kStopCtrlPacketBytes, &ack));
    EXPECT_EQ(ack[8], kElementCtrlObject);
    EXPECT_EQ(ack[14], kStopAcknowledge);
    EXPECT_EQ(ack[16], kStopStart);
    EXPECT_TRUE(WaitUntil([&] { return STOPServerReaderCount() == readers + 1; }));
    return fd;
  }
  static void Write(uint32_t kind, const std::vector<uint8_t>& data) {
    ObjectPara header{};
    strcpy(header.ip_address, "127.0.0.1");
    header.kind = kind;
    header.object_count = static_cast<uint32_t>(data.size() / kObjectRecordBytes);
    // The writer gives up after 2 ms when the server thread holds the ring: try again.
    ASSERT_TRUE(WaitUntil([&] {
      return STOPServerWriteObejct(&header, data.data(), static_cast<uint32_t>(data.size())) == kQeltOk;
    }));
  }
  uint16_t port_ = 0;
};

TEST_F(ObjectStream, StartedClientGetsAckThenEachBlockInOrder) {
  const int fd = StartedRawClient();
  const std::vector<uint8_t> data = PatternBytes(kObjectRecordBytes * 3, 1);
  Write(1, data);
  std::vector<uint8_t> packet;
  ASSERT_TRUE(nettest::ReadExactly(fd, 761, &packet));
  EXPECT_EQ(packet, ObjectPacket(1, 3, data));
  for (uint32_t kind = 2; kind < 30; ++kind) {
    const std::vector<uint8_t> block = PatternBytes(kind * 37, kind);
    Write(kind, block);
    ASSERT_TRUE(nettest::ReadExactly(fd, kObjectPacketHeadBytes + block.size(), &packet));
    uint32_t got_kind = 0;
    GetUint32Value(packet.data() + 13 + 40, &got_kind);
    ASSERT_EQ(got_kind, kind);
    ASSERT_TRUE(std::equal(block.begin(), block.end(), packet.begin() + kObjectPacketHeadBytes));
  }
  close(fd);
}

TEST_F(ObjectStream, SlowReaderGetsWholePacketsWhenSendsArePartial) {
  // A tiny receive window makes the server's sends partial: each must resume at its offset.
  constexpr int kWindow = 4096;
  const int fd = nettest::ConnectLoopback(port_, kWindow);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(nettest::SendAll(fd, nettest::CtrlObjectPacket(kStopRequest, kStopStart)));
  ASSERT_TRUE(WaitUntil([] { return STOPServerReaderCount() == 1; }));
  std::vector<std::vector<uint8_t>> blocks;
  for (uint32_t kind = 1; kind <= 3; ++kind) {
    blocks.push_back(PatternBytes(kObjectRecordBytes * 4000 + kind, kind));  // about 930 KB each
    Write(kind, blocks.back());
  }
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(nettest::ReadExactly(fd, kStopCtrlPacketBytes, &bytes));
  EXPECT_EQ(bytes[8], kElementCtrlObject);
  EXPECT_EQ(bytes[14], kStopAcknowledge);
  for (uint32_t kind = 1; kind <= 3; ++kind) {
    const std::vector<uint8_t>& block = blocks[kind - 1];
    ASSERT_TRUE(nettest::ReadExactly(fd, kObjectPacketHeadBytes + block.size(), &bytes));
    ASSERT_EQ(bytes, ObjectPacket(kind, 4000, block)) << "block " << kind;
  }
  close(fd);
}

TEST_F(ObjectStream, ClientKilledMidPacketDoesNotDisturbTheOthers) {
  nettest::BlockCollector collector;
  ASSERT_EQ(STOPClientConnectSession("127.0.0.1", port_), kQeltOk);
  ASSERT_EQ(ProxyThreadStart(kProxyStopClient), kQeltOk);
  const CtrlObject start{kStopRequest, kStopStart, 0, {0, 0, 0, 0}};
  ASSERT_EQ(STOPClientSendCtrlImageMsg("127.0.0.1", &start), kQeltOk);
  ASSERT_TRUE(WaitUntil([] { return STOPServerReaderCount() == 1; }));
  const int victim = StartedRawClient();

  const std::vector<uint8_t> big = PatternBytes(kObjectRecordBytes * 20000, 7);  // 4.6 MB
  Write(1, big);
  std::vector<uint8_t> part;
  ASSERT_TRUE(nettest::ReadExactly(victim, 1000, &part));
  close(victim);  // unread data: the peer sees a reset
  for (uint32_t kind = 2; kind <= 4; ++kind) {
    ASSERT_TRUE(WaitUntil([&] { return collector.Count() == kind - 1; }));
    Write(kind, PatternBytes(kind * kObjectRecordBytes, kind));
  }
  ASSERT_TRUE(WaitUntil([&] { return collector.Count() == 4; }));
  const auto blocks = collector.Blocks();
  EXPECT_EQ(blocks[0].data, big);
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(blocks[i].kind, i + 1);
  EXPECT_TRUE(WaitUntil([] { return STOPServerReaderCount() == 1; })) << "the killed client's reader is released";
}

// A stop without a start leaves no reader; other elements and hostile lengths are refused.
TEST_F(ObjectStream, ServerAcceptsOnlyItsRequestsAndSurvivesHostileLengths) {
  nettest::LogCapture log;
  const int fd = nettest::ConnectLoopback(port_);
  ASSERT_TRUE(nettest::SendAll(fd, nettest::CtrlObjectPacket(kStopRequest, kStopStop)));
  ASSERT_TRUE(log.WaitFor("[STOP] Receive ctrl object packet"));
  EXPECT_EQ(STOPServerReaderCount(), 0u);
  const std::vector<std::vector<uint8_t>> refused = {
      nettest::Packet(kElementImagePara, std::vector<uint8_t>(28, 0)),
      ObjectPacket(1, 0, PatternBytes(10, 1)),
      nettest::Packet(kElementCtrlObject, std::vector<uint8_t>(11, 0)),
  };
  size_t expected = 0;
  for (const auto& packet : refused) {
    ASSERT_TRUE(nettest::SendAll(fd, packet));
    ASSERT_TRUE(log.WaitFor("[STOP]STOP does not support this packet type", ++expected));
  }
  std::vector<uint8_t> huge = nettest::Packet(kElementCtrlObject, std::vector<uint8_t>(12, 0));
  huge[9] = 0xFF, huge[10] = 0xFF, huge[11] = 0xFF, huge[12] = 0xFB;  // declared 0xFFFFFFFB
  ASSERT_TRUE(nettest::SendAll(fd, huge));
  ASSERT_TRUE(log.WaitFor("[STOP]STOP does not support this packet type", ++expected));
  EXPECT_EQ(STOPServerReaderCount(), 0u);
  close(fd);
  // The server still serves a well-behaved client.
  close(StartedRawClient());
}

TEST_F(ObjectStream, RandomTrafficNeverBreaksTheServer) {
  std::mt19937 random(99);
  const std::vector<uint8_t> start = nettest::CtrlObjectPacket(kStopRequest, kStopStart);
  for (int round = 0; round < 40; ++round) {
    const int fd = nettest::ConnectLoopback(port_);
    std::vector<uint8_t> bytes = round % 2 == 0 ? start : ObjectPacket(1, 1, PatternBytes(300, 1));
    for (int k = 0; k < 3; ++k) bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
    if (round % 3 == 0) bytes.resize(1 + random() % bytes.size());
    nettest::SendAll(fd, bytes);
    if (round % 5 == 0) Write(round, PatternBytes(random() % 2000, round));
    close(fd);
  }
  // Every connection above is closed, so a reader that an intact start made is released in time;
  // the new client's reader is counted from there.
  ASSERT_TRUE(WaitUntil([] { return STOPServerReaderCount() == 0; }));
  const int fd = StartedRawClient();
  const std::vector<uint8_t> block = PatternBytes(500, 3);
  Write(777, block);
  std::vector<uint8_t> packet;
  ASSERT_TRUE(nettest::ReadExactly(fd, kObjectPacketHeadBytes + block.size(), &packet));
  EXPECT_EQ(packet, ObjectPacket(777, 2, block));
  close(fd);
}

// A connection that leaves its request unfinished is closed once its time is up; one that never
// asked for the stream and one that stopped it stay, and each may start the stream later.
TEST_F(ObjectStream, QuietConnectionsStayAndAnUnfinishedRequestIsClosed) {
  const int silent = nettest::ConnectLoopback(port_);
  const int stalled = nettest::ConnectLoopback(port_);
  const int stopped = StartedRawClient();
  ASSERT_TRUE(nettest::SendAll(stopped, nettest::CtrlObjectPacket(kStopRequest, kStopStop)));
  ASSERT_TRUE(WaitUntil([] { return STOPServerReaderCount() == 0; }));
  const std::vector<uint8_t> start = nettest::CtrlObjectPacket(kStopRequest, kStopStart);
  ASSERT_TRUE(nettest::SendAll(stalled, std::vector<uint8_t>(start.begin(), start.begin() + 5)));
  EXPECT_TRUE(nettest::WaitClosedByPeer(stalled));
  for (int fd : {silent, stopped}) {
    ASSERT_TRUE(nettest::SendAll(fd, start));
    std::vector<uint8_t> ack;
    ASSERT_TRUE(nettest::ReadExactly(fd, kStopCtrlPacketBytes, &ack));
    EXPECT_EQ(ack[14], kStopAcknowledge);
  }
  for (int fd : {silent, stalled, stopped}) close(fd);
}

TEST_F(ObjectStream, WritesBeyondTheWireBoundAreRefused) {
  ObjectPara header{};
  header.object_count = kMaxObjectCount + 1;
  uint8_t byte = 0;
  EXPECT_EQ(STOPServerWriteObejct(&header, &byte, 1), kQeltInvalid);
  header.object_count = 1;
  EXPECT_EQ(STOPServerWriteObejct(&header, &byte, kMaxObjectBlockBytes + 1), kQeltInvalid);
  EXPECT_EQ(STOPServerWriteObejct(nullptr, &byte, 1), kQeltNullArgument);
  EXPECT_EQ(STOPServerWriteObejct(&header, nullptr, 1), kQeltNullArgument);
}

// One connection of the client closing leaves the others receiving.
TEST(ObjectStreamClient, OneServerClosingLeavesTheOtherConnectionReceiving) {
  ASSERT_EQ(STOPInit(kStopClientMode), kQeltOk);
  nettest::BlockCollector collector;
  uint16_t port_a = 0, port_b = 0;
  const int listen_a = nettest::ListenLoopback(&port_a);
  const int listen_b = nettest::ListenLoopback(&port_b, "127.0.0.2");
  ASSERT_GE(listen_a, 0);
  if (listen_b < 0) {
    close(listen_a);
    STOPUnInit();
    GTEST_SKIP() << "127.0.0.2 cannot be bound here";
  }
  ASSERT_EQ(STOPClientConnectSession("127.0.0.1", port_a), kQeltOk);
  ASSERT_EQ(STOPClientConnectSession("127.0.0.2", port_b), kQeltOk);
  const int server_a = accept(listen_a, nullptr, nullptr);
  const int server_b = accept(listen_b, nullptr, nullptr);
  ASSERT_EQ(ProxyThreadStart(kProxyStopClient), kQeltOk);
  ASSERT_TRUE(nettest::SendAll(server_a, ObjectPacket(1, 0, PatternBytes(100, 1))));
  ASSERT_TRUE(nettest::SendAll(server_b, ObjectPacket(2, 0, PatternBytes(100, 2))));
  ASSERT_TRUE(WaitUntil([&] { return collector.Count() == 2; }));
  close(server_a);
  int fd = 0;
  ASSERT_TRUE(WaitUntil([&] { return STOPGetClientSocketFD("127.0.0.1", &fd) == kQeltNoSession; }));
  ASSERT_TRUE(nettest::SendAll(server_b, ObjectPacket(3, 0, PatternBytes(100, 3))));
  ASSERT_TRUE(WaitUntil([&] { return collector.Count() == 3; }));
  EXPECT_EQ(collector.Blocks()[2].kind, 3u);
  ExitSTOPClientProxyProcess();
  STOPUnInit();
  close(server_b);
  close(listen_a);
  close(listen_b);
}

}  // namespace
