// Crash catcher stand-in: a fatal signal is reported with a backtrace and still ends the process
// by that signal; the report also lands in the board root's crash folder.
#include "board/fennick.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "test_support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// Touches memory that is mapped but not accessible: a genuine segmentation fault.
void FaultOnProtectedPage() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
}

class FennickDeathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Fork after SetUp so the dying child writes into this test's own board root.
    GTEST_FLAG_SET(death_test_style, "fast");
    ASSERT_FALSE(folder_.path().empty());
    setenv("BOARD_ROOT", root_.c_str(), 1);
  }
  void TearDown() override { unsetenv("BOARD_ROOT"); }
  test_support::TempFolder folder_{"board-fennick"};
  fs::path root_ = folder_.path();
};

}  // namespace

TEST_F(FennickDeathTest, FatalSignalIsReportedWithABacktraceThenKillsTheProcessBySignal) {
  const struct {
    void (*fault)();
    int signal;
    const char* report;
  } cases[] = {
      {FaultOnProtectedPage, SIGSEGV, "fennick: fatal signal 11 \\(SEGV\\) in process [0-9]+\nbacktrace:\n.*\\[0x"},
      {abort, SIGABRT, "fennick: fatal signal 6 \\(ABRT\\) in process [0-9]+\nbacktrace:\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal);
    EXPECT_EXIT(
        {
          fennick();
          c.fault();
        },
        ::testing::KilledBySignal(c.signal), c.report);
  }
}

TEST_F(FennickDeathTest, ReportIsWrittenToTheBoardCrashFolder) {
  fs::create_directories(root_ / "data" / "core");
  EXPECT_EXIT(
      {
        fennick();
        raise(SIGBUS);
      },
      ::testing::KilledBySignal(SIGBUS), "fatal signal 7");
  int reports = 0;
  for (const auto& entry : fs::directory_iterator(root_ / "data" / "core")) {
    EXPECT_EQ(entry.path().filename().string().rfind("fennick-", 0), 0u);
    std::ifstream in(entry.path());
    std::string first_line;
    std::getline(in, first_line);
    EXPECT_NE(first_line.find("fatal signal 7 (BUS)"), std::string::npos) << first_line;
    ++reports;
  }
  EXPECT_EQ(reports, 1);
}
