// Board root mapping: absolute board paths land under the root, never on the host.
#include "board/board_root.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(BoardRoot, MapsAbsolutePathsUnderTheEnvironmentRoot) {
  setenv("BOARD_ROOT", "/tmp/some-root/", 1);
  EXPECT_EQ(board::Root(), "/tmp/some-root/");
  EXPECT_EQ(board::MapPath("/data/log"), "/tmp/some-root/data/log");
  EXPECT_EQ(board::MapPath("/system/etc/axis_dynamic.yml"), "/tmp/some-root/system/etc/axis_dynamic.yml");
  unsetenv("BOARD_ROOT");
}

TEST(BoardRoot, LeavesRelativePathsAlone) {
  setenv("BOARD_ROOT", "/tmp/r", 1);
  EXPECT_EQ(board::MapPath("calib/x.yml"), "calib/x.yml");
  EXPECT_EQ(board::MapPath(""), "");
  unsetenv("BOARD_ROOT");
}

TEST(BoardRoot, FallsBackToTheConfiguredDefault) {
  unsetenv("BOARD_ROOT");
  EXPECT_FALSE(board::Root().empty());
  EXPECT_NE(board::MapPath("/etc/x").rfind("/etc/x", 0), 0u) << "must not be the host path";
}
