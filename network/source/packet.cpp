// Packet head, byte order helpers, the sequence counter and the one-element composer.
#include "pelarin/packet.h"

#include <atomic>
#include <cstring>

extern "C" {

const uint8_t kDefaultPacketHead[kPacketHeadBytes] = {0x81, 0x42, 0x24, 0x18, 0x7E, 0xBD, 0xDB, 0xE7};

void GetUint32Value(const uint8_t* source, uint32_t* destination) {
  if (source == nullptr || destination == nullptr) return;
  *destination = (uint32_t{source[0]} << 24) | (uint32_t{source[1]} << 16) | (uint32_t{source[2]} << 8) |
                 uint32_t{source[3]};
}

void GetUint16Value(const uint8_t* source, uint16_t* destination) {
  if (source == nullptr || destination == nullptr) return;
  *destination = static_cast<uint16_t>((source[0] << 8) | source[1]);
}

void SetUint32(uint32_t value, uint8_t* destination) {
  if (destination == nullptr) return;
  destination[0] = static_cast<uint8_t>(value >> 24);
  destination[1] = static_cast<uint8_t>(value >> 16);
  destination[2] = static_cast<uint8_t>(value >> 8);
  destination[3] = static_cast<uint8_t>(value);
}

void SetUint16(uint16_t value, uint8_t* destination) {
  if (destination == nullptr) return;
  destination[0] = static_cast<uint8_t>(value >> 8);
  destination[1] = static_cast<uint8_t>(value);
}

}  // extern "C"

namespace {
std::atomic<uint32_t> g_sequence{0};
}  // namespace

extern "C" {

uint32_t PacketNextSequence(void) {
  uint32_t current = g_sequence.load(std::memory_order_relaxed);
  uint32_t next;
  do {
    next = current == UINT32_MAX ? 1 : current + 1;
  } while (!g_sequence.compare_exchange_weak(current, next, std::memory_order_relaxed));
  return next;
}

void PacketSetSequence(uint32_t value) { g_sequence.store(value, std::memory_order_relaxed); }

int PacketComposeOne(uint8_t type, const void* record, uint32_t payload_length, uint8_t* buffer,
                     uint32_t capacity, uint32_t* packet_length) {
  if (buffer == nullptr || packet_length == nullptr) return kQeltNullArgument;
  if (type >= kElementTableRows || SetPacketHandler[type] == nullptr) return kQeltBadElementType;
  memset(buffer, 0, capacity);
  uint64_t length = SetPacketHandler[kElementDefaultHead](buffer, capacity, nullptr, 0);
  if (length != kPacketHeadBytes) return kQeltBufferTooSmall;
  length += SetPacketHandler[type](buffer + length, static_cast<uint32_t>(capacity - length), record,
                                   payload_length);
  if (length > capacity) return kQeltBufferTooSmall;
  *packet_length = static_cast<uint32_t>(length);
  return kQeltOk;
}

}  // extern "C"
