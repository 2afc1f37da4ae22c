// Logging library stand-in: whole, stamped lines to standard error, a file and a readable sink.
#include "qelt_log.h"

#include <sys/time.h>

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
constexpr size_t kSinkCapacity = 4096;

struct LogState {
  std::mutex mutex;
  std::deque<board::LoggedLine> sink;
  FILE* file = nullptr;
  bool file_tried = false;
  std::string file_path;
  bool to_stderr = true;
};

LogState& State() {
  static LogState* state = new LogState();  // never destroyed: logging may run during exit
  return *state;
}

// Opens the log file once, creating the mapped log folder when it is missing.
void OpenFileLocked(LogState& state) {
  if (state.file_tried) return;
  state.file_tried = true;
  const std::string dir = board::MapPath(kLogDirectory);
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
  const std::string path = dir + "/" + kLogFileName;
  state.file = std::fopen(path.c_str(), "a");
  if (state.file != nullptr) state.file_path = path;
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
// gave one; the whole line goes out under one lock, so lines of different threads never interleave.
void WriteLine(const char* tag, const char* format, va_list args) {
  std::string text = FormatText(format, args);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const std::string safe_tag = tag != nullptr ? tag : "";
  const std::string line = TimeStamp() + " [" + safe_tag + "] " + text + "\n";

  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  OpenFileLocked(state);
  if (state.to_stderr) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
  if (state.file != nullptr) {
    std::fwrite(line.data(), 1, line.size(), state.file);
    std::fflush(state.file);
  }
  if (state.sink.size() == kSinkCapacity) state.sink.pop_front();
  state.sink.push_back(board::LoggedLine{safe_tag, text});
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

void SetLogToStderr(bool on) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.to_stderr = on;
}

}  // namespace board
