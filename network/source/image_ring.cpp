// Image rings of the image servers, on the shared slot ring: a colour image opens a frame of two,
// any other image continues the frame of the image written before it under the same frame
// index, else stands alone; each client takes whole frames (colour, then disparity), in order.
#include "slot_ring.h"
#include "stip_internal.h"

namespace {

using Core = pelarin::SlotRing<ImageRing, ImageRingSlot>;

constexpr char kTooSlow[] = "[STIP]Send Image too slow, discard the image, read index: %d, write index: %d\n";

ImageRing* RingOf(ServerSocketTable* table) {
  return table == nullptr ? nullptr : static_cast<ImageRing*>(table->server_data);
}

// A reader passes over a frame about to be overwritten: it would lose the frame's disparity.
pelarin::RingFrames<ImageRingSlot> FramesOf(const ImageRing* ring) { return Core::Frames(ring, kStipImagesPerFrame); }

}  // namespace

extern "C" {

int STIPMallocServerData(ServerSocketTable* table, uint32_t slot_count) {
  if (table == nullptr) return kQeltNullArgument;
  ImageRing* ring = static_cast<ImageRing*>(calloc(1, sizeof(ImageRing)));
  if (ring == nullptr || !Core::Init(ring, slot_count)) {
    free(ring);
    return kQeltOutOfMemory;
  }
  table->server_data = ring;
  return kQeltOk;
}

int STIPFreeServerData(ServerSocketTable* table) {
  ImageRing* ring = RingOf(table);
  if (ring == nullptr) return kQeltOk;
  Core::Release(ring);
  free(ring);
  table->server_data = nullptr;
  return kQeltOk;
}

int STIPWriteServerData(ServerSocketTable* table, const ImagePara* header, const void* data, uint32_t size) {
  ImageRing* ring = RingOf(table);
  if (ring == nullptr) return kQeltRingEmpty;
  if (header == nullptr || (data == nullptr && size > 0)) return kQeltNullArgument;
  const ImageRingSlot* previous = Core::Newest(ring);
  const bool colour = header->image_type == kStipImageTypeColor;
  const pelarin::RingPlacement place{colour, previous != nullptr && previous->header.frame_index == header->frame_index,
                                     colour ? kStipImagesPerFrame : 1};
  return Core::Write(ring, *header, data, size, place, kTooSlow);
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
  const ImageRingSlot& slot = ring->slots[t];
  if (!pelarin::ReserveBuffer(&client->raw, &client->raw_capacity, slot.data_size)) return kQeltOutOfMemory;
  if (slot.data_size > 0) memcpy(client->raw, slot.data, slot.data_size);
  client->header = slot.header;
  client->last_sequence = slot.sequence;
  client->last_slot = t;
  client->mid_frame = slot.frame_position + 1 < slot.frame_images ? 1 : 0;
  client->packet_length = 0;
  client->sent = 0;
  Core::CountTaken(ring, t);
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
