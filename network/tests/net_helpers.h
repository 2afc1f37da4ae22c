// Test helpers: a log capture, a loopback control server with its thread, raw loopback clients.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "pelarin/proxy.h"
#include "pelarin/scdp.h"
#include "test_support/control_request_bytes.h"
#include "test_support/loopback.h"
#include "test_support/wait.h"

namespace nettest {

// Collects the library's log lines while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> Lines() const;
  size_t Count(const std::string& prefix) const;
  // Waits until `count` lines start with `prefix`; false at the deadline.
  bool WaitFor(const std::string& prefix, size_t count = 1,
               std::chrono::milliseconds deadline = std::chrono::seconds(20)) const;
  void Clear();
};

// A control server on 127.0.0.1 (port chosen by the system) served by the control thread.
class ControlServer {
 public:
  explicit ControlServer(RecvCtrlMsgFunc callback, void* context = nullptr);
  ~ControlServer();
  uint16_t port() const { return port_; }
  bool ok() const { return ok_; }
  // Stops the thread so the test can read the server table, then starts it again.
  void WithThreadStopped(const std::function<void(ServerSocketTable*)>& inspect);

 private:
  uint16_t port_ = 0;
  bool ok_ = false;
};

// Raw loopback clients and listeners.
using test_support::ConnectLoopback;
using test_support::ConnectLoopbackNonBlocking;
using test_support::ListenLoopback;
using test_support::PortOf;
using test_support::WaitUntil;
// The kernel ids of this process's threads.
std::set<int> ThreadIds();
// Waits until every thread of the process is one of `before`. A joined thread is still listed for
// a moment after the join returns, so a count taken at once may be one too high.
bool NoThreadBeyond(const std::set<int>& before);
// Sends everything (blocking socket).
bool SendAll(int fd, const std::vector<uint8_t>& bytes);
// Reads exactly n bytes or fails at the deadline / end of stream.
bool ReadExactly(int fd, size_t n, std::vector<uint8_t>* out,
                 std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Waits until the peer closes the connection (end of stream or reset); false when bytes arrive
// first or at the deadline.
bool WaitClosedByPeer(int fd, std::chrono::milliseconds deadline = std::chrono::seconds(60));

// Packets built by hand from the wire layout: head, one element of `type` with `value`.
std::vector<uint8_t> Packet(uint8_t type, const std::vector<uint8_t>& value);
// Control payload words, big-endian.
inline constexpr auto Words = &test_support::BigEndianWords<uint8_t>;

}  // namespace nettest
