// Object stream client: the connection list, control requests, and a byte-stream reassembler
// per connection that carries partial heads across receives and resynchronises on bad bytes.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "packet_head_log.h"
#include "pelarin/proxy.h"
#include "stop_internal.h"

using namespace pelarin;

namespace {

constexpr long kReceiveWaitNanos = 100 * 1000;
constexpr uint32_t kElementPrefixBytes = kPacketHeadBytes + kElementHeadBytes;
constexpr uint32_t kCtrlObjectValueBytes = kStopCtrlPacketBytes - kElementPrefixBytes;
constexpr uint32_t kObjectParaValueBytes = kObjectPacketHeadBytes - kElementPrefixBytes;

// Reassembly state of one connection, kept in its node's header field. The block's header
// comes first so the node's header reads as its ObjectPara.
struct StopReceiveState {
  ObjectPara header;
  uint8_t head[kObjectPacketHeadBytes];  // head bytes gathered so far
  uint32_t head_have;
  uint32_t expected;   // data bytes of the block being received
  uint8_t in_block;    // 1 while data bytes of a block arrive
  uint8_t discarding;  // 1 when the block's buffer could not be had: its bytes are skipped
  uint8_t resyncing;   // 1 after a bad head until the next good one (one log line per episode)
};

// Guards g_clients, every node and its reassembly; recursive because the receive pass holds it
// while the analysis looks the node up again.
std::recursive_mutex g_client_lock;
ClientSessionList* g_clients = nullptr;

std::mutex g_callback_lock;
RecvObjectFunc g_callback = nullptr;
void* g_callback_context = nullptr;

ClientSession* NodeByFd(int fd) {
  if (g_clients == nullptr) return nullptr;
  for (ClientSession* n = g_clients->first; n != nullptr; n = n->next) {
    if (n->fd == fd) return n;
  }
  return nullptr;
}

void Deliver(ClientSession* node, StopReceiveState* st) {
  RecvObjectFunc fn;
  void* ctx;
  {
    std::lock_guard<std::mutex> guard(g_callback_lock);
    fn = g_callback;
    ctx = g_callback_context;
  }
  if (fn != nullptr) {
    ObjectPara copy = st->header;
    fn(&copy, copy.kind, node->data, node->received, copy.object_count, ctx);
  }
  node->received = 0;
}

// Drops the first gathered byte and looks for a head again from the next one.
void Resync(StopReceiveState* st) {
  if (st->resyncing == 0) {
    LogPacketHead("[STOP]", st->head, kPacketHeadBytes);
    st->resyncing = 1;
  }
  memmove(st->head, st->head + 1, --st->head_have);
}

// Starts a block after its ObjectPara: reserves the node's buffer for the declared size.
void BeginBlock(ClientSession* node, StopReceiveState* st) {
  st->expected = st->header.data_size;
  st->in_block = 1;
  st->discarding = 0;
  node->received = 0;
  if (st->expected == 0 || node->data_capacity >= st->expected) return;
  uint8_t* grown = static_cast<uint8_t*>(malloc(st->expected));
  if (grown == nullptr) {
    Qeltmlog(2, "[STOP]No memory for an object block of %u bytes, skipped\n", st->expected);
    st->discarding = 1;
    return;
  }
  free(node->data);
  node->data = grown;
  node->data_capacity = st->expected;
}

// Examines the gathered head bytes: handles a complete packet head, waits for more bytes, or
// takes one resync step.
void ExamineHead(ClientSession* node, StopReceiveState* st) {
  if (st->head_have < kElementPrefixBytes) return;
  if (memcmp(st->head, kDefaultPacketHead, kPacketHeadBytes) != 0) {
    Resync(st);
    return;
  }
  const uint8_t type = st->head[kPacketHeadBytes];
  uint32_t value_length = 0;
  GetUint32Value(st->head + kPacketHeadBytes + 1, &value_length);
  const bool object = type == kElementObjectPara && value_length == kObjectParaValueBytes;
  const bool control = type == kElementCtrlObject && value_length == kCtrlObjectValueBytes;
  if (!object && !control) {
    if (type >= kFirstInvalidElementType) {
      Qeltmlog(2, "[STOP]Packet Type is valid, type %d\n", type);
    } else {
      Qeltmlog(2, "[STOP]STOP does not support this packet type %d\n", type);
    }
    Resync(st);
    return;
  }
  const uint32_t need = object ? kObjectPacketHeadBytes : kStopCtrlPacketBytes;
  if (st->head_have < need) return;
  uint32_t consumed = 0;
  const uint8_t* element = st->head + kPacketHeadBytes;
  if (control) {
    CtrlObject ack{};
    AnalysisPacketHandler[kElementCtrlObject](element, need - kPacketHeadBytes, &ack, sizeof ack, &consumed);
    Qeltmlog(0, "[STOP] Receive ack ctrl object packet. Command Type: %d, command: %d,error: %d, Reserved[0]: %d, "
             "Reserved[1]: %d, Reserved[2]: %d, Reserved[3]:%d\n", ack.command_type, ack.command, ack.error,
             ack.reserved[0], ack.reserved[1], ack.reserved[2], ack.reserved[3]);
    // Bytes gathered behind the packet (left over from a resync) start the next one.
    st->head_have -= need;
    memmove(st->head, st->head + need, st->head_have);
    st->resyncing = 0;
    return;
  }
  ObjectPara header{};
  AnalysisPacketHandler[kElementObjectPara](element, need - kPacketHeadBytes, &header, sizeof header, &consumed);
  if (header.data_size > kMaxObjectBlockBytes) {
    Qeltmlog(2, "[STOP]Object block of %u bytes exceeds the stream's bound, dropped\n", header.data_size);
    Resync(st);
    return;
  }
  st->header = header;
  st->head_have = 0;
  st->resyncing = 0;
  BeginBlock(node, st);
  if (st->expected == 0) {
    Deliver(node, st);
    st->in_block = 0;
  }
}

int Feed(ClientSession* node, const uint8_t* data, uint32_t length) {
  StopReceiveState* st = static_cast<StopReceiveState*>(node->header);
  if (st == nullptr) return kQeltNoSession;
  while (length > 0) {
    if (st->in_block != 0) {
      const uint32_t missing = st->expected - node->received;
      const uint32_t take = length < missing ? length : missing;
      if (st->discarding == 0) memcpy(node->data + node->received, data, take);
      node->received += take;
      data += take;
      length -= take;
      if (node->received == st->expected) {
        if (st->discarding == 0) Deliver(node, st);
        node->received = 0;
        st->in_block = 0;
      }
      continue;
    }
    // Gather only up to the next decision point, so no byte behind a packet is taken early.
    const uint32_t want = st->head_have < kElementPrefixBytes ? kElementPrefixBytes
                          : st->head[kPacketHeadBytes] == kElementObjectPara ? kObjectPacketHeadBytes
                                                                             : kStopCtrlPacketBytes;
    const uint32_t room = want > st->head_have ? want - st->head_have : 0;
    const uint32_t take = length < room ? length : room;
    memcpy(st->head + st->head_have, data, take);
    st->head_have += take;
    data += take;
    length -= take;
    ExamineHead(node, st);
  }
  // A resync that left a full prefix behind examines it again until it needs more bytes.
  while (st->in_block == 0 && st->head_have >= kElementPrefixBytes) {
    const uint32_t before = st->head_have;
    ExamineHead(node, st);
    if (st->head_have == before) break;
  }
  return kQeltOk;
}

}  // namespace

