// The object ring: four slots written by the API thread and read by the object server thread,
// each block numbered so that every client takes blocks in order, none twice.
#include <cstdlib>
#include <cstring>

#include "pelarin/foundation.h"
#include "ring_frames.h"
#include "stop_internal.h"

namespace pelarin {

namespace {

// Makes `*buffer` hold at least `size` bytes; false when memory runs out (buffer unchanged).
bool Reserve(uint8_t** buffer, uint32_t* capacity, uint32_t size) {
  if (*buffer != nullptr && *capacity >= size) return true;
  uint8_t* grown = static_cast<uint8_t*>(malloc(size > 0 ? size : 1));
  if (grown == nullptr) return false;
  free(*buffer);
  *buffer = grown;
  *capacity = size;
  return true;
}

// The block to send next: the oldest one newer than the client's last. Blocks overwritten
// before the client took them are lost to it, never sent out of order. Each block is a frame of
// its own, and none is skipped for being next to be overwritten.
uint32_t ChooseSlot(const ObjectRing* ring, const StopClientState* client) {
  const RingFrames<ObjectRingSlot> frames{ring->slots, ring->slot_count, ring->last_sequence, 0};
  const uint32_t chosen = frames.Next(client->last_sequence, false);
  return chosen == kNoRingSlot ? kRingNone : chosen;
}

}  // namespace

ObjectRing* StopRingCreate(uint32_t slot_count) {
  ObjectRing* ring = static_cast<ObjectRing*>(calloc(1, sizeof(ObjectRing)));
  if (ring == nullptr) return nullptr;
  ring->slots = static_cast<ObjectRingSlot*>(calloc(slot_count, sizeof(ObjectRingSlot)));
  if (ring->slots == nullptr) {
    free(ring);
    return nullptr;
  }
  ring->reader_count.store(0);
  ring->slot_count = slot_count;
  ring->write_index = kRingNone;
  ring->read_index = kRingNone;
  return ring;
}

void StopRingFree(ObjectRing* ring) {
  if (ring == nullptr) return;
  for (uint32_t i = 0; i < ring->slot_count; ++i) free(ring->slots[i].data);
  free(ring->slots);
  free(ring);
}

int StopRingWrite(ObjectRing* ring, const ObjectPara* header, const void* data, uint32_t size) {
  if (ring == nullptr) return kQeltRingEmpty;
  const uint32_t s = ring->write_index == kRingNone ? 0 : (ring->write_index + 1) % ring->slot_count;
  ObjectRingSlot& slot = ring->slots[s];
  if (!Reserve(&slot.data, &slot.capacity, size)) return kQeltOutOfMemory;
  const uint32_t readers = ring->reader_count.load();
  if (slot.state == kSlotNew && readers != 0 && slot.readers_done < readers) {
    Qeltmlog(1, "[STOP]Send object too slow, discard the object, read index: %d, write index: %d\n",
             static_cast<int>(ring->read_index), static_cast<int>(ring->write_index));
  }
  if (size > 0) memcpy(slot.data, data, size);
  slot.header = *header;
  slot.header.data_size = size;
  slot.data_size = size;
  slot.state = kSlotNew;
  slot.readers_done = 0;
  slot.sequence = ++ring->last_sequence;
  slot.frame_position = 0;
  slot.frame_images = 1;
  ring->write_index = s;
  return kQeltOk;
}

void StopRingJoin(ObjectRing* ring, StopClientState* client) {
  if (ring == nullptr || client == nullptr) return;
  client->last_sequence = ring->last_sequence;
  const uint32_t readers = ring->reader_count.load();
  for (uint32_t i = 0; i < ring->slot_count; ++i) {
    ObjectRingSlot& s = ring->slots[i];
    if (s.state == kSlotNew && ++s.readers_done >= readers) s.state = kSlotConsumed;
  }
}

int StopRingTake(ObjectRing* ring, StopClientState* client) {
  if (ring == nullptr || client == nullptr) return kQeltRingEmpty;
  const uint32_t t = ChooseSlot(ring, client);
  if (t == kRingNone) return kQeltOk;
  ObjectRingSlot& slot = ring->slots[t];
  const uint32_t length = kObjectPacketHeadBytes + slot.data_size;
  if (!Reserve(&client->packet, &client->packet_capacity, length)) return kQeltOutOfMemory;
  uint32_t head_length = 0;
  const int rc = PacketComposeOne(kElementObjectPara, &slot.header, 0, client->packet, kObjectPacketHeadBytes,
                                  &head_length);
  if (rc != kQeltOk) return rc;
  if (slot.data_size > 0) memcpy(client->packet + head_length, slot.data, slot.data_size);
  client->packet_length = head_length + slot.data_size;
  client->sent = 0;
  client->header = slot.header;
  client->last_slot = t;
  client->last_sequence = slot.sequence;
  if (++slot.readers_done >= ring->reader_count.load()) slot.state = kSlotConsumed;
  ring->read_index = t;
  return kQeltOk;
}

}  // namespace pelarin
