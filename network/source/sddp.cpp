// Device discovery: sockets, the discovery datagram, its analysis, the answerer of a serving
// device and the discovery client's periodic broadcast and receive pass.
#include "pelarin/sddp.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "packet_head_log.h"
#include "pelarin/proxy.h"
#include "log_limit.h"
#include "pelarin/socket.h"
#include "receive_backlog.h"
#include "sddp_internal.h"

namespace {

constexpr int kAnswerWaitMillis = 10;
constexpr useconds_t kAfterDatagramPauseMicros = 2 * 1000;
constexpr uint32_t kClientDatagramBytes = 1000;

std::atomic<int> g_server_fd{0};
std::atomic<int> g_client_fd{0};
std::atomic<uint32_t> g_port{0};
std::atomic<int> g_discovery_on{0};
std::atomic<uint64_t> g_last_broadcast_ms{0};
std::atomic<int> g_reply_flag{0};

void LogHead(const uint8_t* data, uint32_t length) { pelarin::LogPacketHead("[SDDP]", data, length); }

// Head, DeviceType, IPInfo and Sequence with this device's own type and address.
int ComposeDatagram(uint8_t* buffer, uint32_t capacity, uint32_t* length) {
  if (buffer == nullptr || length == nullptr) return kQeltNullArgument;
  memset(buffer, 0, capacity);
  const uint8_t elements[] = {kElementDefaultHead, kElementDeviceType, kElementIPInfo, kElementSequence};
  uint32_t used = 0;
  for (uint8_t type : elements) {
    const uint32_t room = capacity > used ? capacity - used : 0;
    const uint32_t bytes = SetPacketHandler[type](buffer + used, room, nullptr, 0);
    // A row that does not fit returns 0 (head, sequence) or more than the room (the others).
    if (bytes == 0 || bytes > room) return kQeltBufferTooSmall;
    used += bytes;
  }
  *length = used;
  return kQeltOk;
}

void CloseIfSet(std::atomic<int>& fd) {
  const int old = fd.exchange(0);
  if (old > 0) close(old);
}

// The element at `data` must be of `type`; then the table's parser reads it.
int ParseElement(uint8_t type, const uint8_t* data, uint32_t length, void* out, uint32_t out_capacity,
                 uint32_t* consumed) {
  if (length < kElementHeadBytes || data[0] != type) return kQeltBadElementType;
  return AnalysisPacketHandler[type](data, length, out, out_capacity, consumed);
}

int AnswerDiscoveries(int mode, int wait_millis);

// The control-and-discovery thread's step after its control pass: the answerer does not wait for
// a datagram while control requests wait to be served.
int AnswerStep(uint8_t*, uint32_t) {
  AnswerDiscoveries(1, pelarin::ServerBacklogWaiting(kServerControl) ? 0 : kAnswerWaitMillis);
  return 0;
}

int ClientStep(uint8_t* buffer, uint32_t capacity) {
  return SDDPClientDiscoveryPass(buffer, capacity, kSddpClientWaitMillis);
}

}  // namespace

