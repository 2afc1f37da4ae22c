// A private board root in BOARD_ROOT and a PATH whose first folder holds sentinels for the dangerous
// programs, so a system command that slipped through would only leave a line in the sentinel log.
#include "test_support/sentinel_board_root.h"

#include <stdlib.h>

#include "test_support/file_text.h"

namespace test_support {

namespace fs = std::filesystem;

void SentinelBoardRootTest::SetUp() {
  ASSERT_FALSE(folder_.path().empty());
  fs::create_directories(root_ / "data" / "log");
  fs::create_directories(sentinels_);
  for (const char* name : {"date", "reboot", "shutdown", "halt", "poweroff", "hwclock", "systemctl", "timedatectl"}) {
    WriteScript(sentinels_ / name, "echo \"$0 $*\" >> " + SentinelLog().string());
  }
  const char* path = std::getenv("PATH");
  saved_path_ = path == nullptr ? "/usr/bin:/bin" : path;
  setenv("PATH", (sentinels_.string() + ":" + saved_path_).c_str(), 1);
  setenv("BOARD_ROOT", root_.c_str(), 1);
}

void SentinelBoardRootTest::TearDown() {
  setenv("PATH", saved_path_.c_str(), 1);
  unsetenv("BOARD_ROOT");
}

void SentinelBoardRootTest::InstallFakes() {
  fs::create_directories(root_ / "bin");
  fs::create_directories(root_ / "system" / "bin");
  const fs::path fake = fs::path(FAKE_BIN_DIR) / "board-fake";
  fs::copy_file(fake, root_ / "bin" / "date");
  fs::copy_file(fake, root_ / "bin" / "reboot");
  fs::copy_file(fake, root_ / "system" / "bin" / "cpufreq.sh");
}

}  // namespace test_support
