// Rate limits of the log lines a peer can cause, with counts of the lines left out.
#include "log_limit.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "pelarin/foundation.h"

namespace pelarin {

namespace {

constexpr size_t kLineBytes = 256;
// Every kind that has written or left out a line, for the flush of owed counts.
std::atomic<LogLimit*> g_kinds{nullptr};

// The opening of a line, up to its end or kLogKindNameChars characters, into `name`.
void CopyName(char* name, const char* text) {
  size_t n = 0;
  while (n < kLogKindNameChars && text[n] != '\0' && text[n] != '\n') {
    name[n] = text[n];
    ++n;
  }
  name[n] = '\0';
}

void LogLeftOut(uint64_t count, const char* name) {
  if (count == 0) return;
  Qeltmlog(1, "[QELTM]%llu lines left out since the last \"%s\"\n", static_cast<unsigned long long>(count), name);
}

}  // namespace

int64_t SteadyMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void LogLimit::Lock() {
  while (busy_.exchange(true, std::memory_order_acquire)) {
  }
}

void LogLimit::Register() {
  if (registered_.exchange(true)) return;
  LogLimit* head = g_kinds.load();
  do {
    next_ = head;
  } while (!g_kinds.compare_exchange_weak(head, this));
}

bool LogLimit::Allow(int64_t now_ms, bool count_left_out, uint64_t* left_out) {
  Register();
  Lock();
  if (!window_open_ || now_ms - window_start_ms_ >= kLogWindowMillis) {
    window_open_ = true;
    window_start_ms_ = now_ms;
    in_window_ = 0;
  }
  const bool allowed = in_window_ < lines_per_window_;
  if (allowed) {
    ++in_window_;
    *left_out = left_out_;
    left_out_ = 0;
  } else if (count_left_out) {
    ++left_out_;
  }
  Unlock();
  return allowed;
}

void LogLimit::Name(const char* text) {
  Lock();
  CopyName(name_, text);
  Unlock();
}

uint64_t LogLimit::TakeOwed(int64_t now_ms, char* name) {
  Lock();
  uint64_t owed = 0;
  if (left_out_ > 0 && now_ms - window_start_ms_ >= kLogWindowMillis) {
    owed = left_out_;
    left_out_ = 0;
    memcpy(name, name_, sizeof name_);
  }
  Unlock();
  return owed;
}

void LogLimited(LogLimit& kind, int level, const char* format, ...) {
  uint64_t left_out = 0;
  if (!kind.Allow(SteadyMillis(), true, &left_out)) return;
  char text[kLineBytes];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Qeltmlog(level, "%s", text);
  kind.Name(text);
  char name[kLogKindNameChars + 1];
  CopyName(name, text);
  LogLeftOut(left_out, name);
}

void FlushLeftOutLines(int64_t now_ms) {
  for (LogLimit* kind = g_kinds.load(); kind != nullptr; kind = kind->next_) {
    char name[kLogKindNameChars + 1];
    const uint64_t owed = kind->TakeOwed(now_ms, name);
    LogLeftOut(owed, name);
  }
}

}  // namespace pelarin

namespace pelarin {

void RestartLogWindows() {
  for (LogLimit* kind = g_kinds.load(); kind != nullptr; kind = kind->next_) {
    kind->Lock();
    kind->window_open_ = false;
    kind->Unlock();
  }
}

}  // namespace pelarin