extern "C" {

int SDDPInit(int mode) {
  if (mode == kSddpClientMode) {
    const int rc = SDDPManageDeviceInit();
    if (rc != kQeltOk) return rc;
    CloseIfSet(g_client_fd);
    ProxyRegisterStep(kProxyBroadcastClient, ClientStep);
  } else {
    CloseIfSet(g_server_fd);
    ProxyRegisterStep(kProxyCtrlAndBroadcast, AnswerStep);
  }
  g_discovery_on = 0;
  g_last_broadcast_ms = 0;
  g_reply_flag = 0;
  g_port = 0;
  return kQeltOk;
}

int SDDPUnInit(void) {
  ProxyRegisterStep(kProxyBroadcastClient, nullptr);
  ProxyRegisterStep(kProxyCtrlAndBroadcast, nullptr);
  SDDPManageDeviceUnInit();
  CloseIfSet(g_server_fd);
  CloseIfSet(g_client_fd);
  g_discovery_on = 0;
  g_port = 0;
  return kQeltOk;
}

int SDDPCreateSession(uint32_t port) {
  int fd = 0;
  const int rc = BroadcastServerInit(port, &fd);
  if (rc != kQeltOk) return rc;
  CloseIfSet(g_server_fd);
  g_server_fd = fd;
  g_port = port;
  return kQeltOk;
}

int SDDPConnectSession(uint32_t port) {
  int fd = 0;
  const int rc = BroadcastConnectServerInit(port, &fd);
  if (rc != kQeltOk) return rc;
  CloseIfSet(g_client_fd);
  g_client_fd = fd;
  g_port = port;
  return kQeltOk;
}

int SDDPCloseSession(void) {
  CloseIfSet(g_server_fd);
  CloseIfSet(g_client_fd);
  g_port = 0;
  return kQeltOk;
}

int SDDPClientStartDiscoveryDevice(void) {
  // Switching on again always waits a whole period before the first broadcast.
  if (g_discovery_on.exchange(1) == 0) g_last_broadcast_ms = 0;
  return kQeltOk;
}

int SDDPClientStopDiscoveryDevice(void) {
  g_discovery_on = 0;
  g_last_broadcast_ms = 0;
  return kQeltOk;
}

int SDDPPackageDiscoveryPacket(uint8_t* buffer, uint32_t capacity, uint32_t* length) {
  return ComposeDatagram(buffer, capacity, length);
}

int SDDPPackageDiscoveryAckPacket(uint8_t* buffer, uint32_t capacity, uint32_t* length) {
  return ComposeDatagram(buffer, capacity, length);
}

int SDDPReceiveDiscoveryPacketProcess(void) {
  g_reply_flag = 1;
  return kQeltOk;
}

int SDDPCheckReplyAck(void) { return g_reply_flag.load(); }

int SDDPClearReplyAck(void) {
  g_reply_flag = 0;
  return kQeltOk;
}

int SDDPReceiveDiscoveryAckPacketProcess(uint8_t sender_type, const uint8_t* data, uint32_t length) {
  if (QeltmParaCfg.device_type != kDeviceYrd) return kQeltOk;
  if (data == nullptr) return kQeltNullArgument;
  DiscoveredDevice device{};
  uint32_t consumed = 0;
  int rc = ParseElement(kElementIPInfo, data, length, &device, sizeof device, &consumed);
  if (rc == kQeltOk) {
    uint32_t sequence = 0;
    uint32_t ignored = 0;
    rc = ParseElement(kElementSequence, data + consumed, length - consumed, &sequence, sizeof sequence, &ignored);
  }
  if (rc != kQeltOk) {
    QELTM_LOG_LIMITED(2, "[SDDP]Can not get device type\n");
    return rc;
  }
  device.device_type = sender_type;
  if (SDDPISSameDevice(&device) == kQeltSameDevice) {
    SDDPUpdateDeviceTime(&device);
  } else {
    rc = SDDPAddDevice(&device);
  }
  QELTM_LOG_LIMITED(0, "[SDDP]Receive discovery device ,ip address: %s, device type:%d\n", device.ip_address,
                    sender_type);
  return rc;
}

int SDDPAnalysisPacket(const uint8_t* data, uint32_t length) {
  if (data == nullptr) return kQeltNullArgument;
  uint32_t consumed = 0;
  int rc = CheckPacketDefaultHead(data, length, nullptr, 0, &consumed);
  if (rc != kQeltOk) {
    LogHead(data, length);
    return rc;
  }
  uint8_t sender = 0;
  uint32_t type_bytes = 0;
  rc = ParseElement(kElementDeviceType, data + kPacketHeadBytes, length - kPacketHeadBytes, &sender, sizeof sender,
                    &type_bytes);
  if (rc != kQeltOk) {
    QELTM_LOG_LIMITED(2, "[SDDP]Can not get device type\n");
    return rc;
  }
  const uint32_t rest = kPacketHeadBytes + type_bytes;
  switch (sender) {
    case kDeviceZuq:
    case kDeviceNorb:
      return SDDPReceiveDiscoveryAckPacketProcess(sender, data + rest, length - rest);
    case kDeviceYrd:
      return SDDPReceiveDiscoveryPacketProcess();
    default:
      return kQeltOk;
  }
}

int SDDPClientDiscoveryDeviceProcess(void) {
  if (g_discovery_on.load() == 0) {
    g_last_broadcast_ms = 0;
    return kQeltOk;
  }
  const uint64_t now = pelarin::SddpNowMillis();
  const uint64_t last = g_last_broadcast_ms.load();
  if (last == 0 || now < last) {  // first pass after switching on, or the clock went back
    g_last_broadcast_ms = now;
    return kQeltOk;
  }
  if (now - last < kSddpBroadcastPeriodMillis) return kQeltOk;
  uint8_t buffer[kSddpDatagramBufferBytes];
  uint32_t length = 0;
  int rc = ComposeDatagram(buffer, sizeof buffer, &length);
  const int fd = g_client_fd.load();
  if (rc == kQeltOk) rc = fd > 0 ? SendBroadCastPacket(fd, g_port.load(), buffer, length) : kQeltNoServerSocket;
  if (rc != kQeltOk) Qeltmlog(2, "[SDDP]Send device discovery packet failed ,return code:%d\n", rc);
  g_last_broadcast_ms = now;
  return kQeltOk;
}

int SDDPClientDiscoveryPass(uint8_t* buffer, uint32_t capacity, int wait_millis) {
  SDDPClientDiscoveryDeviceProcess();
  const int fd = g_client_fd.load();
  // Without a socket the pass only waits: poll ignores a negative descriptor.
  pollfd p{fd > 0 ? fd : -1, POLLIN, 0};
  const int n = poll(&p, 1, wait_millis);
  if (n < 0) {
    if (errno == EINTR) return 0;
    Qeltmlog(2, "[Proxy] BroadCastClientProxyProcess Select failed, socket fd: %d, errno=%d\n", fd, errno);
    return kQeltSelectFailed;
  }
  if (n > 0 && (p.revents & POLLIN) != 0 && buffer != nullptr) {
    const uint32_t room = capacity < kClientDatagramBytes ? capacity : kClientDatagramBytes;
    memset(buffer, 0, room);
    // Readiness seen, but the datagram may be gone: never block here.
    const ssize_t got = recvfrom(fd, buffer, room, MSG_DONTWAIT, nullptr, nullptr);
    if (got > 0) SDDPAnalysisPacket(buffer, static_cast<uint32_t>(got));
    SDDPDeviceTimeOutProcess();
    pelarin::FlushLeftOutLines(pelarin::SteadyMillis());
    usleep(kAfterDatagramPauseMicros);
    return 0;
  }
  SDDPDeviceTimeOutProcess();
  // A client role has no server pass: the counts of its lines left out are written from here.
  pelarin::FlushLeftOutLines(pelarin::SteadyMillis());
  return 0;
}

int BroadCastServerProxyProcess(int mode) { return AnswerDiscoveries(mode, kAnswerWaitMillis); }

void* BroadCastProxyProcess(void*) {
  BroadCastServerProxyProcess(kSddpClientMode);
  return nullptr;
}

}  // extern "C"

