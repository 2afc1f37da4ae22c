// The server pass under pressure from one peer: out of descriptors and a connection flood. The
// clients already served are still answered, newcomers get in, and the log stays short.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "net_helpers.h"
#include "pelarin/packet.h"
#include "pelarin/scdp.h"

namespace {

constexpr int kHeldConnections = 300;
// Descriptors the server process may open beyond those it has when the limit is set: its share
// of them is larger than what is left free once the rest of the process took its fill.
constexpr rlim_t kDescriptorHeadroom = 200;
// Descriptors left free for the server's accepts: more than a pass takes at most (64), so the
// connections a pass accepted are heard before the next runs short.
constexpr int kFreeDescriptors = 96;
constexpr int kFloodThreads = 2;
constexpr int kFloodConnectionsPerThread = 1500;
constexpr int kRequestsDuringFlood = 30;
constexpr uint32_t kAnswerBytes = 13 + 16;

int Answer(const char*, int, void*, tagACKMsgPara* reply) {
  const uint8_t words[] = {0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  memcpy(reply->buffer, words, sizeof words);
  reply->used_size = sizeof words;
  reply->reply_flag = 1;
  return 0;
}

// One request on a served connection, answered in full.
bool Answered(int fd) {
  if (!nettest::SendAll(fd, nettest::Packet(kElementKeyValue, nettest::Words({1, 1, 0})))) return false;
  std::vector<uint8_t> reply;
  return nettest::ReadExactly(fd, kAnswerBytes, &reply) && reply[8] == 48;
}

rlim_t OpenDescriptors() {
  rlim_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

template <typename T>
bool ReadValue(int fd, T* value) {
  return read(fd, value, sizeof *value) == static_cast<ssize_t>(sizeof *value);
}

// Takes every descriptor the process may still open but `spare`, as a process whose other parts
// outgrow their reserve would.
void TakeDescriptorsBut(int spare) {
  std::vector<int> taken{open("/dev/null", O_RDONLY | O_CLOEXEC)};
  for (int fd = dup(taken[0]); fd >= 0; fd = dup(taken[0])) taken.push_back(fd);
  for (int i = 0; i < spare && !taken.empty(); ++i) {
    close(taken.back());
    taken.pop_back();
  }
}

// A child process serves control requests, its other parts taking all descriptors but a few, so
// its accepts run out of descriptors before the server holds its share; this process holds 300
// silent connections to it. The connection served before them is answered throughout, a
// newcomer is answered while they are held (a silent connection gives way to it), and the log
// names the want of descriptors without flooding.
TEST(ServerPassUnderPressure, OutOfDescriptorsASilentConnectionGivesWayToANewcomer) {
  int to_child[2];
  int from_child[2];
  ASSERT_EQ(0, pipe(to_child));
  ASSERT_EQ(0, pipe(from_child));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    nettest::LogCapture log;
    const rlimit limit{OpenDescriptors() + kDescriptorHeadroom, OpenDescriptors() + kDescriptorHeadroom};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(2);
    nettest::ControlServer server(Answer);
    TakeDescriptorsBut(kFreeDescriptors);
    const uint16_t port = server.ok() && SocketServerShare() > kFreeDescriptors ? server.port() : 0;
    write(from_child[1], &port, sizeof port);
    char done = 0;
    read(to_child[0], &done, 1);  // until the attack is over
    const uint64_t counts[] = {log.Count("[Proxy]Out of descriptors: close its quietest client"),
                               log.Count("[Proxy]Accept failed, socket fd")};
    write(from_child[1], counts, sizeof counts);
    _exit(0);
  }
  uint16_t port = 0;
  ASSERT_TRUE(ReadValue(from_child[0], &port));
  ASSERT_NE(0, port);
  const int served = nettest::ConnectLoopback(port);
  ASSERT_GE(served, 0);
  EXPECT_TRUE(Answered(served));

  const auto attack_start = std::chrono::steady_clock::now();
  std::vector<int> held;
  for (int i = 0; i < kHeldConnections; ++i) held.push_back(nettest::ConnectLoopbackNonBlocking(port));
  const int fresh = nettest::ConnectLoopback(port);
  ASSERT_GE(fresh, 0);
  EXPECT_TRUE(Answered(fresh)) << "a newcomer is answered while the silent connections are held";
  EXPECT_TRUE(Answered(served)) << "the served connection is answered while descriptors are out";
  const double attack_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - attack_start).count();
  for (int fd : held) close(fd);
  close(fresh);
  close(served);

  const char done = 1;
  write(to_child[1], &done, 1);
  uint64_t counts[2] = {};
  ASSERT_TRUE(ReadValue(from_child[0], &counts));
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GE(counts[0], 1u) << "the server never ran out: the test did not test";
  // A few lines a second at most, whatever the count of failed accepts.
  EXPECT_LE(counts[0] + counts[1], 10 * (static_cast<uint64_t>(attack_seconds) + 3)) << "the log is flooded";
  for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) close(fd);
}

// Two threads connect and close as fast as they can while a served connection asks 30 times:
// every request is answered, the table empties again, and the client list is dumped about once
// a second, not once a connection.
TEST(ServerPassUnderPressure, ConnectionFloodDoesNotStarveServedClients) {
  nettest::LogCapture log;
  nettest::ControlServer server(Answer);
  ASSERT_TRUE(server.ok());
  const int served = nettest::ConnectLoopback(server.port());
  ASSERT_GE(served, 0);
  ASSERT_TRUE(Answered(served));
  log.Clear();

  const auto flood_start = std::chrono::steady_clock::now();
  std::atomic<bool> stop{false};
  std::vector<std::thread> flood;
  for (int t = 0; t < kFloodThreads; ++t) {
    flood.emplace_back([&] {
      for (int i = 0; i < kFloodConnectionsPerThread && !stop; ++i) {
        const int fd = nettest::ConnectLoopback(server.port());
        if (fd >= 0) close(fd);
      }
    });
  }
  int answered = 0;
  for (int i = 0; i < kRequestsDuringFlood; ++i) answered += Answered(served) ? 1 : 0;
  stop = true;
  for (auto& t : flood) t.join();
  EXPECT_EQ(kRequestsDuringFlood, answered);

  // Every flood connection is closed and cleaned up; only the served one stays.
  EXPECT_TRUE(nettest::WaitUntil([&] {
    uint32_t clients = 0;
    server.WithThreadStopped([&](ServerSocketTable* table) { clients = table->client_count; });
    return clients == 1;
  }));
  EXPECT_TRUE(Answered(served));
  EXPECT_GE(log.Count("[Proxy]Receive new connect"), 1u);
  // The flood's connections are cleaned up after it too, and every change owes a dump: bound the
  // dumps by the whole time since the flood began, not by the flood alone.
  const double logged_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - flood_start).count();
  EXPECT_LE(log.Count("Client number"), static_cast<size_t>(logged_seconds) + 3) << "client list dumped too often";
  close(served);
}

}  // namespace
