// Test access to the logging stand-in: the lines it has written, kept in memory.
#pragma once

#include <string>
#include <vector>

namespace board {

struct LoggedLine {
  std::string tag;
  std::string text;  // the formatted text, without its trailing newline
};

// Lines logged since the last clear (the oldest are dropped past a fixed bound).
std::vector<LoggedLine> LoggedLines();
void ClearLoggedLines();
// Path of the log file in the mapped "/data/log" (empty if it could not be opened).
std::string LogFilePath();
// Turns the copy to standard error on or off (on by default).
void SetLogToStderr(bool on);

}  // namespace board
