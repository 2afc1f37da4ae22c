// Output of the watchdog: formats a whole line, writes it in one call, hands it to the sink.
#include "daemon_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

DaemonLogSink& Sink() {
  static DaemonLogSink sink;
  return sink;
}

}  // namespace

void DaemonPrint(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list measuring;
  va_copy(measuring, arguments);
  const int needed = std::vsnprintf(nullptr, 0, format, measuring);
  va_end(measuring);
  std::string line;
  if (needed > 0) {
    std::vector<char> text(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(text.data(), text.size(), format, arguments);
    line.assign(text.data(), static_cast<std::size_t>(needed));
  }
  va_end(arguments);

  std::lock_guard<std::mutex> lock(SinkMutex());
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  if (Sink()) Sink()(line);
}

void SetDaemonLogSink(DaemonLogSink sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sink() = std::move(sink);
}
