// System commands: which parts of a command line are board paths.
#include "board/system_command.h"

#include <gtest/gtest.h>

using board::MapCommandPaths;

TEST(CommandPaths, BoardPathsAnywhereInTheCommandAreMapped) {
  EXPECT_EQ(MapCommandPaths("rm /data/core/*", "/r"), "rm /r/data/core/*");
  EXPECT_EQ(MapCommandPaths("/system/bin/cpufreq.sh", "/r/"), "/r/system/bin/cpufreq.sh");
  EXPECT_EQ(MapCommandPaths("export LD_LIBRARY_PATH=/system/lib64;/system/bin/quarnel -c /etc/q.cfg", "/r"),
            "export LD_LIBRARY_PATH=/r/system/lib64;/r/system/bin/quarnel -c /r/etc/q.cfg");
  EXPECT_EQ(MapCommandPaths("cat \"/proc/R_LED/R_LED\" >/data/x", "/r"), "cat \"/r/proc/R_LED/R_LED\" >/r/data/x");
  EXPECT_EQ(MapCommandPaths("ls /data", "/r"), "ls /r/data");
  EXPECT_EQ(MapCommandPaths("PATH=/vendor/bin:/system/bin x", "/r"), "PATH=/r/vendor/bin:/r/system/bin x");
}

TEST(CommandPaths, OtherPathsAndLookAlikesStayUnchanged) {
  EXPECT_EQ(MapCommandPaths("/usr/lib/prog", "/r"), "/usr/lib/prog");
  EXPECT_EQ(MapCommandPaths("ls /database /systems /etcetera", "/r"), "ls /database /systems /etcetera");
  EXPECT_EQ(MapCommandPaths("/work/build/data/log/x", "/r"), "/work/build/data/log/x");
  EXPECT_EQ(MapCommandPaths("cmd > /dev/null 2>&1", "/r"), "cmd > /dev/null 2>&1");
  EXPECT_EQ(MapCommandPaths("", "/r"), "");
}
