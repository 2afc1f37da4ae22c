// A private board root in BOARD_ROOT and a PATH whose first folder holds sentinels for the dangerous
// programs, so a system command that slipped through would only leave a line in the sentinel log.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_support/temp_folder.h"

namespace test_support {

class SentinelBoardRootTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Copies the board's fakes of date, reboot and cpufreq.sh where a laid-out board root has them.
  void InstallFakes();

  std::filesystem::path SentinelLog() const { return base_ / "sentinel.log"; }
  std::filesystem::path FakeLog() const { return root_ / "fake-calls.log"; }

  TempFolder folder_{"board-system"};
  std::filesystem::path base_ = folder_.path();
  std::filesystem::path root_ = base_ / "root";
  std::filesystem::path sentinels_ = base_ / "sentinels";
  std::string saved_path_;
};

}  // namespace test_support