namespace {

// The answerer: waits up to `wait_millis` for a datagram, analyses it and answers a discovery;
// once, or in a loop for the looping mode. Its lines are a few a second of each kind, as a flood
// of datagrams would otherwise write one or two for each.
int AnswerDiscoveries(int mode, int wait_millis) {
  uint8_t buffer[kSddpDatagramBufferBytes];
  do {
    const int fd = g_server_fd.load();
    if (fd <= 0) return kQeltNoServerSocket;
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, wait_millis);
    if (n < 0) {
      if (errno == EINTR) continue;
      Qeltmlog(2, "[Proxy] BroadCastServerProxyProcess Select failed, socket fd: %d, errno=%d\n", fd, errno);
      return kQeltSelectFailed;
    }
    if (n == 0) continue;
    if ((p.revents & POLLIN) == 0) {
      QELTM_LOG_LIMITED(2, "[Proxy]Other socket\n");
      continue;
    }
    memset(buffer, 0, sizeof buffer);
    sockaddr_in peer{};
    socklen_t peer_size = sizeof peer;
    const ssize_t got =
        recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&peer), &peer_size);
    if (got <= 0) continue;
    const int rc = SDDPAnalysisPacket(buffer, static_cast<uint32_t>(got));
    QELTM_LOG_LIMITED(0, "[Proxy]Analysis packet discovery success, ret %d, port %d\n", rc, ntohs(peer.sin_port));
    if (rc != kQeltOk || SDDPCheckReplyAck() == 0) continue;
    uint32_t length = 0;
    if (ComposeDatagram(buffer, sizeof buffer, &length) != kQeltOk) continue;
    const ssize_t sent =
        sendto(fd, buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&peer), peer_size);
    QELTM_LOG_LIMITED(0, "[Proxy]Broadcast send ack data, socket fd: %d, data lenth %d\n", fd, static_cast<int>(sent));
    if (sent == static_cast<ssize_t>(length)) SDDPClearReplyAck();
  } while (mode == kSddpClientMode);
  return kQeltOk;
}

}  // namespace
