// Standard output and error that never hold up the program: each stream that could block (a pipe,
// a socket, a terminal) is replaced by a pipe of the program's own that a relay thread drains
// into the real output without waiting for it, dropping and counting the lines it cannot take.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/result.h"

// Told, on the relay thread, how many lines of descriptor `fd` were dropped once its output takes
// lines again (after the relay has written its own line saying so there).
using DroppedOutputReport = void (*)(int fd, std::uint64_t dropped_lines);

class OutputRelay {
 public:
  OutputRelay();
  // Stops the relay (see Stop).
  ~OutputRelay();
  OutputRelay(const OutputRelay&) = delete;
  OutputRelay& operator=(const OutputRelay&) = delete;

  // Relays each descriptor of `fds` that can block: it is replaced by the write end of a pipe
  // (non-blocking, so a writer that outruns the relay loses its line instead of waiting, and inherited
  // by the children the program starts) and the relay thread writes whole lines to the original
  // output through a description of its own, never blocking on it. Regular files and the like are
  // left as they are. Once only; RESULT_NOT_READY when already started.
  Result Start(const std::vector<int>& fds, DroppedOutputReport report);
  // True when `fd` was replaced by a relay pipe.
  bool Relays(int fd) const;
  // Waits until everything written to the relayed descriptors before the call was read by the relay
  // (written on or dropped); false when `limit` passed first.
  bool Drain(std::chrono::milliseconds limit);
  // Lines dropped so far on all relayed descriptors.
  std::uint64_t dropped_lines() const;
  // Handles what was written before, ends the thread and puts the original descriptors back.
  void Stop();

 private:
  struct Stream;
  void Run();
  void Wake();

  std::vector<std::unique_ptr<Stream>> streams_;
  DroppedOutputReport report_ = nullptr;
  int wake_read_ = -1;
  int wake_write_ = -1;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable drained_;
  std::uint64_t drain_asked_ = 0;
  std::uint64_t drain_done_ = 0;
  bool stop_asked_ = false;
  std::uint64_t dropped_ = 0;
};

// Relays this program's standard output and error for the rest of its run (a process-wide relay
// that is never destroyed), makes standard output line-buffered when it is relayed, and has the
// lines written before exit handed on at exit. Call it first in main, before any other thread.
Result StartProgramOutputRelay(DroppedOutputReport report);
