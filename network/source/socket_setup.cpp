// Socket set-up: TCP servers and client connections, UDP broadcast sockets, errno mapping.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pelarin/socket.h"

namespace {

constexpr int kKeepIdleSeconds = 60;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 3;
constexpr int kConnectWaitMillis = 1000;
constexpr int kConnectRetryWaitMillis = 300;
constexpr int kConnectAttempts = 5;
constexpr char kLocalInterface[] = "eth0";
constexpr uint32_t kNoLocalAddress = 0xFFFFFFFF;
constexpr uint32_t kHighestPortNumber = 65535;

int SetIntOption(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof value);
}

int ReadIntOption(int fd, int level, int name) {
  int value = 0;
  socklen_t size = sizeof value;
  getsockopt(fd, level, name, &value, &size);
  return value;
}

// Waits up to `millis` for a pending connect; 0 connected, 10 still pending, else the error's code.
int AwaitConnect(int fd, int millis) {
  pollfd p{fd, POLLOUT, 0};
  int n;
  while ((n = poll(&p, 1, millis)) < 0 && errno == EINTR) {
  }
  if (n == 0) return kQeltInProgress;
  if (n < 0) return SocketGetErrorCode();
  const int error = ReadIntOption(fd, SOL_SOCKET, SO_ERROR);
  return error == 0 ? kQeltOk : SocketMapErrno(error);
}

}  // namespace

extern "C" {

int SocketMapErrno(int error) {
  switch (error) {
    case EADDRNOTAVAIL: return kQeltBadAddress;
    case EFAULT: return kQeltFault;
    case EINPROGRESS: return kQeltInProgress;
    case EINVAL: return kQeltInvalid;
    case ENOPROTOOPT: return kQeltNoProtocolOption;
    case ENOTSOCK: return kQeltNotSocket;
    case EBADF: return kQeltBadDescriptor;
    case EAFNOSUPPORT: return kQeltAddressFamily;
    case EISCONN: return kQeltAlreadyConnected;
    case ETIMEDOUT: return kQeltTimedOut;
    case ECONNREFUSED: return kQeltRefused;
    case ENETUNREACH: return kQeltNetUnreachable;
    case EADDRINUSE: return kQeltAddressInUse;
    case EALREADY: return kQeltAlready;
    case EPERM: return kQeltPermission;
    case EAGAIN: return kQeltWouldBlock;
    default:
      Socketlog(2, "Other error code is %d\n", error);
      return kQeltOtherError;
  }
}

int SocketGetErrorCode(void) { return SocketMapErrno(errno); }

int GetIpV4SockAddrInfo(const char* address, uint32_t port, struct sockaddr_in* out) {
  if (out == nullptr) return kQeltNullArgument;
  memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  // A larger number would wrap onto another port.
  if (port > kHighestPortNumber) {
    Socketlog(2, "Port %u is not a port number (0 to %u)\n", port, kHighestPortNumber);
    return kQeltBadAddress;
  }
  out->sin_port = htons(static_cast<uint16_t>(port));
  if (address == nullptr) {
    out->sin_addr.s_addr = htonl(INADDR_ANY);
    return kQeltOk;
  }
  return inet_pton(AF_INET, address, &out->sin_addr) == 1 ? kQeltOk : kQeltBadAddress;
}

int CreateSocket(int domain, int type, int protocol, int* fd) {
  if (fd == nullptr) return kQeltNullArgument;
  *fd = socket(domain, type, protocol);
  return *fd < 0 ? kQeltSocketCreateFailed : kQeltOk;
}

int SetSocketNonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return kQeltNonblockingFailed;
  return kQeltOk;
}

int CloseSocket(int fd) { return close(fd) == 0 ? kQeltOk : SocketGetErrorCode(); }

int SetListenSocketReuseable(int fd) {
  return SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1) == 0 ? kQeltOk : kQeltSocketCreateFailed;
}

int SocketSetKeepAlive(int fd) {
  if (SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1) != 0 || SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds) != 0 ||
      SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds) != 0 ||
      SetIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount) != 0) {
    return SocketGetErrorCode();
  }
  return kQeltOk;
}

