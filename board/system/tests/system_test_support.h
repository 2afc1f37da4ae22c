// Test helpers for system commands: a private board root in BOARD_ROOT and a PATH whose first
// folder holds sentinels for the dangerous programs, so a command that slipped through would
// only leave a line in the sentinel log.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace system_test {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteScript(const fs::path& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  fs::permissions(path, fs::perms::owner_all);
}

class BoardRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "board-system-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    root_ = base_ / "root";
    sentinels_ = base_ / "sentinels";
    fs::create_directories(root_ / "data" / "log");
    fs::create_directories(sentinels_);
    for (const char* name : {"date", "reboot", "shutdown", "halt", "poweroff", "hwclock", "systemctl",
                             "timedatectl"}) {
      WriteScript(sentinels_ / name, "echo \"$0 $*\" >> " + SentinelLog().string());
    }
    const char* path = std::getenv("PATH");
    saved_path_ = path == nullptr ? "/usr/bin:/bin" : path;
    setenv("PATH", (sentinels_.string() + ":" + saved_path_).c_str(), 1);
    setenv("BOARD_ROOT", root_.c_str(), 1);
  }

  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    unsetenv("BOARD_ROOT");
    fs::remove_all(base_);
  }

  // Copies the repository's fakes where a laid-out board root has them.
  void InstallFakes() {
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "system" / "bin");
    const fs::path fake = fs::path(FAKE_BIN_DIR) / "board-fake";
    fs::copy_file(fake, root_ / "bin" / "date");
    fs::copy_file(fake, root_ / "bin" / "reboot");
    fs::copy_file(fake, root_ / "system" / "bin" / "cpufreq.sh");
  }

  fs::path SentinelLog() const { return base_ / "sentinel.log"; }
  fs::path FakeLog() const { return root_ / "fake-calls.log"; }

  fs::path base_;
  fs::path root_;
  fs::path sentinels_;
  std::string saved_path_;
};

}  // namespace system_test
