// The server receive step: each readable client's bytes are gathered in its slot's buffer and
// cut into packets by the packet head and the element's declared length, so a request reaches
// its protocol whole however TCP splits or joins it, and the requests of one connection are
// handled in the order they were sent. One connection gets a bounded share of each pass: what is
// left waits in its buffer and is served by the next passes first.
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "log_limit.h"
#include "pelarin/packet.h"
#include "pelarin/socket.h"
#include "receive_backlog.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPacketFrameBytes = kPacketHeadBytes + kElementHeadBytes;

// Per server type: the last receive step left whole packets in a client's buffer.
std::atomic<bool> g_backlog[kLastServerType + 1];

enum class Frame { kNeedMore, kComplete, kNever };

// What the bytes at `data` open: a whole packet of *length bytes, the start of one, or bytes
// that can never begin a valid packet of at most `max_packet` bytes.
Frame FramePacket(const uint8_t* data, uint32_t have, uint32_t max_packet, uint32_t* length) {
  const uint32_t head = have < kPacketHeadBytes ? have : kPacketHeadBytes;
  if (memcmp(data, kDefaultPacketHead, head) != 0) return Frame::kNever;
  if (have > kPacketHeadBytes && data[kPacketHeadBytes] >= kFirstInvalidElementType) return Frame::kNever;
  if (have < kPacketFrameBytes) return Frame::kNeedMore;
  uint32_t value_length = 0;
  GetUint32Value(data + kPacketHeadBytes + 1, &value_length);
  const uint64_t total = uint64_t{kPacketFrameBytes} + value_length;
  if (total > max_packet) return Frame::kNever;
  if (have < total) return Frame::kNeedMore;
  *length = static_cast<uint32_t>(total);
  return Frame::kComplete;
}

// Offset of the first byte after the start that could begin a packet head (`have` when none).
uint32_t NextHeadStart(const uint8_t* data, uint32_t have) {
  for (uint32_t p = 1; p < have; ++p) {
    const uint32_t n = have - p < kPacketHeadBytes ? have - p : kPacketHeadBytes;
    if (memcmp(data + p, kDefaultPacketHead, n) == 0) return p;
  }
  return have;
}

bool StillHeld(const ClientSlot& slot, int fd) { return slot.state == 1 && slot.fd == fd && slot.buffer != nullptr; }

uint32_t MaxPacket(const ServerProtocolOps* ops, const ClientSlot& slot) {
  return ops->max_packet_bytes != 0 && ops->max_packet_bytes < slot.buffer_capacity ? ops->max_packet_bytes
                                                                                    : slot.buffer_capacity;
}

// True when the slot's buffer opens with something to hand on: a whole packet, or bytes to drop.
bool HasWork(const ServerProtocolOps* ops, const ClientSlot& slot) {
  uint32_t length = 0;
  return slot.buffer != nullptr && slot.used_length > 0 &&
         FramePacket(slot.buffer, slot.used_length, MaxPacket(ops, slot), &length) != Frame::kNeedMore;
}

// Hands the whole packets in the slot's buffer to the protocol, for the connection's share of the
// pass, and keeps the rest for later passes. Bytes that can never be valid are dropped up to the
// next possible head, the protocol writing its one line for them (its analysis of the bad bytes).
// True when whole packets are left for the next pass.
bool FeedPackets(int server_fd, const ServerProtocolOps* ops, ClientSlot& slot, int64_t now_ms) {
  const int fd = slot.fd;
  const uint32_t max_packet = MaxPacket(ops, slot);
  const Clock::time_point start = Clock::now();
  uint32_t offset = 0;
  bool bad_run_reported = false;
  bool handed = false;
  bool left = false;
  while (offset < slot.used_length) {
    uint8_t* at = slot.buffer + offset;
    const uint32_t have = slot.used_length - offset;
    uint32_t length = 0;
    const Frame frame = FramePacket(at, have, max_packet, &length);
    if (frame == Frame::kNeedMore) break;
    if (frame == Frame::kComplete && handed && Clock::now() - start >= pelarin::kConnectionWorkPerPass) {
      left = true;
      break;
    }
    if (frame == Frame::kNever) {
      if (!bad_run_reported && ops->analysis != nullptr) ops->analysis(server_fd, fd, at, have);
      if (!StillHeld(slot, fd)) return false;
      bad_run_reported = true;
      offset += NextHeadStart(at, have);
      continue;
    }
    bad_run_reported = false;
    SocketNoteRequest(&slot, now_ms);
    if (ops->analysis != nullptr) ops->analysis(server_fd, fd, at, length);
    if (!StillHeld(slot, fd)) return false;  // the protocol removed the client
    handed = true;
    offset += length;
  }
  const uint32_t kept = slot.used_length - offset;
  if (offset > 0) {
    memmove(slot.buffer, slot.buffer + offset, kept);
    memset(slot.buffer + kept, 0, offset);
  }
  slot.used_length = kept;
  if (kept == 0 || left) {
    slot.partial_since_ms = 0;  // nothing, or whole packets that wait for the server, not the peer
  } else if (offset > 0 || slot.partial_since_ms == 0) {
    slot.partial_since_ms = now_ms;  // a packet begun in this receive
  }
  return left;
}

