// A control server under about 1,100 concurrent connections: 1,024 are served, the rest are
// closed, nothing crashes, and a served connection is still answered.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "net_helpers.h"
#include "pelarin/packet.h"
#include "pelarin/scdp.h"

namespace {

constexpr int kConnections = 1100;
constexpr rlim_t kWantedDescriptors = 4096;

int Answer(const char*, int, void*, tagACKMsgPara* reply) {
  const uint8_t words[] = {0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  memcpy(reply->buffer, words, sizeof words);
  reply->used_size = sizeof words;
  reply->reply_flag = 1;
  return 0;
}

bool RaiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur >= kWantedDescriptors) return true;
  limit.rlim_cur = std::min(kWantedDescriptors, limit.rlim_max);
  return setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= kWantedDescriptors;
}

// True when the server has closed this connection.
bool ClosedByServer(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  uint8_t byte;
  return recv(fd, &byte, 1, MSG_DONTWAIT) == 0 || (p.revents & (POLLHUP | POLLERR)) != 0;
}

TEST(ManyConnections, ExtrasAreRefusedAndServedClientsStillAnswered) {
  if (!RaiseDescriptorLimit()) GTEST_SKIP() << "cannot raise the descriptor limit";
  nettest::LogCapture log;
  nettest::ControlServer server(Answer);
  ASSERT_TRUE(server.ok());
  std::vector<int> clients;
  for (int i = 0; i < kConnections; ++i) {
    clients.push_back(nettest::ConnectLoopbackNonBlocking(server.port()));
    ASSERT_GE(clients.back(), 0);
  }
  ASSERT_TRUE(log.WaitFor("[Proxy]Receive new connect", kMaxClientsPerServer, std::chrono::seconds(120)));
  ASSERT_TRUE(log.WaitFor("[Proxy]Reach max connect", kConnections - kMaxClientsPerServer, std::chrono::seconds(120)));
  EXPECT_EQ(kMaxClientsPerServer, log.Count("[Proxy]Receive new connect"));

  int closed = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::vector<bool> is_closed(clients.size(), false);
  while (closed < kConnections - static_cast<int>(kMaxClientsPerServer) && std::chrono::steady_clock::now() < end) {
    for (size_t i = 0; i < clients.size(); ++i) {
      if (!is_closed[i] && ClosedByServer(clients[i])) {
        is_closed[i] = true;
        ++closed;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(kConnections - static_cast<int>(kMaxClientsPerServer), closed);

  // Any served connection still gets its answer.
  int served = -1;
  for (size_t i = 0; i < clients.size() && served < 0; ++i) {
    if (!is_closed[i]) served = clients[i];
  }
  ASSERT_GE(served, 0);
  fcntl(served, F_SETFL, fcntl(served, F_GETFL) & ~O_NONBLOCK);
  ASSERT_TRUE(nettest::SendAll(served, nettest::Packet(kElementKeyValue, nettest::Words({1, 1, 0}))));
  std::vector<uint8_t> reply;
  ASSERT_TRUE(nettest::ReadExactly(served, 13 + 16, &reply, std::chrono::seconds(60)));
  EXPECT_EQ(48, reply[8]);
  for (int fd : clients) close(fd);
}

}  // namespace
