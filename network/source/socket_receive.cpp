// The server receive step: each readable client's bytes are gathered in its slot's buffer and
// cut into packets by the packet head and the element's declared length, so a request reaches
// its protocol whole however TCP splits or joins it, and the requests of one connection are
// handled in the order they were sent.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "log_limit.h"
#include "pelarin/packet.h"
#include "pelarin/socket.h"

namespace {

constexpr uint32_t kPacketFrameBytes = kPacketHeadBytes + kElementHeadBytes;

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

// Hands every whole packet in the slot's buffer to the protocol and keeps an incomplete one for
// the next receive. Bytes that can never be valid are dropped up to the next possible head, the
// protocol writing its one line for them (its analysis of the bad bytes).
void FeedPackets(int server_fd, const ServerProtocolOps* ops, ClientSlot& slot, int64_t now_ms) {
  const int fd = slot.fd;
  const uint32_t max_packet = ops->max_packet_bytes != 0 && ops->max_packet_bytes < slot.buffer_capacity
                                  ? ops->max_packet_bytes
                                  : slot.buffer_capacity;
  uint32_t offset = 0;
  bool bad_run_reported = false;
  while (offset < slot.used_length) {
    uint8_t* at = slot.buffer + offset;
    const uint32_t have = slot.used_length - offset;
    uint32_t length = 0;
    const Frame frame = FramePacket(at, have, max_packet, &length);
    if (frame == Frame::kNeedMore) break;
    if (frame == Frame::kNever) {
      if (!bad_run_reported && ops->analysis != nullptr) ops->analysis(server_fd, fd, at, have);
      if (!StillHeld(slot, fd)) return;
      bad_run_reported = true;
      offset += NextHeadStart(at, have);
      continue;
    }
    bad_run_reported = false;
    SocketNoteRequest(&slot, now_ms);
    if (ops->analysis != nullptr) ops->analysis(server_fd, fd, at, length);
    if (!StillHeld(slot, fd)) return;  // the protocol removed the client
    offset += length;
  }
  const uint32_t kept = slot.used_length - offset;
  if (offset > 0) {
    memmove(slot.buffer, slot.buffer + offset, kept);
    memset(slot.buffer + kept, 0, offset);
  }
  slot.used_length = kept;
  if (kept == 0) {
    slot.partial_since_ms = 0;
  } else if (offset > 0 || slot.partial_since_ms == 0) {
    slot.partial_since_ms = now_ms;  // a packet begun in this receive
  }
}

}  // namespace

extern "C" {

// One receive per readable client into the free part of its buffer; a client whose receive ends
// (0) or fails is removed. The next slot is read before a slot is handled. Every client the poll
// watched is marked heard, readable or not.
int RecvProcess(int server_fd, uint32_t server_type, ServerPollSet* ready) {
  ServerSocketTable* table = GetServerSocketInfo(server_type);
  const ServerProtocolOps* ops = ServerProtocolFind(server_type);
  if (table == nullptr || ops == nullptr || ready == nullptr) return kQeltOk;
  const int64_t now_ms = pelarin::SteadyMillis();
  uint32_t index = table->first_used;
  while (index != kNoSlot) {
    ClientSlot& slot = table->slots[index];
    const uint32_t next = slot.next;
    pollfd* entry = ServerPollSetEntry(ready, index);
    if (entry != nullptr && entry->fd == slot.fd) slot.unheard = 0;  // its bytes, if any, are read now
    if (entry != nullptr && entry->fd == slot.fd && (entry->revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const uint32_t room = slot.buffer_capacity - slot.used_length;
      ssize_t n = -1;
      if (room > 0 && slot.buffer != nullptr) {
        n = recv(slot.fd, slot.buffer + slot.used_length, room, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
          index = next;
          continue;
        }
      }
      if (n < 1) {
        const int fd = slot.fd;
        ops->remove_client(server_fd, fd);
        entry->revents = 0;
        QELTM_LOG_LIMITED(0, "[Receive_packet]Close socket, server fd %d,client socket fd: %d, socket client num : %d\n",
                          server_fd, fd, table->client_count);
      } else {
        QELTM_LOG_LIMITED(0, "[Receive_packet]Buffer length %d, UseBufferLength %d, SocketBufferSize %d\n",
                          static_cast<int>(n), slot.used_length, slot.buffer_capacity);
        slot.used_length += static_cast<uint32_t>(n);
        FeedPackets(server_fd, ops, slot, now_ms);
      }
    }
    index = next;
  }
  return kQeltOk;
}

}  // extern "C"
