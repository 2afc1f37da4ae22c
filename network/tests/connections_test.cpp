// Servers under many concurrent connections: stalled requests neither lock a port nor stay, and a
// camera role held to a small descriptor limit keeps answering, streaming and serving a long
// session while quiet connections by the hundred fill its tables.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "net_helpers.h"
#include "pelarin/packet.h"
#include "pelarin/qeltm.h"
#include "pelarin/scdp.h"
#include "stream_wire.h"

namespace {

constexpr int kConnections = 1100;
constexpr rlim_t kWantedDescriptors = 4096;
constexpr uint32_t kAnswerBytes = 13 + 16;

int Answer(const char*, int, void*, tagACKMsgPara* reply) {
  const uint8_t words[] = {0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  memcpy(reply->buffer, words, sizeof words);
  reply->used_size = sizeof words;
  reply->reply_flag = 1;
  return 0;
}

int Quiet(const char*, const char*, ...) { return 0; }

// The camera child's callback: 1 ms of work a request, so that a burst outlasts a pass's share.
int SlowAnswer(const char* data, int length, void* context, tagACKMsgPara* reply) {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return Answer(data, length, context, reply);
}

bool RaiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur >= kWantedDescriptors) return true;
  limit.rlim_cur = std::min(kWantedDescriptors, limit.rlim_max);
  return setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= kWantedDescriptors;
}

std::vector<uint8_t> VersionRequest() { return nettest::Packet(kElementKeyValue, nettest::Words({1, 1, 0})); }

// One request on the connection, answered in full.
bool Answered(int fd) {
  std::vector<uint8_t> reply;
  return nettest::SendAll(fd, VersionRequest()) && nettest::ReadExactly(fd, kAnswerBytes, &reply) && reply[8] == 48;
}

// 1,100 connections, more than the table's places: the silent ones first in give way to those
// after them. Then each that stands sends five bytes of a head and stalls: a newcomer is answered
// (stalled requests give way to it, or are closed in time), every stalled connection is closed,
// and the newcomer, quiet now, stays and is answered again.
TEST(ManyConnections, StalledPartialHeadsNeitherLockNorStay) {
  if (!RaiseDescriptorLimit()) GTEST_SKIP() << "cannot raise the descriptor limit";
  nettest::LogCapture log;
  nettest::ControlServer server(Answer);
  ASSERT_TRUE(server.ok());
  std::vector<int> stalled;
  for (int i = 0; i < kConnections; ++i) {
    stalled.push_back(nettest::ConnectLoopback(server.port()));
    ASSERT_GE(stalled.back(), 0);
  }
  ASSERT_TRUE(log.WaitFor("[Proxy]Server full: close its quietest client", 1, std::chrono::seconds(60)));
  const std::vector<uint8_t> request = VersionRequest();
  const std::vector<uint8_t> partial(request.begin(), request.begin() + 5);
  for (int fd : stalled) send(fd, partial.data(), partial.size(), MSG_NOSIGNAL);  // fails on those closed

  const int fresh = nettest::ConnectLoopback(server.port());
  ASSERT_GE(fresh, 0);
  EXPECT_TRUE(Answered(fresh));

  for (int fd : stalled) EXPECT_TRUE(nettest::WaitClosedByPeer(fd)) << "a stalled connection stays";
  uint32_t clients = 0;
  server.WithThreadStopped([&](ServerSocketTable* table) { clients = table->client_count; });
  EXPECT_EQ(1u, clients);
  EXPECT_TRUE(Answered(fresh));
  close(fresh);
  for (int fd : stalled) close(fd);
}

// The camera role in a child process held to a descriptor limit it cannot raise, its control
// callback answering every request; it writes a colour and a disparity image every 50 ms until
// told to end.
class SmallCamera : public ::testing::Test {
 protected:
  static constexpr rlim_t kLimit = 128;
  static constexpr int kFlood = 200;
  struct Ports {
    uint16_t control, norb, yrd;
    uint32_t share;  // the clients each server may hold
  };

