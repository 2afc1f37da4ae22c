// System commands: kill by name, reaching only the processes of one board root's run.
#pragma once

#include <string>
#include <vector>

namespace board {

// The processes named `name` (their command name or their program's file name) that belong to
// the board root: BOARD_ROOT=<root> in their environment, or their program file under the root,
// as seen by any of their threads that has not ended. This process is never among them.
std::vector<int> BoardProcessesNamed(const std::string& name, const std::string& root);

// Carries out a whole "killall [-SIGNAL | -s SIGNAL] NAME..." or "pkill [-SIGNAL] NAME" command
// for the board root, with the wait status that command would give: 0 when every name reached a
// process, exit status 1 when one did not (signal 0 only asks whether each name has a process). Anything else it cannot read is kCommandRefused.
int RunBoardKill(const std::vector<std::string>& words, const std::string& root);

}  // namespace board
