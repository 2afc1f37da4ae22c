// A control server under about 1,100 concurrent connections that stall inside their first
// request: nothing crashes, a newcomer is answered, and the stalled ones are closed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
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

// 1,100 connections that each send five bytes of a head and stall: a newcomer is answered at
// once though every place of the table is held (a stalled connection makes room for it, not the
// client answered before them, quiet longer), the server closes every stalled connection once its
// request is overdue, and the answered clients, quiet now, stay.
TEST(ManyConnections, StalledPartialHeadsNeitherLockNorStay) {
  if (!RaiseDescriptorLimit()) GTEST_SKIP() << "cannot raise the descriptor limit";
  nettest::LogCapture log;
  nettest::ControlServer server(Answer);
  ASSERT_TRUE(server.ok());
  const std::vector<uint8_t> request = nettest::Packet(kElementKeyValue, nettest::Words({1, 1, 0}));
  const std::vector<uint8_t> partial(request.begin(), request.begin() + 5);
  std::vector<uint8_t> reply;
  const int served = nettest::ConnectLoopback(server.port());
  ASSERT_GE(served, 0);
  ASSERT_TRUE(nettest::SendAll(served, request));
  ASSERT_TRUE(nettest::ReadExactly(served, 13 + 16, &reply, std::chrono::seconds(60)));
  std::vector<int> stalled;
  for (int i = 0; i < kConnections; ++i) {
    stalled.push_back(nettest::ConnectLoopback(server.port()));
    ASSERT_GE(stalled.back(), 0);
    ASSERT_TRUE(nettest::SendAll(stalled.back(), partial));
  }
  // The stalled connections beyond the table's places made room by closing the quietest.
  ASSERT_TRUE(log.WaitFor("[Proxy]Server full: close its quietest client", 1, std::chrono::seconds(60)));

  const int fresh = nettest::ConnectLoopback(server.port());
  ASSERT_GE(fresh, 0);
  ASSERT_TRUE(nettest::SendAll(fresh, request));
  ASSERT_TRUE(nettest::ReadExactly(fresh, 13 + 16, &reply, std::chrono::seconds(60)));
  EXPECT_EQ(48, reply[8]);

  for (int fd : stalled) EXPECT_TRUE(nettest::WaitClosedByPeer(fd)) << "a stalled connection stays";
  uint32_t clients = 0;
  server.WithThreadStopped([&](ServerSocketTable* table) { clients = table->client_count; });
  EXPECT_EQ(2u, clients);
  for (int fd : {served, fresh}) {
    ASSERT_TRUE(nettest::SendAll(fd, request));
    EXPECT_TRUE(nettest::ReadExactly(fd, 13 + 16, &reply, std::chrono::seconds(60)));
    close(fd);
  }
  for (int fd : stalled) close(fd);
}

}  // namespace
