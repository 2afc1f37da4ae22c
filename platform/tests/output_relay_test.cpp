// The output relay over real pipes: an output nobody reads holds up no writer, its lost lines are
// counted and noted once it is read again, lines stay whole, a broken output raises no signal, and
// outputs that cannot block are left alone.
#include "platform/output_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>

namespace {

constexpr int kOnePage = 4096;
constexpr auto kPatience = std::chrono::milliseconds(30000);
constexpr int kManyLines = 3000;  // far more than a page holds
// A descriptor number of the test's own, standing for the program's standard output.
constexpr int kRelayedFd = 40;

std::atomic<int> g_reported_fd{-1};
std::atomic<std::uint64_t> g_reported_lines{0};
void RecordReport(int fd, std::uint64_t lines) {
  g_reported_fd.store(fd);
  g_reported_lines.store(lines);
}

std::atomic<int> g_broken_pipe_signals{0};
void CountBrokenPipe(int) { ++g_broken_pipe_signals; }

std::string NumberedLine(int number) { return "line " + std::to_string(number) + " of the relay test\n"; }

class OutputRelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    reader_ = ends[0];
    ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, kOnePage), 0);
    ASSERT_EQ(dup2(ends[1], kRelayedFd), kRelayedFd);
    close(ends[1]);
    fcntl(reader_, F_SETFL, O_NONBLOCK);
    g_reported_fd.store(-1);
    g_reported_lines.store(0);
  }
  void TearDown() override {
    relay_.Stop();
    close(kRelayedFd);
    if (reader_ >= 0) close(reader_);
  }

  // Writes numbered lines to the relayed descriptor; the number that it took whole.
  int WriteLines(int count) {
    int taken = 0;
    for (int number = 0; number < count; ++number) {
      const std::string line = NumberedLine(number);
      if (write(kRelayedFd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) ++taken;
    }
    return taken;
  }

  // Reads the output until `done` says so or the patience ends.
  std::string ReadUntil(const std::function<bool(const std::string&)>& done) {
    std::string text;
    const auto give_up = std::chrono::steady_clock::now() + kPatience;
    char chunk[kOnePage];
    while (!done(text) && std::chrono::steady_clock::now() < give_up) {
      pollfd ready{reader_, POLLIN, 0};
      if (poll(&ready, 1, 100) <= 0) continue;
      const ssize_t got = read(reader_, chunk, sizeof chunk);
      if (got > 0) text.append(chunk, static_cast<std::size_t>(got));
    }
    return text;
  }

  OutputRelay relay_;
  int reader_ = -1;
};

TEST_F(OutputRelayTest, LinesAnUnreadOutputCannotTakeAreCountedAndNotedOnceItIsReadAgain) {
  ASSERT_EQ(relay_.Start({kRelayedFd}, RecordReport), RESULT_OK);
  ASSERT_TRUE(relay_.Relays(kRelayedFd));
  const int taken = WriteLines(kManyLines);
  ASSERT_TRUE(relay_.Drain(kPatience));
  const std::uint64_t dropped = relay_.dropped_lines();
  EXPECT_GT(dropped, 0u);

  const std::string note_head = "OutputRelay, ";
  const std::string text = ReadUntil([&](const std::string& t) { return t.find(note_head) != std::string::npos &&
                                                                        t.back() == '\n'; });
  const std::size_t note_at = text.find(note_head);
  ASSERT_NE(note_at, std::string::npos) << text;
  EXPECT_EQ(text.substr(note_at), note_head + std::to_string(dropped) +
                                      " lines of an output dropped while nobody read it\n");
  // What came through is whole lines in order, and with the dropped ones makes up all that was written.
  int received = 0, last = -1;
  for (std::size_t at = 0; at < note_at;) {
    const std::size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    const int number = std::stoi(text.substr(at + 5));
    EXPECT_EQ(text.substr(at, end + 1 - at), NumberedLine(number));
    EXPECT_GT(number, last);
    last = number;
    ++received;
    at = end + 1;
  }
  EXPECT_EQ(static_cast<std::uint64_t>(received) + dropped, static_cast<std::uint64_t>(taken));
  // The report follows the note on the relay thread: one more pass of it has made it.
  ASSERT_TRUE(relay_.Drain(kPatience));
  EXPECT_EQ(g_reported_fd.load(), kRelayedFd);
  EXPECT_EQ(g_reported_lines.load(), dropped);
}

TEST_F(OutputRelayTest, ALineLongerThanTheOutputHoldsArrivesWholeAsItIsRead) {
  ASSERT_EQ(relay_.Start({kRelayedFd}, nullptr), RESULT_OK);
  const std::string line = std::string(5 * kOnePage, 'x') + "\n";
  ASSERT_EQ(write(kRelayedFd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  const std::string text = ReadUntil([&](const std::string& t) { return t.size() >= line.size(); });
  EXPECT_EQ(text, line);
  EXPECT_EQ(relay_.dropped_lines(), 0u);
}

TEST_F(OutputRelayTest, ABrokenOutputDropsEverythingWithoutABrokenPipeSignal) {
  struct sigaction counting {}, previous {};
  counting.sa_handler = CountBrokenPipe;
  ASSERT_EQ(sigaction(SIGPIPE, &counting, &previous), 0);
  g_broken_pipe_signals.store(0);
  ASSERT_EQ(relay_.Start({kRelayedFd}, nullptr), RESULT_OK);
  close(reader_);
  reader_ = -1;
  const int taken = WriteLines(100);
  ASSERT_TRUE(relay_.Drain(kPatience));
  EXPECT_EQ(relay_.dropped_lines(), static_cast<std::uint64_t>(taken));
  EXPECT_EQ(g_broken_pipe_signals.load(), 0);
  sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(OutputRelayTest, AFileIsLeftAsItIsAndStopPutsTheOriginalBack) {
  char file_name[] = "/tmp/output-relay-XXXXXX";
  const int file = mkstemp(file_name);
  ASSERT_GE(file, 0);
  unlink(file_name);
  constexpr int kFileFd = kRelayedFd + 1;
  ASSERT_EQ(dup2(file, kFileFd), kFileFd);
  close(file);
  struct stat pipe_before {}, pipe_after {}, during {};
  ASSERT_EQ(fstat(kRelayedFd, &pipe_before), 0);

  ASSERT_EQ(relay_.Start({kRelayedFd, kFileFd}, nullptr), RESULT_OK);
  EXPECT_FALSE(relay_.Relays(kFileFd));
  ASSERT_EQ(fstat(kRelayedFd, &during), 0);
  EXPECT_NE(during.st_ino, pipe_before.st_ino) << "the relay's own pipe stands in";
  relay_.Stop();
  ASSERT_EQ(fstat(kRelayedFd, &pipe_after), 0);
  EXPECT_EQ(pipe_after.st_ino, pipe_before.st_ino);
  close(kFileFd);
}

}  // namespace
