// A service whose standard output and error fill a one-page pipe that nobody reads: while a crowd
// of control connections makes log lines, it streams and sends its heartbeats, its log file keeps
// every line, and once the pipe is read again it says how many lines the pipe did not get.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "e2e_fixture.h"

namespace {

constexpr int kOnePageBytes = 4096;
constexpr int kLongestStartLineBytes = 512;
constexpr int kControlConnections = 400;
// How long nobody reads the output before a new client comes.
constexpr auto kUnreadTime = std::chrono::seconds(30);
constexpr auto kPatience = std::chrono::seconds(60);
constexpr int kStreamSeconds = 2;
constexpr char kDroppedNote[] = " lines of standard error dropped while nobody read it";

bool WaitUntil(const std::function<bool()>& condition) {
  const auto give_up = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Connects to the control port on loopback and hangs up at once; false when it cannot connect.
bool ConnectAndClose(unsigned port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool connected = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return connected;
}

std::size_t Lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

class UnreadOutputEndToEnd : public ServiceEndToEnd {
 protected:
  ServiceOutput OutputTo() const override { return ServiceOutput::kAllToOnePagePipe; }
  std::string LogFile() const { return ReadWholeFile(root_->File("/data/log/qelt.log")); }
};

TEST_F(UnreadOutputEndToEnd, StreamsAndBeatsWhileNobodyReadsItsOutputAndCountsWhatItDropped) {
  // The start-up lines fill the pipe, which this test leaves unread from now on.
  ASSERT_TRUE(WaitUntil([&] { return service_.QueuedInPipe() > kOnePageBytes - kLongestStartLineBytes; }));
  const auto unread_since = std::chrono::steady_clock::now();
  const std::size_t logged_before = Lines(LogFile());
  int connected = 0;
  for (int i = 0; i < kControlConnections; ++i) connected += ConnectAndClose(ports_.control()) ? 1 : 0;
  EXPECT_EQ(connected, kControlConnections);
  // The control thread logs each of them; the log file keeps every line.
  ASSERT_TRUE(WaitUntil([&] { return Lines(LogFile()) >= logged_before + kControlConnections; }))
      << Lines(LogFile()) - logged_before << " lines logged";
  std::this_thread::sleep_until(unread_since + kUnreadTime);

  const ProgramRun run = RunClient({"--address", "127.0.0.1"}, {"--command", "version"}, kStreamSeconds);
  EXPECT_EQ(run.exit_status, 0);
  const ClientSummary summary = ParseClientOutput(run.output);
  EXPECT_TRUE(ReplyAnswered(summary, "version"));
  ASSERT_TRUE(summary.colour.has_value() && summary.disparity.has_value()) << run.output;
  EXPECT_GT(summary.colour->frames, 0);
  EXPECT_GT(summary.disparity->frames, 0);
  EXPECT_TRUE(NextHeartbeatArrives());

  // Read again, the output gets a line with the count of the lines it missed, as does the log file.
  std::string output;
  EXPECT_TRUE(WaitUntil([&] {
    output += service_.ReadErrorPipe();
    return output.find(kDroppedNote) != std::string::npos;
  }));
  const std::size_t note = output.find(kDroppedNote);
  ASSERT_NE(note, std::string::npos);
  const std::size_t count_at = output.rfind(' ', note - 1) + 1;
  const long dropped = std::stol(output.substr(count_at, note - count_at));
  std::cout << "dropped lines of standard error: " << dropped << "\n";
  EXPECT_GE(dropped, kControlConnections);
  EXPECT_TRUE(WaitUntil([&] { return LogFile().find(std::to_string(dropped) + kDroppedNote) != std::string::npos; }));
  ExpectCleanStop();
}

}  // namespace
