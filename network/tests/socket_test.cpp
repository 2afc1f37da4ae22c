// Socket set-up and sending over loopback: bounded retries, pieces of large buffers that stop at
// a partly sent piece, and sends to a reset peer that cannot raise SIGPIPE.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
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

TEST(SocketSetup, PortAboveTheLastIsRefusedNotWrapped) {
  int fd = -1;
  EXPECT_EQ(kQeltBadAddress, TCPServerInit("127.0.0.1", 65536 + 9000, &fd, kServerFlagKeepAlive));
  EXPECT_EQ(kQeltBadAddress, BroadcastServerInit(70000, &fd));
  EXPECT_EQ(fd, -1);
}

TEST(SocketSetup, ConnectToAClosedPortFailsWithItsCode) {
  uint16_t port = 0;
  close(nettest::ListenLoopback(&port));  // nobody listens there now
  int fd = -1;
  EXPECT_EQ(kQeltRefused, TCPConnectServer("127.0.0.1", port, &fd));
  EXPECT_EQ(kQeltBadAddress, TCPConnectServer("127.0.0.256", port, &fd));
}

// A full socket ends both senders early: the count they report is exactly what went out.
TEST(SocketSend, FullSocketEndsTheSendAndReportsExactlyTheBytesSent) {
  using Sender = int (*)(int, const uint8_t*, uint32_t, uint32_t*);
  const struct {
    const char* name;
    Sender send;
    size_t size;
  } cases[] = {{"buffer", SocketSendBuffer, 4 * 1024 * 1024}, {"pieces", SendPacketFragment, 3200001}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackPair pair(kSmallBuffer);
    pair.ShrinkSendBuffer();
    const auto data = Pattern(c.size);
    uint32_t sent = 0;
    EXPECT_EQ(kQeltOk, c.send(pair.sender, data.data(), static_cast<uint32_t>(data.size()), &sent));
    ASSERT_GT(sent, 0u);
    ASSERT_LT(sent, data.size());
    shutdown(pair.sender, SHUT_WR);
    const auto received = pair.ReadAll();
    ASSERT_EQ(sent, received.size()) << "the count must match what went out, no byte twice";
    EXPECT_TRUE(std::equal(received.begin(), received.end(), data.begin()));
  }
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
  uint8_t dummy_[1] = {};
};

TEST_F(Pieces, PiecesAndTheCumulativeCount) {
  const struct {
    uint32_t size, partial, failing;
    int code;
    std::vector<uint32_t> pieces;
    uint32_t sent;
  } cases[] = {
      {1600000, 0, 0, kQeltOk, {1600000}, 1600000},
      {3200001, 0, 0, kQeltOk, {1600000, 1600000, 1}, 3200001},
      {4000000, 2, 0, kQeltOk, {1600000, 1600000}, 1600000 + 1600000 / 3},
      {4000000, 0, 2, kQeltOtherError, {1600000, 1600000}, 1600100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    g_pieces.clear();
    g_partial_piece = c.partial;
    g_failing_piece = static_cast<int>(c.failing);
    uint32_t sent = 0;
    EXPECT_EQ(c.code, pelarin::SendInPieces(3, dummy_, c.size, &sent, RecordingSender));
    EXPECT_EQ(c.pieces, g_pieces);
    EXPECT_EQ(c.sent, sent);
  }
}

TEST(SocketSend, ResetPeerGivesACodeInsteadOfSigpipe) {
  signal(SIGPIPE, SIG_DFL);  // a send without MSG_NOSIGNAL would end this process
  LoopbackPair pair;
  linger hard_close{1, 0};
  setsockopt(pair.accepted, SOL_SOCKET, SO_LINGER, &hard_close, sizeof hard_close);
  close(pair.accepted);
  pair.accepted = -1;
  pollfd reset{pair.sender, POLLIN, 0};  // the reset reaches the sender as an error or a hang-up
  ASSERT_EQ(1, poll(&reset, 1, 20000));
  const auto data = Pattern(1000);
  uint32_t sent = 0;
  int rc = kQeltOk;
  for (int i = 0; i < 5 && rc == kQeltOk; ++i) rc = SocketSendBuffer(pair.sender, data.data(), data.size(), &sent);
  EXPECT_NE(kQeltOk, rc);
  EXPECT_EQ(0u, sent);
}

}  // namespace
