// Upkeep of accepted connections: quiet, stalled and vanished clients are closed, a full table
// makes room for a newcomer, and the memory of clients that left goes back to the system.
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <malloc.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

#include "log_limit.h"
#include "pelarin/socket.h"

namespace {

// The heap is trimmed at most this often while clients leave.
constexpr int64_t kTrimIntervalMillis = 100;

std::atomic<bool> g_memory_freed{false};
std::atomic<int64_t> g_last_trim_ms{0};

// Follows what the peer of a streaming client has acknowledged; true when bytes wait for it in
// the kernel. A socket without that measure (not TCP) keeps the sends' own notes.
bool MeasurePeer(ClientSlot& slot, int64_t now_ms) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(slot.fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 || size < sizeof info) return false;
  slot.peer_measured = 1;
  if (info.tcpi_bytes_acked != slot.bytes_taken) {
    slot.bytes_taken = info.tcpi_bytes_acked;
    slot.last_taken_ms = now_ms;
  }
  int queued = 0;
  return ioctl(slot.fd, SIOCOUTQ, &queued) == 0 && queued > 0;
}

// Why a client breaks an upkeep bound at `now_ms`, with the time it has been so; null: it does not.
const char* OverdueReason(uint32_t server_type, ClientSlot& slot, int64_t now_ms, int64_t* for_ms) {
  if (SocketClientStanding(server_type, &slot) == kClientNew && now_ms - slot.accepted_ms > kFirstRequestMillis) {
    *for_ms = now_ms - slot.accepted_ms;
    return "made no request";
  }
  if (slot.partial_since_ms != 0 && now_ms - slot.partial_since_ms > kRequestCompleteMillis) {
    *for_ms = now_ms - slot.partial_since_ms;
    return "left a request incomplete";
  }
  if (SocketClientStanding(server_type, &slot) != kClientStreaming) return nullptr;
  const bool queued = MeasurePeer(slot, now_ms);
  const int64_t active_ms = slot.last_taken_ms > slot.last_request_ms ? slot.last_taken_ms : slot.last_request_ms;
  if (now_ms - active_ms <= kSendStallMillis) return nullptr;
  const ServerProtocolOps* ops = ServerProtocolFind(server_type);
  if (queued || (ops != nullptr && ops->owed_data != nullptr && ops->owed_data(&slot) != 0)) {
    *for_ms = now_ms - active_ms;
    return "took none of the data waiting for it";
  }
  return nullptr;
}

// The client to close for a newcomer: of those that never made their request the one accepted
// first, else of those served nothing now the one whose last request is oldest; kNoSlot when all
// stream. A client that uses its connection is so the last to go.
uint32_t QuietestClient(uint32_t server_type, const ServerSocketTable* table) {
  uint32_t quietest = kNoSlot;
  int quietest_standing = kClientStreaming;
  for (uint32_t i = table->first_used; i != kNoSlot; i = table->slots[i].next) {
    const ClientSlot& slot = table->slots[i];
    const int standing = SocketClientStanding(server_type, &slot);
    if (standing == kClientStreaming || standing > quietest_standing) continue;
    if (quietest == kNoSlot || standing < quietest_standing ||
        slot.last_request_ms < table->slots[quietest].last_request_ms) {
      quietest = i;
      quietest_standing = standing;
    }
  }
  return quietest;
}

// Closes a client by reset: what it was owed can no longer reach it, and a graceful close would
// keep its unsent bytes in the kernel, and the connection open for the peer, until they drain.
void Abort(int server_fd, uint32_t server_type, int fd) {
  const linger reset{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ServerRemoveClient(server_fd, fd, server_type);
}

}  // namespace

extern "C" {

int SocketClientStanding(uint32_t server_type, const ClientSlot* slot) {
  const ServerProtocolOps* ops = ServerProtocolFind(server_type);
  if (ops != nullptr && ops->standing != nullptr) return ops->standing(slot);
  return slot->requests > 0 ? kClientIdle : kClientNew;
}

void SocketNoteSend(ClientSlot* slot, uint32_t taken) {
  if (slot != nullptr && taken > 0 && slot->peer_measured == 0) slot->last_taken_ms = pelarin::SteadyMillis();
}

bool SocketPeerHungUp(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 0) != 1) return false;
  char byte = 0;
  const ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

int SocketRemoveHungUpClients(int server_fd, uint32_t server_type) {
  ServerSocketTable* table = GetServerSocketInfo(server_type);
  if (table == nullptr) return 0;
  int removed = 0;
  uint32_t index = table->first_used;
  while (index != kNoSlot) {
    const uint32_t next = table->slots[index].next;
    const int fd = table->slots[index].fd;
    if (SocketClientStanding(server_type, &table->slots[index]) == kClientStreaming && SocketPeerHungUp(fd)) {
      ServerRemoveClient(server_fd, fd, server_type);
      ++removed;
    }
    index = next;
  }
  return removed;
}

int SocketCloseOverdueClients(int server_fd, uint32_t server_type, int64_t now_ms) {
  ServerSocketTable* table = GetServerSocketInfo(server_type);
  if (table == nullptr) return 0;
  int closed = 0;
  uint32_t index = table->first_used;
  while (index != kNoSlot) {
    ClientSlot& slot = table->slots[index];
    const uint32_t next = slot.next;
    int64_t for_ms = 0;
    const char* reason = OverdueReason(server_type, slot, now_ms, &for_ms);
    if (reason != nullptr) {
      const int fd = slot.fd;
      QELTM_LOG_LIMITED(1, "[Proxy]Close client socket fd %d, ServerType %d: it %s for %lld ms\n", fd, server_type,
                        reason, static_cast<long long>(for_ms));
      Abort(server_fd, server_type, fd);
      ++closed;
    }
    index = next;
  }
  return closed;
}

bool SocketMakeRoom(int server_fd, uint32_t server_type, int64_t now_ms) {
  ServerSocketTable* table = GetServerSocketInfo(server_type);
  if (table == nullptr) return false;
  if (table->client_count < kMaxClientsPerServer) return true;
  SocketCloseOverdueClients(server_fd, server_type, now_ms);
  if (table->client_count < kMaxClientsPerServer) return true;
  const uint32_t quietest = QuietestClient(server_type, table);
  if (quietest == kNoSlot) return false;
  const ClientSlot& slot = table->slots[quietest];
  const int fd = slot.fd;
  QELTM_LOG_LIMITED(1, "[Proxy]Server full: close its quietest client, socket fd %d, ServerType %d, quiet for %lld ms\n",
                    fd, server_type, static_cast<long long>(now_ms - slot.last_request_ms));
  Abort(server_fd, server_type, fd);
  return table->client_count < kMaxClientsPerServer;
}

void SocketNoteFreedMemory(void) { g_memory_freed.store(true, std::memory_order_relaxed); }

void SocketReturnFreedMemory(int64_t now_ms) {
  if (!g_memory_freed.load(std::memory_order_relaxed)) return;
  int64_t last = g_last_trim_ms.load();
  if (now_ms - last < kTrimIntervalMillis || !g_last_trim_ms.compare_exchange_strong(last, now_ms)) return;
  g_memory_freed.store(false, std::memory_order_relaxed);
  malloc_trim(0);
}

}  // extern "C"
