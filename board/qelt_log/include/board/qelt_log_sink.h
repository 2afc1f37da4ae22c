// Test access to the logging stand-in: the lines it has written, kept in memory, and its file.
#pragma once

#include <cstddef>
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
// A log file past this size is moved aside to "<file>.1" (replacing the one there) and a new file
// begun, so the log never holds more than twice this on disk.
constexpr size_t kLogFileLimitBytes = 8 * 1024 * 1024;

// Path of the log file (empty if it could not be opened); by default qelt.log in the mapped
// "/data/log", the board root being read again after each SetLogFile.
std::string LogFilePath();
// Sends later lines to `path` (empty: back to the default); the current file is closed.
void SetLogFile(const std::string& path);
// Size at which the file is rotated (kLogFileLimitBytes unless set).
void SetLogFileLimit(size_t bytes);
// Turns the copy to standard error on or off (on by default).
void SetLogToStderr(bool on);

}  // namespace board