int CreateServerSocket(const char* address, uint32_t port, int* fd, int flags) {
  return TCPServerInit(address, port, fd, flags);
}

int TCPServerInit(const char* address, uint32_t port, int* out_fd, int flags) {
  if (out_fd == nullptr) return kQeltNullArgument;
  const char* shown = address != nullptr ? address : "any";
  sockaddr_in addr;
  if (GetIpV4SockAddrInfo(address, port, &addr) != kQeltOk) {
    Socketlog(2, "Server ip is not right,address: %s port: %d Ret: %d\n", shown, port, kQeltBadAddress);
    return kQeltBadAddress;
  }
  const bool blocking = (flags & kServerFlagBlocking) != 0;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
  if (fd < 0 && errno == EINVAL) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0 && !blocking && SetSocketNonblocking(fd) != kQeltOk) {
      Socketlog(2, "Set no blocking failed, socket is %d, Ret %d\n", fd, kQeltNonblockingFailed);
      close(fd);
      return kQeltNonblockingFailed;
    }
  }
  if (fd < 0) {
    Socketlog(2, "Create socket failed,address: %s port: %d Ret: %d\n", shown, port, kQeltSocketCreateFailed);
    return kQeltSocketCreateFailed;
  }
  if (SetListenSocketReuseable(fd) != kQeltOk) {
    Socketlog(2, "Set socket reuseable failed, address: %s port: %d Ret: %d\n", shown, port, kQeltSocketCreateFailed);
    close(fd);
    return kQeltSocketCreateFailed;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int rc = SocketGetErrorCode();
    Socketlog(2, "Bind socket failed, address: %s port: %d Ret: %d\n", shown, port, rc);
    close(fd);
    return rc;
  }
  if (listen(fd, kListenBacklog) != 0) {
    const int rc = SocketGetErrorCode();
    Socketlog(2, "Listen socket failed, address: %s port: %d Ret: %d\n", shown, port, rc);
    close(fd);
    return rc;
  }
  SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  SetIntOption(fd, SOL_SOCKET, SO_SNDBUF, kSocketBufferBytes);
  if ((flags & kServerFlagKeepAlive) != 0) SocketSetKeepAlive(fd);
  Socketlog(0, "Create Server success, address: %s port: %d, receive buffer %d, send size %d\n", shown, port,
            ReadIntOption(fd, SOL_SOCKET, SO_RCVBUF), ReadIntOption(fd, SOL_SOCKET, SO_SNDBUF));
  *out_fd = fd;
  return kQeltOk;
}

// Connects without blocking. A connect still pending after a second is handed back as it is;
// one that the peer refused within that second is closed and its code returned.
int TCPConnectServer(const char* address, uint32_t port, int* out_fd) {
  if (address == nullptr || out_fd == nullptr) return kQeltNullArgument;
  Socketlog(0, "Connect Server, ServerIP:%s, Port:%d\n", address, port);
  sockaddr_in addr;
  if (GetIpV4SockAddrInfo(address, port, &addr) != kQeltOk) return kQeltBadAddress;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Socketlog(2, "Create Socket failed, Socke fd is %d, IP is %s is port is %d, error code:%d\n", fd, address, port,
              SocketGetErrorCode());
    return kQeltSocketCreateFailed;
  }
  if (SetSocketNonblocking(fd) != kQeltOk) {
    Socketlog(2, "Set Socket nonblocking failed, Socke fd is %d, IP is %s is port is %d\n", fd, address, port);
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int rc = errno == EINPROGRESS ? AwaitConnect(fd, kConnectWaitMillis) : SocketGetErrorCode();
    if (rc != kQeltOk && rc != kQeltInProgress) {
      Socketlog(2, "connect failed, error : %d", rc);
      close(fd);
      return rc;
    }
  }
  SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  SetIntOption(fd, SOL_SOCKET, SO_RCVBUF, kSocketBufferBytes);
  Socketlog(0, "Connect server success, socket fd is %d, IP is %s is port is %d, Send Size %d\n", fd, address, port,
            ReadIntOption(fd, SOL_SOCKET, SO_SNDBUF));
  *out_fd = fd;
  return kQeltOk;
}

