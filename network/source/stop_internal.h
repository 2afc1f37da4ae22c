// Shared between the object-stream sources: the ring, the per-client record and the client
// side's hooks that the server sources call.
#pragma once

#include <atomic>
#include <cstdint>

#include "pelarin/stop.h"

struct ObjectRingSlot {
  ObjectPara header;  // data_size is always the bytes held in data
  uint32_t state;     // 0 never written, 2 new, 1 taken by every streaming client
  uint8_t* data;
  uint32_t data_size;
  uint32_t capacity;
  uint32_t readers_done;      // clients that took the block; 0xFFFFFFFF (none) after each write
  uint64_t sequence;          // write number, 1 for the first block ever written
  uint32_t readers_at_write;  // streaming clients when the block was written: those owed it
  uint32_t frame_position;    // always 0: a block is a frame of its own
  uint32_t frame_images;      // always 1
};

struct ObjectRing {
  std::atomic<uint32_t> reader_count;
  uint32_t write_index;
  uint32_t read_index;
  uint32_t slot_count;
  uint64_t last_sequence;
  ObjectRingSlot* slots;
};

// One accepted client. Exactly one packet is in flight at a time: `packet` holds it whole
// (acknowledgement or block) and `sent` counts its bytes already sent.
struct StopClientState {
  uint16_t state;
  uint16_t pending_acks;
  ObjectPara header;
  uint32_t last_slot;
  uint64_t last_sequence;  // the newest block this client has taken or given up
  uint8_t* packet;
  uint32_t packet_capacity;
  uint32_t packet_length;
  uint32_t sent;
};

namespace pelarin {

ObjectRing* StopRingCreate(uint32_t slot_count);
void StopRingFree(ObjectRing* ring);
// Both run under the ring lock.
int StopRingWrite(ObjectRing* ring, const ObjectPara* header, const void* data, uint32_t size);
// A client that starts streaming gives up the blocks already written: it receives those written
// after its start, and is owed only those.
void StopRingJoin(ObjectRing* ring, StopClientState* client);
// Builds the client's next block packet when a newer block exists; 0 also when there is none.
int StopRingTake(ObjectRing* ring, StopClientState* client);

// Client side, called from the packet analysis.
int StopClientFeed(int fd, const uint8_t* data, uint32_t length);
int StopClientListInit();
void StopClientListUnInit();

}  // namespace pelarin
