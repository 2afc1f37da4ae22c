// Lines a peer can make the library write once per packet, request, connection or overwritten
// ring slot: each kind is written a few times a second at most, and the lines left out are
// counted and reported, so that no peer can rotate the history out of the log.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace pelarin {

// Lines of one kind written within one window; the rest of the window's lines are counted.
constexpr uint32_t kLimitedLinesPerWindow = 5;
constexpr int64_t kLogWindowMillis = 1000;
// Characters of a kind's last written line that name the kind in its count line.
constexpr size_t kLogKindNameChars = 60;

// The state of one kind of line. Constant-initialised and never destroyed, so any thread may
// use it at any time, also while the process exits.
class LogLimit {
 public:
  constexpr LogLimit() = default;
  constexpr explicit LogLimit(uint32_t lines_per_window) : lines_per_window_(lines_per_window) {}
  // True when a line of this kind may be written at `now_ms`; *left_out then gets the lines
  // left out since the last one written (and the count starts again). Without count_left_out
  // a refusal counts nothing: the caller writes what it owes later itself.
  bool Allow(int64_t now_ms, bool count_left_out, uint64_t* left_out);
  // Names the kind by the opening of a line just written.
  void Name(const char* text);
  // The lines left out of a window that has ended, taken (0 when none are owed), with the
  // kind's name copied into `name` (kLogKindNameChars + 1 bytes).
  uint64_t TakeOwed(int64_t now_ms, char* name);

 private:
  void Lock();
  void Unlock() { busy_.store(false, std::memory_order_release); }
  void Register();

  std::atomic<bool> busy_{false};
  std::atomic<bool> registered_{false};
  uint32_t lines_per_window_ = kLimitedLinesPerWindow;
  uint32_t in_window_ = 0;
  int64_t window_start_ms_ = 0;
  bool window_open_ = false;
  uint64_t left_out_ = 0;
  char name_[kLogKindNameChars + 1] = {};
  LogLimit* next_ = nullptr;
  friend void FlushLeftOutLines(int64_t now_ms);
  friend void RestartLogWindows();
};

// The steady clock in milliseconds, the time base of the limits and of connection upkeep.
int64_t SteadyMillis();

// Writes the line through the library log when its kind allows it, followed by the count of
// lines of that kind left out before it.
void LogLimited(LogLimit& kind, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Reports the lines left out of every kind whose window has ended; the server passes call it.
void FlushLeftOutLines(int64_t now_ms);

// Starts a fresh window for every kind, the counts of lines left out kept (for a log capture that
// starts counting lines, as the tests' does).
void RestartLogWindows();

}  // namespace pelarin

// One kind per call site.
#define QELTM_LOG_LIMITED(level, ...)                      \
  do {                                                     \
    static ::pelarin::LogLimit qeltm_line_kind_;           \
    ::pelarin::LogLimited(qeltm_line_kind_, level, __VA_ARGS__); \
  } while (0)
