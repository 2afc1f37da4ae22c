// Logging library stand-in: whole, stamped lines to standard error, a file and a readable sink;
// standard error is written outside the lock, so an output nobody reads never holds up other threads.
#include "qelt_log.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>

#include "board/board_root.h"
#include "board/qelt_log_sink.h"

namespace {

constexpr const char* kLogDirectory = "/data/log";
constexpr const char* kLogFileName = "qelt.log";
constexpr const char* kRotatedSuffix = ".1";
constexpr size_t kSinkCapacity = 4096;

struct LogState {
  std::mutex mutex;
  std::deque<board::LoggedLine> sink;
  FILE* file = nullptr;
  bool file_tried = false;
  std::string file_path;
  std::string chosen_path;  // set by SetLogFile; empty: the mapped /data/log
  size_t file_bytes = 0;    // size of the open file
  size_t file_limit = board::kLogFileLimitBytes;
  bool to_stderr = true;
};

LogState& State() {
  static LogState* state = new LogState();  // never destroyed: logging may run during exit
  return *state;
}

// Opens the log file once per choice of file, creating its folder when it is missing.
void OpenFileLocked(LogState& state) {
  if (state.file_tried) return;
  state.file_tried = true;
  std::filesystem::path path = state.chosen_path;
  if (path.empty()) path = std::filesystem::path(board::MapPath(kLogDirectory)) / kLogFileName;
  std::error_code ignored;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ignored);
  state.file = std::fopen(path.c_str(), "a");
  if (state.file == nullptr) return;
  state.file_path = path.string();
  const long size = std::ftell(state.file);  // append mode: the end of what is there
  state.file_bytes = size > 0 ? static_cast<size_t>(size) : 0;
}

void CloseFileLocked(LogState& state) {
  if (state.file != nullptr) std::fclose(state.file);
  state.file = nullptr;
  state.file_tried = false;
  state.file_path.clear();
  state.file_bytes = 0;
}

// Keeps the log bounded: a line that would take the file past its limit first moves the file
// aside (replacing the older one there) and starts a new one, so at most twice the limit is kept.
void RotateIfFullLocked(LogState& state, size_t line_bytes) {
  if (state.file == nullptr || state.file_bytes == 0 || state.file_bytes + line_bytes <= state.file_limit) return;
  std::fclose(state.file);
  std::error_code ignored;
  std::filesystem::rename(state.file_path, state.file_path + kRotatedSuffix, ignored);
  state.file = std::fopen(state.file_path.c_str(), "w");
  state.file_bytes = 0;
}

std::string FormatText(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

std::string TimeStamp() {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[40];
  const size_t used = std::strftime(stamp, sizeof(stamp), "%m-%d %H:%M:%S", &local);
  std::snprintf(stamp + used, sizeof(stamp) - used, ".%03ld", static_cast<long>(now.tv_usec / 1000));
  return stamp;
}

// Writes one record: stamp, tag and text, ending in exactly one newline whether or not the caller
// gave one. The file and the sink take the line under the lock, so their lines never interleave;
// standard error takes it after the lock is released, in one write (whole on a pipe for lines up
// to a page), so that an output nobody reads holds up at most the caller, never another thread.
void WriteLine(const char* tag, const char* format, va_list args) {
  std::string text = FormatText(format, args);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const std::string safe_tag = tag != nullptr ? tag : "";
  const std::string line = TimeStamp() + " [" + safe_tag + "] " + text + "\n";

  LogState& state = State();
  bool to_stderr = false;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    OpenFileLocked(state);
    to_stderr = state.to_stderr;
    RotateIfFullLocked(state, line.size());
    if (state.file != nullptr) {
      std::fwrite(line.data(), 1, line.size(), state.file);
      std::fflush(state.file);
      state.file_bytes += line.size();
    }
    if (state.sink.size() == kSinkCapacity) state.sink.pop_front();
    state.sink.push_back(board::LoggedLine{safe_tag, text});
  }
  if (to_stderr) {
    const ssize_t written = write(STDERR_FILENO, line.data(), line.size());  // a line it cannot take is lost there
    (void)written;
  }
}

}  // namespace

extern "C" void PrintLog(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(tag, format, args);
  va_end(args);
}

extern "C" void _PrintLog(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(tag, format, args);
  va_end(args);
}

namespace board {

std::vector<LoggedLine> LoggedLines() {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return std::vector<LoggedLine>(state.sink.begin(), state.sink.end());
}

void ClearLoggedLines() {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.sink.clear();
}

std::string LogFilePath() {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  OpenFileLocked(state);
  return state.file_path;
}

void SetLogFile(const std::string& path) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  CloseFileLocked(state);
  state.chosen_path = path;
}

void SetLogFileLimit(size_t bytes) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.file_limit = bytes;
}

void SetLogToStderr(bool on) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.to_stderr = on;
}

}  // namespace board
