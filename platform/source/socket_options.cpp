// LinuxSocket::SetOption: the system's option numbers applied as Linux socket options.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/time.h>

#include <cstdint>
#include <cstring>

#include "platform/socket.h"

namespace {
constexpr std::int32_t kMillisecondsPerSecond = 1000;
constexpr std::int32_t kMicrosecondsPerMillisecond = 1000;
constexpr socklen_t kLingerBytes = 8;

bool FirstByteSet(const void* value) { return *static_cast<const unsigned char*>(value) != 0; }

std::int32_t ReadInt32(const void* value) {
  std::int32_t number;
  std::memcpy(&number, value, sizeof(number));
  return number;
}

Result Apply(int descriptor, int level, int name, const void* value, socklen_t length) {
  return ::setsockopt(descriptor, level, name, value, length) == 0 ? RESULT_OK : RESULT_SOCKET_OPTION;
}

Result ApplyBoolean(int descriptor, int level, int name, const void* value) {
  const int flag = FirstByteSet(value) ? 1 : 0;
  return Apply(descriptor, level, name, &flag, sizeof(flag));
}

Result ApplyInteger(int descriptor, int name, const void* value) {
  const int number = ReadInt32(value);
  return Apply(descriptor, SOL_SOCKET, name, &number, sizeof(number));
}

Result ApplyTimeout(int descriptor, int name, const void* value) {
  const std::int32_t milliseconds = ReadInt32(value);
  timeval timeout{};
  timeout.tv_sec = milliseconds / kMillisecondsPerSecond;
  timeout.tv_usec = (milliseconds % kMillisecondsPerSecond) * kMicrosecondsPerMillisecond;
  return Apply(descriptor, SOL_SOCKET, name, &timeout, sizeof(timeout));
}

// A non-zero first byte sets the status flags to exactly O_NONBLOCK; zero changes nothing.
Result ApplyNonBlocking(int descriptor, const void* value) {
  if (!FirstByteSet(value)) return RESULT_OK;
  return ::fcntl(descriptor, F_SETFL, O_NONBLOCK) == 0 ? RESULT_OK : RESULT_SOCKET_OPTION;
}

Result ApplySocketLevel(int descriptor, int option, const void* value) {
  switch (option) {
    case kSocketOptionNonBlocking:
      return ApplyNonBlocking(descriptor, value);
    case kSocketOptionSendTimeout:
      return ApplyTimeout(descriptor, SO_SNDTIMEO, value);
    case kSocketOptionReceiveTimeout:
      return ApplyTimeout(descriptor, SO_RCVTIMEO, value);
    case kSocketOptionSendBuffer:
      return ApplyInteger(descriptor, SO_SNDBUF, value);
    case kSocketOptionReceiveBuffer:
      return ApplyInteger(descriptor, SO_RCVBUF, value);
    case kSocketOptionReuseAddress:
      return ApplyBoolean(descriptor, SOL_SOCKET, SO_REUSEADDR, value);
    case kSocketOptionLinger:
      return Apply(descriptor, SOL_SOCKET, SO_LINGER, value, kLingerBytes);
    case kSocketOptionBroadcast:
      return ApplyBoolean(descriptor, SOL_SOCKET, SO_BROADCAST, value);
    default:
      return RESULT_INVALID_ARGUMENT;
  }
}
}  // namespace

Result LinuxSocket::SetOption(int level, int option, const void* value, socklen_t) {
  if (value == nullptr) return RESULT_INVALID_ARGUMENT;
  if (level == kSocketLevelSocket) return ApplySocketLevel(descriptor_, option, value);
  if (level == kSocketLevelTcp && option == kSocketOptionNoDelay) {
    return ApplyBoolean(descriptor_, IPPROTO_TCP, TCP_NODELAY, value);
  }
  return RESULT_INVALID_ARGUMENT;
}
