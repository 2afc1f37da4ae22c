// A UDP socket on 127.0.0.1 with a port of its own, that tests read heartbeats from.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

class LoopbackReceiver {
 public:
  LoopbackReceiver() {
    descriptor_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(descriptor_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackReceiver() { close(descriptor_); }
  LoopbackReceiver(const LoopbackReceiver&) = delete;
  LoopbackReceiver& operator=(const LoopbackReceiver&) = delete;

  unsigned port() const { return port_; }
  // Waits until a datagram is queued; false after `millis`. Loopback usually delivers during the
  // send, but a busy kernel may hand the delivery to its softirq thread.
  bool WaitQueued(int millis = 20000) {
    pollfd readable = {descriptor_, POLLIN, 0};
    return poll(&readable, 1, millis) == 1;
  }
  // A datagram already queued, or empty when none is.
  std::vector<unsigned char> TakeQueued() {
    std::vector<unsigned char> datagram(kLargest);
    const ssize_t received = recv(descriptor_, datagram.data(), datagram.size(), MSG_DONTWAIT);
    datagram.resize(received > 0 ? static_cast<std::size_t>(received) : 0);
    return datagram;
  }
  // The port of the sender of the next queued datagram, 0 when none is queued (it stays queued).
  unsigned PeekSenderPort() {
    sockaddr_in sender = {};
    socklen_t length = sizeof(sender);
    unsigned char byte;
    if (recvfrom(descriptor_, &byte, 1, MSG_DONTWAIT | MSG_PEEK, reinterpret_cast<sockaddr*>(&sender), &length) < 0) {
      return 0;
    }
    return ntohs(sender.sin_port);
  }

 private:
  static constexpr std::size_t kLargest = 65536;
  int descriptor_;
  unsigned port_;
};

// A free loopback UDP port: bound and released at once.
inline unsigned FreeLoopbackPort() {
  LoopbackReceiver probe;
  return probe.port();
}
