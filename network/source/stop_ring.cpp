// The object ring on the shared slot ring: four slots written by the API thread and read by the
// object server thread; each block is a frame of its own, and every client takes blocks in
// order, none twice.
#include "slot_ring.h"
#include "stop_internal.h"

namespace pelarin {

namespace {

using Core = SlotRing<ObjectRing, ObjectRingSlot>;

constexpr char kTooSlow[] = "[STOP]Send object too slow, discard the object, read index: %d, write index: %d\n";
constexpr RingPlacement kBlockPlacement{true, false, 1};

// The block to send next: the oldest one newer than the client's last. Blocks overwritten
// before the client took them are lost to it, never sent out of order; none is skipped for
// being next to be overwritten.
RingFrames<ObjectRingSlot> FramesOf(const ObjectRing* ring) { return Core::Frames(ring, 0); }

}  // namespace

ObjectRing* StopRingCreate(uint32_t slot_count) {
  ObjectRing* ring = static_cast<ObjectRing*>(calloc(1, sizeof(ObjectRing)));
  if (ring == nullptr) return nullptr;
  ring->reader_count.store(0);
  if (!Core::Init(ring, slot_count)) {
    free(ring);
    return nullptr;
  }
  return ring;
}

void StopRingFree(ObjectRing* ring) {
  if (ring == nullptr) return;
  Core::Release(ring);
  free(ring);
}

int StopRingWrite(ObjectRing* ring, const ObjectPara* header, const void* data, uint32_t size) {
  if (ring == nullptr) return kQeltRingEmpty;
  return Core::Write(ring, *header, data, size, kBlockPlacement, kTooSlow);
}

void StopRingJoin(ObjectRing* ring, StopClientState* client) {
  if (ring == nullptr || client == nullptr) return;
  client->last_sequence = FramesOf(ring).Start();
}

int StopRingTake(ObjectRing* ring, StopClientState* client) {
  if (ring == nullptr || client == nullptr) return kQeltRingEmpty;
  const uint32_t t = FramesOf(ring).Next(client->last_sequence, false);
  if (t == kNoRingSlot) return kQeltOk;
  const ObjectRingSlot& slot = ring->slots[t];
  const uint32_t length = kObjectPacketHeadBytes + slot.data_size;
  if (!ReserveBuffer(&client->packet, &client->packet_capacity, length)) return kQeltOutOfMemory;
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
  Core::CountTaken(ring, t);
  return kQeltOk;
}

}  // namespace pelarin
