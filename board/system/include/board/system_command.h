// System commands: the one way the system runs shell commands on this machine's board root.
#pragma once

#include <string>

namespace board {

// Result of a command that was not run (as system() reports a shell it could not start).
constexpr int kCommandRefused = -1;

// Runs a shell command as the board would, with system()'s result (the shell's wait status):
// board paths in it ("/data/...", "/system/...", "/proc/...", "/etc/...", "/vendor/...") are
// mapped under the board root, <board root>/bin comes first on PATH and BOARD_ROOT is passed on.
// Refused (kCommandRefused, a line on standard error): a command that would set the clock or
// restart the machine through anything but the board root's fake date and reboot, and one that
// kills by name other than as a whole "killall"/"pkill" command. Those whole commands are
// carried out here, reaching only processes of this board root's run.
int RunCommand(const std::string& command);

// The command with every board path mapped under `root`; other text unchanged.
std::string MapCommandPaths(const std::string& command, const std::string& root);

}  // namespace board
