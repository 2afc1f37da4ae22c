// Loopback sockets for tests: TCP clients and listeners, UDP receivers and free ports on 127.0.0.1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace test_support {

// Blocking TCP socket connected to 127.0.0.1:port (-1 on failure), with the given receive buffer
// when it is above zero (set before connecting, so the window stays small).
int ConnectLoopback(uint16_t port, int receive_buffer = 0);
// Non-blocking TCP socket whose connect to 127.0.0.1:port is under way (-1 when no socket).
int ConnectLoopbackNonBlocking(uint16_t port);
// The local port a socket is bound to.
uint16_t PortOf(int fd);
// A listening TCP socket on a loopback address with a system-chosen port (-1 on failure).
int ListenLoopback(uint16_t* port, const char* address = "127.0.0.1");
// A UDP socket bound to 127.0.0.1 with a system-chosen port (-1 on failure).
int BindLoopbackUdp(uint16_t* port);
// A UDP port on loopback that nothing holds at the moment: bound and released at once.
unsigned FreeLoopbackPort();
// True when a socket of `type` (SOCK_STREAM, SOCK_DGRAM) can bind `port` on `address` (every
// address by default) right now; with `reuse_address`, as a server that sets SO_REUSEADDR would.
bool PortFree(int type, unsigned port, const char* address = "0.0.0.0", bool reuse_address = false);

// A UDP socket on 127.0.0.1 with a port of its own, that tests read datagrams from.
class LoopbackReceiver {
 public:
  LoopbackReceiver();
  ~LoopbackReceiver();
  LoopbackReceiver(const LoopbackReceiver&) = delete;
  LoopbackReceiver& operator=(const LoopbackReceiver&) = delete;

  unsigned port() const { return port_; }
  // Waits until a datagram is queued; false after `millis`. Loopback usually delivers during the
  // send, but a busy kernel may hand the delivery to its softirq thread.
  bool WaitQueued(int millis = 20000);
  // A datagram already queued, or empty when none is.
  std::vector<unsigned char> TakeQueued();
  // The port of the sender of the next queued datagram, 0 when none is queued (it stays queued).
  unsigned PeekSenderPort();

 private:
  int descriptor_ = -1;
  uint16_t port_ = 0;
};

}  // namespace test_support
