// Upkeep of accepted connections: stalled and vanished clients are closed, a table that holds its
// share of descriptors makes room for a newcomer, and the memory of clients that left goes back to
// the system.
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

// How readily a client gives way to a newcomer: the lower tier first, within a tier the older
// time first. Among quiet connections the order is that of LRU-2, a replacement policy that
// judges a connection by its second-to-last use rather than its last: one that has shown a single
// use cannot outrank one with a history of uses, however recent that single use, so newcomers
// that each make one request and go quiet push out their own kind, never a session that asks
// every few seconds. A stalled request (closed soon anyway) and a connection that never made a
// request go first. A connection accepted since the last poll has not been heard yet: its request
// may wait unread in its socket, so it goes after every quiet connection that was heard, but
// before a session with a history.
enum GiveWayTier : int {
  kTierStalledRequest = 0,  // a request begun kRequestUnderWayMillis ago or longer, incomplete; by its start
  kTierNoRequest = 1,       // heard, and never made a request; by its accept
  kTierOneUse = 2,          // one use; by its last request
  kTierUnheard = 3,         // not yet polled since its accept; by its accept
  kTierHistory = 4,         // two uses or more; by the start of its second-to-last use
  kTierNever = 5,           // streams, has a request under way, or has whole requests waiting
};

struct GiveWayRank {
  int tier;
  int64_t since_ms;
  bool Before(const GiveWayRank& other) const {
    return tier < other.tier || (tier == other.tier && since_ms < other.since_ms);
  }
};

GiveWayRank RankOf(uint32_t server_type, const ClientSlot& slot, int64_t now_ms) {
  if (SocketClientStanding(server_type, &slot) == kClientStreaming) return {kTierNever, 0};
  // Whole packets received and still waiting for their share of a pass: requests under way.
  if (slot.used_length > 0 && slot.partial_since_ms == 0) return {kTierNever, 0};
  if (slot.partial_since_ms != 0) {
    if (now_ms - slot.partial_since_ms < kRequestUnderWayMillis) return {kTierNever, 0};
    return {kTierStalledRequest, slot.partial_since_ms};
  }
  if (slot.unheard != 0) return {kTierUnheard, slot.accepted_ms};
  if (slot.requests == 0) return {kTierNoRequest, slot.accepted_ms};
  if (slot.previous_use_ms == 0) return {kTierOneUse, slot.last_request_ms};
  return {kTierHistory, slot.previous_use_ms};
}

// The client that gives way first; kNoSlot when none may.
uint32_t FirstToGiveWay(uint32_t server_type, const ServerSocketTable* table, int64_t now_ms) {
  uint32_t first = kNoSlot;
  GiveWayRank first_rank{kTierNever, 0};
  for (uint32_t i = table->first_used; i != kNoSlot; i = table->slots[i].next) {
    const GiveWayRank rank = RankOf(server_type, table->slots[i], now_ms);
    if (rank.Before(first_rank)) {
      first = i;
      first_rank = rank;
    }
  }
  return first;
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

void SocketNoteRequest(ClientSlot* slot, int64_t now_ms) {
  if (slot->requests == 0 || now_ms - slot->use_started_ms >= kSameUseMillis) {
    if (slot->requests > 0) slot->previous_use_ms = slot->use_started_ms;
    slot->use_started_ms = now_ms;
  }
  ++slot->requests;
  slot->last_request_ms = now_ms;
}

bool SocketGiveWay(int server_fd, uint32_t server_type, int64_t now_ms, const char* why) {
  ServerSocketTable* table = GetServerSocketInfo(server_type);
  if (table == nullptr) return false;
  const uint32_t first = FirstToGiveWay(server_type, table, now_ms);
  if (first == kNoSlot) return false;
  const ClientSlot& slot = table->slots[first];
  const int fd = slot.fd;
  const int64_t active_ms = slot.partial_since_ms > slot.last_request_ms ? slot.partial_since_ms : slot.last_request_ms;
  QELTM_LOG_LIMITED(1, "[Proxy]%s: close its quietest client, socket fd %d, ServerType %d, quiet for %lld ms\n", why, fd,
                    server_type, static_cast<long long>(now_ms - active_ms));
  Abort(server_fd, server_type, fd);
  return true;
}

bool SocketMakeRoom(int server_fd, uint32_t server_type, int64_t now_ms) {
  ServerSocketTable* table = GetServerSocketInfo(server_type);
  if (table == nullptr) return false;
  const uint32_t share = SocketServerShare();
  // A share that shrank (a lower limit, another server started) is followed here. Overdue
  // clients are left to the pass's upkeep: a stalled request gives way first anyway.
  while (table->client_count >= share) {
    if (!SocketGiveWay(server_fd, server_type, now_ms, "Server full")) return false;
  }
  return true;
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
