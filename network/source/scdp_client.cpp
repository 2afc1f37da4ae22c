// Control protocol, client side: sessions per peer, one request and its whole reply at a time.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "pelarin/packet.h"
#include "scdp_internal.h"

namespace pelarin {
namespace {

constexpr uint32_t kRequestFramingBytes = 20;
constexpr uint32_t kDrainChunkBytes = 4096;

// A growable byte area that frees itself; used for this thread's replies and receptions.
struct ByteArea {
  uint8_t* data = nullptr;
  uint32_t capacity = 0;
  ~ByteArea() { free(data); }
  // Makes room for `size` bytes, keeping the first `keep`; false when out of memory.
  bool Reserve(uint32_t size, uint32_t keep) {
    if (size <= capacity) return true;
    uint8_t* grown = static_cast<uint8_t*>(realloc(data, size));
    if (grown == nullptr) return false;
    memset(grown + keep, 0, size - keep);
    data = grown;
    capacity = size;
    return true;
  }
};

// Each requesting thread has its own reply buffer, at least 4096 bytes and never smaller, so a
// reply view stays valid until the same thread's next request.
thread_local ByteArea t_reply;

// The request's peer address, bounded and terminated.
struct PeerAddress {
  explicit PeerAddress(const ScdpRequest& request) {
    const size_t length = strnlen(request.ip, kAddressTextBytes - 1);
    memcpy(text, request.ip, length);
    text[length] = '\0';
  }
  const char* c_str() const { return text; }
  char text[kAddressTextBytes];
};

// Finds the session of a peer; 50 when none. Called under the client lock.
int FindSession(const char* address, ClientSession** node) {
  if (g_scdp_clients == nullptr) return kQeltNoSession;
  const int rc = SocketFindClientList(g_scdp_clients, address, node);
  if (rc != kQeltOk) return rc;
  return *node != nullptr ? kQeltOk : kQeltNoSession;
}

void CloseSession(ClientSession* node) {
  Qeltmlog(2, "[SCDP]close the client session, ip address: %s\n", node->ip_address);
  SockeRemoveClientByClientInfo(g_scdp_clients, node);
}

// Reads and drops what already waits on the socket (a reply that came after its request timed
// out), at most one largest reply's worth so a peer that never stops cannot hold the caller.
// False when the peer has closed the connection.
bool DrainStaleBytes(int fd) {
  uint8_t scratch[kDrainChunkBytes];
  for (uint64_t drained = 0; drained <= kScdpMaxReplyValueBytes;) {
    const ssize_t n = recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    drained += static_cast<uint64_t>(n);
  }
  return true;
}

int SendRequest(const ScdpRequest& request, ClientSession* node) {
  const uint64_t capacity = uint64_t{request.length} + kRequestFramingBytes;
  if (capacity > UINT32_MAX) return kQeltBufferTooSmall;
  uint8_t* packet = static_cast<uint8_t*>(calloc(capacity, 1));
  if (packet == nullptr) return kQeltOutOfMemory;
  uint32_t length = 0;
  int rc = SCDPPackageKeyValuePacket(request.payload, request.length, packet, static_cast<uint32_t>(capacity), &length);
  if (rc == kQeltOk) {
    uint32_t sent = 0;
    rc = SendPacketFragment(node->fd, packet, length, &sent);
    if (rc == kQeltOk && sent < length) rc = kQeltWouldBlock;
  }
  free(packet);
  return rc;
}

// Receives one whole reply packet: head, element head, then the value it declares, until the
// deadline. 0 with the packet in `area`, or 27, 36, 44, 46/47, 52.
int ReceiveReply(ClientSession* node, ByteArea& area, uint32_t* packet_length) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kScdpReplyWaitMillis);
  const uint32_t frame = kPacketHeadBytes + kElementHeadBytes;
  uint64_t needed = frame;
  uint32_t have = 0;
  if (!area.Reserve(kScdpReplyBufferBytes, 0)) return kQeltOutOfMemory;
  while (have < needed) {
    // Rounded up: a wait cut to whole milliseconds would give up before the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{node->fd, POLLIN, 0};
    const int n = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Qeltmlog(2, "[SCDP] SCDPClientSendCtrl Select failed, ip address: %s, errno=%d\n", node->ip_address, errno);
      return kQeltSelectFailed;
    }
    if (n == 0) {
      Qeltmlog(2, "[SCDP]Select time out, ip address: %s\n", node->ip_address);
      return kQeltSelectTimeout;
    }
    const ssize_t got = recv(node->fd, area.data + have, static_cast<size_t>(needed - have), 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) {
      CloseSession(node);
      return kQeltClientFailed;
    }
    have += static_cast<uint32_t>(got);
    if (have >= kPacketHeadBytes) {
      const int rc = CheckPacketDefaultHead(area.data, have, nullptr, 0, nullptr);
      if (rc != kQeltOk) return rc;
    }
    if (have == frame && needed == frame) {
      uint32_t value_length = 0;
      GetUint32Value(area.data + kPacketHeadBytes + 1, &value_length);
      if (value_length > kScdpMaxReplyValueBytes) {
        Qeltmlog(2, "[SCDP]Reply of %u bytes refused, ip address: %s\n", value_length, node->ip_address);
        return kQeltBufferTooSmall;
      }
      needed = uint64_t{frame} + value_length;
      if (!area.Reserve(static_cast<uint32_t>(needed), have)) return kQeltOutOfMemory;
    }
  }
  *packet_length = have;
  return kQeltOk;
}

}  // namespace

