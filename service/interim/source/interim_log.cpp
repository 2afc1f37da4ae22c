// Log lines to standard error, whole lines under a lock, until the board's logging stand-in is linked.
#include "qelt_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::mutex& LogMutex() {
  static std::mutex mutex;
  return mutex;
}

void WriteLine(const char* tag, const char* format, va_list arguments) {
  std::lock_guard<std::mutex> lock(LogMutex());
  std::fprintf(stderr, "[%s] ", tag == nullptr ? "" : tag);
  std::vfprintf(stderr, format, arguments);
}

}  // namespace

extern "C" void PrintLog(const char* tag, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WriteLine(tag, format, arguments);
  va_end(arguments);
}

extern "C" void _PrintLog(const char* tag, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WriteLine(tag, format, arguments);
  va_end(arguments);
}
