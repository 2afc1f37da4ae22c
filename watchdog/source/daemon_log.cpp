// Output of the watchdog: formats a whole line, hands it to the sink, and queues it for a writer
// thread, so that a standard output nobody reads (a full pipe) or a broken one never holds up the
// listener or an action.
#include "daemon_log.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Lines waiting for standard output; beyond this, new lines are dropped and counted.
constexpr std::size_t kQueuedLinesLimit = 1024;
// At exit the queued lines get this long to reach standard output.
constexpr auto kExitDrainLimit = std::chrono::seconds(2);

struct DaemonOutput {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> queued;
  std::size_t dropped = 0;
  bool writing = false;
  bool writer_started = false;
  DaemonLogSink sink;
};

// Never destroyed: the writer thread and the exit drain use it to the end.
DaemonOutput& Output() {
  static DaemonOutput* output = new DaemonOutput();
  return *output;
}

// Writes all of `text`, giving up on an error (a broken pipe: the line is lost, as nobody reads).
void WriteAll(const std::string& text) {
  const char* bytes = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = write(STDOUT_FILENO, bytes, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes += written;
    left -= static_cast<std::size_t>(written);
  }
}

void WriteQueuedLines() {
  DaemonOutput& output = Output();
  std::unique_lock<std::mutex> lock(output.mutex);
  for (;;) {
    output.changed.wait(lock, [&] { return !output.queued.empty(); });
    std::string text;
    if (output.dropped > 0) {
      text = "DaemonPrint, " + std::to_string(output.dropped) + " lines dropped while standard output was full \n";
      output.dropped = 0;
    }
    text += output.queued.front();
    output.queued.pop_front();
    output.writing = true;
    lock.unlock();
    WriteAll(text);
    lock.lock();
    output.writing = false;
    output.changed.notify_all();
  }
}

// At exit: the lines printed last (a start-up failure's) still reach a standard output that is read.
void DrainAtExit() {
  DaemonOutput& output = Output();
  std::unique_lock<std::mutex> lock(output.mutex);
  output.changed.wait_for(lock, kExitDrainLimit, [&] { return output.queued.empty() && !output.writing; });
}

void QueueLocked(DaemonOutput& output, std::string line) {
  if (!output.writer_started) {
    output.writer_started = true;
    std::thread(WriteQueuedLines).detach();
    std::atexit(DrainAtExit);
  }
  if (output.queued.size() >= kQueuedLinesLimit) {
    ++output.dropped;
    return;
  }
  output.queued.push_back(std::move(line));
  output.changed.notify_all();
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

  DaemonOutput& output = Output();
  std::lock_guard<std::mutex> lock(output.mutex);
  if (output.sink) output.sink(line);
  QueueLocked(output, std::move(line));
}

void SetDaemonLogSink(DaemonLogSink sink) {
  std::lock_guard<std::mutex> lock(Output().mutex);
  Output().sink = std::move(sink);
}
