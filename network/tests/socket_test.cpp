// Socket set-up and sending over loopback: bounded retries, pieces of large buffers that stop at
// a partly sent piece, and sends to a reset peer that cannot raise SIGPIPE.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <numeric>
#include <thread>
#include <vector>

#include "net_helpers.h"
#include "pelarin/socket.h"

namespace {

constexpr int kSmallBuffer = 16 * 1024;

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>((i * 131 + i / 251) & 0xFF);
  return bytes;
}

// A connected loopback pair made with the library: its server socket and client connect.
struct LoopbackPair {
  explicit LoopbackPair(int receive_buffer = 0) {
    uint16_t port = 0;
    listener = nettest::ListenLoopback(&port);
    if (receive_buffer > 0) setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    EXPECT_EQ(kQeltOk, TCPConnectServer("127.0.0.1", port, &sender));
    accepted = accept(listener, nullptr, nullptr);
  }
  ~LoopbackPair() {
    close(sender);
    close(accepted);
    close(listener);
  }
  void ShrinkSendBuffer() { setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &kSmallBuffer, sizeof kSmallBuffer); }
  // Reads everything until the sender closes.
  std::vector<uint8_t> ReadAll() {
    std::vector<uint8_t> all;
    uint8_t chunk[65536];
    ssize_t n;
    while ((n = recv(accepted, chunk, sizeof chunk, 0)) > 0) all.insert(all.end(), chunk, chunk + n);
    return all;
  }
  int listener = -1, sender = -1, accepted = -1;
};

TEST(SocketSetup, ServerRefusesANonIPv4Address) {
  int fd = -1;
  nettest::LogCapture log;
  EXPECT_EQ(kQeltBadAddress, TCPServerInit("not-an-address", 0, &fd, kServerFlagKeepAlive));
  EXPECT_EQ(1u, log.Count("Server ip is not right"));
}

TEST(SocketSetup, ConnectToAClosedPortFailsWithItsCode) {
  uint16_t port = 0;
  close(nettest::ListenLoopback(&port));  // nobody listens there now
  int fd = -1;
  EXPECT_EQ(kQeltRefused, TCPConnectServer("127.0.0.1", port, &fd));
  EXPECT_EQ(kQeltBadAddress, TCPConnectServer("127.0.0.256", port, &fd));
}

TEST(SocketSend, PartialSendThenFullSocketReportsTheBytesSent) {
  LoopbackPair pair(kSmallBuffer);
  pair.ShrinkSendBuffer();
  const auto data = Pattern(4 * 1024 * 1024);
  uint32_t sent = 0;
  EXPECT_EQ(kQeltOk, SocketSendBuffer(pair.sender, data.data(), data.size(), &sent));
  ASSERT_GT(sent, 0u);
  ASSERT_LT(sent, data.size());
  shutdown(pair.sender, SHUT_WR);
  const auto received = pair.ReadAll();
  ASSERT_EQ(sent, received.size());
  EXPECT_TRUE(std::equal(received.begin(), received.end(), data.begin()));
}

TEST(SocketSend, ThreeMegabytesArriveIntactInPieces) {
  LoopbackPair pair;
  int flags = fcntl(pair.sender, F_GETFL);
  fcntl(pair.sender, F_SETFL, flags & ~O_NONBLOCK);  // a blocking sender: every piece goes whole
  const auto data = Pattern(3200001);
  std::vector<uint8_t> received;
  std::thread reader([&] { received = pair.ReadAll(); });
  uint32_t sent = 0;
  EXPECT_EQ(kQeltOk, SendPacketFragment(pair.sender, data.data(), data.size(), &sent));
  EXPECT_EQ(data.size(), sent);
  shutdown(pair.sender, SHUT_WR);
  reader.join();
  EXPECT_EQ(data, received);
}