namespace pelarin {

int StopClientFeed(int fd, const uint8_t* data, uint32_t length) {
  std::lock_guard<std::recursive_mutex> guard(g_client_lock);
  ClientSession* node = NodeByFd(fd);
  if (node == nullptr) return kQeltNoSession;
  return Feed(node, data, length);
}

int StopClientListInit() {
  std::lock_guard<std::recursive_mutex> guard(g_client_lock);
  if (g_clients != nullptr) return kQeltOk;
  g_clients = static_cast<ClientSessionList*>(malloc(sizeof(ClientSessionList)));
  if (g_clients == nullptr) return kQeltOutOfMemory;
  SocketInitClientHead(g_clients);
  ProxyRegisterStep(kProxyStopClient, STOPClientReceivePacketProcess);
  return kQeltOk;
}

void StopClientListUnInit() {
  std::lock_guard<std::recursive_mutex> guard(g_client_lock);
  if (g_clients == nullptr) return;
  SockeRemoveAllClientFromList(g_clients);
  free(g_clients);
  g_clients = nullptr;
}

}  // namespace pelarin

extern "C" {

int STOPMallocInfoHeadFunc(ClientSession* node) {
  if (node == nullptr) return kQeltNullArgument;
  node->header = calloc(1, sizeof(StopReceiveState));
  return node->header != nullptr ? kQeltOk : kQeltOutOfMemory;
}

int STOPClientConnectSession(const char* ip, unsigned port) {
  if (ip == nullptr) return kQeltNullArgument;
  int fd = 0;
  int rc = TCPConnectServer(ip, port, &fd);
  if (rc != kQeltOk) return rc;
  std::lock_guard<std::recursive_mutex> guard(g_client_lock);
  if (g_clients == nullptr) {
    close(fd);
    return kQeltNullArgument;
  }
  // A reconnect to a listed peer starts that connection's reassembly afresh.
  SockeRemoveClientFromList(g_clients, ip);
  rc = SocketAddClientToList(g_clients, ip, fd, STOPMallocInfoHeadFunc);
  ClientSession* node = nullptr;
  SocketFindClientList(g_clients, ip, &node);
  if (rc != kQeltOk || node == nullptr || node->header == nullptr) {
    if (node != nullptr) {
      SockeRemoveClientByClientInfo(g_clients, node);  // closes fd
    } else {
      close(fd);
    }
    return rc != kQeltOk ? rc : kQeltOutOfMemory;
  }
  return kQeltOk;
}

int STOPClientCloseSession(const char* ip) {
  if (ip == nullptr) return kQeltNullArgument;
  std::lock_guard<std::recursive_mutex> guard(g_client_lock);
  return SockeRemoveClientFromList(g_clients, ip);
}

ClientSession* STOPClientGetInfoList(int fd) {
  std::lock_guard<std::recursive_mutex> guard(g_client_lock);
  return NodeByFd(fd);
}

int STOPGetClientSocketFD(const char* ip, int* fd) {
  if (ip == nullptr || fd == nullptr) return kQeltNullArgument;
  std::lock_guard<std::recursive_mutex> guard(g_client_lock);
  ClientSession* node = nullptr;
  SocketFindClientList(g_clients, ip, &node);
  if (node == nullptr) return kQeltNoSession;
  *fd = node->fd;
  return kQeltOk;
}

int STOPClientSendCtrlImageMsg(const char* ip, const CtrlObject* record) {
  if (ip == nullptr || record == nullptr) return kQeltNullArgument;
  uint8_t packet[kStopCtrlBufferBytes];
  uint32_t length = 0;
  int rc = PacketComposeOne(kElementCtrlObject, record, 0, packet, sizeof packet, &length);
  if (rc != kQeltOk) {
    Qeltmlog(2, "[STOP] Package ctrl image packet failed , error code: %d\n", rc);
    return rc;
  }
  std::lock_guard<std::recursive_mutex> guard(g_client_lock);
  ClientSession* node = nullptr;
  SocketFindClientList(g_clients, ip, &node);
  if (node == nullptr) {
    Qeltmlog(2, "[STOP] Can not get client socket, ip address %s error code: %d\n", ip, kQeltNoSession);
    return kQeltNoSession;
  }
  uint32_t sent = 0;
  rc = SocketSendBuffer(node->fd, packet, length, &sent);
  if (rc == kQeltOk && sent < length) rc = kQeltWouldBlock;  // a torn request would corrupt the stream
  Qeltmlog(0, "[STOP]Send ctrl object packet, PacketSize: %d, client socket fd:%d, return code:%d\n",
           static_cast<int>(length), node->fd, rc);
  return rc;
}

int STOPClientReceiveProxyProcess(int fd, uint8_t* buffer, uint32_t length) {
  if (buffer == nullptr) return kQeltNullArgument;
  pollfd p{fd, POLLIN, 0};
  const timespec wait{0, kReceiveWaitNanos};
  const int n = ppoll(&p, 1, &wait, nullptr);
  if (n < 0) {
    if (errno == EINTR) return kQeltSelectTimeout;
    Qeltmlog(2, "[STOP] STOPClientReceiveProxyProcess Select failed, socket fd: %d, errno=%d\n", fd, errno);
    return kQeltSelectFailed;
  }
  if (n == 0) return kQeltSelectTimeout;
  const ssize_t got = recv(fd, buffer, length, MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return kQeltSelectTimeout;
  if (got <= 0) {
    Qeltmlog(2, "[STOP]Receive close client socket, socket fd:%d,return code: %d\n", fd, static_cast<int>(got));
    return kQeltPeerClosed;
  }
  STOPAnalysisPacket(0, fd, kServerObject, buffer, static_cast<uint32_t>(got));
  return kQeltOk;
}

// One receive pass over every connection; a closed one is removed and the others go on.
int STOPClientReceivePacketProcess(uint8_t* buffer, uint32_t length) {
  std::lock_guard<std::recursive_mutex> guard(g_client_lock);
  if (g_clients == nullptr) return kQeltOk;
  ClientSession* node = g_clients->first;
  while (node != nullptr) {
    ClientSession* next = node->next;
    const int rc = STOPClientReceiveProxyProcess(node->fd, buffer, length);
    if (rc == kQeltPeerClosed || rc == kQeltSelectFailed) {
      Qeltmlog(0, "[STOP] Remove socket return code: %d\n", rc);
      SockeRemoveClientByClientInfo(g_clients, node);
    }
    node = next;
  }
  return kQeltOk;
}

int STOPRecvRemainderImagePacket(int fd, const uint8_t* buffer, uint32_t length) {
  if (buffer == nullptr) return kQeltNullArgument;
  return StopClientFeed(fd, buffer, length);
}

int STOPRegisterRecvImageFunc(RecvObjectFunc fn, void* ctx) {
  std::lock_guard<std::mutex> guard(g_callback_lock);
  g_callback = fn;
  g_callback_context = ctx;
  return kQeltOk;
}

int STOPRecvImageFuncInit(void) { return STOPRegisterRecvImageFunc(nullptr, nullptr); }

}  // extern "C"