  void SetUp() override {
    ASSERT_TRUE(RaiseDescriptorLimit()) << "this process needs the descriptors of the flood";
    int to_child[2], from_child[2];
    ASSERT_EQ(0, pipe(to_child));
    ASSERT_EQ(0, pipe(from_child));
    child_ = fork();
    ASSERT_GE(child_, 0);
    if (child_ == 0) {
      close(to_child[1]);
      close(from_child[0]);
      RunCamera(to_child[0], from_child[1]);
    }
    close(to_child[0]);
    close(from_child[1]);
    to_child_ = to_child[1];
    ASSERT_EQ(static_cast<ssize_t>(sizeof ports_), read(from_child[0], &ports_, sizeof ports_));
    close(from_child[0]);
    ASSERT_NE(0, ports_.control);
  }

  void TearDown() override {
    for (int fd : held_) close(fd);
    if (child_ <= 0) return;
    close(to_child_);  // the end of the pipe tells the child to end
    int status = 0;
    waitpid(child_, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the camera child did not end cleanly";
  }

  [[noreturn]] static void RunCamera(int from_parent, int to_parent) {
    const rlimit limit{kLimit, kLimit};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(2);
    tagNetworkInitPara p{};
    p.device_type = kDeviceZuq;
    strcpy(p.server_ip, "127.0.0.1");
    strcpy(p.local_ip, "127.0.0.1");
    QELTMRegisterLogImageFunc(Quiet);
    Ports ports{};
    if (QELTMInit(&p) == kQeltOk && QELTMRegisterRecvCtrlMsg(SlowAnswer, nullptr) == kQeltOk) {
      int control = 0;
      SCDPServerGetSocketFD(&control);
      ports = {nettest::PortOf(control), nettest::PortOf(STIPServerGetSocketFD(kServerNorbImage)),
               nettest::PortOf(STIPServerGetSocketFD(kServerYrdImage)), SocketServerShare()};
    }
    if (write(to_parent, &ports, sizeof ports) != static_cast<ssize_t>(sizeof ports)) _exit(3);
    for (uint32_t frame = 1;; ++frame) {
      for (uint32_t type : {kStipImageTypeColor, kStipImageTypeDisparity}) {
        const streamtest::Image image = streamtest::TestImage(type, frame, type == kStipImageTypeColor ? 460800 : 153600);
        QELTMSendImage(&image.header, image.data.data(), static_cast<unsigned>(image.data.size()));
      }
      pollfd wait{from_parent, POLLIN, 0};
      if (poll(&wait, 1, 50) != 0) break;
    }
    QELTMUnInit();
    _exit(0);
  }

  // A new raw client on an image port asks for the stream: true once it has both image types.
  static bool StreamsBothTypes(uint16_t port) {
    const int fd = nettest::ConnectLoopback(port);
    std::vector<uint8_t> unparsed;
    std::vector<streamtest::Image> images;
    const auto both = [](const std::vector<streamtest::Image>& got) {
      const auto has = [&got](uint32_t type) {
        return std::any_of(got.begin(), got.end(), [type](const auto& i) { return i.header.image_type == type; });
      };
      return has(kStipImageTypeColor) && has(kStipImageTypeDisparity);
    };
    const bool read = fd >= 0 && nettest::SendAll(fd, streamtest::CtrlPacket(1, 1)) &&
                      streamtest::ReadImages(fd, &unparsed, &images, both, std::chrono::seconds(60));
    if (fd >= 0) close(fd);
    return read && both(images);
  }

  // Connections that each make one request and keep quiet (their replies are left unread),
  // held by this process.
  void FloodOneShots(int count) {
    for (int i = 0; i < count; ++i) {
      const int fd = nettest::ConnectLoopback(ports_.control);
      if (fd < 0) continue;
      held_.push_back(fd);
      nettest::SendAll(fd, VersionRequest());
    }
  }

  pid_t child_ = -1;
  int to_child_ = -1;
  Ports ports_{};
  std::vector<int> held_;
};

// Hundreds of quiet connections on each port, well beyond the descriptors the child has: control
// connections that each made one request, image connections that started and stopped the stream.
// A new control request is answered, and a new client on each image port gets both image types.
TEST_F(SmallCamera, QuietFloodsBeyondTheDescriptorLimitLeaveEveryPortServing) {
  FloodOneShots(kFlood);
  const std::vector<uint8_t> start = streamtest::CtrlPacket(1, 1), stop = streamtest::CtrlPacket(1, 2);
  std::vector<uint8_t> start_stop = start;
  start_stop.insert(start_stop.end(), stop.begin(), stop.end());
  for (uint16_t port : {ports_.norb, ports_.yrd}) {
    for (int i = 0; i < kFlood; ++i) {
      const int fd = nettest::ConnectLoopback(port);
      if (fd < 0) continue;
      held_.push_back(fd);
      nettest::SendAll(fd, start_stop);
    }
  }
  const int fresh = nettest::ConnectLoopback(ports_.control);
  ASSERT_GE(fresh, 0);
  EXPECT_TRUE(Answered(fresh));
  close(fresh);
  EXPECT_TRUE(StreamsBothTypes(ports_.norb));
  EXPECT_TRUE(StreamsBothTypes(ports_.yrd));
}

// A session that has asked more than once, its uses apart in time, keeps every reply while
// connections that made one request and connections that made none fill the control table.
TEST_F(SmallCamera, SessionKeepsEveryReplyWhileQuietConnectionsFillTheControlTable) {
  const int session = nettest::ConnectLoopback(ports_.control);
  ASSERT_GE(session, 0);
  ASSERT_TRUE(Answered(session));
  // Two uses apart by more than a burst, with room for a slow receive of either.
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * kSameUseMillis));
  ASSERT_TRUE(Answered(session));
  int answered = 0, asked = 0;
  for (int round = 0; round < 4; ++round) {
    FloodOneShots(kFlood / 4);
    for (int i = 0; i < kFlood / 4; ++i) {
      const int fd = nettest::ConnectLoopback(ports_.control);
      if (fd >= 0) held_.push_back(fd);
    }
    ++asked;
    answered += Answered(session) ? 1 : 0;
  }
  EXPECT_EQ(asked, answered);
  EXPECT_TRUE(Answered(session));
  close(session);
}

