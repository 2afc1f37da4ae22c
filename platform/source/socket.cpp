// LinuxSocket: the socket class over BSD sockets (the options are in socket_options.cpp).
#include "platform/socket.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
// Repeats a system call while a signal interrupts it.
template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}
}  // namespace

int BaseSocket::ToAddressFamily(int family) {
  switch (family) {
    case kSocketFamilyIPv6:
      return AF_INET6;
    case kSocketFamilyUnix:
      return AF_UNIX;
    default:
      return AF_INET;
  }
}

int BaseSocket::ToSocketType(int type) { return type == kSocketTypeDatagram ? SOCK_DGRAM : SOCK_STREAM; }

int BaseSocket::ToProtocol(int protocol) {
  switch (protocol) {
    case kSocketProtocolTcp:
      return IPPROTO_TCP;
    case kSocketProtocolUdp:
      return IPPROTO_UDP;
    default:
      return 0;
  }
}

LinuxSocket::LinuxSocket() : descriptor_(-1) { std::memset(&peer_address_, 0, sizeof(peer_address_)); }

LinuxSocket::~LinuxSocket() = default;

Result LinuxSocket::Create(int family, int type, int protocol) {
  descriptor_ = ::socket(ToAddressFamily(family), ToSocketType(type) | SOCK_CLOEXEC, ToProtocol(protocol));
  return descriptor_ < 0 ? RESULT_SOCKET_CREATE : RESULT_OK;
}

Result LinuxSocket::Bind(const sockaddr* address, socklen_t address_length) {
  if (::bind(descriptor_, address, address_length) == 0) return RESULT_OK;
#ifdef PLATFORM_WATCHDOG_COPY
  if (errno == EADDRINUSE) return RESULT_SOCKET_ADDRESS_IN_USE;
  if (errno == EADDRNOTAVAIL) return RESULT_SOCKET_ADDRESS_NOT_AVAILABLE;
#endif
  return RESULT_SOCKET_BIND;
}

Result LinuxSocket::Listen(int backlog) { return ::listen(descriptor_, backlog) == 0 ? RESULT_OK : RESULT_SOCKET_LISTEN; }

Result LinuxSocket::Accept(BaseSocket* peer) {
  if (peer == nullptr) return RESULT_INVALID_ARGUMENT;
  socklen_t length = sizeof(peer_address_);
  const int accepted = RetryOnInterrupt(
      [&] { return ::accept4(descriptor_, reinterpret_cast<sockaddr*>(&peer_address_), &length, SOCK_CLOEXEC); });
  if (accepted < 0) return RESULT_SOCKET_ACCEPT;
  return peer->SetHandle(accepted);
}

Result LinuxSocket::Connect(const sockaddr* address, socklen_t address_length) {
  return ::connect(descriptor_, address, address_length) == 0 ? RESULT_OK : RESULT_SOCKET_CONNECT;
}

Result LinuxSocket::Send(const void* data, std::size_t length, int flags, std::size_t* bytes_sent) {
  const ssize_t count = RetryOnInterrupt([&] { return ::send(descriptor_, data, length, flags); });
  if (count < 0) {
    if (errno == EPIPE) return RESULT_SOCKET_BROKEN_PIPE;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return RESULT_SOCKET_WOULD_BLOCK;
    return RESULT_SOCKET_SEND;
  }
  if (bytes_sent != nullptr) *bytes_sent = static_cast<std::size_t>(count);
  return RESULT_OK;
}

Result LinuxSocket::Recv(void* buffer, std::size_t size, int flags, std::size_t* bytes_received) {
  const ssize_t count = RetryOnInterrupt([&] { return ::recv(descriptor_, buffer, size, flags); });
  if (count < 0) return RESULT_SOCKET_RECV;
  if (bytes_received != nullptr) *bytes_received = static_cast<std::size_t>(count);
  return RESULT_OK;
}

Result LinuxSocket::SendTo(const void* data, std::size_t length, int flags, const sockaddr* address,
                           socklen_t address_length, std::size_t* bytes_sent) {
  const ssize_t count =
      RetryOnInterrupt([&] { return ::sendto(descriptor_, data, length, flags, address, address_length); });
  if (count < 0) return RESULT_SOCKET_SEND;
  if (bytes_sent != nullptr) *bytes_sent = static_cast<std::size_t>(count);
  return RESULT_OK;
}

Result LinuxSocket::RecvFrom(void* buffer, std::size_t size, int flags, sockaddr* address, socklen_t* address_length,
                             std::size_t* bytes_received) {
  const ssize_t count =
      RetryOnInterrupt([&] { return ::recvfrom(descriptor_, buffer, size, flags, address, address_length); });
  if (count < 0) return RESULT_SOCKET_RECV;
  if (bytes_received != nullptr) *bytes_received = static_cast<std::size_t>(count);
  return RESULT_OK;
}

Result LinuxSocket::Shutdown(int direction) {
  int how = SHUT_RDWR;
  if (direction == kSocketShutdownReceive) how = SHUT_RD;
  if (direction == kSocketShutdownSend) how = SHUT_WR;
  return ::shutdown(descriptor_, how) == 0 ? RESULT_OK : RESULT_SOCKET_CLOSE;
}

Result LinuxSocket::Close() {
  // The descriptor is gone after close(2) returns, even with an error or EINTR: never retry it.
  const int result = ::close(descriptor_);
  descriptor_ = -1;
  return result == 0 ? RESULT_OK : RESULT_SOCKET_CLOSE;
}

int LinuxSocket::GetHandle() { return descriptor_; }

Result LinuxSocket::SetHandle(int descriptor) {
  descriptor_ = descriptor;
  return RESULT_OK;
}

Result LinuxSocket::GetOption(int, int, void*, socklen_t*) { return RESULT_NOT_IMPLEMENTED; }