int ConnectInProcess(int fd, const char* address, uint32_t port) {
  sockaddr_in addr;
  if (GetIpV4SockAddrInfo(address, port, &addr) != kQeltOk) return kQeltBadAddress;
  for (int attempt = 1; attempt <= kConnectAttempts; ++attempt) {
    Socketlog(0, "Re Connect times %d\n", attempt);
    pollfd p{fd, POLLIN | POLLOUT, 0};
    const int n = poll(&p, 1, kConnectRetryWaitMillis);
    if (n == 0) {
      Socketlog(0, "Select time out, times :%d\n", attempt);
      continue;
    }
    if (n < 0) {
      Socketlog(2, "Select error, times :%d\n", attempt);
      return kQeltConnectFailed;
    }
    if ((p.revents & (POLLIN | POLLOUT)) == 0) {
      Socketlog(2, "Socket fd: %d, nor read or write, times:%d \n", fd, attempt);
      continue;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EISCONN || errno == EINVAL) {
      Socketlog(0, "Connect server success, times:%d.\n", attempt);
      return kQeltAlreadyConnected;
    }
    if (errno == EINPROGRESS || errno == EALREADY) {
      Socketlog(0, "Connect is in process,times:%d.\n", attempt);
      continue;
    }
    const int rc = SocketGetErrorCode();
    Socketlog(2, "connect failed again. errno: %d, times:%d\n", errno, attempt);
    if (rc != kQeltSelectTimeout && rc != kQeltInProgress) return rc;
  }
  Socketlog(2, "Socket fd: %d, connect failed, and finish re connect times:%d\n", fd, kConnectAttempts);
  return kQeltConnectFailed;
}

int ProcConnectFailed(int fd, const char* address, uint32_t port) {
  if (errno != EINPROGRESS) {
    const int rc = SocketGetErrorCode();
    Socketlog(2, "connect failed, error : %d", rc);
    return rc;
  }
  const int rc = ConnectInProcess(fd, address, port);
  return rc == kQeltAlreadyConnected ? kQeltOk : rc;
}

int BroadcastServerInit(uint32_t port, int* out_fd) {
  if (out_fd == nullptr) return kQeltNullArgument;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Socketlog(2, "Create broadcast server Socket failed, Socke fd is %d, port is %d, error code:%d\n", fd, port,
              SocketGetErrorCode());
    return kQeltSocketCreateFailed;
  }
  sockaddr_in addr;
  if (GetIpV4SockAddrInfo(nullptr, port, &addr) != kQeltOk) {
    close(fd);
    return kQeltBadAddress;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int rc = SocketGetErrorCode();
    Socketlog(2, "Bind socket failed, port: %d\n", port);
    close(fd);
    return rc;
  }
  *out_fd = fd;
  return kQeltOk;
}

int BroadcastConnectServerInit(uint32_t port, int* out_fd) {
  if (out_fd == nullptr) return kQeltNullArgument;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Socketlog(2, "Create broadcast Socket failed, Socket fd is %d, port is %d, error code:%d\n", fd, port,
              SocketGetErrorCode());
    return kQeltSocketCreateFailed;
  }
  if (SetIntOption(fd, SOL_SOCKET, SO_BROADCAST, 1) != 0) {
    Socketlog(2, "Set broadcast Socket failed, Socket fd is %d, port is %d\n", fd, port);
    close(fd);
    return kQeltBroadcastOption;
  }
  *out_fd = fd;
  return kQeltOk;
}

uint32_t GetLocalIPAddress(void) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kNoLocalAddress;
  ifreq request{};
  strncpy(request.ifr_name, kLocalInterface, IFNAMSIZ - 1);
  uint32_t result = kNoLocalAddress;
  if (ioctl(fd, SIOCGIFADDR, &request) == 0) {
    result = ntohl(reinterpret_cast<sockaddr_in*>(&request.ifr_addr)->sin_addr.s_addr);
  }
  close(fd);
  return result;
}

}  // extern "C"
