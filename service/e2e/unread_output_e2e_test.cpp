// A service whose standard output and error fill a one-page pipe that nobody reads: while a crowd
// of control requests makes log lines, it streams and sends its heartbeats, its log file keeps
// every line, and once the pipe is read again it says how many lines the pipe did not get.
#include <gtest/gtest.h>

#include <cstring>
#include <chrono>
#include <functional>
#include <thread>

#include "e2e_fixture.h"
#include "pelarin/scdp.h"
#include "test_support/wait.h"

namespace {

constexpr int kOnePageBytes = 4096;
constexpr int kLongestStartLineBytes = 512;
constexpr int kControlConnections = 400;
// How long nobody reads the output before a new client comes.
constexpr auto kUnreadTime = std::chrono::seconds(30);
constexpr auto kPatience = std::chrono::seconds(60);
constexpr int kStreamSeconds = 2;
constexpr char kRequestLine[] = "ServiceRequest, recv a command request";
constexpr char kDroppedNote[] = " lines of standard error dropped while nobody read it";

bool WaitUntil(const std::function<bool()>& condition) {
  return test_support::WaitUntil(condition, kPatience, std::chrono::milliseconds(50));
}

// Connects to the control port on loopback, asks for the version and hangs up; false when the
// request went unanswered. The service logs every request it is asked, whatever the connection.
bool AskVersionAndHangUp(unsigned port) {
  const uint8_t version[] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0};
  bool answered = SCDPClientConnectSession("127.0.0.1", port) == kQeltOk;
  if (answered) {
    ScdpRequest request{};
    std::strcpy(request.ip, "127.0.0.1");
    request.payload = version;
    request.length = sizeof version;
    ScdpReplyView reply{};
    answered = SCDPClientSendCtrl(&request, &reply) == kQeltOk;
  }
  SCDPClientCloseSession("127.0.0.1");
  return answered;
}

// Occurrences of `line` in `text` from `offset` on.
std::size_t CountFrom(const std::string& text, std::size_t offset, const std::string& line) {
  std::size_t count = 0;
  for (std::size_t at = text.find(line, offset); at != std::string::npos; at = text.find(line, at + 1)) ++count;
  return count;
}

class UnreadOutputEndToEnd : public ServiceEndToEnd {
 protected:
  ServiceOutput OutputTo() const override { return ServiceOutput::kAllToOnePagePipe; }
  std::string LogFile() const { return ReadWholeFile(root_->File("/data/log/qelt.log")); }
};

TEST_F(UnreadOutputEndToEnd, StreamsAndBeatsWhileNobodyReadsItsOutputAndCountsWhatItDropped) {
  // The start-up lines fill the pipe, which this test leaves unread from now on.
  ASSERT_TRUE(WaitUntil([&] { return service_.QueuedInPipe() > kOnePageBytes - kLongestStartLineBytes; }));
  const auto unread_since = std::chrono::steady_clock::now();
  const std::size_t log_bytes_before = LogFile().size();
  ASSERT_EQ(SCDPInit(kScdpClientMode), kQeltOk);
  int answered = 0;
  for (int i = 0; i < kControlConnections; ++i) answered += AskVersionAndHangUp(ports_.control()) ? 1 : 0;
  SCDPUnInit();
  EXPECT_EQ(answered, kControlConnections);
  // The control thread logs them (a few a second) while its output is full; the log file keeps them.
  ASSERT_TRUE(WaitUntil([&] { return CountFrom(LogFile(), log_bytes_before, kRequestLine) > 0; }));
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
  EXPECT_GT(dropped, 0);
  EXPECT_TRUE(WaitUntil([&] { return LogFile().find(std::to_string(dropped) + kDroppedNote) != std::string::npos; }));
  ExpectCleanStop();
}

}  // namespace
