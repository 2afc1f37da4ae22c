// LinuxSocket on loopback: streams and datagrams, options, broken pipes and descriptor handling.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/socket.h"

namespace {
sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

const sockaddr* AsAddress(const sockaddr_in& address) { return reinterpret_cast<const sockaddr*>(&address); }

std::uint16_t BoundPort(LinuxSocket& socket) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  getsockname(socket.GetHandle(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

int IntegerOption(LinuxSocket& socket, int level, int name) {
  int value = -1;
  socklen_t length = sizeof(value);
  getsockopt(socket.GetHandle(), level, name, &value, &length);
  return value;
}

// A listening socket, a client connected to it and the accepted server side.
class ConnectedPair : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(listener_.Create(kSocketFamilyIPv4, kSocketTypeStream, kSocketProtocolTcp), RESULT_OK);
    const sockaddr_in any_port = Loopback(0);
    ASSERT_EQ(listener_.Bind(AsAddress(any_port), sizeof(any_port)), RESULT_OK);
    ASSERT_EQ(listener_.Listen(4), RESULT_OK);
    ASSERT_EQ(client_.Create(kSocketFamilyIPv4, kSocketTypeStream, kSocketProtocolDefault), RESULT_OK);
    const sockaddr_in server = Loopback(BoundPort(listener_));
    ASSERT_EQ(client_.Connect(AsAddress(server), sizeof(server)), RESULT_OK);
    ASSERT_EQ(listener_.Accept(&server_), RESULT_OK);
    ASSERT_GE(server_.GetHandle(), 0);
  }
  void TearDown() override {
    for (LinuxSocket* socket : {&listener_, &client_, &server_}) {
      if (socket->GetHandle() >= 0) socket->Close();
    }
  }

  LinuxSocket listener_;
  LinuxSocket client_;
  LinuxSocket server_;
};
}  // namespace

TEST_F(ConnectedPair, StreamCarriesBytesBothWays) {
  std::size_t sent = 0;
  ASSERT_EQ(client_.Send("ping", 4, 0, &sent), RESULT_OK);
  EXPECT_EQ(sent, 4u);
  char buffer[8] = {};
  std::size_t received = 0;
  ASSERT_EQ(server_.Recv(buffer, sizeof(buffer), 0, &received), RESULT_OK);
  EXPECT_EQ(std::string(buffer, received), "ping");
  ASSERT_EQ(server_.Send("pong!", 5, 0, &sent), RESULT_OK);
  ASSERT_EQ(client_.Recv(buffer, sizeof(buffer), 0, &received), RESULT_OK);
  EXPECT_EQ(std::string(buffer, received), "pong!");
}

TEST_F(ConnectedPair, SendToAClosedPeerIsABrokenPipe) {
  signal(SIGPIPE, SIG_IGN);
  ASSERT_EQ(server_.Close(), RESULT_OK);
  // The first send may still be accepted; the reset that answers it breaks the pipe.
  Result result = RESULT_OK;
  for (int attempt = 0; attempt < 100 && result == RESULT_OK; ++attempt) {
    std::size_t sent = 0;
    result = client_.Send("data", 4, 0, &sent);
  }
  EXPECT_EQ(result, RESULT_SOCKET_BROKEN_PIPE);
}

TEST_F(ConnectedPair, FullNonBlockingSendWouldBlock) {
  const char on = 1;
  ASSERT_EQ(client_.SetOption(kSocketLevelSocket, kSocketOptionNonBlocking, &on, 1), RESULT_OK);
  const std::string chunk(65536, 'x');
  Result result = RESULT_OK;
  for (int attempt = 0; attempt < 10000 && result == RESULT_OK; ++attempt) {
    std::size_t sent = 0;
    result = client_.Send(chunk.data(), chunk.size(), 0, &sent);
  }
  EXPECT_EQ(result, RESULT_SOCKET_WOULD_BLOCK);
}

TEST_F(ConnectedPair, ReceiveTimeoutEndsAnIdleReceive) {
  const std::int32_t timeout_ms = 20;
  ASSERT_EQ(server_.SetOption(kSocketLevelSocket, kSocketOptionReceiveTimeout, &timeout_ms, 4), RESULT_OK);
  char buffer[4];
  std::size_t received = 0;
  EXPECT_EQ(server_.Recv(buffer, sizeof(buffer), 0, &received), RESULT_SOCKET_RECV);
}

