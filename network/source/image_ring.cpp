// Image rings of the image servers: the writer copies each image into the next slot and never
// waits; each client takes whole frames (colour, then disparity), in order.
#include <cstdlib>
#include <cstring>

#include "ring_frames.h"
#include "stip_internal.h"

namespace {

ImageRing* RingOf(ServerSocketTable* table) {
  return table == nullptr ? nullptr : static_cast<ImageRing*>(table->server_data);
}

// The frame rules of this ring: a colour image opens a frame of two, any other image continues
// the frame of the image written before it under the same frame index, else stands alone.
pelarin::RingFrames<ImageRingSlot> FramesOf(const ImageRing* ring) {
  return pelarin::RingFrames<ImageRingSlot>{ring->slots, ring->slot_count, ring->last_sequence, kStipImagesPerFrame};
}

}  // namespace

extern "C" {

int STIPMallocServerData(ServerSocketTable* table, uint32_t slot_count) {
  if (table == nullptr) return kQeltNullArgument;
  ImageRing* ring = static_cast<ImageRing*>(calloc(1, sizeof(ImageRing)));
  ImageRingSlot* slots = static_cast<ImageRingSlot*>(calloc(slot_count, sizeof(ImageRingSlot)));
  if (ring == nullptr || slots == nullptr || slot_count == 0) {
    free(ring);
    free(slots);
    return kQeltOutOfMemory;
  }
  for (uint32_t i = 0; i < slot_count; ++i) slots[i].readers_done = kStipNone;
  ring->write_index = kStipNone;
  ring->read_index = kStipNone;
  ring->slot_count = slot_count;
  ring->slots = slots;
  table->server_data = ring;
  return kQeltOk;
}

int STIPFreeServerData(ServerSocketTable* table) {
  ImageRing* ring = RingOf(table);
  if (ring == nullptr) return kQeltOk;
  for (uint32_t i = 0; i < ring->slot_count; ++i) free(ring->slots[i].data);
  free(ring->slots);
  free(ring);
  table->server_data = nullptr;
  return kQeltOk;
}

int STIPWriteServerData(ServerSocketTable* table, const ImagePara* header, const void* data, uint32_t size) {
  ImageRing* ring = RingOf(table);
  if (ring == nullptr) return kQeltRingEmpty;
  if (header == nullptr || (data == nullptr && size > 0)) return kQeltNullArgument;
  const uint32_t s = ring->write_index == kStipNone ? 0 : (ring->write_index + 1) % ring->slot_count;
  ImageRingSlot& slot = ring->slots[s];
  // The image written before this one, as it was (with one slot it is this very slot).
  const bool has_previous = ring->write_index != kStipNone;
  const ImageRingSlot previous = has_previous ? ring->slots[ring->write_index] : ImageRingSlot{};
  if (!pelarin::StipReserve(&slot.data, &slot.capacity, size)) return kQeltOutOfMemory;
  // Only clients that were streaming when the image was written are owed it.
  const uint32_t taken = slot.readers_done == kStipNone ? 0 : slot.readers_done;
  if (slot.state == kSlotNew && ring->reader_count != 0 && taken < slot.readers_at_write) {
    Qeltmlog(1, "[STIP]Send Image too slow, discard the image, read index: %d, write index: %d\n",
             static_cast<int>(ring->read_index), static_cast<int>(ring->write_index));
  }
  slot.state = kSlotNew;
  slot.data_size = size;
  slot.readers_done = kStipNone;
  if (size > 0) memcpy(slot.data, data, size);
  slot.header = *header;
  slot.header.data_size = size;  // the size the slot really holds is the size sent
  slot.sequence = ++ring->last_sequence;
  slot.readers_at_write = ring->reader_count;
  pelarin::RingPlaceInFrame(&slot, has_previous ? &previous : nullptr, header->image_type == kStipImageTypeColor,
                   has_previous && previous.header.frame_index == header->frame_index,
                   header->image_type == kStipImageTypeColor ? kStipImagesPerFrame : 1);
  ring->write_index = s;
  return kQeltOk;
}

int STIPReadServerData(ServerSocketTable* table, ClientSlot* client_slot) {
  ImageRing* ring = RingOf(table);
  if (ring == nullptr) {
    Qeltmlog(2, "[STIP]STIP server data is NULL\n");
    return kQeltRingEmpty;
  }
  StipClientState* client = client_slot == nullptr ? nullptr : static_cast<StipClientState*>(client_slot->protocol_data);
  if (client == nullptr) {
    Qeltmlog(2, "[STIP]STIP client data is NULL\n");
    return kQeltRingEmpty;
  }
  // A packet still going out is finished before anything new is taken.
  if (client->packet_length > 0 && client->sent < client->packet_length) return kQeltOk;
  if (client->state != kStipStreaming) return kQeltOk;
  const uint32_t t = FramesOf(ring).Next(client->last_sequence, client->mid_frame != 0);
  if (t == pelarin::kNoRingSlot) return kQeltOk;
  ImageRingSlot& slot = ring->slots[t];
  if (!pelarin::StipReserve(&client->raw, &client->raw_capacity, slot.data_size)) return kQeltOutOfMemory;
  if (slot.data_size > 0) memcpy(client->raw, slot.data, slot.data_size);
  client->header = slot.header;
  client->last_sequence = slot.sequence;
  client->last_slot = t;
  client->mid_frame = slot.frame_position + 1 < slot.frame_images ? 1 : 0;
  client->packet_length = 0;
  client->sent = 0;
  slot.readers_done = slot.readers_done == kStipNone ? 1 : slot.readers_done + 1;
  if (slot.readers_done >= ring->reader_count) {
    slot.state = kSlotConsumed;
    ring->read_index = t;
  }
  return kQeltOk;
}

void STIPRingAddReader(ImageRing* ring, StipClientState* client) {
  if (ring == nullptr || client == nullptr) return;
  ++ring->reader_count;
  // A client (re)starting takes the frames written from now on, or the one being written from
  // its colour image on; never an older frame.
  client->last_sequence = FramesOf(ring).Start();
  client->mid_frame = 0;
}

void STIPRingRemoveReader(ImageRing* ring) {
  if (ring != nullptr && ring->reader_count > 0) --ring->reader_count;
}

}  // extern "C"
