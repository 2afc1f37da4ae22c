// The slot ring under the image rings and the object ring: one writer copies each image (or
// object block) into the next slot and never waits; each streaming client takes what was written
// after its start, in order, none twice. The two rings differ only in their header record, how
// images group in frames and what a client does with an image it takes.
//
// Images are grouped in frames (a colour image, then the disparity image of the same frame); a
// reader starts a frame only while none of its images is lost and then takes the rest of it, so
// it never gets a disparity image without the colour image it belongs to. Blocks of the object
// ring are frames of one.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "log_limit.h"
#include "pelarin/foundation.h"
#include "pelarin/stip.h"

namespace pelarin {

constexpr uint32_t kNoRingSlot = 0xFFFFFFFF;

// Makes `*buffer` hold at least `size` bytes, reusing it when it is large enough; false when
// memory runs out (the buffer unchanged).
inline bool ReserveBuffer(uint8_t** buffer, uint32_t* capacity, uint32_t size) {
  if (*buffer != nullptr && *capacity >= size) return true;
  uint8_t* fresh = static_cast<uint8_t*>(malloc(size == 0 ? 1 : size));
  if (fresh == nullptr) return false;
  free(*buffer);
  *buffer = fresh;
  *capacity = size;
  return true;
}

// How a reader picks its next slot. Slot fields used: `sequence` (write number from 1; 0 never
// written), `frame_position` (0 opens a frame) and `frame_images` (images of the slot's frame).
template <typename Slot>
struct RingFrames {
  const Slot* slots;
  uint32_t slot_count;
  uint64_t last_written;  // sequence of the newest write
  uint32_t spare;         // slots next in line to be overwritten, whose frames are not started

  // The slot holding write number `sequence`, or kNoRingSlot when it was overwritten or never
  // written. Writes go round the slots in order, so write s sits in slot (s - 1) mod slot_count.
  uint32_t Find(uint64_t sequence) const {
    if (sequence == 0 || sequence > last_written) return kNoRingSlot;
    const uint32_t i = static_cast<uint32_t>((sequence - 1) % slot_count);
    return slots[i].sequence == sequence ? i : kNoRingSlot;
  }

  // True when no image of the frame opened by write `head` is lost: each image written so far is
  // still in the ring (the rest may be on its way), or the next frame began before the frame was
  // full (a frame written short).
  bool Intact(uint64_t head) const {
    const uint32_t images = slots[Find(head)].frame_images;
    for (uint32_t j = 1; j < images; ++j) {
      if (head + j > last_written) return true;  // still being written
      const uint32_t i = Find(head + j);
      if (i == kNoRingSlot) return false;
      if (slots[i].frame_position == 0) return true;  // short frame, ended by the next
    }
    return true;
  }

  // The `last` of a reader that starts now: it takes what is written from now on, and a frame
  // still being written (its opening image in, the rest on its way) from that frame's opening
  // image. Starting at the next frame instead would cost the reader a whole frame period, and a
  // frame's later images may come long after its first (a disparity image after the matching).
  uint64_t Start() const {
    const uint32_t newest = Find(last_written);
    if (newest == kNoRingSlot) return last_written;
    const uint64_t head = last_written - slots[newest].frame_position;
    const uint32_t h = Find(head);
    if (h == kNoRingSlot || slots[h].frame_position != 0) return last_written;
    const bool being_written = slots[newest].frame_position + 1 < slots[h].frame_images;
    return being_written ? head - 1 : last_written;
  }