TEST_F(ConnectedPair, ShutdownOfSendingEndsThePeersStream) {
  ASSERT_EQ(client_.Shutdown(kSocketShutdownSend), RESULT_OK);
  char buffer[4];
  std::size_t received = 99;
  ASSERT_EQ(server_.Recv(buffer, sizeof(buffer), 0, &received), RESULT_OK);
  EXPECT_EQ(received, 0u);
}

TEST(LinuxSocketDatagram, SendToAndRecvFromOnLoopback) {
  LinuxSocket receiver;
  LinuxSocket sender;
  ASSERT_EQ(receiver.Create(kSocketFamilyIPv4, kSocketTypeDatagram, kSocketProtocolUdp), RESULT_OK);
  const sockaddr_in any_port = Loopback(0);
  ASSERT_EQ(receiver.Bind(AsAddress(any_port), sizeof(any_port)), RESULT_OK);
  ASSERT_EQ(sender.Create(kSocketFamilyIPv4, kSocketTypeDatagram, kSocketProtocolDefault), RESULT_OK);
  const sockaddr_in target = Loopback(BoundPort(receiver));
  std::size_t sent = 0;
  ASSERT_EQ(sender.SendTo("heartbeat", 9, 0, AsAddress(target), sizeof(target), &sent), RESULT_OK);
  EXPECT_EQ(sent, 9u);
  char buffer[32] = {};
  sockaddr_in from{};
  socklen_t from_length = sizeof(from);
  std::size_t received = 0;
  ASSERT_EQ(receiver.RecvFrom(buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &from_length, &received),
            RESULT_OK);
  EXPECT_EQ(std::string(buffer, received), "heartbeat");
  EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  receiver.Close();
  sender.Close();
}

TEST(LinuxSocketCreate, UnknownFamilyMakesAnIPv4Socket) {
  LinuxSocket socket;
  ASSERT_EQ(socket.Create(7, kSocketTypeStream, kSocketProtocolDefault), RESULT_OK);
  EXPECT_EQ(IntegerOption(socket, SOL_SOCKET, SO_DOMAIN), AF_INET);
  EXPECT_EQ(IntegerOption(socket, SOL_SOCKET, SO_TYPE), SOCK_STREAM);
  socket.Close();
}

TEST(LinuxSocketBind, AddressInUseIsThePlainBindCodeInTheMainProgram) {
  LinuxSocket first;
  LinuxSocket second;
  ASSERT_EQ(first.Create(kSocketFamilyIPv4, kSocketTypeDatagram, kSocketProtocolDefault), RESULT_OK);
  const sockaddr_in any_port = Loopback(0);
  ASSERT_EQ(first.Bind(AsAddress(any_port), sizeof(any_port)), RESULT_OK);
  ASSERT_EQ(second.Create(kSocketFamilyIPv4, kSocketTypeDatagram, kSocketProtocolDefault), RESULT_OK);
  const sockaddr_in taken = Loopback(BoundPort(first));
  EXPECT_EQ(second.Bind(AsAddress(taken), sizeof(taken)), RESULT_SOCKET_BIND);
  first.Close();
  second.Close();
}

class LinuxSocketOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socket_.Create(kSocketFamilyIPv4, kSocketTypeStream, kSocketProtocolDefault), RESULT_OK);
  }
  void TearDown() override { socket_.Close(); }
  LinuxSocket socket_;
};

