// Object stream server: set-up, the client table, control requests, the ring write path and the
// per-client send pass.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "log_limit.h"
#include "packet_head_log.h"
#include "pelarin/proxy.h"
#include "stop_internal.h"

using namespace pelarin;

namespace {

constexpr int kRingLockMillis = 2;
constexpr uint16_t kMaxPendingAcks = 0xFFFF;

std::atomic<ServerSocketTable*> g_table{nullptr};
std::atomic<ObjectRing*> g_ring{nullptr};
// Created once and never destroyed, so a write racing with uninit finds a valid lock and no ring.
pthread_mutex_t g_ring_lock;
std::once_flag g_ring_lock_once;
std::atomic<uint32_t> g_packets_sent{0};

void EnsureRingLock() {
  std::call_once(g_ring_lock_once, [] { ThreadMutexCreate(&g_ring_lock, "STOPSERVER"); });
}

void LogHead(const uint8_t* data, uint32_t length) { LogPacketHead("[STOP]", data, length); }

StopClientState* ClientOf(ServerSocketTable* table, int fd) {
  ClientSlot* slot = SocketGetClientFDInfo(table, fd);
  return slot != nullptr ? static_cast<StopClientState*>(slot->protocol_data) : nullptr;
}

void DropReader() {
  ObjectRing* ring = g_ring.load();
  if (ring == nullptr) return;
  uint32_t count = ring->reader_count.load();
  while (count > 0 && !ring->reader_count.compare_exchange_weak(count, count - 1)) {
  }
}

// Handles one CtrlObject element; `consumed` gets its length.
int CtrlObjectPacketProcess(int server_fd, int fd, const uint8_t* element, uint32_t remaining, uint32_t* consumed) {
  CtrlObject request{};
  const int rc = AnalysisPacketHandler[kElementCtrlObject](element, remaining, &request, sizeof request, consumed);
  if (rc != kQeltOk) return rc;
  const char* text = request.command_type == kStopAcknowledge
                         ? "[STOP] Receive ack ctrl object packet. Command Type: %d, command: %d,error: %d, "
                           "Reserved[0]: %d, Reserved[1]: %d, Reserved[2]: %d, Reserved[3]:%d\n"
                         : "[STOP] Receive ctrl object packet. Command Type: %d,command: %d,error: %d,Reserved[0]: "
                           "%d, Reserved[1]: %d, Reserved[2]: %d, Reserved[3]:%d\n";
  static LogLimit request_lines;
  LogLimited(request_lines, 0, text, request.command_type, request.command, request.error, request.reserved[0],
             request.reserved[1], request.reserved[2], request.reserved[3]);
  if (request.command_type == kStopRequest) {
    StopClientState* client = ClientOf(g_table.load(), fd);
    if (client == nullptr) {
      QELTM_LOG_LIMITED(2, "[STOP]The client does not connnect STOP server, server socket fd: %d, client socket fd:%d\n",
                        server_fd, fd);
    } else {
      STOPRequeryCtrlPacketProcess(client, &request);
    }
  }
  return kQeltOk;
}

// Sends what is left of the client's packet; a full socket leaves the rest for the next pass.
int SendPending(ClientSlot* slot, StopClientState* client) {
  uint32_t sent = 0;
  const uint32_t left = client->packet_length - client->sent;
  const int rc = SocketSendBuffer(slot->fd, client->packet + client->sent, left, &sent);
  client->sent += sent;
  SocketNoteSend(slot, sent);
  if (rc != kQeltOk && rc != kQeltWouldBlock) {
    QELTM_LOG_LIMITED(2, "[STOP]Send image packet, packet size %d, return code: %d\n",
                      static_cast<int>(client->packet_length), rc);
    return rc;
  }
  if (client->sent == client->packet_length && client->packet_length > kStopCtrlPacketBytes) {
    QELTM_LOG_LIMITED(0, "[STOP]Send sum packet number %d\n", static_cast<int>(++g_packets_sent));
  }
  return kQeltOk;
}

int QueueAck(StopClientState* client) {
  if (client->packet_capacity < kStopCtrlBufferBytes) {
    uint8_t* grown = static_cast<uint8_t*>(malloc(kStopCtrlBufferBytes));
    if (grown == nullptr) return kQeltOutOfMemory;
    free(client->packet);
    client->packet = grown;
    client->packet_capacity = kStopCtrlBufferBytes;
  }
  CtrlObject ack{};
  ack.command_type = kStopAcknowledge;
  ack.command = client->state;
  uint32_t length = 0;
  const int rc = PacketComposeOne(kElementCtrlObject, &ack, 0, client->packet, kStopCtrlBufferBytes, &length);
  if (rc != kQeltOk) {
    QELTM_LOG_LIMITED(2, "[STOP] Package ctrl object packet failed , error code: %d\n", rc);
    return rc;
  }
  client->packet_length = length;
  client->sent = 0;
  QELTM_LOG_LIMITED(0, "[STOP]Send Ack ctrl object packet, packet size %d, return code: %d\n", static_cast<int>(length),
                    rc);
  return kQeltOk;
}

ServerSocketTable* OpsTable() { return g_table.load(); }
int OpsAdd(int server_fd, int fd) { return STOPServerAddClient(server_fd, fd, kServerObject); }
int OpsRemove(int server_fd, int fd) { return STOPServerRemoveClient(server_fd, fd, kServerObject); }
int OpsAnalysis(int server_fd, int fd, const uint8_t* data, uint32_t length) {
  return STOPAnalysisPacket(server_fd, fd, kServerObject, data, length);
}
int OpsSend(ClientSlot* slot) { return STOPServerSendProcess(slot, kServerObject); }
int OpsShow() { return STOPServerShowClient(kServerObject); }

// Streaming clients are served; a connection that never asked for the stream is new.
int OpsStanding(const ClientSlot* slot) {
  const StopClientState* client = static_cast<const StopClientState*>(slot->protocol_data);
  if (client == nullptr || client->state == kStopConnected) return kClientNew;
  return client->state == kStopStreaming ? kClientStreaming : kClientIdle;
}

// A streaming client is owed its packet not yet sent whole, or any block written after the one it
// took last (read under the ring lock; a lock not had in time owes nothing this time).
int OpsOwed(const ClientSlot* slot) {
  const StopClientState* client = static_cast<const StopClientState*>(slot->protocol_data);
  if (client == nullptr || client->state != kStopStreaming) return 0;
  if (client->sent < client->packet_length) return 1;
  if (ThreadMutexLock(&g_ring_lock, kRingLockMillis) != kQeltOk) return 0;
  const ObjectRing* ring = g_ring.load();
  const bool owed = ring != nullptr && ring->last_sequence > client->last_sequence;
  ThreadMutexUnLock(&g_ring_lock);
  return owed ? 1 : 0;
}

const ServerProtocolOps kObjectServerOps = {OpsTable, OpsAdd,  OpsRemove,           OpsAnalysis,
                                            OpsSend,  OpsShow, kStopCtrlPacketBytes, OpsStanding,
                                            OpsOwed};

}  // namespace

