// Tests of the logging stand-in: whole lines from many threads, the log file, the readable sink.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "board/qelt_log_sink.h"
#include "qelt_log.h"
#include "test_support/temp_folder.h"
#include "test_support/wait.h"

namespace {

// Each test sets its own board root; the log follows it from the next line on.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.empty());
    setenv("BOARD_ROOT", root_.c_str(), 1);
    board::SetLogFile("");
    board::SetLogFileLimit(board::kLogFileLimitBytes);
    board::SetLogToStderr(false);
    board::ClearLoggedLines();
  }
  static std::vector<std::string> FileLines(const std::string& path = board::LogFilePath()) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  test_support::TempFolder folder_{"qelt_log_test"};
  std::filesystem::path root_ = folder_.path();
};

TEST_F(LogTest, WritesIntoTheMappedLogFolder) {
  PrintLog("main", "started %d\n", 7);
  const std::string path = board::LogFilePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.rfind((root_ / "data/log").string(), 0), 0u) << path;
  const auto lines = FileLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[main] started 7"), std::string::npos) << lines[0];
}

TEST_F(LogTest, EndsEveryLineWithExactlyOneNewline) {
  PrintLog("main", "with newline\n");
  _PrintLog("cam_auto_exposure", "without newline");
  const auto lines = FileLines();
  ASSERT_EQ(lines.size(), 2u);
  const auto sink = board::LoggedLines();
  ASSERT_EQ(sink.size(), 2u);
  EXPECT_EQ(sink[0].text, "with newline");
  EXPECT_EQ(sink[1].tag, "cam_auto_exposure");
  EXPECT_EQ(sink[1].text, "without newline");
}

// Neither form cuts or changes the text: a 255-character line and one of 10,000 characters.
TEST_F(LogTest, TextOfAnyLengthPassesUnchanged) {
  const std::string network_text(255, 'x');
  PrintLog("QELTM", "%s", network_text.c_str());
  const std::string long_text(10000, 'y');
  _PrintLog("StereoVideoDeivce", "[%s, %s, %d] %s\n", "file", "fn", 3, long_text.c_str());
  const auto sink = board::LoggedLines();
  ASSERT_EQ(sink.size(), 2u);
  EXPECT_EQ(sink[0].tag, "QELTM");
  EXPECT_EQ(sink[0].text, network_text);
  EXPECT_EQ(sink[1].text, "[file, fn, 3] " + long_text);
}

TEST_F(LogTest, LinesOfConcurrentThreadsStayWhole) {
  constexpr int kThreads = 6;
  constexpr int kLinesEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string body(300, static_cast<char>('a' + t));
      for (int i = 0; i < kLinesEach; ++i) _PrintLog("worker", "%d:%s\n", t, body.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = FileLines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
  for (const auto& line : lines) {
    const size_t colon = line.find("] ");
    ASSERT_NE(colon, std::string::npos);
    const std::string rest = line.substr(colon + 2);
    const int t = rest[0] - '0';
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(rest.substr(2), std::string(300, static_cast<char>('a' + t)));
  }
}

TEST_F(LogTest, ATestCanPointTheFileElsewhere) {
  PrintLog("main", "to the board\n");
  const std::string board_file = board::LogFilePath();
  const std::string elsewhere = (root_ / "elsewhere" / "test.log").string();
  board::SetLogFile(elsewhere);
  PrintLog("main", "elsewhere\n");
  EXPECT_EQ(board::LogFilePath(), elsewhere);
  ASSERT_EQ(FileLines(elsewhere).size(), 1u);
  EXPECT_NE(FileLines(elsewhere)[0].find("elsewhere"), std::string::npos);
  EXPECT_EQ(FileLines(board_file).size(), 1u);
}

TEST_F(LogTest, RotatesAtItsLimitKeepingOneOlderFile) {
  constexpr size_t kLimit = 2000;
  constexpr int kLines = 100;  // about 6 files' worth of 120-byte lines
  board::SetLogFileLimit(kLimit);
  for (int i = 0; i < kLines; ++i) _PrintLog("cam_auto_exposure", "line %03d %s\n", i, std::string(80, 'e').c_str());
  const std::string path = board::LogFilePath();
  const auto newest = FileLines(path);
  const auto older = FileLines(path + ".1");
  EXPECT_LE(std::filesystem::file_size(path), kLimit);
  EXPECT_LE(std::filesystem::file_size(path + ".1"), kLimit);
  EXPECT_FALSE(std::filesystem::exists(path + ".2"));
  // The two files hold the newest lines in order, the last one at the end.
  ASSERT_FALSE(newest.empty());
  ASSERT_FALSE(older.empty());
  EXPECT_NE(newest.back().find("line 099"), std::string::npos) << newest.back();
  const auto number = [](const std::string& line) { return std::stoi(line.substr(line.find("line ") + 5, 3)); };
  EXPECT_EQ(number(older.back()) + 1, number(newest.front()));
}

TEST_F(LogTest, NullFormatStillReturns) {
  PrintLog(nullptr, nullptr);
  EXPECT_EQ(board::LoggedLines().size(), 1u);
}

TEST_F(LogTest, ALineStuckOnAFullStandardErrorHoldsUpNoOtherThread) {
  // Standard error becomes a full one-page pipe that is read only at the end.
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
  const int saved_stderr = dup(STDERR_FILENO);
  ASSERT_EQ(dup2(ends[1], STDERR_FILENO), STDERR_FILENO);
  close(ends[1]);
  const int filler = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(filler, 0);
  while (write(filler, "x", 1) == 1) {
  }
  close(filler);
  board::SetLogToStderr(true);
  const std::string path = board::LogFilePath();  // asked now: asking takes the log's lock

  std::thread stuck([] { PrintLog("main", "stuck on standard error\n"); });
  const bool in_file = test_support::WaitUntil([&] {
    const std::vector<std::string> lines = FileLines(path);
    return std::any_of(lines.begin(), lines.end(),
                       [](const std::string& line) { return line.find("stuck on standard error") != std::string::npos; });
  });
  auto other = std::async(std::launch::async, [] {
    board::SetLogToStderr(false);
    PrintLog("main", "another thread\n");
    return board::LoggedLines().size();
  });
  const bool other_done = other.wait_for(std::chrono::seconds(30)) == std::future_status::ready;

  fcntl(ends[0], F_SETFL, O_NONBLOCK);
  char chunk[4096];
  while (read(ends[0], chunk, sizeof chunk) > 0) {
  }
  stuck.join();
  const std::size_t lines = other.get();
  dup2(saved_stderr, STDERR_FILENO);
  close(saved_stderr);
  close(ends[0]);
  EXPECT_TRUE(in_file) << "the file has the line before standard error takes it";
  EXPECT_TRUE(other_done) << "another thread waited for the stuck one";
  EXPECT_EQ(lines, 2u);
}

}  // namespace
