// The watchdog's heartbeat listener: one deadline per monitored program, restart actions when one passes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "daemon_clock.h"
#include "platform/result.h"
#include "platform/socket.h"
#include "process_item.h"

// Bytes of each datagram the listener reads; the name starts at kHeartbeatNameOffset.
constexpr std::size_t kHeartbeatReceiveBytes = 1500;
constexpr std::size_t kHeartbeatNameOffset = 20;
// Shortest check period a program may be registered with.
constexpr std::uint64_t kMinimumCheckPeriodMs = 1000;
constexpr std::uint64_t kMillisecondsPerSecond = 1000;

// The program name a heartbeat carries: the text from byte 20 up to its first NUL or the end of
// the bytes received; empty for a datagram of 20 bytes or fewer.
std::string HeartbeatName(const char* bytes, std::size_t received);

class DaemonServer {
 public:
  // Deadlines are kept on `clock` (the monotonic clock when null); it must outlive the server.
  explicit DaemonServer(DaemonClock* clock = nullptr);
  // Frees the table; the socket is closed by Deinit.
  ~DaemonServer();

  DaemonServer(const DaemonServer&) = delete;
  DaemonServer& operator=(const DaemonServer&) = delete;

  // Binds the listening UDP socket (close-on-exec) to address_text:port and keeps the wait time-out;
  // a port above 65535 is refused (RESULT_INVALID_ARGUMENT, one line), never wrapped.
  Result Init(const char* address_text, unsigned port, std::uint32_t interval_s);
  // Registers a program; a check period below kMinimumCheckPeriodMs is refused.
  Result AddProcess(const char* name, const char* command_line, const char* argument, std::uint64_t check_period_ms,
                    bool immediately_execute, bool reboot_machine);
  // Removes the first entry of that exact name.
  Result RemoveProcess(const char* name);
  // Listens and checks deadlines until Stop or Deinit; on the calling thread.
  Result Run();
  // Refreshes the deadline of the first entry named by the heartbeat; RESULT_FAILED when none is.
  Result UpdateProcess(const char* bytes, std::size_t received);
  // Starts the action of every entry whose deadline is earlier than now.
  Result CheckProcess();
  // Starts the action for a copy of the entry on a detached thread.
  Result RebootProcess(const ProcessItem& entry);
  // Entry of the action thread: carries out the action for the heap copy it is given, then frees it.
  static void* Reboot(void* entry);
  // Tells Run to return and waits until it has; safe from any thread.
  Result Stop();
  // Stop, then close the socket.
  Result Deinit();

  // Action threads started and not yet finished, process-wide.
  static int ActionsInFlight();

  const std::vector<ProcessItem>& processes() const { return table_; }
  int listen_descriptor() { return socket_.GetHandle(); }

 private:
  LinuxSocket socket_;
  std::uint32_t wait_timeout_s_;
  std::vector<ProcessItem> table_;
  std::atomic<bool> running_;
  std::atomic<bool> stop_;
  DaemonClock* clock_;
};