int ScdpTakeReply(const uint8_t* element, uint32_t remaining, ScdpReplyView* reply) {
  uint32_t consumed = 0;
  int rc = AnalysisPacketHandler[kElementKeyValueACK](element, remaining, nullptr, 0, &consumed);
  if (rc != kQeltOk) return rc;
  const uint32_t length = consumed - kElementHeadBytes;
  if (!t_reply.Reserve(length > kScdpReplyBufferBytes ? length : kScdpReplyBufferBytes, 0)) return kQeltOutOfMemory;
  memset(t_reply.data, 0, t_reply.capacity);
  rc = AnalysisPacketHandler[kElementKeyValueACK](element, remaining, t_reply.data, t_reply.capacity, &consumed);
  if (rc != kQeltOk) return rc;
  Qeltmlog(0, "[SCDP]Receive packet key value ack\n");
  reply->payload = t_reply.data;
  reply->length = length;
  return kQeltOk;
}

}  // namespace pelarin

using namespace pelarin;

extern "C" {

int SCDPClientConnectSession(const char* address, uint32_t port) {
  if (address == nullptr) return kQeltNullArgument;
  int fd = 0;
  int rc = TCPConnectServer(address, port, &fd);
  if (rc != kQeltOk) return rc;
  std::lock_guard<std::mutex> guard(g_scdp_client_lock);
  rc = g_scdp_clients != nullptr ? SocketAddClientToList(g_scdp_clients, address, fd, nullptr) : kQeltNullArgument;
  if (rc != kQeltOk) close(fd);
  return rc;
}

int SCDPClientExist(const char* address) {
  if (address == nullptr) return kQeltNullArgument;
  std::lock_guard<std::mutex> guard(g_scdp_client_lock);
  return g_scdp_clients != nullptr && SocketClientExist(g_scdp_clients, address) == 1 ? kQeltSessionExists
                                                                                       : kQeltNoSuchSession;
}

int SCDPClientCloseSession(const char* address) {
  std::lock_guard<std::mutex> guard(g_scdp_client_lock);
  if (g_scdp_clients == nullptr) return kQeltOk;
  return SockeRemoveClientFromList(g_scdp_clients, address);
}

int SCDPClientGetSocketFD(const char* address, int* fd) {
  if (address == nullptr || fd == nullptr) return kQeltNullArgument;
  std::lock_guard<std::mutex> guard(g_scdp_client_lock);
  ClientSession* node = nullptr;
  const int rc = FindSession(address, &node);
  if (rc == kQeltOk) *fd = node->fd;
  return rc;
}

// One exchange under the client lock: drop stale bytes, send the request, receive the whole
// reply and hand it to the analysis, so concurrent requests never take each other's replies.
int SCDPClientSendCtrl(const ScdpRequest* request, ScdpReplyView* reply) {
  if (request == nullptr || reply == nullptr || request->payload == nullptr) return kQeltNullArgument;
  const PeerAddress address(*request);
  std::lock_guard<std::mutex> guard(g_scdp_client_lock);
  ClientSession* node = nullptr;
  int rc = FindSession(address.c_str(), &node);
  if (rc != kQeltOk) {
    Qeltmlog(2, "[SCDP] Can not get client socket, ip address %s error code: %d\n", address.c_str(), rc);
    return rc;
  }
  if (!DrainStaleBytes(node->fd)) {
    CloseSession(node);
    return kQeltClientFailed;
  }
  rc = SendRequest(*request, node);
  if (rc != kQeltOk) return rc;
  thread_local ByteArea reception;
  uint32_t length = 0;
  rc = ReceiveReply(node, reception, &length);
  if (rc != kQeltOk) return rc;
  return SCDPAnalysisPacket(node->fd, reception.data, length, reply);
}

int SCDPClientSendCtrlWithoutACK(const ScdpRequest* request) {
  if (request == nullptr || request->payload == nullptr) return kQeltNullArgument;
  const PeerAddress address(*request);
  std::lock_guard<std::mutex> guard(g_scdp_client_lock);
  ClientSession* node = nullptr;
  const int rc = FindSession(address.c_str(), &node);
  if (rc != kQeltOk) {
    Qeltmlog(2, "[SCDP] Can not get client socket, ip address %s error code: %d\n", address.c_str(), rc);
    return rc;
  }
  return SendRequest(*request, node);
}

}  // extern "C"