extern "C" {

int STOPInit(int mode) {
  EnsureRingLock();
  STOPRecvImageFuncInit();
  if (mode == kStopServerMode && g_table.load() == nullptr) {
    ServerSocketTable* table = static_cast<ServerSocketTable*>(malloc(sizeof(ServerSocketTable)));
    if (table == nullptr) return kQeltOutOfMemory;
    SocketFDInit(table);
    table->free_data_callback = STOPFreeProtocolData;
    ObjectRing* ring = StopRingCreate(kStopRingSlots);
    table->server_data = ring;
    ThreadMutexLock(&g_ring_lock, kMutexWaitForever);
    g_ring = ring;
    g_table = table;
    ThreadMutexUnLock(&g_ring_lock);
    ServerProtocolRegister(kServerObject, &kObjectServerOps);
  } else if (mode == kStopClientMode) {
    return StopClientListInit();
  }
  return kQeltOk;
}

int STOPUnInit(void) {
  EnsureRingLock();
  StopClientListUnInit();
  ServerSocketTable* table = g_table.load();
  if (table == nullptr) {
    Qeltmlog(0, "[STOP]STOP server close session failed\n");
  } else {
    RemoveServerSocket(table);
  }
  if (table != nullptr) {
    const int rc = ThreadMutexLock(&g_ring_lock, kRingLockMillis);
    if (rc != kQeltOk) {
      // The writer holds the lock only for a copy: wait for it rather than free under it.
      Qeltmlog(2, "[STOP]Lock STOP server data failed, return code:%d\n", rc);
      ThreadMutexLock(&g_ring_lock, kMutexWaitForever);
    }
    ServerProtocolRegister(kServerObject, nullptr);
    StopRingFree(g_ring.exchange(nullptr));
    g_table = nullptr;
    free(table);
    const int unlock_rc = ThreadMutexUnLock(&g_ring_lock);
    if (unlock_rc != kQeltOk) Qeltmlog(2, "[STIP]UnLock STOP server data failed, return code:%d\n", unlock_rc);
  }
  STOPRecvImageFuncInit();
  return kQeltOk;
}

int STOPServerCreateSession(const char* ip, unsigned port, unsigned) {
  int fd = 0;
  int rc = TCPServerInit(ip, port, &fd, kServerFlagKeepAlive);
  const char* shown = ip != nullptr ? ip : "any";
  if (rc != kQeltOk) {
    Qeltmlog(2, "[STOP]Create session failed, server init failed,ServerIP %s, port %d, return code %d\n", shown, port,
             rc);
    return rc;
  }
  ServerSocketTable* table = g_table.load();
  if (table == nullptr) {
    Qeltmlog(2, "[STOP]Create session failed, get socket fd info,ServerIP %s, port %d\n", shown, port);
    close(fd);
    return kQeltNoServerSocket;
  }
  rc = AddServerSocket(table, fd, port);
  if (rc != kQeltOk) {
    Qeltmlog(2, "[STOP]Create session failed,add server port failed,ServerIP %s, port %d, return code %d\n", shown,
             port, rc);
    close(fd);
  }
  return rc;
}

int STOPServerAddClient(int server_fd, int client_fd, unsigned) {
  ServerSocketTable* table = g_table.load();
  if (table == nullptr) {
    Qeltmlog(2, "[STOP]STOP server Create session failed, get socket fd info\n");
    return kQeltNoServerSocket;
  }
  if (table->server_fd != server_fd) {
    Qeltmlog(2, "[STOP]STOP server Create session failed, server socket is not the same,old server fd:%d, new server fd %d\n",
             table->server_fd, server_fd);
    return kQeltNoServerSocket;
  }
  ClientSlot* slot = SocketGetClientFDInfo(table, client_fd);
  if (slot == nullptr) slot = AddClientSocket(table, client_fd);
  if (slot == nullptr) {
    QELTM_LOG_LIMITED(2, "[STOP]STOP server add client failed\n");
    return kQeltClientFailed;
  }
  if (slot->protocol_data != nullptr) {
    QELTM_LOG_LIMITED(0, "[STOP]Client exist\n");
    return kQeltOk;
  }
  StopClientState* client = static_cast<StopClientState*>(calloc(1, sizeof(StopClientState)));
  if (client == nullptr) {
    RemoveClientSocket(table, client_fd);
    return kQeltOutOfMemory;
  }
  slot->protocol_data = client;
  QELTM_LOG_LIMITED(0, "[STOP]STOP server, receive a new client, client socket fd %d\n", client_fd);
  return kQeltOk;
}

void STOPFreeProtocolData(ClientSlot* slot) {
  if (slot == nullptr || slot->protocol_data == nullptr) return;
  StopClientState* client = static_cast<StopClientState*>(slot->protocol_data);
  if (client->state == kStopStreaming) DropReader();
  free(client->packet);
  client->packet = nullptr;
  client->packet_capacity = 0;
  client->packet_length = client->sent = 0;
  client->state = kStopConnected;
}

int STOPServerRemoveClient(int server_fd, int client_fd, unsigned) {
  ServerSocketTable* table = g_table.load();
  if (table == nullptr) {
    Qeltmlog(2, "[STOP]STOP server remove client failed\n");
    return kQeltNoServerSocket;
  }
  ClientSlot* slot = SocketGetClientFDInfo(table, client_fd);
  if (slot == nullptr) return kQeltClientFailed;
  QELTM_LOG_LIMITED(0, "[STOP]STOP server free protocol data\n");
  STOPFreeProtocolData(slot);
  free(slot->protocol_data);
  slot->protocol_data = nullptr;
  const int rc = RemoveClientSocket(table, client_fd);
  QELTM_LOG_LIMITED(0, "[STOP]STOP server remove client, server socket fd: %d, client socket fd: %d, return code: %d\n",
                    server_fd, client_fd, rc);
  close(client_fd);
  return rc;
}

StopClientState* STOPServerGetClientData(int, int client_fd, unsigned) {
  ServerSocketTable* table = g_table.load();
  if (table == nullptr) {
    Qeltmlog(2, "[STOP]STOP server get client data failed\n");
    return nullptr;
  }
  StopClientState* client = ClientOf(table, client_fd);
  if (client == nullptr) Qeltmlog(2, "[STOP]Client no exist\n");
  return client;
}

ObjectRing* STOPServerGetServerData(unsigned) { return g_ring.load(); }
ServerSocketTable* STOPServerGetSocketFDInfo(void) { return g_table.load(); }

int STOPServerGetSocketFD(unsigned, int* fd) {
  ServerSocketTable* table = g_table.load();
  if (table == nullptr || fd == nullptr) {
    Qeltmlog(2, "[STOP]STOP get server fd failed\n");
    return kQeltNoServerSocket;
  }
  *fd = table->server_fd;
  return kQeltOk;
}

int STOPServerGetMaxSocketFD(unsigned, int* fd) {
  ServerSocketTable* table = g_table.load();
  if (table == nullptr || fd == nullptr) {
    Qeltmlog(2, "[STOP]STOP get max socket fd failed\n");
    return kQeltNoServerSocket;
  }
  return GetMaxFdByServerSocket(table, fd);
}

int STOPServeretFdSet(unsigned, fd_set* read_set, fd_set* write_set) {
  ServerSocketTable* table = g_table.load();
  if (table == nullptr) {
    Qeltmlog(2, "[STIP]STIP get fd set socket fd failed\n");
    return kQeltNoServerSocket;
  }
  return GetFdSetByServerSocket(table, read_set, write_set);
}

int STOPServerShowClient(unsigned) {
  ServerSocketTable* table = g_table.load();
  if (table == nullptr) return kQeltNoServerSocket;
  ShowServerSocket(table);
  return ShowClientUseSocket(table);
}

int STOPServerCloseSession(void) {
  ServerSocketTable* table = g_table.load();
  if (table == nullptr) return kQeltNoServerSocket;
  return RemoveServerSocket(table);
}

int STOPCloseAllSession(void) {
  StopClientListUnInit();
  StopClientListInit();
  return STOPServerCloseSession();
}

uint32_t STOPServerReaderCount(void) {
  ObjectRing* ring = g_ring.load();
  return ring != nullptr ? ring->reader_count.load() : 0;
}

int STOPServerLockNORBData(void) {
  EnsureRingLock();
  return ThreadMutexLock(&g_ring_lock, kRingLockMillis);
}

int STOPServerUnlockNORBData(void) { return ThreadMutexUnLock(&g_ring_lock); }

int STOPServerWriteObejct(const ObjectPara* header, const void* data, unsigned size) {
  if (header == nullptr || (data == nullptr && size > 0)) return kQeltNullArgument;
  if (size > kMaxObjectBlockBytes || header->object_count > kMaxObjectCount) {
    Qeltmlog(2, "[STOP]Object block of %u bytes and %u records exceeds the stream's bound, refused\n", size,
             header->object_count);
    return kQeltInvalid;
  }
  int rc = STOPServerLockNORBData();
  if (rc != kQeltOk) {
    Qeltmlog(2, "[STOP]Lock STOP server data failed, return code:%d\n", rc);
    return rc;
  }
  if (g_table.load() != nullptr) {
    const int write_rc = StopRingWrite(g_ring.load(), header, data, size);
    if (write_rc != kQeltOk) Qeltmlog(2, "[STOP]NORB write object buffer failed, return code: %d\n", write_rc);
  }
  rc = STOPServerUnlockNORBData();
  if (rc != kQeltOk) {
    Qeltmlog(2, "[STIP]UnLock STOP server data failed, return code:%d\n", rc);
    return rc;
  }
  return kQeltOk;
}

int STOPRequeryCtrlPacketProcess(StopClientState* client, const CtrlObject* request) {
  if (client == nullptr || request == nullptr) return kQeltNullArgument;
  ObjectRing* ring = g_ring.load();
  switch (request->command) {
    case kStopStart:
      if (client->state != kStopStreaming && ring != nullptr) {
        // The writer holds the lock only for a copy; the server thread may wait for it. Counting
        // and joining under the lock makes every block written after this one reach the client.
        ThreadMutexLock(&g_ring_lock, kMutexWaitForever);
        ++ring->reader_count;
        StopRingJoin(ring, client);
        ThreadMutexUnLock(&g_ring_lock);
      }
      client->state = kStopStreaming;
      if (client->pending_acks < kMaxPendingAcks) ++client->pending_acks;
      break;
    case kStopStop:
      if (client->state == kStopStreaming) DropReader();
      client->state = kStopStopped;
      client->pending_acks = 0;
      break;
    default:
      QELTM_LOG_LIMITED(2, "[STOP] server does not support 0x%x command\n", request->command);
      break;
  }
  return kQeltOk;
}

int STOPServerSendProcess(ClientSlot* slot, unsigned) {
  if (slot == nullptr) return kQeltNullArgument;
  StopClientState* client = static_cast<StopClientState*>(slot->protocol_data);
  if (client == nullptr) return kQeltNoSession;
  // A packet partly sent is finished first, whatever happened since: the stream must stay whole.
  if (client->sent < client->packet_length) {
    SendPending(slot, client);  // a failure is logged; the receive side removes a dead peer
    return kQeltOk;
  }
  if (client->state != kStopStreaming) return kQeltOk;
  if (client->pending_acks > 0) {
    QELTM_LOG_LIMITED(0, "[STOP] Send ack number %d\n", client->pending_acks);
    const int rc = QueueAck(client);
    if (rc != kQeltOk) {
      QELTM_LOG_LIMITED(2, "[STOP] Send ack failed, return code: %d\n", rc);
      return rc;
    }
    --client->pending_acks;
    SendPending(slot, client);
    return kQeltOk;
  }
  int rc = STOPServerLockNORBData();
  if (rc != kQeltOk) {
    Qeltmlog(2, "[STOP]Lock STOP server data failed, return code:%d\n", rc);
    Qeltmlog(2, "[STOP] STOP server can not get lock\n");
    return rc;
  }
  ObjectRing* ring = g_ring.load();
  if (ring == nullptr) {
    Qeltmlog(2, "[STOP]STOP server data is NULL\n");
    rc = kQeltRingEmpty;
  } else {
    rc = StopRingTake(ring, client);
  }
  if (STOPServerUnlockNORBData() != kQeltOk) Qeltmlog(2, "[STIP]UnLock STOP server data failed, return code:%d\n", rc);
  if (rc != kQeltOk) return kQeltOk;  // nothing this pass; the other clients are still served
  if (client->sent < client->packet_length) SendPending(slot, client);
  return kQeltOk;
}

int STOPAnalysisPacket(int server_fd, int fd, unsigned, const uint8_t* buffer, uint32_t length) {
  if (buffer == nullptr) return kQeltNullArgument;
  if (length == 0) {
    QELTM_LOG_LIMITED(0, "[STOP]Just remainder BufferSize is %d, total size is %d\n", 0, 0);
    return kQeltOk;
  }
  if (server_fd == 0) return StopClientFeed(fd, buffer, length);
  // The server accepts control requests only; each element must lie within what was received.
  uint32_t offset = 0;
  while (offset < length) {
    const uint32_t remaining = length - offset;
    uint32_t consumed = 0;
    int rc = CheckPacketDefaultHead(buffer + offset, remaining, nullptr, 0, &consumed);
    if (rc != kQeltOk) {
      LogHead(buffer + offset, remaining);
      return rc;
    }
    offset += kPacketHeadBytes;
    if (length - offset < kElementHeadBytes) return kQeltInvalid;
    const uint8_t type = buffer[offset];
    if (type >= kFirstInvalidElementType) {
      QELTM_LOG_LIMITED(2, "[STOP]Packet Type is valid, type %d\n", type);
      return kQeltBadElementType;
    }
    uint32_t value_length = 0;
    GetUint32Value(buffer + offset + 1, &value_length);
    if (type != kElementCtrlObject || value_length != kStopCtrlPacketBytes - kPacketHeadBytes - kElementHeadBytes) {
      QELTM_LOG_LIMITED(2, "[STOP]STOP does not support this packet type %d\n", type);
      return kQeltOk;
    }
    rc = CtrlObjectPacketProcess(server_fd, fd, buffer + offset, length - offset, &consumed);
    if (rc != kQeltOk) return rc;
    offset += consumed;
  }
  return kQeltOk;
}

}  // extern "C"