  // The slot a reader takes next, or kNoRingSlot when it is to wait. `last` is the reader's
  // newest write taken (or given up), `mid_frame` whether the frame of that write goes on.
  uint32_t Next(uint64_t last, bool mid_frame) const {
    if (mid_frame) {
      const uint32_t i = Find(last + 1);
      if (i != kNoRingSlot && slots[i].frame_position != 0) return i;
      if (last == last_written) return kNoRingSlot;  // the frame's next image is on its way
    }
    // The oldest intact frame that the next writes leave alone; when every intact frame is about
    // to go, the newest of them.
    const uint64_t oldest_held = last_written >= slot_count ? last_written - slot_count + 1 : 1;
    uint32_t newest_intact = kNoRingSlot;
    for (uint64_t s = last + 1 > oldest_held ? last + 1 : oldest_held; s <= last_written; ++s) {
      const uint32_t i = Find(s);
      if (i == kNoRingSlot || slots[i].frame_position != 0 || !Intact(s)) continue;
      if (s + slot_count > last_written + spare) return i;
      newest_intact = i;
    }
    return newest_intact;
  }
};

// Where a written image stands in its frame: `opens` when it opens a frame of its own, else
// `same_frame` when it belongs to the frame of the image written before it; `images` is the size
// of a frame it opens.
struct RingPlacement {
  bool opens;
  bool same_frame;
  uint32_t images;
};

// The operations of a ring with fields `reader_count` (plain or atomic), `write_index`,
// `read_index`, `slot_count`, `last_sequence` and `slots`, whose slots have `header` (a record
// with `data_size`), `state`, `data`, `data_size`, `capacity`, `readers_done` (kNoRingSlot: none
// after each write), `sequence`, `readers_at_write`, `frame_position` and `frame_images`.
template <typename Ring, typename Slot>
struct SlotRing {
  // Slots for a ring head zeroed by its creator; false when out of memory.
  static bool Init(Ring* ring, uint32_t slot_count) {
    if (slot_count == 0) return false;
    ring->slots = static_cast<Slot*>(calloc(slot_count, sizeof(Slot)));
    if (ring->slots == nullptr) return false;
    for (uint32_t i = 0; i < slot_count; ++i) ring->slots[i].readers_done = kNoRingSlot;
    ring->slot_count = slot_count;
    ring->write_index = kNoRingSlot;
    ring->read_index = kNoRingSlot;
    ring->last_sequence = 0;
    return true;
  }

  static void Release(Ring* ring) {
    for (uint32_t i = 0; i < ring->slot_count; ++i) free(ring->slots[i].data);
    free(ring->slots);
    ring->slots = nullptr;
    ring->slot_count = 0;
  }

  // The slot of the newest write, or nullptr before the first.
  static const Slot* Newest(const Ring* ring) {
    return ring->write_index == kNoRingSlot ? nullptr : &ring->slots[ring->write_index];
  }

  // Copies an image into the next slot. Overwriting one that a client streaming when it was
  // written has not taken is logged with `too_slow` (read index, write index). Returns the code.
  template <typename Header>
  static int Write(Ring* ring, const Header& header, const void* data, uint32_t size, RingPlacement place,
                   const char* too_slow) {
    const uint32_t s = ring->write_index == kNoRingSlot ? 0 : (ring->write_index + 1) % ring->slot_count;
    Slot& slot = ring->slots[s];
    // The frame fields of the write before this one, read before they are overwritten (with one
    // slot it is this very slot).
    const Slot* previous = Newest(ring);
    const bool continues = !place.opens && place.same_frame && previous != nullptr &&
                           previous->frame_position + 1 < previous->frame_images;
    const uint32_t position = continues ? previous->frame_position + 1 : 0;
    const uint32_t images = continues ? previous->frame_images : place.images;
    if (!ReserveBuffer(&slot.data, &slot.capacity, size)) return kQeltOutOfMemory;
    const uint32_t readers = ring->reader_count;
    const uint32_t taken = slot.readers_done == kNoRingSlot ? 0 : slot.readers_done;
    if (slot.state == kSlotNew && readers != 0 && taken < slot.readers_at_write) {
      // One kind per ring type: a client that never reads would otherwise write a line an image.
      static LogLimit too_slow_lines;
      LogLimited(too_slow_lines, 1, too_slow, static_cast<int>(ring->read_index), static_cast<int>(ring->write_index));
    }
    slot.state = kSlotNew;
    slot.data_size = size;
    slot.readers_done = kNoRingSlot;
    if (size > 0) memcpy(slot.data, data, size);
    slot.header = header;
    slot.header.data_size = size;  // the size the slot really holds is the size sent
    slot.sequence = ++ring->last_sequence;
    slot.readers_at_write = readers;
    slot.frame_position = position;
    slot.frame_images = images;
    ring->write_index = s;
    return kQeltOk;
  }

  static RingFrames<Slot> Frames(const Ring* ring, uint32_t spare) {
    return RingFrames<Slot>{ring->slots, ring->slot_count, ring->last_sequence, spare};
  }

  // Counts a client's take of slot t; once every streaming client has it, it is consumed.
  static void CountTaken(Ring* ring, uint32_t t) {
    Slot& slot = ring->slots[t];
    slot.readers_done = slot.readers_done == kNoRingSlot ? 1 : slot.readers_done + 1;
    const uint32_t readers = ring->reader_count;
    if (slot.readers_done >= readers) {
      slot.state = kSlotConsumed;
      ring->read_index = t;
    }
  }
};

}  // namespace pelarin