TEST_F(LinuxSocketOptions, NonBlockingZeroByteLeavesTheFlags) {
  const int before = fcntl(socket_.GetHandle(), F_GETFL);
  const char off = 0;
  EXPECT_EQ(socket_.SetOption(kSocketLevelSocket, kSocketOptionNonBlocking, &off, 1), RESULT_OK);
  EXPECT_EQ(fcntl(socket_.GetHandle(), F_GETFL), before);
  const char on = 1;
  EXPECT_EQ(socket_.SetOption(kSocketLevelSocket, kSocketOptionNonBlocking, &on, 1), RESULT_OK);
  EXPECT_NE(fcntl(socket_.GetHandle(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(LinuxSocketOptions, TimeoutsAreSplitIntoSecondsAndMicroseconds) {
  const std::int32_t receive_ms = 2500;
  const std::int32_t send_ms = 1500;
  ASSERT_EQ(socket_.SetOption(kSocketLevelSocket, kSocketOptionReceiveTimeout, &receive_ms, 4), RESULT_OK);
  ASSERT_EQ(socket_.SetOption(kSocketLevelSocket, kSocketOptionSendTimeout, &send_ms, 4), RESULT_OK);
  timeval timeout{};
  socklen_t length = sizeof(timeout);
  getsockopt(socket_.GetHandle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, &length);
  EXPECT_EQ(timeout.tv_sec, 2);
  EXPECT_EQ(timeout.tv_usec, 500000);
  getsockopt(socket_.GetHandle(), SOL_SOCKET, SO_SNDTIMEO, &timeout, &length);
  EXPECT_EQ(timeout.tv_sec, 1);
  EXPECT_EQ(timeout.tv_usec, 500000);
}

TEST_F(LinuxSocketOptions, BooleansBuffersLingerAndNoDelay) {
  const char on = 1;
  ASSERT_EQ(socket_.SetOption(kSocketLevelTcp, kSocketOptionNoDelay, &on, 1), RESULT_OK);
  EXPECT_EQ(IntegerOption(socket_, IPPROTO_TCP, TCP_NODELAY), 1);
  ASSERT_EQ(socket_.SetOption(kSocketLevelSocket, kSocketOptionReuseAddress, &on, 1), RESULT_OK);
  EXPECT_EQ(IntegerOption(socket_, SOL_SOCKET, SO_REUSEADDR), 1);
  ASSERT_EQ(socket_.SetOption(kSocketLevelSocket, kSocketOptionBroadcast, &on, 1), RESULT_OK);
  EXPECT_EQ(IntegerOption(socket_, SOL_SOCKET, SO_BROADCAST), 1);
  const std::int32_t size = 65536;
  ASSERT_EQ(socket_.SetOption(kSocketLevelSocket, kSocketOptionSendBuffer, &size, 4), RESULT_OK);
  EXPECT_GE(IntegerOption(socket_, SOL_SOCKET, SO_SNDBUF), size);
  ASSERT_EQ(socket_.SetOption(kSocketLevelSocket, kSocketOptionReceiveBuffer, &size, 4), RESULT_OK);
  EXPECT_GE(IntegerOption(socket_, SOL_SOCKET, SO_RCVBUF), size);
  const linger wanted{1, 3};
  ASSERT_EQ(socket_.SetOption(kSocketLevelSocket, kSocketOptionLinger, &wanted, sizeof(wanted)), RESULT_OK);
  linger applied{};
  socklen_t length = sizeof(applied);
  getsockopt(socket_.GetHandle(), SOL_SOCKET, SO_LINGER, &applied, &length);
  EXPECT_EQ(applied.l_onoff, 1);
  EXPECT_EQ(applied.l_linger, 3);
}

TEST_F(LinuxSocketOptions, UnknownPairsAndNullValuesAreInvalid) {
  const char on = 1;
  EXPECT_EQ(socket_.SetOption(kSocketLevelTcp, kSocketOptionNonBlocking, &on, 1), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(socket_.SetOption(kSocketLevelSocket, 99, &on, 1), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(socket_.SetOption(3, kSocketOptionReuseAddress, &on, 1), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(socket_.SetOption(kSocketLevelSocket, kSocketOptionReuseAddress, nullptr, 1), RESULT_INVALID_ARGUMENT);
  int value = 0;
  socklen_t length = sizeof(value);
  EXPECT_EQ(socket_.GetOption(kSocketLevelSocket, kSocketOptionReuseAddress, &value, &length), RESULT_NOT_IMPLEMENTED);
}

TEST(LinuxSocketClose, DescriptorIsForgottenAfterAnyCloseAttemptAndLaterCallsFail) {
  LinuxSocket socket;
  EXPECT_EQ(socket.GetHandle(), -1);
  ASSERT_EQ(socket.Create(kSocketFamilyIPv4, kSocketTypeDatagram, kSocketProtocolDefault), RESULT_OK);
  EXPECT_EQ(socket.Close(), RESULT_OK);
  EXPECT_EQ(socket.GetHandle(), -1);
  EXPECT_EQ(socket.Close(), RESULT_SOCKET_CLOSE);
  EXPECT_EQ(socket.GetHandle(), -1);
  std::size_t count = 0;
  EXPECT_EQ(socket.Send("x", 1, 0, &count), RESULT_SOCKET_SEND);
  EXPECT_EQ(socket.Listen(1), RESULT_SOCKET_LISTEN);
  const std::int32_t size = 4096;
  EXPECT_EQ(socket.SetOption(kSocketLevelSocket, kSocketOptionSendBuffer, &size, 4), RESULT_SOCKET_OPTION);
}
