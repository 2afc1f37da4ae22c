// The heartbeat client: the exact datagram on a loopback socket, the bind and address failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "heartbeat_client.h"
#include "test_support/loopback.h"

namespace {

using test_support::FreeLoopbackPort;
using test_support::LoopbackReceiver;

// The datagram as the watchdog reads it, built here byte by byte.
std::vector<unsigned char> ExpectedDatagram(int process_id, const std::string& name) {
  std::vector<unsigned char> expected(4116, 0);
  const unsigned id = static_cast<unsigned>(process_id);
  expected[16] = id & 0xFF;
  expected[17] = (id >> 8) & 0xFF;
  expected[18] = (id >> 16) & 0xFF;
  expected[19] = (id >> 24) & 0xFF;
  for (std::size_t i = 0; i < name.size() && i < 4096; ++i) expected[20 + i] = static_cast<unsigned char>(name[i]);
  return expected;
}

TEST(HeartbeatClient, SendsTheExact4116ByteDatagramFromTheBoundLocalPort) {
  LoopbackReceiver watchdog;
  const unsigned local_port = FreeLoopbackPort();
  HeartbeatClient client;
  ASSERT_EQ(client.Open("127.0.0.1", local_port, "127.0.0.1", watchdog.port(), "quarnel"), RESULT_OK);
  ASSERT_EQ(client.Send(), RESULT_OK);
  ASSERT_TRUE(watchdog.WaitQueued());
  EXPECT_EQ(watchdog.PeekSenderPort(), local_port);
  const std::vector<unsigned char> datagram = watchdog.TakeQueued();
  ASSERT_EQ(datagram.size(), 4116u);
  EXPECT_EQ(datagram, ExpectedDatagram(getpid(), "quarnel"));
  EXPECT_EQ(client.Close(), RESULT_OK);
}

TEST(HeartbeatClient, ProcessIdIsLittleEndianWhateverItsBytes) {
  std::vector<unsigned char> datagram(kHeartbeatDatagramBytes, 0xEE);
  HeartbeatClient::BuildDatagram(0x01020304, "ab", datagram.data());
  EXPECT_EQ(datagram, ExpectedDatagram(0x01020304, "ab"));
}

TEST(HeartbeatClient, NameFillingTheFieldIsSentWholeAndALongerOneIsCutToIt) {
  std::vector<unsigned char> datagram(kHeartbeatDatagramBytes);
  const std::string exact(4096, 'q');
  HeartbeatClient::BuildDatagram(7, exact, datagram.data());
  EXPECT_EQ(datagram, ExpectedDatagram(7, exact));
  HeartbeatClient::BuildDatagram(7, exact + "tail", datagram.data());
  EXPECT_EQ(datagram, ExpectedDatagram(7, exact));
}

TEST(HeartbeatClient, RestartedClientBindsTheSameLocalPortAtOnce) {
  LoopbackReceiver watchdog;
  const unsigned local_port = FreeLoopbackPort();
  HeartbeatClient first;
  ASSERT_EQ(first.Open("127.0.0.1", local_port, "127.0.0.1", watchdog.port(), "a"), RESULT_OK);
  ASSERT_EQ(first.Send(), RESULT_OK);
  ASSERT_EQ(first.Close(), RESULT_OK);
  HeartbeatClient second;
  EXPECT_EQ(second.Open("127.0.0.1", local_port, "127.0.0.1", watchdog.port(), "a"), RESULT_OK);
  second.Close();
}

TEST(HeartbeatClient, BindFailureClosesTheSocketAndReturnsTheBindCode) {
  // A socket without address reuse holds the port, so the client's bind is refused.
  LoopbackReceiver holder;
  LoopbackReceiver watchdog;
  HeartbeatClient client;
  EXPECT_EQ(client.Open("127.0.0.1", holder.port(), "127.0.0.1", watchdog.port(), "a"), RESULT_SOCKET_BIND);
  EXPECT_NE(client.Send(), RESULT_OK);
  EXPECT_TRUE(watchdog.TakeQueued().empty());
}

TEST(HeartbeatClient, AddressThatIsNotDottedIpv4IsRefused) {
  LoopbackReceiver watchdog;
  for (const char* bad : {"", "localhost", "127.0.0.256", "127.0.0.1 ", "::1"}) {
    HeartbeatClient local_bad;
    EXPECT_EQ(local_bad.Open(bad, 0, "127.0.0.1", watchdog.port(), "a"), RESULT_INVALID_ARGUMENT) << bad;
    HeartbeatClient destination_bad;
    EXPECT_EQ(destination_bad.Open("127.0.0.1", 0, bad, watchdog.port(), "a"), RESULT_INVALID_ARGUMENT) << bad;
    EXPECT_NE(destination_bad.Send(), RESULT_OK);
  }
  HeartbeatClient port_bad;
  EXPECT_EQ(port_bad.Open("127.0.0.1", 0, "127.0.0.1", 65536, "a"), RESULT_INVALID_ARGUMENT);
  EXPECT_TRUE(watchdog.TakeQueued().empty());
}

}  // namespace
