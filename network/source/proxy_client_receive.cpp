// One receive step of an image stream client connection, on the client threads.
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "pelarin/proxy.h"

namespace {

constexpr long kReceiveWaitNanos = 100 * 1000;

std::atomic<ClientStreamAnalysisFunc> g_stream_analysis{nullptr};

}  // namespace

extern "C" {

int ProxyRegisterClientStreamAnalysis(ClientStreamAnalysisFunc analysis) {
  g_stream_analysis.store(analysis, std::memory_order_release);
  return kQeltOk;
}

int TCPClientReceiveProxyProcess(int fd, uint8_t* buffer, uint32_t length, int resync) {
  if (buffer == nullptr) return kQeltNullArgument;
  pollfd p{fd, POLLIN, 0};
  const timespec wait{0, kReceiveWaitNanos};
  const int n = ppoll(&p, 1, &wait, nullptr);
  if (n < 0) {
    if (errno == EINTR) return kQeltWouldBlock;
    Qeltmlog(2, "[Proxy] TCPClientReceiveProxyProcess Select failed, socket fd: %d, errno=%d\n", fd, errno);
    return kQeltSelectFailed;
  }
  if (n == 0) return kQeltSelectTimeout;
  memset(buffer, 0, length);
  const ssize_t got = recv(fd, buffer, length, 0);
  if (got <= 0) {
    Qeltmlog(2, "[Proxy]Receive close client socket, socket fd:%d,return code: %d\n", fd, static_cast<int>(got));
    return kQeltPeerClosed;
  }
  ClientStreamAnalysisFunc analysis = g_stream_analysis.load(std::memory_order_acquire);
  if (analysis != nullptr) analysis(fd, buffer, static_cast<uint32_t>(got), resync);
  return kQeltOk;
}

}  // extern "C"
