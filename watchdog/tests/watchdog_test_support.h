// Test helpers of the watchdog: a private board root, captured output lines and a settable clock.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "daemon_clock.h"
#include "daemon_log.h"
#include "daemon_server.h"
#include "test_support/board_root.h"
#include "test_support/file_text.h"
#include "test_support/temp_folder.h"
#include "test_support/wait.h"

namespace watchdog_test {

namespace fs = std::filesystem;

using test_support::kPatience;
using test_support::ReadWholeFile;
using test_support::WaitUntil;
using test_support::WriteScript;
using test_support::WriteWholeFile;

inline bool WaitForActions() {
  return WaitUntil([] { return DaemonServer::ActionsInFlight() == 0; });
}

// Collects every line the watchdog prints while it lives.
class LogCapture {
 public:
  LogCapture() {
    SetDaemonLogSink([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { SetDaemonLogSink(nullptr); }

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // Lines that start with the prefix, in order.
  std::vector<std::string> Starting(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& line : Lines()) {
      if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
  }
  std::size_t Count(const std::string& prefix) const { return Starting(prefix).size(); }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A clock the test sets by hand.
class ManualClock : public DaemonClock {
 public:
  explicit ManualClock(std::uint64_t now) : now_(now) {}
  std::uint64_t NowSeconds() override { return now_; }
  void Set(std::uint64_t now) { now_ = now; }

 private:
  std::atomic<std::uint64_t> now_;
};

// A board root of its own in a unique temporary folder, named by BOARD_ROOT while the test runs.
class BoardRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    ASSERT_TRUE(test_support::LayOutBoardRoot(root_.string()));
    setenv("BOARD_ROOT", root_.c_str(), 1);
  }

  void TearDown() override {
    EXPECT_TRUE(WaitForActions());
    unsetenv("BOARD_ROOT");
  }

  fs::path FakeCallLog() const { return root_ / "fake-calls.log"; }

  test_support::TempFolder folder_{"watchdog-test"};
  fs::path base_ = folder_.path();
  fs::path root_ = base_ / "root";
};

}  // namespace watchdog_test