TEST(SocketSend, FullSocketStopsAtThePartPieceAndReportsEverythingSent) {
  LoopbackPair pair(kSmallBuffer);
  pair.ShrinkSendBuffer();
  const auto data = Pattern(3200001);
  uint32_t sent = 0;
  EXPECT_EQ(kQeltOk, SendPacketFragment(pair.sender, data.data(), data.size(), &sent));
  ASSERT_LT(sent, data.size());
  shutdown(pair.sender, SHUT_WR);
  const auto received = pair.ReadAll();
  ASSERT_EQ(sent, received.size()) << "the count must match what went out, no byte twice";
  EXPECT_TRUE(std::equal(received.begin(), received.end(), data.begin()));
}

// Piece senders that stand in for a socket, to see every piece the loop hands out.
std::vector<uint32_t> g_pieces;
uint32_t g_partial_piece = 0;  // 1-based piece that goes out only in part; 0 none
int g_failing_piece = 0;

int RecordingSender(int, const uint8_t*, uint32_t length, uint32_t* sent) {
  g_pieces.push_back(length);
  if (static_cast<uint32_t>(g_pieces.size()) == g_partial_piece) {
    *sent = length / 3;
    return kQeltOk;
  }
  if (static_cast<int>(g_pieces.size()) == g_failing_piece) {
    *sent = 100;
    return kQeltOtherError;
  }
  *sent = length;
  return kQeltOk;
}

class Pieces : public ::testing::Test {
 protected:
  void SetUp() override {
    g_pieces.clear();
    g_partial_piece = 0;
    g_failing_piece = 0;
  }
  uint8_t dummy_[1] = {};
};

TEST_F(Pieces, ExactlyOnePieceAndARemainderOfOneByte) {
  uint32_t sent = 0;
  EXPECT_EQ(kQeltOk, pelarin::SendInPieces(3, dummy_, 1600000, &sent, RecordingSender));
  EXPECT_EQ(std::vector<uint32_t>{1600000}, g_pieces);
  g_pieces.clear();
  EXPECT_EQ(kQeltOk, pelarin::SendInPieces(3, dummy_, 3200001, &sent, RecordingSender));
  EXPECT_EQ((std::vector<uint32_t>{1600000, 1600000, 1}), g_pieces);
  EXPECT_EQ(3200001u, sent);
}

TEST_F(Pieces, PartlySentPieceEndsTheSendWithTheCumulativeCount) {
  g_partial_piece = 2;
  uint32_t sent = 0;
  EXPECT_EQ(kQeltOk, pelarin::SendInPieces(3, dummy_, 4000000, &sent, RecordingSender));
  EXPECT_EQ(2u, g_pieces.size()) << "no piece after a partial one";
  EXPECT_EQ(1600000u + 1600000u / 3, sent);
}

TEST_F(Pieces, FailingPieceReturnsItsCodeWithTheCumulativeCount) {
  g_failing_piece = 2;
  uint32_t sent = 0;
  EXPECT_EQ(kQeltOtherError, pelarin::SendInPieces(3, dummy_, 4000000, &sent, RecordingSender));
  EXPECT_EQ(1600100u, sent);
}

TEST(SocketSend, ResetPeerGivesACodeInsteadOfSigpipe) {
  signal(SIGPIPE, SIG_DFL);  // a send without MSG_NOSIGNAL would end this process
  LoopbackPair pair;
  linger hard_close{1, 0};
  setsockopt(pair.accepted, SOL_SOCKET, SO_LINGER, &hard_close, sizeof hard_close);
  close(pair.accepted);
  pair.accepted = -1;
  usleep(10000);
  const auto data = Pattern(1000);
  uint32_t sent = 0;
  int rc = kQeltOk;
  for (int i = 0; i < 5 && rc == kQeltOk; ++i) rc = SocketSendBuffer(pair.sender, data.data(), data.size(), &sent);
  EXPECT_NE(kQeltOk, rc);
  EXPECT_EQ(0u, sent);
}

}  // namespace
