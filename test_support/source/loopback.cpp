// Loopback sockets for tests: TCP clients and listeners, UDP receivers and free ports.
#include "test_support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace test_support {
namespace {

constexpr size_t kLargestDatagram = 65536;

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

}  // namespace

int ConnectLoopback(uint16_t port, int receive_buffer) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receive_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  const sockaddr_in addr = LoopbackAddress(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int ConnectLoopbackNonBlocking(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const sockaddr_in addr = LoopbackAddress(port);
  connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  return fd;
}

uint16_t PortOf(int fd) {
  sockaddr_in addr{};
  socklen_t size = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  return ntohs(addr.sin_port);
}

int ListenLoopback(uint16_t* port, const char* address) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, address, &addr.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  *port = PortOf(fd);
  return fd;
}

int BindLoopbackUdp(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in addr = LoopbackAddress(0);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = PortOf(fd);
  return fd;
}

unsigned FreeLoopbackPort() {
  uint16_t port = 0;
  const int probe = BindLoopbackUdp(&port);
  if (probe >= 0) close(probe);
  return port;
}

bool PortFree(int type, unsigned port, const char* address, bool reuse_address) {
  const int probe = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const int one = 1;
  if (reuse_address) setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &addr.sin_addr);
  const bool free = bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(probe);
  return free;
}

LoopbackReceiver::LoopbackReceiver() { descriptor_ = BindLoopbackUdp(&port_); }

LoopbackReceiver::~LoopbackReceiver() {
  if (descriptor_ >= 0) close(descriptor_);
}

bool LoopbackReceiver::WaitQueued(int millis) {
  pollfd readable = {descriptor_, POLLIN, 0};
  return poll(&readable, 1, millis) == 1;
}

std::vector<unsigned char> LoopbackReceiver::TakeQueued() {
  std::vector<unsigned char> datagram(kLargestDatagram);
  const ssize_t received = recv(descriptor_, datagram.data(), datagram.size(), MSG_DONTWAIT);
  datagram.resize(received > 0 ? static_cast<size_t>(received) : 0);
  return datagram;
}

unsigned LoopbackReceiver::PeekSenderPort() {
  sockaddr_in sender = {};
  socklen_t length = sizeof(sender);
  unsigned char byte;
  if (recvfrom(descriptor_, &byte, 1, MSG_DONTWAIT | MSG_PEEK, reinterpret_cast<sockaddr*>(&sender), &length) < 0) {
    return 0;
  }
  return ntohs(sender.sin_port);
}

}  // namespace test_support
