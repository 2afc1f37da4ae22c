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

namespace watchdog_test {

namespace fs = std::filesystem;

// Long enough for anything a correct program does; only a fault waits this long.
constexpr std::chrono::seconds kPatience(30);

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

inline void WriteScript(const fs::path& path, const std::string& body) {
  WriteFile(path, "#!/bin/sh\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all);
}

// Waits until the condition holds or the patience runs out; the condition's last answer.
inline bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds patience = kPatience) {
  const auto give_up = std::chrono::steady_clock::now() + patience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline bool WaitForActions() {
  return WaitFor([] { return DaemonServer::ActionsInFlight() == 0; });
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
    std::string pattern = (fs::temp_directory_path() / "watchdog-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    root_ = base_ / "root";
    const std::string command = std::string(MAKE_ROOT_SCRIPT) + " " + root_.string();
    ASSERT_EQ(std::system(command.c_str()), 0);
    setenv("BOARD_ROOT", root_.c_str(), 1);
  }

  void TearDown() override {
    EXPECT_TRUE(WaitForActions());
    unsetenv("BOARD_ROOT");
    fs::remove_all(base_);
  }

  fs::path FakeCallLog() const { return root_ / "fake-calls.log"; }

  fs::path base_;
  fs::path root_;
};

}  // namespace watchdog_test