// A burst of joined requests waits in its connection's buffer for the passes' shares; while it
// waits the connection has requests under way, so a newcomer to the full control table takes the
// place of a session instead, and the burst gets every reply.
TEST_F(SmallCamera, ABurstWaitingForItsRepliesDoesNotGiveWay) {
  for (uint32_t i = 0; i + 1 < ports_.share; ++i) {
    held_.push_back(nettest::ConnectLoopback(ports_.control));
    ASSERT_TRUE(Answered(held_.back()));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * kSameUseMillis));
  for (int fd : held_) ASSERT_TRUE(Answered(fd));  // each a session with a history now

  constexpr int kBurst = 300;
  std::vector<uint8_t> joined;
  for (int i = 0; i < kBurst; ++i) {
    const std::vector<uint8_t> request = VersionRequest();
    joined.insert(joined.end(), request.begin(), request.end());
  }
  const int burst = nettest::ConnectLoopback(ports_.control);
  ASSERT_GE(burst, 0);
  held_.push_back(burst);
  ASSERT_TRUE(nettest::SendAll(burst, joined));
  std::vector<uint8_t> replies;
  ASSERT_TRUE(nettest::ReadExactly(burst, kAnswerBytes, &replies));  // the rest wait at the server now
  const int fresh = nettest::ConnectLoopback(ports_.control);
  ASSERT_GE(fresh, 0);
  held_.push_back(fresh);
  EXPECT_TRUE(Answered(fresh));
  EXPECT_TRUE(nettest::ReadExactly(burst, (kBurst - 1) * kAnswerBytes, &replies, std::chrono::seconds(60)));
}

}  // namespace
