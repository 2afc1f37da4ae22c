// Heartbeat listener on loopback: datagrams refresh deadlines, Stop from another thread, socket
// hygiene and bind failures.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "daemon_server.h"
#include "test_support/loopback.h"
#include "watchdog_test_support.h"

namespace {

using watchdog_test::BoardRootTest;
using watchdog_test::LogCapture;
using watchdog_test::ManualClock;
using watchdog_test::WaitUntil;

constexpr std::size_t kDatagramBytes = 4116;
constexpr const char* kLoopback = "127.0.0.1";

class ListenerTest : public BoardRootTest {
 protected:
  void SetUp() override {
    BoardRootTest::SetUp();
    sender_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sender_, 0);
  }
  void TearDown() override {
    close(sender_);
    BoardRootTest::TearDown();
  }

  // Binds the server to an ephemeral loopback port and remembers it.
  void InitOnLoopback(DaemonServer& server, std::uint32_t interval_s) {
    ASSERT_EQ(server.Init(kLoopback, 0, interval_s), RESULT_OK);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ASSERT_EQ(getsockname(server.listen_descriptor(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
    destination_ = bound;
  }

  void Send(const std::string& name, std::size_t size = kDatagramBytes) {
    std::vector<char> datagram(size, '\0');
    std::memcpy(datagram.data() + kHeartbeatNameOffset, name.data(), name.size());
    ASSERT_EQ(sendto(sender_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&destination_),
                     sizeof destination_),
              static_cast<ssize_t>(size));
  }

  LogCapture log_;
  ManualClock clock_{1000};
  int sender_ = -1;
  sockaddr_in destination_{};
};

TEST_F(ListenerTest, FullHeartbeatRefreshesItsEntryAndStopEndsRunFromAnotherThread) {
  DaemonServer server(&clock_);
  InitOnLoopback(server, 1);
  ASSERT_EQ(server.AddProcess("quarnel", "/bin/true", "a", 30000, false, false), RESULT_OK);
  std::thread listener([&] { EXPECT_EQ(server.Run(), RESULT_OK); });
  clock_.Set(1010);
  Send("quarnel");  // 4116 bytes, of which the listener reads 1500
  EXPECT_TRUE(WaitUntil([&] { return log_.Count("DaemonServer::UpdateProcess, ProcessName=quarnel, NextTimeoutTime=1040 \n") == 1; }));
  Send("nobody");
  EXPECT_TRUE(WaitUntil([&] { return log_.Count("DaemonServer::UpdateProcess, ProcessName=nobody \n") == 1; }));
  EXPECT_EQ(server.Deinit(), RESULT_OK);  // Stop, waiting for Run to return, then close
  listener.join();
  EXPECT_EQ(log_.Count("DaemonServer::RebootProcess"), 0u);
}

TEST_F(ListenerTest, StopBeforeRunMakesRunReturnAtOnce) {
  DaemonServer server(&clock_);
  InitOnLoopback(server, 1);
  EXPECT_EQ(server.Stop(), RESULT_OK);
  EXPECT_EQ(server.Run(), RESULT_OK);
  EXPECT_EQ(server.Deinit(), RESULT_OK);
}

TEST_F(ListenerTest, ZeroWaitChecksContinuously) {
  DaemonServer server(&clock_);
  InitOnLoopback(server, 0);
  ASSERT_EQ(server.AddProcess("quarnel", "/bin/true", "a", 30000, false, false), RESULT_OK);
  std::thread listener([&] { server.Run(); });
  EXPECT_TRUE(WaitUntil([&] { return log_.Count("DaemonServer::CheckProcess, ProcessName=quarnel") >= 50; }));
  server.Stop();
  listener.join();
  server.Deinit();
}

TEST_F(ListenerTest, ListeningSocketIsNotInheritedByStartedPrograms) {
  DaemonServer server(&clock_);
  InitOnLoopback(server, 1);
  const int flags = fcntl(server.listen_descriptor(), F_GETFD);
  ASSERT_GE(flags, 0);
  EXPECT_NE(flags & FD_CLOEXEC, 0);
  server.Deinit();
}

TEST_F(ListenerTest, PortHeldWithoutReuseIsReportedAsInUse) {
  uint16_t held_port = 0;
  const int holder = test_support::BindLoopbackUdp(&held_port);
  ASSERT_GE(holder, 0);
  DaemonServer server(&clock_);
  EXPECT_EQ(server.Init(kLoopback, held_port, 1), RESULT_SOCKET_ADDRESS_IN_USE);
  EXPECT_LT(server.listen_descriptor(), 0);  // closed again
  close(holder);
}

}  // namespace