// One receive into the free part of the slot's buffer: the bytes read, 0 when the peer has ended
// or the socket failed, -1 when nothing came now or the buffer is full of packets that wait.
ssize_t ReceiveInto(ClientSlot& slot, bool waiting) {
  const uint32_t room = slot.buffer_capacity - slot.used_length;
  if (slot.buffer == nullptr || (room == 0 && !waiting)) return 0;  // no buffer: nothing can be read
  if (room == 0) return -1;
  const ssize_t n = recv(slot.fd, slot.buffer + slot.used_length, room, 0);
  if (n < 0) return errno == EAGAIN || errno == EINTR ? -1 : 0;
  return n;
}

}  // namespace

namespace pelarin {

bool ServerBacklogWaiting(uint32_t server_type) {
  return server_type <= kLastServerType && g_backlog[server_type].load(std::memory_order_relaxed);
}

}  // namespace pelarin

extern "C" {

// One receive per readable client into the free part of its buffer, then its share of the whole
// packets held (those left by earlier passes first, whether or not the socket is readable now). A
// client whose receive ends (0) or fails is removed, once the packets it sent before it ended are
// served. The next slot is read before a slot is handled. Every client the poll watched is marked
// heard, readable or not.
int RecvProcess(int server_fd, uint32_t server_type, ServerPollSet* ready) {
  ServerSocketTable* table = GetServerSocketInfo(server_type);
  const ServerProtocolOps* ops = ServerProtocolFind(server_type);
  if (server_type <= kLastServerType) g_backlog[server_type].store(false, std::memory_order_relaxed);
  if (table == nullptr || ops == nullptr || ready == nullptr) return kQeltOk;
  const int64_t now_ms = pelarin::SteadyMillis();
  bool backlog = false;
  uint32_t index = table->first_used;
  while (index != kNoSlot) {
    ClientSlot& slot = table->slots[index];
    const uint32_t next = slot.next;
    pollfd* entry = ServerPollSetEntry(ready, index);
    if (entry != nullptr && entry->fd == slot.fd) slot.unheard = 0;  // its bytes, if any, are read now
    const bool readable =
        entry != nullptr && entry->fd == slot.fd && (entry->revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    const bool waiting = HasWork(ops, slot);
    const ssize_t n = readable ? ReceiveInto(slot, waiting) : -1;
    if (n == 0 && !waiting) {
      const int fd = slot.fd;
      ops->remove_client(server_fd, fd);
      entry->revents = 0;
      QELTM_LOG_LIMITED(0, "[Receive_packet]Close socket, server fd %d,client socket fd: %d, socket client num : %d\n",
                        server_fd, fd, table->client_count);
      index = next;
      continue;
    }
    if (n > 0) {
      QELTM_LOG_LIMITED(0, "[Receive_packet]Buffer length %d, UseBufferLength %d, SocketBufferSize %d\n",
                        static_cast<int>(n), slot.used_length, slot.buffer_capacity);
      slot.used_length += static_cast<uint32_t>(n);
    }
    if (n > 0 || waiting) backlog = FeedPackets(server_fd, ops, slot, now_ms) || backlog;
    index = next;
  }
  g_backlog[server_type].store(backlog, std::memory_order_relaxed);
  return kQeltOk;
}

}  // extern "C"
