// Board root layout: the script lays out every folder, file and fake the board layer expects,
// copies extra files to board paths, and a laid-out root serves the command runner and the
// property service.
#include "board/properties.h"
#include "board/system_command.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "test_support/file_text.h"
#include "test_support/temp_folder.h"

namespace fs = std::filesystem;
using test_support::ReadWholeFile;

namespace {

class MakeRootTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder_.path().empty()); }
  void TearDown() override { unsetenv("BOARD_ROOT"); }
  // Runs the script with the arguments after the root; its exit status.
  int MakeRoot(const std::string& arguments, const fs::path& root) {
    std::string command = std::string(MAKE_ROOT_SCRIPT) + " '" + root.string() + "' " + arguments + " 2>/dev/null";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  test_support::TempFolder folder_{"board-make-root"};
  fs::path base_ = folder_.path();
  fs::path root_ = base_ / "root";
};

bool IsExecutableFile(const fs::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IXUSR);
}

}  // namespace

TEST_F(MakeRootTest, LaysOutTheBoardFoldersLedFilesAndFakes) {
  ASSERT_EQ(MakeRoot("", root_), 0);
  for (const char* folder : {"data/log", "data/core", "etc", "system/etc", "system/bin", "bin"}) {
    EXPECT_TRUE(fs::is_directory(root_ / folder)) << folder;
  }
  for (const char* led : {"proc/R_LED/R_LED", "proc/G_LED/G_LED", "proc/B_LED/B_LED"}) {
    EXPECT_TRUE(fs::is_regular_file(root_ / led)) << led;
    EXPECT_EQ(fs::file_size(root_ / led), 0u) << led;
  }
  for (const char* fake : {"bin/date", "bin/reboot", "system/bin/cpufreq.sh"}) {
    EXPECT_TRUE(IsExecutableFile(root_ / fake)) << fake << " must be a real file, not a link";
  }
  EXPECT_NE(ReadWholeFile(root_ / "system" / "build.prop").find("\nro.quenlivark.product.all=simulated-board\n"),
            std::string::npos);
}

TEST_F(MakeRootTest, LaidOutRootServesCommandsAndProperties) {
  ASSERT_EQ(MakeRoot("--property ro.serial=42 --property ro.quenlivark.product.all=QV-9", root_), 0);
  setenv("BOARD_ROOT", root_.c_str(), 1);
  EXPECT_EQ(board::RunCommand("date 010100002000.00"), 0);
  EXPECT_EQ(board::RunCommand("reboot"), 0);
  EXPECT_EQ(board::RunCommand("/system/bin/cpufreq.sh"), 0);
  EXPECT_EQ(ReadWholeFile(root_ / "fake-calls.log"), "date 010100002000.00\nreboot\ncpufreq.sh\n");
  char value[PROPERTY_VALUE_MAX];
  EXPECT_EQ(property_get("ro.quenlivark.product.all", value, ""), 4) << "given, it replaces the default";
  EXPECT_STREQ(value, "QV-9");
  EXPECT_EQ(property_get("ro.serial", value, ""), 2);
  EXPECT_STREQ(value, "42");
}

TEST_F(MakeRootTest, ExtraFilesAreCopiedToTheirBoardPaths) {
  fs::create_directories(base_);
  std::ofstream(base_ / "quarnel.cfg") << "config text";
  std::ofstream(base_ / "calib.yml") << "calibration";
  ASSERT_EQ(MakeRoot((base_ / "quarnel.cfg").string() + "=/system/etc/quarnel.cfg " +
                         (base_ / "calib.yml").string() + "=/data/calib/module.yml",
                     root_),
            0);
  EXPECT_EQ(ReadWholeFile(root_ / "system" / "etc" / "quarnel.cfg"), "config text");
  EXPECT_EQ(ReadWholeFile(root_ / "data" / "calib" / "module.yml"), "calibration");
}

TEST_F(MakeRootTest, LayingOutAgainKeepsLogsAndCrashReports) {
  ASSERT_EQ(MakeRoot("", root_), 0);
  std::ofstream(root_ / "data" / "log" / "quarnel.log") << "kept";
  std::ofstream(root_ / "data" / "core" / "fennick-1.txt") << "kept";
  ASSERT_EQ(MakeRoot("", root_), 0);
  EXPECT_EQ(ReadWholeFile(root_ / "data" / "log" / "quarnel.log"), "kept");
  EXPECT_EQ(ReadWholeFile(root_ / "data" / "core" / "fennick-1.txt"), "kept");
}

TEST_F(MakeRootTest, UnsafeRootsAndBoardPathsAreRefused) {
  std::ofstream(base_ / "f") << "x";
  EXPECT_NE(MakeRoot("", "/"), 0);
  EXPECT_NE(MakeRoot("", "relative/root"), 0);
  EXPECT_NE(MakeRoot("", base_ / "with space"), 0);
  EXPECT_NE(MakeRoot((base_ / "f").string() + "=/system/../../escape", root_), 0);
  EXPECT_NE(MakeRoot((base_ / "f").string() + "=/system/etc/", root_), 0);
  EXPECT_NE(MakeRoot((base_ / "missing").string() + "=/system/etc/x", root_), 0);
  EXPECT_NE(MakeRoot("--property novalue", root_), 0);
  EXPECT_FALSE(fs::exists(base_ / "escape"));
}
